// Whether a line at a level would be written, for callers that must build costly arguments (message dumps).
// Any thread: it only reads the level mask.
#pragma once

#include "foundation/log.h"

// The filter Log applies: level 0 always passes, otherwise every bit of level must be in the mask.
inline bool LogPasses(int level, int mask) { return level == 0 || (level & mask) == level; }

// A dialog's line: a non-zero threshold replaces the global mask, as in Log(tag, level, threshold, ...).
inline bool LogWanted(int level, int threshold) {
  return LogPasses(level, threshold != 0 ? threshold : g_log_block.level.load(std::memory_order_relaxed));
}
