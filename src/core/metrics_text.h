// The relay's figures for a monitoring system: a snapshot of every counter and gauge, taken in one go, and
// its Prometheus text exposition (format 0.0.4). The snapshot is plain numbers, so the text is written with
// no lock held. docs/metrics.md tells what each family counts and when it moves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ports/sip_port.h"
#include "sip/start_line.h"

namespace metrics {

// Upper bounds, in milliseconds, of the buckets of the per-call jitter histogram (+Inf follows).
inline constexpr std::array<uint32_t, 9> kJitterBucketsMs = {1, 2, 5, 10, 20, 50, 100, 200, 500};
// Response classes 1xx to 6xx; index 0 holds status codes outside them.
inline constexpr size_t kResponseClasses = 7;
enum Side : size_t { CLIENT = 0, SERVER = 1 };
enum class HaRole : uint8_t { ALONE, MASTER, SLAVE };

struct JitterHistogram {
  std::array<uint64_t, kJitterBucketsMs.size() + 1> buckets{};  // per bucket, not cumulative; last: +Inf
  uint64_t sum_ms = 0;
  uint64_t count = 0;
};

struct Snapshot {
  std::string version;
  double start_time = 0;                                                 // seconds since the epoch
  std::array<std::pair<uint64_t, uint64_t>, kSipPortKinds> datagrams{};  // received, sent; by SipPortKind
  std::array<uint64_t, SipStartLine::METHOD_COUNT> requests{};
  std::array<uint64_t, kResponseClasses> responses{};
  // Dialogs in the table.
  uint64_t dialog_calls = 0, dialog_registrations = 0, dialog_others = 0;
  uint64_t registrations = 0, register_cache_hits = 0;
  // Calls not yet completed, and among them those with a running relay, in zero-media mode, transcoded,
  // terminating SRTP toward the client.
  uint64_t calls_active = 0, calls_anchored = 0, calls_zero_media = 0, calls_transcoded = 0, calls_srtp = 0;
  uint64_t calls_started = 0, calls_answered = 0, calls_completed = 0;
  uint64_t calls_timeout = 0, calls_cancelled = 0, calls_rejected = 0;
  std::array<uint64_t, 2> media_packets{}, media_bytes{};   // accepted from each Side
  std::array<uint64_t, 2> media_lost{}, media_reordered{};  // of each Side's audio, at call end
  std::array<JitterHistogram, 2> jitter{};
  std::array<uint64_t, 2> port_pairs_open{};
  uint64_t port_pairs_range = 0;
  uint64_t queue_length = 0, queue_workers = 0, queue_dropped = 0;
  uint64_t dos_blocked = 0, dos_blocks = 0, dos_shield = 0, firewall_run = 0, firewall_failed = 0;
  HaRole ha_role = HaRole::ALONE;
  uint64_t ha_sent = 0, ha_received = 0, ha_unsent = 0;
  uint64_t ha_forged = 0, ha_replayed = 0, ha_foreign = 0;
  uint64_t rereads_taken = 0, rereads_refused = 0;
};

// A label value with backslash, double quote and line feed escaped as the format requires.
std::string EscapeLabel(const std::string& value);
// The whole exposition: HELP and TYPE before each family's samples.
std::string Text(const Snapshot& s);

}  // namespace metrics
