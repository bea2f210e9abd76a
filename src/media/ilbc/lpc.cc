#include "media/ilbc/lpc.h"

#include <cmath>

#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

Lpc bwexpand(const Lpc& a, float gamma) {
  Lpc out{};
  out[0] = a[0];
  float g = gamma;
  for (int i = 1; i <= kOrder; ++i) {
    out[i] = g * a[i];
    g = g * gamma;
  }
  return out;
}

Lpc LsfToLpc(const Lsf& lsf) {
  std::array<float, kOrder> f{};
  for (int i = 0; i < kOrder; ++i) f[i] = lsf[i] * tbl::kPi2;
  if (f[0] <= 0.0f || f[9] >= 0.5f) {
    if (f[0] <= 0.0f) f[0] = tbl::kLsf2aFreq0Fix;
    if (f[9] >= 0.5f) f[9] = tbl::kLsf2aFreq9Fix;
    const float d = (f[9] - f[0]) / 9.0f;
    for (int i = 1; i < kOrder; ++i) f[i] = f[i - 1] + d;
  }
  std::array<float, 5> p{}, q{};
  for (int i = 0; i < 5; ++i) {
    p[i] = fcos(tbl::kTwoPi * f[2 * i]);
    q[i] = fcos(tbl::kTwoPi * f[2 * i + 1]);
  }
  // Impulse response of the two product filters through five second-order sections.
  std::array<float, 6> u{}, v{};
  std::array<float, 5> u1{}, u2{}, v1{}, v2{};
  auto pass = [&] {
    for (int i = 0; i < 5; ++i) {
      u[i + 1] = u[i] - (2.0f * p[i]) * u1[i] + u2[i];
      v[i + 1] = v[i] - (2.0f * q[i]) * v1[i] + v2[i];
      u2[i] = u1[i];
      u1[i] = u[i];
      v2[i] = v1[i];
      v1[i] = v[i];
    }
  };
  u[0] = 0.25f;
  v[0] = 0.25f;
  pass();  // priming: outputs dropped, section memories kept
  Lpc a{};
  for (int j = 0; j < kOrder; ++j) {
    u[0] = j == 0 ? 0.25f : 0.0f;
    v[0] = j == 0 ? -0.25f : 0.0f;
    pass();
    a[j + 1] = 2.0f * (u[5] + v[5]);
  }
  a[0] = 1.0f;
  return a;
}

namespace {

float EvaluateCosPolynomial(const std::array<float, 5>& c, float omega) {
  const float x = fcos(omega * tbl::kTwoPi);
  const float h1 = 2.0f * x + c[0];
  const float h2 = (2.0f * x) * h1 - 1.0f + c[1];
  const float h3 = (2.0f * x) * h2 - h1 + c[2];
  const float h4 = (2.0f * x) * h3 - h2 + c[3];
  return x * h4 - h3 + c[4];
}

}  // namespace

Lsf LpcToLsf(const Lpc& a) {
  std::array<float, 5> p{}, q{};
  for (int i = 0; i < 5; ++i) {
    p[i] = -(a[i + 1] + a[10 - i]);
    q[i] = a[10 - i] - a[i + 1];
  }
  std::array<float, 5> cp{}, cq{};
  cp[0] = -1.0f - p[0];
  for (int i = 1; i < 4; ++i) cp[i] = -cp[i - 1] - p[i];
  cp[4] = (-cp[3] - p[4]) / 2.0f;
  cq[0] = 1.0f - q[0];
  for (int i = 1; i < 4; ++i) cq[i] = cq[i - 1] - q[i];
  cq[4] = (cq[3] - q[4]) / 2.0f;

  const auto& st = tbl::kA2lsfSteps;
  float omega = 0.0f;
  float omega_back = 0.0f;
  std::array<float, 2> old = {tbl::kFloatMax, tbl::kFloatMax};
  Lsf out{};
  for (int r = 0; r < kOrder; ++r) {
    const auto& c = (r % 2 == 0) ? cp : cq;
    float& o = old[r % 2];
    int s = 0;
    float step = st[0];
    for (;;) {
      const float h = EvaluateCosPolynomial(c, omega);
      if (h * o <= 0.0f || omega >= 0.5f) {
        if (s == 3) {
          const float root = (std::fabs(h) >= std::fabs(o)) ? omega - step : omega;
          out[r] = root * tbl::kTwoPi;
          o = (o >= 0.0f) ? -tbl::kFloatMax : tbl::kFloatMax;
          omega = omega_back;
          break;
        }
        if (s == 0) omega_back = omega;
        ++s;
        omega = omega - st[s];
        step = st[s];
      } else {
        o = h;
        omega = omega + step;
      }
    }
  }
  return out;
}

Lsf Interpolate(const Lsf& l1, const Lsf& l2, float w) {
  const float v = 1.0f - w;
  Lsf out{};
  for (int i = 0; i < kOrder; ++i) out[i] = w * l1[i] + v * l2[i];
  return out;
}

void LsfCheck(std::array<Lsf, 2>& lsf) {
  const float eps = tbl::kLsfCheck[0];
  const float eps2 = tbl::kLsfCheck[1];
  const float maxlsf = tbl::kLsfCheck[2];
  const float minlsf = tbl::kLsfCheck[3];
  for (int pass = 0; pass < 2; ++pass) {
    for (auto& l : lsf) {
      for (int k = 0; k < kOrder - 1; ++k) {
        const float x = l[k];
        const float y = l[k + 1];
        if (y - x < eps) {
          if (y < x) {
            l[k + 1] = x + eps2;
            l[k] = l[k + 1] - eps2;
          } else {
            l[k] = x - eps2;
            l[k + 1] = y + eps2;
          }
        }
        if (l[k] < minlsf) l[k] = minlsf;
        if (l[k] > maxlsf) l[k] = maxlsf;
      }
    }
  }
}

Lpc levinson(const std::array<float, kOrder + 1>& r) {
  Lpc a{};
  a[0] = 1.0f;
  if (r[0] < tbl::kEps) return a;
  float k = -r[1] / r[0];
  a[1] = k;
  float alpha = r[0] + r[1] * k;
  for (int m = 1; m < kOrder; ++m) {
    float sigma = r[m + 1];
    for (int i = 0; i < m; ++i) sigma = sigma + a[i + 1] * r[m - i];
    k = -sigma / alpha;
    alpha = alpha + k * sigma;
    Lpc next = a;
    for (int i = 1; i <= m; ++i) next[i] = a[i] + k * a[m + 1 - i];
    next[m + 1] = k;
    a = next;
  }
  return a;
}

bool DequantiseLsf(std::span<const int, 3> idx, Lsf& out) {
  if (idx[0] < 0 || idx[0] >= static_cast<int>(tbl::kLsfCbSplit1.size()) || idx[1] < 0 ||
      idx[1] >= static_cast<int>(tbl::kLsfCbSplit2.size()) || idx[2] < 0 ||
      idx[2] >= static_cast<int>(tbl::kLsfCbSplit3.size())) {
    return false;
  }
  const auto& c1 = tbl::kLsfCbSplit1[idx[0]];
  const auto& c2 = tbl::kLsfCbSplit2[idx[1]];
  const auto& c3 = tbl::kLsfCbSplit3[idx[2]];
  for (int i = 0; i < 3; ++i) out[i] = c1[i];
  for (int i = 0; i < 3; ++i) out[3 + i] = c2[i];
  for (int i = 0; i < 4; ++i) out[6 + i] = c3[i];
  return true;
}

namespace {

template <std::size_t Dim, std::size_t Size>
int Nearest(const std::array<std::array<float, Dim>, Size>& cb, const float* x) {
  float best = tbl::kFloatMax;
  int best_j = 0;
  for (std::size_t j = 0; j < Size; ++j) {
    float t = x[0] - cb[j][0];
    float d = t * t;
    for (std::size_t i = 1; i < Dim; ++i) {
      t = x[i] - cb[j][i];
      d = d + t * t;
    }
    if (d < best) {
      best = d;
      best_j = static_cast<int>(j);
    }
  }
  return best_j;
}

}  // namespace

std::array<int, 3> QuantiseLsf(const Lsf& lsf, Lsf& dequantised) {
  std::array<int, 3> idx = {Nearest(tbl::kLsfCbSplit1, lsf.data()),
                            Nearest(tbl::kLsfCbSplit2, lsf.data() + 3),
                            Nearest(tbl::kLsfCbSplit3, lsf.data() + 6)};
  DequantiseLsf(idx, dequantised);
  return idx;
}

SubLpcs SubblockLpcs(const Lsf& prev, const Lsf& l1, const Lsf& l2) {
  SubLpcs out{};
  for (int k = 0; k < kNumSub; ++k) {
    const float w = tbl::kLsfWeight30ms[k];
    out[k] = LsfToLpc(k == 0 ? Interpolate(prev, l1, w) : Interpolate(l1, l2, w));
  }
  return out;
}

}  // namespace ostrel::ilbc
