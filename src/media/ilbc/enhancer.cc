#include "media/ilbc/enhancer.h"

#include <algorithm>
#include <cmath>

#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

namespace {

// Normalised cross-correlation measure used by the lag searches: c1^2/c2 when c1 > 0, else 0.
float CrossCorrelationMeasure(std::span<const float> u, std::span<const float> v, int len) {
  float c1 = 0.0f, c2 = 0.0f;
  for (int i = 0; i < len; ++i) {
    c1 = c1 + u[i] * v[i];
    c2 = c2 + v[i] * v[i];
  }
  return c1 > 0.0f ? (c1 * c1) / c2 : 0.0f;
}

int NearestIndex(const std::array<float, 8>& v, float x) {
  int best = 0;
  float t = v[0] - x;
  float best_d = t * t;
  for (int i = 1; i < 8; ++i) {
    t = v[i] - x;
    const float d = t * t;
    if (d < best_d) {
      best_d = d;
      best = i;
    }
  }
  return best;
}

}  // namespace

Enhancer::Enhancer() { period_.fill(tbl::kEnhPeriodInit); }

int Enhancer::Process(std::span<const float, kFrameSamples> r, bool prev_concealed,
                      std::span<float, kFrameSamples> out) {
  std::copy(buf_.begin() + kFrameSamples, buf_.end(), buf_.begin());
  std::copy(r.begin(), r.end(), buf_.begin() + (kBufLen - kFrameSamples));
  for (int i = 0; i < 5; ++i) period_[i] = period_[i + 3];

  // Low-pass and decimate by two for the pitch search.
  const auto& c = tbl::kLpFiltCoefs;
  for (int k = 0; k < 180; ++k) {
    float s = 0.0f;
    for (int j = 0; j < 7; ++j) {
      const int idx = 283 + 2 * k - j;
      s = s + c[j] * (idx < kBufLen ? buf_[idx] : 0.0f);
    }
    down_[k] = s;
  }
  const std::span<const float> d(down_);
  int lag = 0;
  for (int b = 0; b < 3; ++b) {
    const int at = 60 + 40 * b;
    int best_tau = 10;
    float best = CrossCorrelationMeasure(d.subspan(at), d.subspan(at - 10), 40);
    for (int tau = 11; tau < 60; ++tau) {
      const float m = CrossCorrelationMeasure(d.subspan(at), d.subspan(at - tau), 40);
      if (m > best) {
        best = m;
        best_tau = tau;
      }
    }
    period_[5 + b] = static_cast<float>(2 * best_tau);
    lag = 2 * best_tau;
  }

  if (prev_concealed) RecoverAfterLoss(r);

  for (int b = 0; b < 3; ++b) {
    EnhanceBlock(320 + kBlock * b, std::span<float, kBlock>(out.data() + kBlock * b, kBlock));
  }
  return lag;
}

void Enhancer::RecoverAfterLoss(std::span<const float, kFrameSamples> r) {
  // Pitch of the new frame near the first new block's estimate, at full rate.
  const int lambda0 = static_cast<int>(period_[5]);
  int lambda = lambda0 - 1;
  float best = CrossCorrelationMeasure(r, r.subspan(std::clamp(lambda, 0, kFrameSamples - kBlock)), kBlock);
  for (int l = lambda0; l <= lambda0 + 1; ++l) {
    const float m = CrossCorrelationMeasure(r, r.subspan(std::clamp(l, 0, kFrameSamples - kBlock)), kBlock);
    if (m > best) {
      best = m;
      lambda = l;
    }
  }
  period_[4] = static_cast<float>(lambda);

  // Predict the concealed tail backward from the new frame, limit its energy, cross-fade.
  std::array<float, kBlock> pr{};
  for (int m = 0; m < kBlock; ++m) pr[m] = buf_[320 + lambda + m];
  float e2 = 0.0f;
  for (int i = 0; i < kBlock; ++i) e2 = e2 + buf_[399 - i] * buf_[399 - i];
  float e1 = 0.0f;
  for (int m = 0; m < kBlock; ++m) e1 = e1 + pr[m] * pr[m];
  e1 = fsqrt(e1 / 80.0f);
  e2 = fsqrt(e2 / 80.0f);
  if (e1 > 2.0f * e2 && e1 > 0.0f) {
    const float rho = (2.0f * e2) / e1;
    for (int m = 0; m < 70; ++m) pr[m] = pr[m] * rho;
    for (int m = 70; m < kBlock; ++m) {
      pr[m] = pr[m] * ((static_cast<float>(m - 70) * (1.0f - rho)) / 10.0f + rho);
    }
  }
  for (int i = 0; i < kBlock; ++i) {
    const float phi = static_cast<float>(i + 1) / 81.0f;
    float& e = buf_[399 - i];
    e = e * phi;
    e = e + (1.0f - phi) * pr[79 - i];
  }
}

float Enhancer::Refine(float est, int centre, Segment& seg) {
  const int k = static_cast<int>(static_cast<double>(est) - 0.5);
  const int s0 = std::max(k - 2, 0);
  int s1 = k + 2;
  if (s1 + kBlock >= kBufLen) s1 = kBufLen - 1 - kBlock;
  const int len = std::clamp(s1 - s0 + 1, 1, 5);

  std::array<float, 5> cr{};
  for (int i = 0; i < len; ++i) {
    float s = 0.0f;
    for (int j = 0; j < kBlock; ++j) s = s + buf_[s0 + i + j] * buf_[centre + j];
    cr[i] = s;
  }

  // Four-times up-sampling of the correlation. With only four lags the reference repeats the
  // third output group in place of the fourth; that layout is kept (the extra term it reads
  // is taken as zero).
  const int hf = len / 2;
  std::array<float, 20> up{};
  for (int m = 0; m < len; ++m) {
    const int src = (len == 4 && m == 3) ? 2 : m;
    for (int f = 0; f < 4; ++f) {
      float s = 0.0f;
      for (int kk = 0; kk <= 2 * hf; ++kk) {
        const int ci = src + hf - kk;
        if (ci < 0 || ci >= len) continue;
        s = s + cr[ci] * tbl::kPolyphaser[f][3 - hf + kk];
      }
      up[4 * m + f] = s;
    }
  }
  int tau = 0;
  for (int i = 1; i < 4 * len; ++i) {
    if (up[i] > up[tau]) tau = i;
  }

  // The reference places the next estimate one sample later than the segment it takes.
  const float new_pos = (static_cast<float>(s0) + static_cast<float>(tau) / 4.0f) + 1.0f;
  const int tau2 = (tau + 3) / 4;
  const int st = s0 + tau2 - 3;
  const int phase = 4 * tau2 - tau;
  const auto& h = tbl::kPolyphaser[phase];
  for (int i = 0; i < kBlock; ++i) {
    float s = 0.0f;
    for (int j = 0; j < 7; ++j) {
      const int idx = st + i + j;
      const float v = (idx >= 0 && idx < kBufLen) ? buf_[idx] : 0.0f;
      s = s + v * h[j];
    }
    seg[i] = s;
  }
  return new_pos;
}

void Enhancer::EnhanceBlock(int centre, std::span<float, kBlock> out) {
  const auto& pl = tbl::kEnhPlocs;
  std::array<int, 7> lb{};
  std::array<float, 7> pos{};

  lb[3] = NearestIndex(pl, 0.5f * static_cast<float>(2 * centre + 79));
  pos[3] = static_cast<float>(centre);
  std::copy_n(buf_.begin() + centre, kBlock, seg_[3].begin());

  for (int q = 2; q >= 0; --q) {
    pos[q] = pos[q + 1] - period_[lb[q + 1]];
    // The period is taken off a second time here, as the reference does.
    lb[q] = NearestIndex(pl, (pos[q] + 40.0f) - period_[lb[q + 1]]);
    if (pos[q] - 2.0f >= 0.0f) {
      pos[q] = Refine(pos[q], centre, seg_[q]);
    } else {
      seg_[q].fill(0.0f);
    }
  }
  std::array<float, 8> pl2{};
  for (int i = 0; i < 8; ++i) pl2[i] = pl[i] - period_[i];
  for (int q = 4; q < 7; ++q) {
    lb[q] = NearestIndex(pl2, pos[q - 1] + 40.0f);
    pos[q] = pos[q - 1] + period_[lb[q]];
    if ((pos[q] + 80.0f) + 2.0f < static_cast<float>(kBufLen)) {
      pos[q] = Refine(pos[q], centre, seg_[q]);
    } else {
      seg_[q].fill(0.0f);
    }
  }

  // Weighted surround of the block and its energy-constrained mix with the block.
  const auto& w = tbl::kEnhSmoothWt;
  std::array<float, kBlock> sur{};
  const auto& y = seg_[3];
  for (int i = 0; i < kBlock; ++i) {
    float s = seg_[0][i] * w[0];
    for (int k : {1, 2, 4, 5, 6}) s = s + seg_[k][i] * w[k];
    sur[i] = s;
  }
  float w00 = 0.0f, w11 = 0.0f, w10 = 0.0f;
  for (int i = 0; i < kBlock; ++i) {
    w00 = w00 + y[i] * y[i];
    w11 = w11 + sur[i] * sur[i];
    w10 = w10 + sur[i] * y[i];
  }
  if (std::fabs(w11) < 1.0f) w11 = 1.0f;
  const float c = fsqrt(w00 / w11);
  float errs = 0.0f;
  for (int i = 0; i < kBlock; ++i) {
    out[i] = c * sur[i];
    const float e = y[i] - out[i];
    errs = errs + e * e;
  }
  const float alpha = tbl::kEnhAlpha0;
  if (errs > alpha * w00) {
    if (w00 < 1.0f) w00 = 1.0f;
    const float den = (w11 * w00 - w10 * w10) / (w00 * w00);
    float a = 0.0f, b = 1.0f;
    if (den > tbl::kEnhDenomMin) {
      a = fsqrt((alpha - (alpha * alpha) / 4.0f) / den);
      b = ((-alpha) / 2.0f - (a * w10) / w00) + 1.0f;
    }
    for (int i = 0; i < kBlock; ++i) out[i] = a * sur[i] + b * y[i];
  }
}

}  // namespace ostrel::ilbc
