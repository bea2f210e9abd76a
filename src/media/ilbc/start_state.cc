#include "media/ilbc/start_state.h"

#include <cmath>

#include "media/ilbc/filters.h"
#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

namespace {

constexpr int kPad = kOrder;  // zero history in front of every filtered buffer
constexpr int kAllPassLen = 2 * kStateShort;

// All-pass filter B(z)/A(z) with B the reversed A, over 58 samples followed by 58 zeros;
// returns the output folded onto its first half (a circular-convolution approximation).
void AllPassFold(std::span<const float, kStateShort> in, const Lpc& a, std::span<float, kStateShort> out) {
  Lpc b{};
  for (int k = 0; k <= kOrder; ++k) b[k] = a[kOrder - k];
  std::array<float, kPad + kAllPassLen> t{};
  for (int k = 0; k < kStateShort; ++k) t[kPad + k] = in[k];
  std::array<float, kPad + kAllPassLen> y{};
  AllZero(t, kPad, kAllPassLen, b, std::span<float>(y).subspan(kPad));
  AllPoleInplace(y, kPad, kAllPassLen, a);
  for (int k = 0; k < kStateShort; ++k) out[k] = y[kPad + k] + y[kPad + k + kStateShort];
}

}  // namespace

int ScalarQuantise(float x, std::span<const float> c) {
  const int n = static_cast<int>(c.size());
  if (x <= c[0]) return 0;
  int i = 1;
  while (i < n - 1 && !(x <= c[i])) ++i;
  return (x > (c[i] + c[i - 1]) / 2.0f) ? i : i - 1;
}

void DecodeState(int idx_for_max, std::span<const int, kStateShort> q, const Lpc& a,
                 std::span<float, kStateShort> out) {
  const float scale = fpow10(tbl::kStateFrgq[idx_for_max]) / tbl::kStateScaleTarget;
  // Filtering the time-reversed samples gives the inverse phase response of the encoder's
  // forward all-pass.
  std::array<float, kStateShort> t{};
  for (int k = 0; k < kStateShort; ++k) t[k] = scale * tbl::kStateSq3[q[kStateShort - 1 - k]];
  std::array<float, kStateShort> y{};
  AllPassFold(t, a, y);
  for (int k = 0; k < kStateShort; ++k) out[k] = y[kStateShort - 1 - k];
}

StateCode EncodeState(std::span<const float, kStateShort> v, const Lpc& a, const Lpc& w, const Lpc& w_next,
                      bool state_first) {
  StateCode code;
  std::array<float, kPad + kStateShort> f{};
  auto fs = std::span<float, kStateShort>(f.data() + kPad, kStateShort);
  AllPassFold(v, a, fs);

  float m = fs[0];
  for (int n = 1; n < kStateShort; ++n) {
    if (fs[n] * fs[n] > m * m) m = fs[n];
  }
  m = std::fabs(m);
  if (m < tbl::kStateMinMaxamp) m = tbl::kStateMinMaxamp;
  m = flog10(m);
  code.idx_for_max = ScalarQuantise(m, tbl::kStateFrgq);
  const float qmax = fpow10(tbl::kStateFrgq[code.idx_for_max]);
  const float scal = tbl::kStateScaleTarget / qmax;
  for (auto& x : fs) x = x * scal;

  // Noise-shaped quantisation in the weighted domain; the filter switches at the sub-block edge.
  const int Split = state_first ? kSubLen : kStateShort - kSubLen;
  std::array<float, kPad + kStateShort> g{};
  AllPoleInplace(f, kPad, Split, w);
  const Lpc* c = &w;
  for (int n = 0; n < kStateShort; ++n) {
    if (n == Split) {
      AllPoleInplace(f, kPad + Split, kStateShort - Split, w_next);
      c = &w_next;
    }
    const int pos = kPad + n;
    float p = 0.0f;
    for (int k = 1; k <= kOrder; ++k) p = p - (*c)[k] * g[pos - k];
    const float u = f[pos] - p;
    code.q[n] = ScalarQuantise(u, tbl::kStateSq3);
    float gv = tbl::kStateSq3[code.q[n]];
    for (int k = 1; k <= kOrder; ++k) gv = gv - (*c)[k] * g[pos - k];
    g[pos] = gv;
  }
  return code;
}

}  // namespace ostrel::ilbc
