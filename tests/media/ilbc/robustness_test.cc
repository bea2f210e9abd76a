// Decoder behaviour on inputs the golden vectors do not cover: undecodable and arbitrary frames from the
// network, alternating losses, LSF vectors outside the usable range, and the sub-block index mapping.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/decoder.h"
#include "media/ilbc/lpc.h"
#include "media/ilbc/vectors.h"

namespace ostrel::ilbc {
namespace {

double rms(std::span<const std::int16_t> x) {
  double e = 0;
  for (auto v : x) e += double(v) * v;
  return std::sqrt(e / double(x.size()));
}

TEST(Bitstream, SubBlockOneIndicesRoundTripOverTheirReachableSet) {
  for (int i = 0; i < 256; ++i) {
    const bool reachable = i < 44 || (i >= 108 && i < 172) || i >= 236;
    if (!reachable) continue;
    const int t = SubBlock1IndexToWire(i);
    EXPECT_GE(t, 0);
    EXPECT_LT(t, 128);
    EXPECT_EQ(SubBlock1IndexFromWire(t), i);
  }
}

// An undecodable frame must be handled exactly like a lost one, leaving the same state behind.
class InvalidFrame : public ::testing::TestWithParam<int> {};

TEST_P(InvalidFrame, IsConcealedLikeALostFrame) {
  ILBC_LOAD_VECTOR(bits, "encoded30.bin");
  for (bool enhancer : {false, true}) {
    Decoder a(enhancer), b(enhancer);
    std::array<std::int16_t, kFrameSamples> out_a{}, out_b{};
    for (std::size_t f = 0; f < 40; ++f) {
      const auto in = std::span<const std::uint8_t, kFrameBytes>(bits.data() + f * kFrameBytes, kFrameBytes);
      if (f % 10 == 7) {
        FrameParams p = Unpack(in);
        if (GetParam() < 0) {
          p.pad = 1;
        } else {
          p.start = GetParam();
        }
        std::array<std::uint8_t, kFrameBytes> bad{};
        Pack(p, bad);
        EXPECT_FALSE(a.Decode(bad, out_a));
        b.Conceal(out_b);
      } else {
        ASSERT_TRUE(a.Decode(in, out_a));
        ASSERT_TRUE(b.Decode(in, out_b));
      }
      ASSERT_EQ(out_a, out_b) << "frame " << f << " enhancer " << enhancer;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(StartOutOfRangeOrEmpty, InvalidFrame, ::testing::Values(0, 6, 7, -1));

// Random bytes and loss flags: every frame either decodes or is concealed, and the decoder stays
// deterministic (no reads of uninitialised or out-of-table data in the checked build).
TEST(Robustness, RandomFramesDecodeDeterministically) {
  for (bool enhancer : {false, true}) {
    std::mt19937 rng(2024 + enhancer);
    Decoder a(enhancer), b(enhancer);
    std::array<std::uint8_t, kFrameBytes> frame{};
    std::array<std::int16_t, kFrameSamples> out_a{}, out_b{};
    int decoded = 0, rejected = 0;
    for (int f = 0; f < 600; ++f) {
      for (auto& byte : frame) byte = static_cast<std::uint8_t>(rng());
      if (rng() % 5 == 0) {
        a.Conceal(out_a);
        b.Conceal(out_b);
      } else {
        const bool ok = a.Decode(frame, out_a);
        ASSERT_EQ(b.Decode(frame, out_b), ok);
        (ok ? decoded : rejected)++;
      }
      ASSERT_EQ(out_a, out_b) << "frame " << f;
    }
    EXPECT_GT(decoded, 100);
    EXPECT_GT(rejected, 50);
  }
}

// Lost, good, lost, ...: every concealment follows a single good frame decoded right after a
// concealed one, so it takes its lag from the enhancer's recovery path. It must stay within the
// level of the signal (and, in the checked build, inside its history buffer).
TEST(Robustness, AlternatingLossesStayBounded) {
  ILBC_LOAD_VECTOR(bits, "encoded30.bin");
  ILBC_LOAD_VECTOR(clean_bytes, "extra_decoded30_false_noloss.pcm");
  const auto clean = testing::as_pcm(clean_bytes);
  const std::size_t frames = bits.size() / kFrameBytes;
  double loudest = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    loudest = std::max(loudest, rms(std::span(clean).subspan(f * kFrameSamples, kFrameSamples)));
  }
  for (bool enhancer : {false, true}) {
    Decoder dec(enhancer);
    std::array<std::int16_t, kFrameSamples> out{};
    for (std::size_t f = 0; f < frames; ++f) {
      if (f % 2 == 0) {
        dec.Conceal(out);
        EXPECT_LE(rms(out), 2 * loudest) << "frame " << f;
      } else {
        ASSERT_TRUE(dec.Decode(
            std::span<const std::uint8_t, kFrameBytes>(bits.data() + f * kFrameBytes, kFrameBytes), out));
      }
    }
  }
}

// 1/A(z) must stay stable even when the LSFs reach 0 or pi, which the conversion repairs.
TEST(Robustness, OutOfRangeLsfsGiveAStableFilter) {
  const std::array<Lsf, 3> cases = {{
      {-0.1f, 0.3f, 0.6f, 0.9f, 1.2f, 1.5f, 1.8f, 2.1f, 2.4f, 2.7f},
      {0.2f, 0.5f, 0.8f, 1.1f, 1.4f, 1.7f, 2.0f, 2.3f, 2.8f, 3.3f},
      {0.0f, 0.3f, 0.6f, 0.9f, 1.2f, 1.5f, 1.8f, 2.1f, 2.4f, 3.1416f},
  }};
  for (const auto& lsf : cases) {
    const Lpc a = LsfToLpc(lsf);
    EXPECT_EQ(a[0], 1.0f);
    // The repaired LSFs sit near DC and half the sampling rate, so the response decays slowly;
    // it must keep decaying, never grow.
    std::vector<double> y(20000, 0.0);
    for (std::size_t n = 0; n < y.size(); ++n) {
      double v = n == 0 ? 1.0 : 0.0;
      for (std::size_t k = 1; k <= kOrder && k <= n; ++k) v -= a[k] * y[n - k];
      y[n] = v;
    }
    std::vector<double> block(5, 0.0);
    for (std::size_t n = 0; n < y.size(); ++n) block[n / 4000] += y[n] * y[n];
    for (std::size_t b = 1; b < block.size(); ++b) {
      EXPECT_TRUE(std::isfinite(block[b]));
      EXPECT_TRUE(block[b] < block[b - 1] || block[b] == 0.0);
    }
    EXPECT_LT(block.back(), block.front() / 100);
  }
}

}  // namespace
}  // namespace ostrel::ilbc
