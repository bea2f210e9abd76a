// Logging: one write() per line to descriptor 1, which points at an append-only file or a connected
// syslog UDP socket. Any thread may log at any time without a lock; OpenLog runs on the reactor thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <string>

enum LogLevel_t {
  LOG_ALWAYS = 0,
  LOG_ERROR = 1,
  LOG_DEBUG = 2,
  LOG_TRACE = 4,
  LOG_SHORT = 8,
  LOG_FULL = 16,
  LOG_REG_REGUL = 256,
  LOG_REG_CACHE = 512,
  LOG_LEVELS = 65535,
};
// The registration bits share the one enumeration so that levels combine without casts.
using MLogLevel_t = LogLevel_t;
constexpr int LOG_CORE = 0x20000000;

struct AppLogBlock {
  // Written only by the reactor thread (start-up, re-read); read by every logging thread.
  std::atomic<off_t> ALogLimit{0xFFFFE000};
  std::atomic<int> ALogLevel{static_cast<int>(0xFFFF0001u)};
  std::atomic<int> ASysLFaclt{128};
  // Points at a buffer that stays valid for the process's life (see SetAppName).
  std::atomic<const char*> AName{"qapp"};

  int SetLimit(const std::string& text);
  int SetLevel(std::string& text);
  int SetFacility(std::string& text);
  int SetHost(const std::string& host);
  std::string GetHost();
  // Copies name into one of a few stable buffers so that readers on other threads never see freed text.
  void SetAppName(const std::string& name);
};

extern AppLogBlock GLogBlock;

// The hook through which the SIP message code reports its parse errors: standard error until a log target
// was chosen, then the log.
using FLogFn = void (*)(const char* fmt, ...);
extern std::atomic<FLogFn> _flog;
void _FLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void _ILog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

void LogVar(const char* tag, int level, const char* fmt, va_list ap);
void Log(const char* tag, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void Log(int number, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// A dialog's message: a non-zero threshold replaces the global mask for it.
void Log(const char* tag, int level, int threshold, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
void Log(int number, int level, int threshold, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

// Chooses or re-opens the log target: a file name, or "syslog [facility [host[:port]]]". 1 on success.
int OpenLog(const std::string& name);
