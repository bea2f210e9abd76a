// Segment-and-mantissa G.711 companding on the 14-bit (mu-law) and 13-bit (A-law) magnitudes the
// recommendation defines; a 16-bit sample is first shifted down to that width. Encoding truncates to
// the lower step of the segment, as the classic reference coder does, so the codes match other
// implementations built on it bit for bit.
#include "media/g711.h"

#include <array>

namespace {

constexpr int kUlawBias = 0x21;  // 0x84 at 16 bits: makes segment 0 start at the bias
constexpr int kUlawClip = 8159;  // largest 14-bit magnitude that stays below the top segment's end

// Upper ends of the eight segments, in the shifted magnitude each law works on.
constexpr std::array<int, 8> kUlawSegEnd = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
constexpr std::array<int, 8> kAlawSegEnd = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};

// First segment whose end is not below the magnitude; 8 when the magnitude is beyond them all.
int FindSegment(int magnitude, const std::array<int, 8>& ends) {
  int seg = 0;
  while (seg < 8 && magnitude > ends[seg]) ++seg;
  return seg;
}

}  // namespace

uint8_t linear2ulaw(int16_t pcm) {
  int value = pcm >> 2;
  int mask = 0xFF;
  if (value < 0) {
    value = -value;
    mask = 0x7F;
  }
  if (value > kUlawClip) value = kUlawClip;
  value += kUlawBias;
  int seg = FindSegment(value, kUlawSegEnd);
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int code = (seg << 4) | ((value >> (seg + 1)) & 0x0F);
  return static_cast<uint8_t>(code ^ mask);
}

int16_t ulaw2linear(uint8_t code) {
  int u = static_cast<uint8_t>(~code);
  int magnitude = ((u & 0x0F) << 3) + (kUlawBias << 2);
  magnitude <<= (u & 0x70) >> 4;
  magnitude -= kUlawBias << 2;
  return static_cast<int16_t>((u & 0x80) ? -magnitude : magnitude);
}

uint8_t linear2alaw(int16_t pcm) {
  // The sign bit is set for positive samples, then G.711 inverts the even bits (0x55) of every octet.
  int value = pcm >> 3;
  int mask;
  if (value >= 0) {
    mask = 0xD5;
  } else {
    mask = 0x55;
    value = -value - 1;
  }
  int seg = FindSegment(value, kAlawSegEnd);
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int mantissa = (seg < 2) ? (value >> 1) : (value >> seg);
  int code = (seg << 4) | (mantissa & 0x0F);
  return static_cast<uint8_t>(code ^ mask);
}

int16_t alaw2linear(uint8_t code) {
  int a = code ^ 0x55;
  int seg = (a & 0x70) >> 4;
  int magnitude = (a & 0x0F) << 4;
  if (seg == 0) {
    magnitude += 8;
  } else {
    magnitude = (magnitude + 0x108) << (seg - 1);
  }
  return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

uint8_t alaw2ulaw(uint8_t code) { return linear2ulaw(alaw2linear(code)); }

uint8_t ulaw2alaw(uint8_t code) { return linear2alaw(ulaw2linear(code)); }
