#include "resolve/candidates.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "foundation/text.h"

namespace {

constexpr int kDefaultPort = 5060;
constexpr int kDefaultWeight = 1;

std::mt19937& Generator() {
  thread_local std::mt19937 generator = [] {
    std::random_device device;
    const auto thread = static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    std::seed_seq seed{device(), device(), thread};
    return std::mt19937(seed);
  }();
  return generator;
}

int UniformInt(int low, int high) { return std::uniform_int_distribution<int>(low, high)(Generator()); }

bool ParseInt(std::string_view text, int& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool ReadHostListElement(std::string_view element, ServerRecord& entry) {
  int weight = kDefaultWeight;
  if (size_t slash = element.find('/'); slash != std::string_view::npos) {
    if (!ParseInt(Trimmed(element.substr(slash + 1)), weight)) weight = kDefaultWeight;
    element = element.substr(0, slash);
  }
  int port = kDefaultPort;
  if (size_t colon = element.find(':'); colon != std::string_view::npos) {
    if (!ParseInt(Trimmed(element.substr(colon + 1)), port) || port < 1 || port > 65535) return false;
    element = element.substr(0, colon);
  }
  element = Trimmed(element);
  if (element.empty()) return false;
  entry.s_pref = RandomPreference(weight);
  entry.s_weight = RandomSortKey();
  entry.s_port = port;
  entry.s_name = std::string(element);
  return true;
}

// The keys "*.<domain>", then "*" + the part of the key from its first '.' at or after index 2, down to "*".
ServerTable::const_iterator FindWildcardKey(const std::string& domain, const ServerTable& servers) {
  std::string key = "*." + domain;
  for (;;) {
    if (auto it = servers.find(key); it != servers.end()) return it;
    if (key.size() < 2) return servers.end();
    const size_t dot = key.find('.', 2);
    key = dot == std::string::npos ? "*" : "*" + key.substr(dot);
  }
}

// One RFC 2782 draw among records [first, last) of one priority: moves the chosen record to `first`.
void PickWeighted(std::vector<ServerRecord>::iterator first, std::vector<ServerRecord>::iterator last) {
  long total = 0;
  for (auto it = first; it != last; ++it) total += it->s_weight;
  const long draw = std::uniform_int_distribution<long>(0, total)(Generator());
  long running = 0;
  for (auto it = first; it != last; ++it) {
    running += it->s_weight;
    if (running >= draw) {
      std::rotate(first, it, it + 1);
      return;
    }
  }
}

}  // namespace

int RandomPreference(int weight) {
  if (weight < 1) return 0;
  if (weight < 100) return UniformInt(1, weight);
  return weight;
}

int RandomSortKey() { return UniformInt(0, RAND_MAX); }

std::vector<ServerRecord> HostListServers(std::string_view list) {
  std::vector<ServerRecord> servers;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    ServerRecord entry;
    if (ReadHostListElement(list.substr(0, comma), entry)) servers.push_back(std::move(entry));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return servers;
}

std::vector<ServerRecord> ConfiguredServers(const std::string& domain, const ServerTable& servers) {
  // The keys were lower-cased when they were read.
  std::string lower = domain;
  ToLower(lower);
  auto found = servers.find(lower);
  if (found == servers.end() && servers.has_wildcard_) found = FindWildcardKey(lower, servers);
  std::vector<ServerRecord> chosen;
  if (found == servers.end()) return chosen;
  auto [first, last] = servers.equal_range(found->first);
  for (auto it = first; it != last; ++it) {
    ServerRecord entry = it->second;
    entry.s_pref = RandomPreference(it->second.s_weight);
    entry.s_weight = RandomSortKey();
    chosen.push_back(std::move(entry));
  }
  return chosen;
}

void OrderByWeight(std::vector<ServerRecord>& records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const ServerRecord& a, const ServerRecord& b) { return a.s_pref < b.s_pref; });
  for (auto group = records.begin(); group != records.end();) {
    auto group_end =
        std::find_if(group, records.end(), [&](const ServerRecord& r) { return r.s_pref != group->s_pref; });
    // Records of weight 0 go first, so that they are picked only when the draw is 0.
    std::shuffle(group, group_end, Generator());
    std::stable_partition(group, group_end, [](const ServerRecord& r) { return r.s_weight == 0; });
    for (auto next = group; next != group_end; ++next) PickWeighted(next, group_end);
    int position = 0;
    for (auto it = group; it != group_end; ++it) it->s_weight = position++;
    group = group_end;
  }
}
