// Encoder output against the reference bitstream, bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <sstream>
#include <vector>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/encoder.h"
#include "media/ilbc/vectors.h"

namespace ostrel::ilbc {
namespace {

std::string describe(std::span<const std::uint8_t, kFrameBytes> got, std::span<const std::uint8_t, kFrameBytes> want) {
  const auto a = UnpackRaw(got);
  const auto b = UnpackRaw(want);
  std::ostringstream os;
  auto field = [&](const char* name, int x, int y) {
    if (x != y) os << " " << name << " " << x << " (want " << y << ")";
  };
  for (int i = 0; i < 6; ++i) field("lsf", a.lsf[i], b.lsf[i]);
  field("start", a.start, b.start);
  field("state_first", a.state_first, b.state_first);
  field("idx_for_max", a.idx_for_max, b.idx_for_max);
  for (int i = 0; i < kStateShort; ++i) field("q", a.state[i], b.state[i]);
  for (int i = 0; i < kStages; ++i) field("ext_cb", a.ext_cb[i], b.ext_cb[i]);
  for (int i = 0; i < kStages; ++i) field("ext_gain", a.ext_gain[i], b.ext_gain[i]);
  for (int i = 0; i < 12; ++i) field("cb", a.cb[i], b.cb[i]);
  for (int i = 0; i < 12; ++i) field("gain", a.gain[i], b.gain[i]);
  return os.str();
}

TEST(EncoderVectors, MatchesReferenceBitstream) {
  ILBC_LOAD_VECTOR(input, "input30.pcm");
  ILBC_LOAD_VECTOR(expected, "encoded30.bin");
  const auto pcm = testing::as_pcm(input);
  const std::size_t frames = pcm.size() / kFrameSamples;
  ASSERT_EQ(frames * kFrameBytes, expected.size());

  Encoder enc;
  std::vector<std::uint8_t> got(expected.size());
  int differing = 0;
  std::string first;
  for (std::size_t f = 0; f < frames; ++f) {
    auto in = std::span<const std::int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples);
    auto out = std::span<std::uint8_t, kFrameBytes>(got.data() + f * kFrameBytes, kFrameBytes);
    enc.Encode(in, out);
    auto want = std::span<const std::uint8_t, kFrameBytes>(expected.data() + f * kFrameBytes, kFrameBytes);
    if (!std::equal(out.begin(), out.end(), want.begin())) {
      if (differing++ == 0) first = "frame " + std::to_string(f) + ":" + describe(out, want);
    }
  }
  EXPECT_EQ(differing, 0) << "first: " << first;
}

}  // namespace
}  // namespace ostrel::ilbc
