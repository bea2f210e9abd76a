// How the message library reports why a parse failed: one fixed text through the log hook. Any thread.
#pragma once

#include "foundation/log.h"

inline void sip_report(const char* text)
{
    if (FLogFn hook = _flog.load(std::memory_order_relaxed)) hook("%s", text);
}
