#include "media/foreign_tally.h"

void ForeignTally::Count(const InetAddress& src, uint64_t now_ms) {
  if (empty()) start_ = now_ms;
  for (size_t i = 0; i < used_; ++i) {
    if (entries_[i].src == src) {
      ++entries_[i].count;
      return;
    }
  }
  if (used_ == kSources) {
    ++overflow_;
    return;
  }
  entries_[used_++] = Entry{src, 1};
}

int ForeignTally::DueIn(uint64_t now_ms) const {
  if (empty()) return -1;
  const uint64_t due = start_ + kBatchMs;
  return now_ms >= due ? 0 : static_cast<int>(due - now_ms);
}

unsigned ForeignTally::Flush(uint64_t now_ms, const Sink& sink, bool force) {
  if (empty() || (!force && DueIn(now_ms) != 0)) return 0;
  for (size_t i = 0; i < used_; ++i) sink(entries_[i].src, entries_[i].count);
  const unsigned overflow = overflow_;
  used_ = 0;
  overflow_ = 0;
  return overflow;
}
