#include "config/subnet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "foundation/log.h"
#include "foundation/text.h"

namespace {

constexpr off_t kMaxWhiteListBytes = 16383;

// The dotted address part, "/" included: numbers of at most 255 closed by '.' or '/'.
bool ParseDottedPart(std::string_view text, uint32_t& addr) {
  uint32_t number = 0;
  addr = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      number = number * 10 + static_cast<uint32_t>(c - '0');
      if (number > 255) return false;
    } else if (c == '.' || c == '/') {
      addr = (addr << 8) + number;
      number = 0;
    } else {
      return false;
    }
  }
  return true;
}

// The prefix length: one or two digits, 0 to 32. A missing or non-numeric length is refused rather
// than read as /0, which would make a typo admit every address.
bool ParsePrefix(std::string_view text, int& bits) {
  if (text.empty() || text.size() > 2) return false;
  bits = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    bits = bits * 10 + (c - '0');
  }
  return bits <= 32;
}

}  // namespace

Network ParseSubnet(const std::string& text) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) {
    Log("ostrel", 0, "Mask part of address (/xx) is missing\n");
    return Network();
  }
  uint32_t addr = 0;
  int bits = 0;
  std::string_view view(text);
  if (!ParseDottedPart(view.substr(0, slash + 1), addr) || !ParsePrefix(view.substr(slash + 1), bits)) {
    Log("ostrel", 0, "Incorrect address or mask\n");
    return Network();
  }
  uint32_t mask = (bits == 0) ? 0 : (0xFFFFFFFFu << (32 - bits));
  return Network(addr & mask, mask);
}

bool ReadWhitelist(const char* path, std::vector<Network>& list) {
  struct stat st {};
  int fd = -1;
  if (stat(path, &st) != 0 || (fd = open(path, O_RDONLY | O_CLOEXEC)) < 0) {
    Log("ostrel", 0, "Cannot open White-List file: %s\n", path);
    return false;
  }
  if (st.st_size > kMaxWhiteListBytes) {
    close(fd);
    Log("ostrel", 0, "White-List file: '%s' is too long: %lu\n", path,
        static_cast<unsigned long>(st.st_size));
    return false;
  }
  std::string content(static_cast<size_t>(st.st_size), '\0');
  ssize_t got = read(fd, content.data(), content.size());
  close(fd);
  if (got != static_cast<ssize_t>(content.size())) {
    Log("ostrel", 0, "Cannot read White-List file: %s\n", path);
    return false;
  }
  for (char& c : content) {
    if (c == '\r') c = '\n';
  }
  for (std::string& line : Split(content, '\n')) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    LRTrim(line);
    if (line.empty()) continue;
    Network net = ParseSubnet(line);
    if (net.IsValid()) list.push_back(net);
  }
  return true;
}

bool InNetworks(const std::vector<Network>& list, uint32_t addr) {
  for (const Network& net : list) {
    if (net.Contains(addr)) return true;
  }
  return false;
}
