#include "media/client_guard.h"

#include "media/rtp_header.h"

namespace {

// An RTP header with SSRC and sequence number: version 2, long enough, and not RTCP multiplexed on the
// RTP port (its second byte, marker bit included, lies in 192..223 then).
bool IsRtpHeader(const uint8_t* pkt, size_t len) {
  return len >= rtp::kHeaderSize && rtp::IsVersion2(pkt, len) && (pkt[1] < 192 || pkt[1] > 223);
}

}  // namespace

ClientGuard::Verdict ClientGuard::Check(uint32_t src_ip, uint32_t cur_ip, bool switchable, const uint8_t* pkt,
                                        size_t len, uint64_t now_ms) {
  if (src_ip == original_ || src_ip == cur_ip || (alternate_ != 0 && src_ip == alternate_)) return ACCEPT;
  if (!switchable || !rtp::IsVersion2(pkt, len)) return FOREIGN;
  if (Continues(pkt, len)) {
    SwitchTo(src_ip);
    return SWITCHED;
  }
  if (len > kMaxVoicePacket || Candidate(src_ip, pkt, len, now_ms) != Pace::PASSED) return FOREIGN;
  // A candidate that passed keeps counting until the client's stream has been silent long enough.
  if (known_ && now_ms < last_audio_ms_ + kSilenceMs) return FOREIGN;
  SwitchTo(src_ip);
  return SWITCHED;
}

// The client's own stream from a new address: its SSRC, and a sequence number a little behind or ahead of
// the last accepted one (modulo 2^16, so 65535 is followed by 0).
bool ClientGuard::Continues(const uint8_t* pkt, size_t len) const {
  if (!known_ || !IsRtpHeader(pkt, len) || rtp::Ssrc(pkt, len) != last_ssrc_) return false;
  const auto step = static_cast<int16_t>(static_cast<uint16_t>(rtp::Sequence(pkt, len) - last_sequence_));
  return step >= -kSequenceBehind && step <= kSequenceAhead;
}

// A voice stream sends one packet every 10 to 30 ms: after kSwitchCount packets of one SSRC from one address
// the time since its first packet must lie within that pace (20 ms of slack either way).
ClientGuard::Pace ClientGuard::Candidate(uint32_t src_ip, const uint8_t* pkt, size_t len, uint64_t now_ms) {
  const uint32_t ssrc = rtp::Ssrc(pkt, len);
  if (candidate_ip_ != src_ip || candidate_ssrc_ != ssrc) {
    candidate_ip_ = src_ip;
    candidate_ssrc_ = ssrc;
    candidate_start_ = now_ms;
    candidate_count_ = 0;
    return Pace::COUNTING;
  }
  if (++candidate_count_ < kSwitchCount) return Pace::COUNTING;
  const uint64_t elapsed = now_ms - candidate_start_;
  const uint64_t count = candidate_count_;
  if (elapsed + 20 >= 10 * count && elapsed <= 30 * count + 20) return Pace::PASSED;
  candidate_ip_ = 0;
  return Pace::FAILED;
}

void ClientGuard::SwitchTo(uint32_t src_ip) {
  alternate_ = src_ip;
  candidate_ip_ = 0;
}

bool ClientGuard::Accepted(uint32_t src_ip, bool audio, const uint8_t* pkt, size_t len, uint64_t now_ms) {
  candidate_ip_ = 0;
  if (audio) {
    last_audio_ms_ = now_ms;
    if (IsRtpHeader(pkt, len)) {
      known_ = true;
      last_ssrc_ = rtp::Ssrc(pkt, len);
      last_sequence_ = rtp::Sequence(pkt, len);
    }
  }
  if (src_ip == original_ && alternate_ != 0) {
    alternate_ = 0;
    return true;
  }
  return false;
}
