// ForeignTally: counts packets from foreign sources on one relay thread and hands them on in batches, at
// most once per batch period, so a flood costs the relay a counter per packet. Owned by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "foundation/inet_addr.h"

class ForeignTally {
 public:
  static constexpr uint64_t kBatchMs = 100;
  // Distinct sources kept per batch; packets of further sources are only counted (Overflow), so a flood of
  // forged addresses costs neither memory nor time.
  static constexpr size_t kSources = 16;

  using Sink = std::function<void(const InetAddress& src, unsigned count)>;

  void Count(const InetAddress& src, uint64_t now_ms);
  bool empty() const { return used_ == 0 && overflow_ == 0; }
  // Milliseconds until the batch is due (0 when due now); -1 when there is nothing to hand on.
  int DueIn(uint64_t now_ms) const;
  // Hands the batch on when it is due (or at once with force) and starts a new one. Returns the packets of
  // sources beyond kSources in the batch handed on.
  unsigned Flush(uint64_t now_ms, const Sink& sink, bool force = false);

 private:
  struct Entry {
    InetAddress src;
    unsigned count;
  };
  std::array<Entry, kSources> entries_{};
  size_t used_ = 0;
  unsigned overflow_ = 0;
  uint64_t start_ = 0;  // time of the batch's first packet
};
