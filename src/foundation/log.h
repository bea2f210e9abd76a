// Logging: one write() per line to descriptor 1, which points at an append-only file or a connected
// syslog UDP socket. Any thread may log at any time without a lock; OpenLog runs on the reactor thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <string>

enum LogLevelBit {
  LEVEL_ALWAYS = 0,
  LEVEL_ERROR = 1,
  LEVEL_DEBUG = 2,
  LEVEL_TRACE = 4,
  LEVEL_SHORT = 8,
  LEVEL_FULL = 16,
  LEVEL_REGISTRATION_REGULATION = 256,
  LEVEL_REGISTRATION_CACHE = 512,
  LEVEL_MASK = 65535,
  // The "core" subsystem bit of a log-level expression: lines of the relay core itself.
  LEVEL_CORE = 0x20000000,
};

struct AppLogBlock {
  // Written only by the reactor thread (start-up, re-read); read by every logging thread.
  std::atomic<off_t> size_limit{0xFFFFE000};
  std::atomic<int> level{static_cast<int>(0xFFFF0001u)};
  std::atomic<int> syslog_facility{128};
  // Points at a buffer that stays valid for the process's life (see SetAppName).
  std::atomic<const char*> app_name{"qapp"};

  int SetLimit(const std::string& text);
  int SetLevel(std::string& text);
  int SetFacility(std::string& text);
  int SetHost(const std::string& host);
  std::string GetHost();
  // Copies name into one of a few stable buffers so that readers on other threads never see freed text.
  void SetAppName(const std::string& name);
};

extern AppLogBlock g_log_block;

// The hook through which the SIP message code reports its parse errors: standard error until a log target
// was chosen, then the log (folded per message by a FaultTally, rate-limited by g_fault_lines).
using ParseErrorLogFn = void (*)(const char* fmt, ...);
extern std::atomic<ParseErrorLogFn> g_parse_error_log;
void ParseErrorToLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ParseErrorToStderr(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

void LogVar(const char* tag, int level, const char* fmt, va_list ap);
void Log(const char* tag, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void Log(int number, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// A dialog's message: a non-zero threshold replaces the global mask for it.
void Log(const char* tag, int level, int threshold, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void Log(int number, int level, int threshold, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

// Chooses or re-opens the log target: a file name, or "syslog [facility [host[:port]]]". 1 on success.
int OpenLog(const std::string& name);
