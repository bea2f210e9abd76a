// Encoder then decoder on synthetic signals: level, pitch and polarity must survive the codec,
// which catches sign or scaling slips the golden vectors might not exercise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"

namespace ostrel::ilbc {
namespace {

constexpr double kRate = 8000.0;

std::vector<std::int16_t> tone(double hz, double amplitude, int frames) {
  std::vector<std::int16_t> x(static_cast<std::size_t>(frames) * kFrameSamples);
  for (std::size_t n = 0; n < x.size(); ++n) {
    x[n] = static_cast<std::int16_t>(amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(n) / kRate));
  }
  return x;
}

// A voiced-speech stand-in: a glottal-like pulse train at `f0` through two formant resonators,
// with some breath noise.
std::vector<std::int16_t> voiced_noise(double f0, int frames) {
  std::vector<std::int16_t> x(static_cast<std::size_t>(frames) * kFrameSamples);
  std::mt19937 rng(12345);
  std::normal_distribution<double> noise(0.0, 1.0);
  struct Resonator {
    double a1, a2, y1 = 0, y2 = 0;
    Resonator(double f, double bw) {
      const double r = std::exp(-std::numbers::pi * bw / kRate);
      a1 = 2 * r * std::cos(2 * std::numbers::pi * f / kRate);
      a2 = -r * r;
    }
    double step(double in) {
      const double y = in + a1 * y1 + a2 * y2;
      y2 = y1;
      y1 = y;
      return y;
    }
  };
  Resonator f1(700, 130), f2(1200, 200);
  const double period = kRate / f0;
  double phase = 0;
  for (auto& s : x) {
    double excitation = 0.2 * noise(rng);
    phase += 1.0;
    if (phase >= period) {
      phase -= period;
      excitation += 40.0;
    }
    s = static_cast<std::int16_t>(std::clamp(60.0 * f2.step(f1.step(excitation)), -32000.0, 32000.0));
  }
  return x;
}

std::vector<std::int16_t> round_trip(const std::vector<std::int16_t>& in, bool enhancer) {
  Encoder enc;
  Decoder dec(enhancer);
  std::vector<std::int16_t> out(in.size());
  std::array<std::uint8_t, kFrameBytes> frame{};
  for (std::size_t f = 0; f < in.size() / kFrameSamples; ++f) {
    enc.Encode(std::span<const std::int16_t, kFrameSamples>(in.data() + f * kFrameSamples, kFrameSamples), frame);
    EXPECT_TRUE(dec.Decode(frame, std::span<std::int16_t, kFrameSamples>(out.data() + f * kFrameSamples, kFrameSamples)));
  }
  return out;
}

double rms(std::span<const std::int16_t> x) {
  double e = 0;
  for (auto v : x) e += double(v) * v;
  return std::sqrt(e / double(x.size()));
}

// Lag of the autocorrelation peak within [lo, hi].
int pitch_lag(std::span<const std::int16_t> x, int lo, int hi) {
  int best = lo;
  double best_c = -1e300;
  for (int lag = lo; lag <= hi; ++lag) {
    double c = 0;
    for (std::size_t n = static_cast<std::size_t>(lag); n < x.size(); ++n) c += double(x[n]) * x[n - lag];
    if (c > best_c) {
      best_c = c;
      best = lag;
    }
  }
  return best;
}

// Best normalised correlation of b against a over small shifts: the codec's filters move the
// phase a little, while a polarity slip would leave only strongly negative values.
double correlation(std::span<const std::int16_t> a, std::span<const std::int16_t> b, int max_shift) {
  double best = -1;
  for (int d = -max_shift; d <= max_shift; ++d) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t n = static_cast<std::size_t>(max_shift); n + max_shift < a.size(); ++n) {
      const double x = a[n], y = b[n + d];
      ab += x * y;
      aa += x * x;
      bb += y * y;
    }
    best = std::max(best, ab / std::sqrt(aa * bb));
  }
  return best;
}

struct Check {
  std::span<const std::int16_t> in;
  std::span<const std::int16_t> out;
};

// Skips the first frames (filter and enhancer start-up) and aligns the enhancer's delay.
Check settled(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out, bool enhancer) {
  const std::size_t skip = 10 * kFrameSamples;
  const std::size_t delay = enhancer ? 80 : 0;
  const std::size_t len = in.size() - skip - delay;
  return {std::span(in).subspan(skip, len), std::span(out).subspan(skip + delay, len)};
}

class RoundTrip : public ::testing::TestWithParam<bool> {};

TEST_P(RoundTrip, ToneKeepsLevelPitchAndPolarity) {
  const bool enhancer = GetParam();
  const auto in = tone(250.0, 8000.0, 50);  // period 32 samples
  const auto out = round_trip(in, enhancer);
  const auto c = settled(in, out, enhancer);
  const double gain_db = 20 * std::log10(rms(c.out) / rms(c.in));
  EXPECT_NEAR(gain_db, 0.0, 1.0);
  EXPECT_EQ(pitch_lag(c.out, 20, 45), 32);
  EXPECT_GT(correlation(c.in, c.out, 6), 0.95);
}

TEST_P(RoundTrip, VoicedNoiseKeepsLevelAndPitch) {
  const bool enhancer = GetParam();
  const auto in = voiced_noise(125.0, 60);  // period 64 samples
  const auto out = round_trip(in, enhancer);
  const auto c = settled(in, out, enhancer);
  const double gain_db = 20 * std::log10(rms(c.out) / rms(c.in));
  EXPECT_NEAR(gain_db, 0.0, 2.0);
  EXPECT_EQ(pitch_lag(c.in, 40, 100), 64);
  EXPECT_NEAR(pitch_lag(c.out, 40, 100), 64, 1);
  EXPECT_GT(correlation(c.in, c.out, 6), 0.8);
}

INSTANTIATE_TEST_SUITE_P(EnhancerOffOn, RoundTrip, ::testing::Bool());

}  // namespace
}  // namespace ostrel::ilbc
