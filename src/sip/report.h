// How the message library reports why a parse failed: one fixed text through the log hook. Any thread.
#pragma once

#include "foundation/log.h"

inline void SipReport(const char* text) {
  if (ParseErrorLogFn hook = g_parse_error_log.load(std::memory_order_relaxed)) hook("%s", text);
}
