// G.711 companding checked against an independent coder (Python's audioop, the classic reference code):
// whole-table fingerprints plus the landmark codes a reader can verify by hand.
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

struct Landmark {
  int16_t sample;
  uint8_t ulaw;
  uint8_t alaw;
};

TEST(G711Landmarks, SilenceSmallAndFullScaleSamples) {
  const Landmark cases[] = {
      {0, 0xFF, 0xD5},    {1, 0xFF, 0xD5},     {-1, 0x7E, 0x55},     {100, 0xF2, 0xD3},
      {-100, 0x72, 0x53}, {32767, 0x80, 0xAA}, {-32768, 0x00, 0x2A},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sample);
    EXPECT_EQ(linear2ulaw(c.sample), c.ulaw);
    EXPECT_EQ(linear2alaw(c.sample), c.alaw);
  }
  EXPECT_EQ(ulaw2linear(0x00), -32124);
  EXPECT_EQ(ulaw2linear(0x80), 32124);
  EXPECT_EQ(ulaw2linear(0xFF), 0);
  EXPECT_EQ(ulaw2linear(0x7F), 0);
  EXPECT_EQ(alaw2linear(0xD5), 8);
  EXPECT_EQ(alaw2linear(0x55), -8);
  EXPECT_EQ(alaw2linear(0xAA), 32256);
  EXPECT_EQ(alaw2linear(0x2A), -32256);
}

// Every decoded level encodes back to its code, and converting between the laws keeps the level within
// one step (steps double per segment; the largest mu-law step is 1024 at 16 bits) and the sign.
TEST(G711RoundTrip, DecodedLevelsEncodeBackAndCrossLawConversionKeepsTheLevel) {
  for (int c = 0; c < 256; ++c) {
    auto code = static_cast<uint8_t>(c);
    // 0x7F is mu-law's negative zero; it decodes to 0, whose code is the positive zero 0xFF.
    if (code != 0x7F) {
      EXPECT_EQ(linear2ulaw(ulaw2linear(code)), code) << c;
    }
    EXPECT_EQ(linear2alaw(alaw2linear(code)), code) << c;
    const int original = alaw2linear(code), converted = ulaw2linear(alaw2ulaw(code));
    EXPECT_LE(std::abs(original - converted), 1024) << c;
    EXPECT_EQ(original < 0, converted < 0) << c;
  }
  EXPECT_EQ(ulaw2alaw(0xFF), 0xD5);            // mu-law zero becomes A-law's smallest positive level
  EXPECT_EQ(ulaw2linear(alaw2ulaw(0xD5)), 8);  // and that level, 8, exists in mu-law too
}

}  // namespace
