#include "media/foreign_tally.h"

void ForeignTally::Count(const InetAddr& src, uint64_t now_ms) {
  if (empty()) start_m = now_ms;
  for (size_t i = 0; i < used_m; ++i) {
    if (entries_m[i].src == src) {
      ++entries_m[i].count;
      return;
    }
  }
  if (used_m == kSources) {
    ++overflow_m;
    return;
  }
  entries_m[used_m++] = Entry{src, 1};
}

int ForeignTally::DueIn(uint64_t now_ms) const {
  if (empty()) return -1;
  const uint64_t due = start_m + kBatchMs;
  return now_ms >= due ? 0 : static_cast<int>(due - now_ms);
}

unsigned ForeignTally::Flush(uint64_t now_ms, const Sink& sink, bool force) {
  if (empty() || (!force && DueIn(now_ms) != 0)) return 0;
  for (size_t i = 0; i < used_m; ++i) sink(entries_m[i].src, entries_m[i].count);
  const unsigned overflow = overflow_m;
  used_m = 0;
  overflow_m = 0;
  return overflow;
}
