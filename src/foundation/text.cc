#include "foundation/text.h"

#include <cctype>
#include <cstdlib>

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string& LTrim(std::string& s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  s.erase(0, i);
  return s;
}

std::string& RTrim(std::string& s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  s.resize(n);
  return s;
}

std::string& LRTrim(std::string& s) { return LTrim(RTrim(s)); }

std::string& ToLower(std::string& s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

size_t Split(const std::string& s, std::vector<std::string>& out, char sep) {
  out.clear();
  auto is_sep = [sep](char c) { return sep == '\0' ? IsBlank(c) : c == sep; };
  size_t i = 0;
  const size_t n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  while (i < n) {
    size_t end = i;
    while (end < n && !is_sep(s[end])) ++end;
    size_t last = end;
    while (last > i && IsBlank(s[last - 1])) --last;
    out.emplace_back(s, i, last - i);
    if (end >= n) break;
    i = end + 1;
    while (i < n && IsBlank(s[i])) ++i;
  }
  return out.size();
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  Split(s, out, sep);
  return out;
}

std::string Combine(const std::vector<std::string>& v, char sep) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += sep;
    out += v[i];
  }
  return out;
}

std::pair<char, char> HexToChar(unsigned char c) {
  static constexpr char kDigits[] = "0123456789abcdef";
  return {kDigits[c >> 4], kDigits[c & 15]};
}

void Hex16Char(const unsigned char* in, char* out) {
  for (int i = 0; i < 16; ++i) {
    auto [hi, lo] = HexToChar(in[i]);
    out[2 * i] = hi;
    out[2 * i + 1] = lo;
  }
  out[32] = '\0';
}

std::string HexToText(const unsigned char* in, size_t n) {
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    auto [hi, lo] = HexToChar(in[i]);
    out += hi;
    out += lo;
  }
  return out;
}

void SkipCRLF(const char*& p) {
  if (*p == '\r') {
    ++p;
    if (*p == '\n') ++p;
  } else if (*p == '\n') {
    ++p;
    if (*p == '\r') ++p;
  }
}

bool EnvExpansion(std::string& s) {
  for (int done = 0;; ++done) {
    size_t open = s.find("${");
    if (open == std::string::npos) return true;
    size_t close = s.find('}', open + 2);
    if (close == std::string::npos) return true;
    if (done == kMaxEnvExpansions) return false;
    std::string name = s.substr(open + 2, close - open - 2);
    const char* value = std::getenv(name.c_str());
    s.replace(open, close - open + 1, value ? value : "");
  }
}
