// ClientGuard: decides which client addresses may send media into an anchored call (the client's own
// media address, the latched destination, an accepted alternative stream) and recognises a new stream
// that legitimately replaces the client's one. Owned by one relay thread; no locking.
#pragma once

#include <cstddef>
#include <cstdint>

class ClientGuard {
 public:
  enum Verdict : uint8_t {
    ACCEPT,    // a known client address
    FOREIGN,   // an unknown address: drop and report
    SWITCHED,  // an unknown address whose stream is accepted from now on (report it still)
  };

  // orig_ip: the client's public media address (host order).
  explicit ClientGuard(uint32_t orig_ip) : original_(orig_ip) {}

  // A packet from src_ip (host order) on a client socket whose destination address is cur_ip. Only the
  // client audio RTP socket (`switchable`) may switch streams. now_ms: the process's millisecond clock.
  Verdict Check(uint32_t src_ip, uint32_t cur_ip, bool switchable, const uint8_t* pkt, size_t len,
                uint64_t now_ms);
  // An accepted packet: forgets the candidate; true when it came from the original address while an
  // alternative was in use (the original stream is restored).
  bool Accepted(uint32_t src_ip);

  uint32_t Alternative() const { return alternate_; }

 private:
  // A new stream must fill this many packets before its pace is judged.
  static constexpr unsigned kSwitchCount = 25;
  static constexpr size_t kMaxVoicePacket = 200;

  bool Candidate(uint32_t src_ip, const uint8_t* pkt, size_t len, uint64_t now_ms);

  const uint32_t original_;
  uint32_t alternate_ = 0;
  // The stream that may replace the client's: its address, SSRC, first packet time and packets since.
  uint32_t candidate_ip_ = 0;
  uint32_t candidate_ssrc_ = 0;
  uint64_t candidate_start_ = 0;
  unsigned candidate_count_ = 0;
};
