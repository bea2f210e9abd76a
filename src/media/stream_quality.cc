#include "media/stream_quality.h"

#include "media/rtp_header.h"

namespace {

constexpr uint32_t kSequenceModulo = 0x10000;
constexpr uint32_t kNoBadSequence = kSequenceModulo;  // a value no sequence number takes
constexpr uint64_t kMicroseconds = 1000000;

// Second bytes of the RTCP packet types (200 to 204); as RTP they would read as marker plus type 72 to 76.
bool IsRtcp(const uint8_t* pkt) { return pkt[1] >= 200 && pkt[1] <= 204; }

}  // namespace

std::string StreamQuality::Figures::Text() const {
  return "pkts=" + std::to_string(packets) + " lost=" + std::to_string(lost) +
         " reord=" + std::to_string(reordered) + " jitter=" + std::to_string(jitter_ms) + "ms";
}

void StreamQuality::SetClockRate(int hz) {
  if (hz <= 0) return;
  clock_rate_.store(hz, std::memory_order_relaxed);
  have_transit_ = false;
}

void StreamQuality::Restart(uint32_t ssrc, uint16_t seq) {
  if (started_) {
    const int64_t expected = extended_max_ - base_ + 1;
    if (expected > static_cast<int64_t>(received_)) lost_before_ += expected - received_;
  }
  started_ = true;
  ssrc_ = ssrc;
  max_seq_ = seq;
  extended_max_ = seq;
  base_ = seq;
  bad_seq_ = kNoBadSequence;
  received_ = 0;
  have_transit_ = false;  // a new sender keeps its own timestamp origin
}

void StreamQuality::Count(const uint8_t* pkt, size_t len, uint64_t arrival_us) {
  if (len < rtp::kHeaderSize || !rtp::IsVersion2(pkt, len) || IsRtcp(pkt)) return;
  const uint16_t seq = rtp::BigEndian16(pkt + 2);
  const uint32_t timestamp = rtp::BigEndian32(pkt + 4);
  const uint32_t ssrc = rtp::Ssrc(pkt, len);
  ++packets_count_;

  if (!started_ || ssrc != ssrc_) {
    Restart(ssrc, seq);
  } else {
    const uint16_t ahead = static_cast<uint16_t>(seq - max_seq_);
    if (ahead < kMaxDropout) {  // in order (0: a duplicate of the highest), the gap counts as lost
      extended_max_ += ahead;
      max_seq_ = seq;
    } else if (ahead <= kSequenceModulo - kMaxMisorder) {
      // A jump: a stray packet, unless the next one follows it, which means the sender restarted.
      if (seq != bad_seq_) {
        bad_seq_ = (seq + 1u) & (kSequenceModulo - 1);
        Publish();
        return;
      }
      Restart(ssrc, seq);
    } else {
      // Late: it was counted as lost when the higher ones came, and it may precede the first one seen.
      ++reordered_count_;
      const int64_t extended = extended_max_ - (kSequenceModulo - ahead);
      if (extended < base_) base_ = extended;
    }
  }
  ++received_;

  // Interarrival jitter: the change of (arrival - timestamp) from one packet to the next, smoothed by 1/16.
  if (!have_transit_ || arrival_us < arrival_origin_us_) {
    arrival_origin_us_ = arrival_us;
    transit_ = 0u - timestamp;
    have_transit_ = true;
  } else {
    const uint64_t hz = static_cast<uint64_t>(clock_rate_.load(std::memory_order_relaxed));
    const uint64_t elapsed = arrival_us - arrival_origin_us_;
    const auto arrival =
        static_cast<uint32_t>(elapsed / kMicroseconds * hz + elapsed % kMicroseconds * hz / kMicroseconds);
    const uint32_t transit = arrival - timestamp;
    const auto step = static_cast<int32_t>(transit - transit_);
    const uint64_t d = step < 0 ? 0u - static_cast<uint64_t>(int64_t{step}) : static_cast<uint64_t>(step);
    transit_ = transit;
    jitter16_ = jitter16_ + d - ((jitter16_ + 8) >> 4);
  }
  Publish();
}

void StreamQuality::Publish() {
  const int64_t expected = extended_max_ - base_ + 1;
  const uint64_t lost = expected > static_cast<int64_t>(received_) ? expected - received_ : 0;
  packets_.store(packets_count_, std::memory_order_relaxed);
  lost_.store(lost_before_ + lost, std::memory_order_relaxed);
  reordered_.store(reordered_count_, std::memory_order_relaxed);
  jitter16_published_.store(jitter16_, std::memory_order_relaxed);
}

StreamQuality::Figures StreamQuality::Snapshot() const {
  Figures f;
  f.packets = packets_.load(std::memory_order_relaxed);
  f.lost = lost_.load(std::memory_order_relaxed);
  f.reordered = reordered_.load(std::memory_order_relaxed);
  const uint64_t jitter16 = jitter16_published_.load(std::memory_order_relaxed);
  const uint64_t hz = static_cast<uint64_t>(clock_rate_.load(std::memory_order_relaxed));
  f.jitter = static_cast<uint32_t>(jitter16 >> 4);
  f.jitter_ms = static_cast<uint32_t>((jitter16 * 1000 + 8 * hz) / (16 * hz));
  return f;
}
