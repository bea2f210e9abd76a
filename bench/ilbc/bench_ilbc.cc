// Microseconds per encoded and per decoded iLBC 30 ms frame on one core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"

namespace {

using namespace ostrel::ilbc;

constexpr int kFrames = 100;

// Voiced-like test signal: a few harmonics with vibrato plus noise, so the searches do real work.
std::vector<std::int16_t> signal() {
  std::vector<std::int16_t> x(kFrames * kFrameSamples);
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 300.0);
  double phase = 0;
  for (std::size_t n = 0; n < x.size(); ++n) {
    const double f0 = 140.0 + 20.0 * std::sin(2 * std::numbers::pi * 3.0 * double(n) / 8000.0);
    phase += 2 * std::numbers::pi * f0 / 8000.0;
    double v = noise(rng);
    for (int h = 1; h <= 6; ++h) v += 4000.0 / h * std::sin(h * phase);
    x[n] = static_cast<std::int16_t>(std::clamp(v, -32000.0, 32000.0));
  }
  return x;
}

std::vector<std::array<std::uint8_t, kFrameBytes>> encoded(const std::vector<std::int16_t>& pcm) {
  Encoder enc;
  std::vector<std::array<std::uint8_t, kFrameBytes>> frames(kFrames);
  for (int f = 0; f < kFrames; ++f) {
    enc.Encode(std::span<const std::int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples),
               frames[f]);
  }
  return frames;
}

void BM_Encode(benchmark::State& state) {
  const auto pcm = signal();
  Encoder enc;
  std::array<std::uint8_t, kFrameBytes> out{};
  int f = 0;
  for (auto _ : state) {
    enc.Encode(std::span<const std::int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples),
               out);
    benchmark::DoNotOptimize(out);
    f = (f + 1) % kFrames;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMicrosecond);

void BM_Decode(benchmark::State& state) {
  const auto frames = encoded(signal());
  Decoder dec(state.range(0) != 0);
  std::array<std::int16_t, kFrameSamples> out{};
  int f = 0;
  for (auto _ : state) {
    dec.Decode(frames[f], out);
    benchmark::DoNotOptimize(out);
    f = (f + 1) % kFrames;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decode)->Arg(1)->ArgName("enhancer")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->Arg(0)->ArgName("enhancer")->Unit(benchmark::kMicrosecond);

void BM_Conceal(benchmark::State& state) {
  Decoder dec(true);
  std::array<std::int16_t, kFrameSamples> out{};
  for (auto _ : state) {
    dec.Conceal(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Conceal)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
