#include "config/servers.h"

#include <string_view>
#include <vector>

#include "foundation/inet_addr.h"
#include "foundation/text.h"

namespace {

bool ParseSmallNumber(std::string_view text, int max, int& out) {
  if (text.empty() || text.size() > 5) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return out <= max;
}

}  // namespace

bool AddHardServer(const std::string& value, ServerTable& servers) {
  std::vector<std::string> words = Split(value, '\0');
  if (words.size() != 3) return false;
  int weight = 0;
  if (!ParseSmallNumber(words[1], 100, weight)) return false;

  std::string address = words[2];
  size_t colon = address.find(':');
  if (colon == std::string::npos) {
    address += ":5060";
  } else {
    int port = 0;
    if (!ParseSmallNumber(std::string_view(address).substr(colon + 1), 65535, port) || port == 0) {
      return false;
    }
  }
  InetAddress resolved;
  if (!resolved.Set(address.c_str()) || resolved.Ip() == 0) return false;

  // Requests carry their domain in lower case; keys are matched against it.
  std::string key = words[0];
  ToLower(key);
  ServerRecord entry;
  entry.s_pref = 0;
  entry.s_weight = weight + 1;
  entry.s_port = resolved.Port();
  entry.s_name = resolved.IpText();
  if (key[0] == '*') servers.has_wildcard_ = true;
  servers.addresses.insert(resolved.Ip());
  servers.emplace(key, entry);
  return true;
}

ServerSources g_server_sources;

void ServerSources::Learn(uint32_t ip, time_t now) {
  if (ip == 0) return;
  std::lock_guard<std::mutex> guard(lock_);
  auto found = learned_.find(ip);
  if (found != learned_.end()) {
    found->second = now;
    return;
  }
  if (learned_.size() >= kMaxLearned) {
    auto oldest = learned_.begin();
    for (auto it = learned_.begin(); it != learned_.end(); ++it)
      if (it->second < oldest->second) oldest = it;
    learned_.erase(oldest);
  }
  learned_.emplace(ip, now);
}

bool ServerSources::Knows(uint32_t ip, time_t now) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = learned_.find(ip);
  if (found == learned_.end()) return false;
  if (now - found->second > kForgetSec) {
    learned_.erase(found);
    return false;
  }
  found->second = now;
  return true;
}

size_t ServerSources::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return learned_.size();
}

void ServerSources::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  learned_.clear();
}
