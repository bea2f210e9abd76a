// The counters of the metrics endpoint that live in the core (the events that the intake, the call hooks and
// the events port see), and the snapshot of every layer's figures that a scrape takes. The counters are
// relaxed atomics bumped where the event happens; nothing on the SIP or media path waits for a scrape.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "core/metrics_text.h"

class Call;
class SipMessage;

namespace metrics {

template <size_t N>
using CounterArray = std::array<std::atomic<uint64_t>, N>;

struct Counts {
  CounterArray<SipStartLine::METHOD_COUNT> requests{};
  CounterArray<kResponseClasses> responses{};
  std::atomic<uint64_t> register_cache_hits{0};
  std::atomic<uint64_t> calls_started{0}, calls_answered{0}, calls_completed{0};
  std::atomic<uint64_t> calls_timeout{0}, calls_cancelled{0}, calls_rejected{0};
  std::array<std::atomic<uint64_t>, 2> media_lost{}, media_reordered{};
  std::array<CounterArray<kJitterBucketsMs.size() + 1>, 2> jitter_buckets{};
  std::array<std::atomic<uint64_t>, 2> jitter_sum_ms{}, jitter_count{};
  std::atomic<uint64_t> ha_sent{0}, ha_received{0};
};
extern Counts g_counts;

inline void Bump(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }
// A message parsed by a reader: its method or its status class.
void CountMessage(const SipMessage& msg);
// A call's event (Call::CallEventType); the first one after an anchored call's relay stopped adds its audio
// quality.
void CountCallEvent(const Call& call, int ev);

// Every layer's figures now. The dialog figures come from a walk of the table under its read lock, each call
// locked briefly in turn, as housekeeping does; the rest are atomics. The listener's thread.
Snapshot Collect();

// Start-up (main thread, after the threads' signal mask is set): binds the `metrics` address when one is
// configured; exits the process when it cannot. Stop: before the dialogs are destroyed.
void StartEndpoint();
void StopEndpoint();

}  // namespace metrics
