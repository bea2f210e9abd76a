// ClientGuard: decides which client addresses may send media into an anchored call (the client's own
// media address, the latched destination, an accepted alternative stream) and recognises a new stream
// that legitimately replaces the client's one. Owned by one relay thread; no locking.
//
// Once the client's audio stream is known (its first accepted RTP packet), a stranger cannot take it over
// by sending well-paced packets from another address: a new source replaces it only
//  - at once when its packets continue the known stream (same SSRC, sequence number just around the last
//    one): the client's NAT gave it a new address, or
//  - when the known stream has been silent for kSilenceMs and the new one passed the pace test.
// Until then the new source's packets are foreign: dropped and reported, never relayed.
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

  // How long the client's audio stream must have been silent before a source with another SSRC, or a
  // sequence far from the stream's, may replace it. A live stream sends every 10 to 30 ms; its usual gaps
  // (jitter, a lost burst, the pause of a hold or of silence suppression) stay under a second, and the
  // pace test alone let a stranger in after half a second of such a gap. Longer gaps still leave the
  // stream open to a paced new source; waiting longer would only delay a client that truly started a new
  // stream elsewhere (restarted, another device), which is followed after this second of silence and the
  // pace test. A client whose NAT merely rebinds keeps its SSRC and sequence and is followed at once.
  static constexpr uint64_t kSilenceMs = 1000;

  // orig_ip: the client's public media address (host order).
  explicit ClientGuard(uint32_t orig_ip) : original_(orig_ip) {}

  // A packet from src_ip (host order) on a client socket whose destination address is cur_ip. Only the
  // client audio RTP socket (`switchable`) may switch streams. now_ms: the process's millisecond clock.
  Verdict Check(uint32_t src_ip, uint32_t cur_ip, bool switchable, const uint8_t* pkt, size_t len,
                uint64_t now_ms);
  // An accepted packet (any client socket; `audio` for the client audio RTP socket, whose packets keep the
  // client's stream alive and tell its SSRC and sequence): forgets the candidate; true when it came from
  // the original address while an alternative was in use (the original stream is restored).
  bool Accepted(uint32_t src_ip, bool audio, const uint8_t* pkt, size_t len, uint64_t now_ms);

  uint32_t Alternative() const { return alternate_; }

 private:
  // A new stream must fill this many packets before its pace is judged.
  static constexpr unsigned kSwitchCount = 25;
  static constexpr size_t kMaxVoicePacket = 200;
  // How far a continuing packet's sequence number may lie from the last accepted one (modulo 2^16):
  // a few reordered packets behind, or up to a lost burst of two seconds of 20 ms packets ahead.
  static constexpr int kSequenceBehind = 10;
  static constexpr int kSequenceAhead = 100;

  enum class Pace : uint8_t { COUNTING, PASSED, FAILED };

  bool Continues(const uint8_t* pkt, size_t len) const;
  Pace Candidate(uint32_t src_ip, const uint8_t* pkt, size_t len, uint64_t now_ms);
  void SwitchTo(uint32_t src_ip);

  const uint32_t original_;
  uint32_t alternate_ = 0;
  // The stream that may replace the client's: its address, SSRC, first packet time and packets since.
  uint32_t candidate_ip_ = 0;
  uint32_t candidate_ssrc_ = 0;
  uint64_t candidate_start_ = 0;
  unsigned candidate_count_ = 0;
  // The client's audio stream as its last accepted RTP packet showed it; known_ once there was one.
  bool known_ = false;
  uint32_t last_ssrc_ = 0;
  uint16_t last_sequence_ = 0;
  uint64_t last_audio_ms_ = 0;  // the last accepted packet of the audio socket, RTP or not
};
