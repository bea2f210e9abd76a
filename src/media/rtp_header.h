// Bounds-checked views of the few RTP header fields the relay reads (version, sequence number, SSRC) and
// the size limits of a relayed packet. Pure functions over caller-owned bytes: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtp {

// Largest packet a media socket carries, including what an SRTP transform appends in place.
constexpr size_t kPacketBuffer = 2048;
// Largest trailer a transform may append: the SRTCP index word (4) and an 80-bit tag (10).
constexpr size_t kMaxTrailer = 14;
// Largest datagram the relay reads, so that an in-place transform never runs past kPacketBuffer.
constexpr size_t kMaxReceive = kPacketBuffer - kMaxTrailer;
constexpr size_t kHeaderSize = 12;

inline uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The top two bits of the first byte are 10.
inline bool IsVersion2(const uint8_t* pkt, size_t len) { return len >= 1 && (pkt[0] & 0xC0) == 0x80; }

// The sequence number (bytes 2 and 3, host order); 0 for a packet too short to carry one.
inline uint16_t Sequence(const uint8_t* pkt, size_t len) {
  return len >= kHeaderSize ? BigEndian16(pkt + 2) : 0;
}

// The synchronisation source (bytes 8 to 11, host order); 0 for a packet too short to carry one.
inline uint32_t Ssrc(const uint8_t* pkt, size_t len) { return len >= kHeaderSize ? BigEndian32(pkt + 8) : 0; }

}  // namespace rtp
