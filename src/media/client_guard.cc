#include "media/client_guard.h"

#include "media/rtp_header.h"

ClientGuard::Verdict ClientGuard::Check(uint32_t src_ip, uint32_t cur_ip, bool switchable, const uint8_t* pkt,
                                        size_t len, uint64_t now_ms) {
  if (src_ip == original_ || src_ip == cur_ip || (alternate_ != 0 && src_ip == alternate_)) return ACCEPT;
  if (!switchable || len > kMaxVoicePacket || !rtp::IsVersion2(pkt, len)) return FOREIGN;
  return Candidate(src_ip, pkt, len, now_ms) ? SWITCHED : FOREIGN;
}

// A voice stream sends one packet every 10 to 30 ms: after kSwitchCount packets of one SSRC from one address
// the time since its first packet must lie within that pace (20 ms of slack either way).
bool ClientGuard::Candidate(uint32_t src_ip, const uint8_t* pkt, size_t len, uint64_t now_ms) {
  const uint32_t ssrc = rtp::Ssrc(pkt, len);
  if (candidate_ip_ != src_ip || candidate_ssrc_ != ssrc) {
    candidate_ip_ = src_ip;
    candidate_ssrc_ = ssrc;
    candidate_start_ = now_ms;
    candidate_count_ = 0;
    return false;
  }
  if (++candidate_count_ < kSwitchCount) return false;
  const uint64_t elapsed = now_ms - candidate_start_;
  const uint64_t count = candidate_count_;
  if (elapsed + 20 >= 10 * count && elapsed <= 30 * count + 20) {
    alternate_ = src_ip;
    return true;
  }
  candidate_ip_ = 0;
  return false;
}

bool ClientGuard::Accepted(uint32_t src_ip) {
  candidate_ip_ = 0;
  if (src_ip == original_ && alternate_ != 0) {
    alternate_ = 0;
    return true;
  }
  return false;
}
