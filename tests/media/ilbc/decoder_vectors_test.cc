// Decoder output against the reference decoder, bit for bit, with and without losses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "media/ilbc/decoder.h"
#include "media/ilbc/vectors.h"

namespace ostrel::ilbc {
namespace {

struct Case {
  const char* expected;
  bool enhancer;
  bool with_losses;
  friend std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.expected; }
};

class DecoderVectors : public ::testing::TestWithParam<Case> {};

TEST_P(DecoderVectors, MatchesReferenceBitForBit) {
  const Case c = GetParam();
  ILBC_LOAD_VECTOR(bits, "encoded30.bin");
  ILBC_LOAD_VECTOR(loss, "loss30.bin");
  ILBC_LOAD_VECTOR(ref_bytes, c.expected);
  const auto ref = testing::as_pcm(ref_bytes);
  const std::size_t frames = bits.size() / kFrameBytes;
  ASSERT_EQ(frames, 320u);
  ASSERT_EQ(ref.size(), frames * kFrameSamples);

  Decoder dec(c.enhancer);
  std::vector<std::int16_t> got(ref.size());
  for (std::size_t f = 0; f < frames; ++f) {
    auto out = std::span<std::int16_t, kFrameSamples>(got.data() + f * kFrameSamples, kFrameSamples);
    if (c.with_losses && loss[f] == 0) {
      dec.Conceal(out);
    } else {
      const auto frame = std::span<const std::uint8_t, kFrameBytes>(bits.data() + f * kFrameBytes, kFrameBytes);
      EXPECT_TRUE(dec.Decode(frame, out)) << "frame " << f;
    }
  }
  std::size_t first_diff = got.size(), diffs = 0;
  int max_diff = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] != ref[i]) {
      if (first_diff == got.size()) first_diff = i;
      ++diffs;
      max_diff = std::max(max_diff, std::abs(got[i] - ref[i]));
    }
  }
  EXPECT_EQ(diffs, 0u) << "first difference at sample " << first_diff << " (frame "
                       << first_diff / kFrameSamples << "), max |diff| " << max_diff;
}

INSTANTIATE_TEST_SUITE_P(
    Golden, DecoderVectors,
    ::testing::Values(Case{"extra_decoded30_false_noloss.pcm", false, false},
                      Case{"extra_decoded30_true_noloss.pcm", true, false},
                      Case{"decoded30_false.pcm", false, true}, Case{"decoded30_true.pcm", true, true}),
    [](const auto& info) {
      return std::string(info.param.enhancer ? "Enhancer" : "Plain") +
             (info.param.with_losses ? "WithLosses" : "NoLoss");
    });

}  // namespace
}  // namespace ostrel::ilbc
