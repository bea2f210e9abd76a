#include "sip/sdp/sdp_scan.h"

#include <charconv>
#include <climits>

#include "foundation/log.h"

namespace sdp_scan {

void SplitWords(std::string_view s, std::vector<std::string>& out) {
  for (s = SkipBlanks(s); !s.empty(); s = SkipBlanks(s)) out.emplace_back(TakeWord(s));
}

bool LeadingNumber(std::string_view s, int& out) {
  long long value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return false;
  }
  out = static_cast<int>(value);
  return true;
}

bool PortNumber(std::string_view s, int& out) {
  if (!IsDigits(s) || s.size() > 5) return false;
  int value = 0;
  LeadingNumber(s, value);
  if (value > 65535) return false;
  out = value;
  return true;
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void AppendInt(std::string& out, int n) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, res.ptr);
}

void Fault(const char* text) { g_parse_error_log.load()("%s", text); }

}  // namespace sdp_scan
