#include "media/ilbc/codebook.h"

#include <cmath>

#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

void FilterMemory(std::span<const float> mem, std::span<float> out) {
  const int len = static_cast<int>(mem.size());
  const auto& h = tbl::kCbfilters;
  for (int t = 0; t < len; ++t) {
    float s = 0.0f;
    for (int j = 0; j < 8; ++j) {
      const int u = t + j - 3;
      const float m = (u >= 0 && u < len) ? mem[u] : 0.0f;
      s = s + m * h[7 - j];
    }
    out[t] = s;
  }
}

void AugmentedVector(std::span<const float> x, int lag, std::span<float> out) {
  const int len = static_cast<int>(x.size());
  for (int n = 0; n <= lag - 6; ++n) out[n] = x[len - lag + n];
  float alpha = 0.0f;
  for (int n = lag - 5; n < lag; ++n) {
    out[n] = (1.0f - alpha) * x[len - lag + n] + alpha * x[len - 2 * lag + n];
    alpha = alpha + tbl::kAugInterpStep;
  }
  for (int n = lag; n < kSubLen; ++n) out[n] = x[len - 2 * lag + n];
}

void CodebookVector(const CbShape& shape, std::span<const float> mem, std::span<const float> filt, int index,
                    std::span<float> out) {
  const int L = shape.mem_len;
  const int N = shape.len;
  const int K = shape.Plain();
  const int base = shape.base();
  auto plain = [&](std::span<const float> x, int i) {
    for (int n = 0; n < N; ++n) out[n] = x[L - N - i + n];
  };
  if (index < 0 || index >= shape.size()) {
    for (int n = 0; n < N; ++n) out[n] = 0.0f;
  } else if (index < K) {
    plain(mem, index);
  } else if (index < base) {
    AugmentedVector(mem, index - K + kMinAugLag, out);
  } else if (index < base + K) {
    plain(filt, index - base);
  } else {
    AugmentedVector(filt, index - base - K + kMinAugLag, out);
  }
}

std::array<float, kStages> DequantiseGains(std::span<const int, kStages> idx) {
  std::array<float, kStages> g{};
  g[0] = 1.0f * tbl::kGainSq5[idx[0]];
  float s = std::fabs(g[0]);
  if (s < tbl::kGainScaleFloor) s = tbl::kGainScaleFloor;
  g[1] = s * tbl::kGainSq4[idx[1]];
  s = std::fabs(g[1]);
  if (s < tbl::kGainScaleFloor) s = tbl::kGainScaleFloor;
  g[2] = s * tbl::kGainSq3[idx[2]];
  return g;
}

void ReconstructBlock(const CbShape& shape, std::span<const float> mem, std::span<const int, kStages> cb,
                      std::span<const int, kStages> gain, std::span<float> out) {
  std::array<float, kCbMemLen> filt{};
  FilterMemory(mem, std::span<float>(filt).first(mem.size()));
  const auto f = std::span<const float>(filt).first(mem.size());
  const auto g = DequantiseGains(gain);
  std::array<float, kSubLen> v{};
  const int N = shape.len;
  for (int s = 0; s < kStages; ++s) {
    CodebookVector(shape, mem, f, cb[s], v);
    for (int n = 0; n < N; ++n) out[n] = (s == 0) ? g[0] * v[n] : out[n] + g[s] * v[n];
  }
}

}  // namespace ostrel::ilbc
