// Collects what the message library reports through its log hook, so tests can check the exact texts.
// Single-threaded test use only.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/log.h"

namespace sip_test {

inline std::vector<std::string>& flog_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

inline void capture_flog(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    flog_lines().emplace_back(buf);
}

class FlogCapture {
public:
    FlogCapture() : saved_(g_parse_error_log)
    {
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

} // namespace sip_test
