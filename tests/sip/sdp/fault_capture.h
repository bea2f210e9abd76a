// Collects the texts the SDP code reports through the message library's log hook, so that tests can check
// exactly what an operator would read. One capture at a time, on the test's thread.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/log.h"

class FaultCapture {
 public:
  FaultCapture() : saved_(g_parse_error_log.exchange(&Capture)) { Texts().clear(); }
  ~FaultCapture() { g_parse_error_log = saved_; }
  FaultCapture(const FaultCapture&) = delete;
  FaultCapture& operator=(const FaultCapture&) = delete;

  const std::vector<std::string>& texts() const { return Texts(); }
  void clear() { Texts().clear(); }

 private:
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static void Capture(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    Texts().emplace_back(buf);
  }

  ParseErrorLogFn saved_;
};
