// StreamQuality: the quality of one direction of an anchored call as the relay sees it, counted from the RTP
// sequence numbers, timestamps and arrival times alone (RFC 3550 A.1 and A.8; no RTCP needed): packets,
// losses, late packets and interarrival jitter. Count() runs on the one media thread that relays the
// stream and costs a handful of integer operations; Snapshot() and Text() may be called from any thread and
// read the figures the last Count() published.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class StreamQuality {
 public:
  static constexpr int kDefaultClockRate = 8000;  // G.711, G.729, iLBC
  // A packet up to this far ahead of the highest sequence number is in order (the gap counts as lost); up to
  // this far behind it is late. Further in either direction, the sender is taken to have restarted once a
  // second packet follows it.
  static constexpr uint16_t kMaxDropout = 3000;
  static constexpr uint16_t kMaxMisorder = 3000;

  struct Figures {
    uint64_t packets = 0;    // RTP packets counted, over every source of the stream
    uint64_t lost = 0;       // expected minus received, per source and never below 0, summed over sources
    uint64_t reordered = 0;  // packets that came after one with a higher sequence number
    uint32_t jitter = 0;     // interarrival jitter in timestamp units, as a receiver report carries it
    uint32_t jitter_ms = 0;  // the same in milliseconds, rounded

    // "pkts=1234 lost=3 reord=1 jitter=2ms": one line, fields in this order.
    std::string Text() const;
  };

  explicit StreamQuality(int clock_rate = kDefaultClockRate) { SetClockRate(clock_rate); }
  StreamQuality(const StreamQuality&) = delete;
  StreamQuality& operator=(const StreamQuality&) = delete;

  // The RTP clock of the stream's payload, in Hz; a rate of 0 or less is ignored. Called by the media
  // thread (or before it starts); the jitter then starts again from the next packet.
  void SetClockRate(int hz);

  // One received datagram; arrival_us is read from a monotonic clock. Datagrams shorter than an RTP header,
  // not of version 2, or RTCP sharing the port (second byte 200 to 204) are not counted. A new SSRC, or a
  // sequence jump confirmed by the next packet, restarts the sequence tracking: the step counts as no loss.
  void Count(const uint8_t* pkt, size_t len, uint64_t arrival_us);

  Figures Snapshot() const;
  std::string Text() const { return Snapshot().Text(); }

 private:
  void Restart(uint32_t ssrc, uint16_t seq);
  void Publish();

  // Working state, touched only by the media thread.
  bool started_ = false;
  uint32_t ssrc_ = 0;
  uint16_t max_seq_ = 0;        // highest sequence number seen of the current source
  int64_t extended_max_ = 0;    // max_seq_ with the wraps counted
  int64_t base_ = 0;            // extended number of the source's first packet (or an earlier late one)
  uint32_t bad_seq_ = 0x10000;  // the number that confirms a jump (0x10000: none pending)
  uint64_t received_ = 0;       // packets counted against the current source's sequence
  uint64_t lost_before_ = 0;    // losses of earlier sources
  uint64_t packets_count_ = 0;
  uint64_t reordered_count_ = 0;
  bool have_transit_ = false;
  uint64_t arrival_origin_us_ = 0;  // arrival times are converted relative to this
  uint32_t transit_ = 0;            // arrival minus RTP timestamp of the previous packet, timestamp units
  uint64_t jitter16_ = 0;           // jitter in timestamp units, scaled by 16

  // Published by Count() for any reader.
  std::atomic<int> clock_rate_{kDefaultClockRate};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint64_t> reordered_{0};
  std::atomic<uint64_t> jitter16_published_{0};
};
