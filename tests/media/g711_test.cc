// G.711 companding checked against an independent coder (Python's audioop, the classic reference code) by
// whole-table fingerprints, and the conversion between the two laws.
#include "media/g711.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// FNV-1a over a byte sequence: a compact fingerprint of a whole code or sample table.
uint32_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint32_t h = 0x811c9dc5u;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 0x01000193u;
  }
  return h;
}

template <typename Encode>
std::vector<uint8_t> EncodeAllSamples(Encode encode) {
  std::vector<uint8_t> out;
  out.reserve(65536);
  for (int x = -32768; x <= 32767; ++x) out.push_back(encode(static_cast<int16_t>(x)));
  return out;
}

// Decoded samples as little-endian 16-bit words, the layout the reference fingerprint was taken over.
template <typename Decode>
std::vector<uint8_t> DecodeAllCodes(Decode decode) {
  std::vector<uint8_t> out;
  for (int c = 0; c < 256; ++c) {
    auto s = static_cast<uint16_t>(decode(static_cast<uint8_t>(c)));
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>(s >> 8));
  }
  return out;
}

TEST(G711Reference, EverySampleEncodesAndEveryCodeDecodesAsTheReferenceCoderDoes) {
  EXPECT_EQ(Fnv1a(EncodeAllSamples(linear2ulaw)), 0xf2471a71u);
  EXPECT_EQ(Fnv1a(EncodeAllSamples(linear2alaw)), 0x826fe2c5u);
  EXPECT_EQ(Fnv1a(DecodeAllCodes(ulaw2linear)), 0x715d95a8u);
  EXPECT_EQ(Fnv1a(DecodeAllCodes(alaw2linear)), 0x12fb6645u);
}

// Converting between the laws keeps the level within one step (steps double per segment; the largest mu-law
// step is 1024 at 16 bits) and the sign.
TEST(G711RoundTrip, CrossLawConversionKeepsTheLevel) {
  for (int c = 0; c < 256; ++c) {
    auto code = static_cast<uint8_t>(c);
    const int original = alaw2linear(code), converted = ulaw2linear(alaw2ulaw(code));
    EXPECT_LE(std::abs(original - converted), 1024) << c;
    EXPECT_EQ(original < 0, converted < 0) << c;
  }
  EXPECT_EQ(ulaw2alaw(0xFF), 0xD5);            // mu-law zero becomes A-law's smallest positive level
  EXPECT_EQ(ulaw2linear(alaw2ulaw(0xD5)), 8);  // and that level, 8, exists in mu-law too
}

}  // namespace
