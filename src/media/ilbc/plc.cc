#include "media/ilbc/plc.h"

#include <algorithm>
#include <cmath>

#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

void Concealer::OnGoodFrame(std::span<const float, kFrameSamples> residual, const Lpc& last_lpc) {
  cons_count_ = 0;
  prev_concealed_ = false;
  prev_lpc_ = last_lpc;
  std::copy(residual.begin(), residual.end(), prev_residual_.begin());
}

void Concealer::Conceal(int last_lag, std::span<float, kFrameSamples> out, Lpc& lpc) {
  constexpr int N = kFrameSamples;
  const auto& y = prev_residual_;
  if (cons_count_ < 9) ++cons_count_;

  int lag = prev_lag_;
  float max_per = per_;
  if (!prev_concealed_) {
    // Lags come from the pitch estimators (20..119); the clamp only guards the buffer bounds.
    const int in_lag = std::clamp(last_lag, 4, N - 4);
    float best_cc = 0.0f;
    for (int tau = in_lag - 3; tau <= in_lag + 3; ++tau) {
      int n = 60;
      if (N - 60 - tau < 0) n = N - tau;
      float c1 = 0.0f, c2 = 0.0f, c3 = 0.0f;
      for (int i = 0; i < n; ++i) {
        const float a = y[N - n + i];
        const float b = y[N - n + i - tau];
        c1 = c1 + a * b;
        c2 = c2 + b * b;
        c3 = c3 + a * a;
      }
      float cc = 0.0f, pm = 0.0f;
      if (c2 > 0.0f) {
        cc = (c1 * c1) / c2;
        pm = std::fabs(c1) / (fsqrt(c2) * fsqrt(c3));
      }
      if (tau == in_lag - 3 || cc > best_cc) {
        best_cc = cc;
        lag = tau;
        max_per = pm;
      }
    }
  }

  const int n_cons = cons_count_ * N;
  float ug = 1.0f;
  if (n_cons > 1280) {
    ug = 0.0f;
  } else if (n_cons > 960) {
    ug = 0.5f;
  } else if (n_cons > 640) {
    ug = 0.7f;
  } else if (n_cons > 320) {
    ug = 0.9f;
  }

  const float phi = fsqrt(max_per);
  float pf = 0.0f;
  if (phi > 0.7f) {
    pf = 1.0f;
  } else if (phi > 0.4f) {
    pf = (phi - 0.4f) / (0.7f - 0.4f);
  }

  const int period = std::clamp(lag < 80 ? 2 * lag : lag, 1, N);
  float en = 0.0f;
  for (int i = 0; i < N; ++i) {
    seed_ = (seed_ * 69069u + 1u) & 0x7FFFFFFFu;
    const int rho = 50 + static_cast<int>(seed_ % 70u);
    noise_[i] = (i - rho < 0) ? y[N + i - rho] : noise_[i - rho];
    const float pp = (i - period < 0) ? y[N + i - period] : out[i - period];
    const float mix = pf * pp + (1.0f - pf) * noise_[i];
    float g = ug;
    if (i >= 160) {
      g = 0.9f * ug;
    } else if (i >= 80) {
      g = 0.95f * ug;
    }
    out[i] = g * mix;
    en = en + out[i] * out[i];
  }
  if (std::sqrt(static_cast<double>(en / 240.0f)) < 30.0) {
    for (int i = 0; i < N; ++i) out[i] = ug * noise_[i];
  }

  lpc = prev_lpc_;
  prev_lag_ = lag;
  per_ = max_per;
  prev_concealed_ = true;
  std::copy(out.begin(), out.end(), prev_residual_.begin());
}

}  // namespace ostrel::ilbc
