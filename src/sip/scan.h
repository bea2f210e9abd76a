// View-based scanning helpers shared by the SIP parsers: blank trimming, case-insensitive comparison and
// bounded decimal reading. Pure functions on caller-owned text; callable from any thread.
#pragma once

#include <climits>
#include <cstdint>
#include <string_view>

namespace sipscan {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

inline std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return s.substr(0, n);
}

inline std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

inline bool StartsWithIgnoringCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringCase(s.substr(0, prefix.size()), prefix);
}

// Position of the first blank or tab, or npos. (string_view::find_first_of runs memchr per byte.)
inline size_t FindBlank(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (IsBlank(s[i])) return i;
  return std::string_view::npos;
}

inline bool HasBlank(std::string_view s) { return FindBlank(s) != std::string_view::npos; }

inline bool AllDigits(std::string_view s) {
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

// Reads an optionally signed decimal number at the start of s after blanks, as atoi would, but saturating
// at the int range instead of overflowing. No digits give 0.
inline int SaturatingAtoi(std::string_view s) {
  s = TrimLeft(s);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t value = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > int64_t(INT_MAX) + 1) value = int64_t(INT_MAX) + 1;
  }
  if (negative) return value > int64_t(INT_MAX) ? INT_MIN : int(-value);
  return value > INT_MAX ? INT_MAX : int(value);
}

// Reads s as a whole as an unsigned decimal number; false when s is empty, holds anything but digits,
// or exceeds max.
inline bool ReadDecimal(std::string_view s, uint64_t max, uint64_t& out) {
  if (s.empty()) return false;
  uint64_t value = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    value = value * 10 + uint64_t(c - '0');
    if (value > max) return false;
  }
  out = value;
  return true;
}

}  // namespace sipscan
