// Collects what the message library reports through its log hook, so tests can check the exact texts, and
// runs tables of protocol examples through a parser. Single-threaded test use only.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "foundation/log.h"

namespace sip_test {

inline std::vector<std::string>& flog_lines() {
  static std::vector<std::string> lines;
  return lines;
}

inline void capture_flog(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  flog_lines().emplace_back(buf);
}

class FlogCapture {
 public:
  FlogCapture() : saved_(g_parse_error_log) {
    flog_lines().clear();
    g_parse_error_log = capture_flog;
  }
  ~FlogCapture() { g_parse_error_log = saved_; }
  FlogCapture(const FlogCapture&) = delete;
  FlogCapture& operator=(const FlogCapture&) = delete;

  const std::vector<std::string>& lines() const { return flog_lines(); }
  std::string last() const { return flog_lines().empty() ? std::string() : flog_lines().back(); }
  void clear() { flog_lines().clear(); }

 private:
  void (*saved_)(const char*, ...);
};

// A protocol example: a text, and its assembled form or, when it is refused, the text reported ("" = none).
struct ParseCase {
  const char* text;
  const char* expected;
  bool ok;
};

// Parses each text into a fresh T with `parse`, then compares what T assembles or what was reported.
template <class T, class Parse>
void check_cases(std::span<const ParseCase> cases, Parse parse) {
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    FlogCapture log;
    T value;
    EXPECT_EQ(parse(value, c.text), c.ok);
    std::string out;
    if (c.ok)
      EXPECT_EQ(value.Assemble(out), c.expected);
    else
      EXPECT_EQ(log.last(), c.expected);
  }
}

template <class T>
void check_cases(std::span<const ParseCase> cases) {
  check_cases<T>(cases, [](T& value, const char* text) { return value.Parse(text); });
}

}  // namespace sip_test
