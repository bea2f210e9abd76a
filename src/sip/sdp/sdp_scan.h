// Bounded readers for the words and numbers of one SDP line, and the hook that reports parse faults.
// No shared state beyond the log hook: safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sdp_scan {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

// The text up to the next blank or tab; s is left at that blank (or empty).
inline std::string_view TakeWord(std::string_view& s) {
  size_t i = 0;
  while (i < s.size() && !IsBlank(s[i])) ++i;
  std::string_view word = s.substr(0, i);
  s.remove_prefix(i);
  return word;
}

// The text up to the first `stop` character; s is left after it (or empty when there is none).
inline std::string_view TakeUntil(std::string_view& s, char stop) {
  size_t i = s.find(stop);
  std::string_view head = s.substr(0, i);
  s.remove_prefix(i == std::string_view::npos ? s.size() : i + 1);
  return head;
}

inline bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Appends the blank- or tab-separated words of s.
void SplitWords(std::string_view s, std::vector<std::string>& out);

// The leading decimal digits of s as a number (0 when there are none). False when they overflow an int.
bool LeadingNumber(std::string_view s, int& out);

// A transport port: digits only, 0 to 65535.
bool PortNumber(std::string_view s, int& out);

bool IEquals(std::string_view a, std::string_view b);

void AppendInt(std::string& out, int n);

// Reports one fault text through the message library's log hook.
void Fault(const char* text);

}  // namespace sdp_scan
