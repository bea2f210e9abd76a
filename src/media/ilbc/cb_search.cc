#include "media/ilbc/cb_search.h"

#include <algorithm>
#include <cmath>

#include "media/ilbc/filters.h"
#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

namespace {

float InverseEnergy(float e) { return e > 0.0f ? 1.0f / (e + tbl::kEps) : 0.0f; }

// Nearest level of a gain table scaled by `scale`; returns the index and the quantised gain.
int QuantiseGain(float g, float scale, std::span<const float> levels, float& quantised) {
  if (scale < tbl::kGainScaleFloor) scale = tbl::kGainScaleFloor;
  float best = tbl::kGainquantMeasureInit;
  int best_k = 0;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    const float t = g - scale * levels[k];
    const float d = t * t;
    if (d < best) {
      best = d;
      best_k = static_cast<int>(k);
    }
  }
  quantised = scale * levels[best_k];
  return best_k;
}

}  // namespace

void CodebookSearch::Consider(Best& best, int stage, float cross, float inv_energy, int index) const {
  float measure;
  if (stage == 0) {
    measure = cross > 0.0f ? (cross * cross) * inv_energy : tbl::kSearchMeasureInit;
  } else {
    measure = (cross * cross) * inv_energy;
  }
  const float gain = cross * inv_energy;
  if (measure > best.measure && std::fabs(gain) < tbl::kCbMaxgain) {
    best = {measure, gain, index};
  }
}

void CodebookSearch::SearchPlain(Best& best, int stage, std::span<const float> x, int first, int last,
                                 int energy_base) const {
  const int L = shape_.mem_len;
  const int N = shape_.len;
  // Four candidates at a time: their correlations are independent sums, so interleaving them
  // keeps each one's order of additions while the adds overlap in the pipeline.
  int i = first;
  for (; i + 4 <= last; i += 4) {
    std::array<float, 4> cross{};
    const auto v = x.subspan(static_cast<std::size_t>(L - N - i - 3));
    for (int n = 0; n < N; ++n) {
      const float t = target_[n];
      cross[0] = cross[0] + t * v[3 + n];
      cross[1] = cross[1] + t * v[2 + n];
      cross[2] = cross[2] + t * v[1 + n];
      cross[3] = cross[3] + t * v[n];
    }
    for (int k = 0; k < 4; ++k) {
      Consider(best, stage, cross[k], InverseEnergy(energy_[energy_base + i + k]), energy_base + i + k);
    }
  }
  for (; i < last; ++i) {
    float cross = 0.0f;
    for (int n = 0; n < N; ++n) cross = cross + target_[n] * x[L - N - i + n];
    Consider(best, stage, cross, InverseEnergy(energy_[energy_base + i]), energy_base + i);
  }
}

void CodebookSearch::SearchAugmented(Best& best, int stage, std::span<const float> x, int first_lag,
                                     int last_lag, int index_base) const {
  const int L = shape_.mem_len;
  // Running energy of the vector's leading part; its rounding depends on the first lag.
  float rho = 0.0f;
  for (int j = 0; j <= first_lag - 6; ++j) rho = rho + x[L - first_lag + 1 + j] * x[L - first_lag + 1 + j];
  for (int lag = first_lag; lag <= last_lag; ++lag) {
    rho = rho + x[L - lag] * x[L - lag];
    float e = rho;
    float cross = 0.0f;
    for (int n = 0; n <= lag - 5; ++n) cross = cross + target_[n] * x[L - lag + n];
    float beta = tbl::kAugInterpStep;
    for (int n = lag - 4; n < lag; ++n) {
      const float w = (1.0f - beta) * x[L - lag + n] + beta * x[L - 2 * lag + n];
      e = e + w * w;
      cross = cross + target_[n] * w;
      beta = beta + tbl::kAugInterpStep;
    }
    for (int n = lag; n < kSubLen; ++n) {
      const float v = x[L - 2 * lag + n];
      e = e + v * v;
      cross = cross + target_[n] * v;
    }
    Consider(best, stage, cross, InverseEnergy(e), index_base + lag);
  }
}

void CodebookSearch::Search(const CbShape& shape, int block, std::span<const float> mem,
                            std::span<const float> target, const Lpc& w, std::span<int, kStages> cb,
                            std::span<int, kStages> gain) {
  shape_ = shape;
  const int L = shape.mem_len;
  const int N = shape.len;
  const int K = shape.Plain();
  const int base = shape.base();
  const bool sub = shape.Augmented();
  const auto& ranges = tbl::kSearchRange[block];

  // Weighted memory and target: one pass of the weighting filter from zero history.
  std::fill(weighted_.begin(), weighted_.end(), 0.0f);
  std::copy(mem.begin(), mem.end(), weighted_.begin() + kOrder);
  std::copy(target.begin(), target.end(), weighted_.begin() + kOrder + L);
  AllPoleInplace(weighted_, kOrder, static_cast<std::size_t>(L + N), w);
  std::copy_n(weighted_.begin() + kOrder, L, mw_.begin());
  std::copy_n(weighted_.begin() + kOrder + L, N, target_.begin());
  const auto mw = std::span<const float>(mw_).first(L);
  FilterMemory(mw, std::span<float>(fw_).first(L));
  const auto fw = std::span<const float>(fw_).first(L);
  float tene = 0.0f;
  for (int n = 0; n < N; ++n) tene = tene + target_[n] * target_[n];

  // Energies of the plain vectors, updated recursively as the window slides back.
  const int range1 = ranges[0];
  float e = 0.0f;
  for (int n = 0; n < N; ++n) e = e + mw[L - N + n] * mw[L - N + n];
  energy_[0] = e;
  for (int i = 1; i < range1; ++i) {
    energy_[i] = (energy_[i - 1] + mw[L - N - i] * mw[L - N - i]) - mw[L - i] * mw[L - i];
  }
  e = 0.0f;
  for (int n = 0; n < N; ++n) e = e + fw[L - N + n] * fw[L - N + n];
  energy_[base] = e;
  for (int j = 0; j < range1 - 1; ++j) {
    energy_[base + j + 1] =
        (energy_[base + j] + fw[L - 1 - N - j] * fw[L - 1 - N - j]) - fw[L - 1 - j] * fw[L - 1 - j];
  }

  std::fill(acc_.begin(), acc_.end(), 0.0f);
  float g1 = 0.0f;      // quantised stage-1 gain
  float g_prev = 0.0f;  // quantised gain of the previous stage
  int k1 = 0;
  for (int stage = 0; stage < kStages; ++stage) {
    const int r = ranges[stage];
    Best best{tbl::kSearchMeasureInit, 0.0f, 0};
    SearchPlain(best, stage, mw, 0, r, 0);
    if (sub) SearchAugmented(best, stage, mw, kMinAugLag, kMaxAugLag, K - kMinAugLag);

    // The filtered section is searched only around the best match of the first section.
    const int bi = best.index;
    int s_ind = bi - 17;
    int e_ind = s_ind + 34;
    int s_aug = 0, e_aug = 0;
    if (!sub) {
      if (s_ind < 0) {
        e_ind -= s_ind;
        s_ind = 0;
      }
      if (e_ind > r) {
        s_ind -= e_ind - r;
        e_ind = r;
      }
    } else if (s_ind < 0) {
      s_aug = 40 + s_ind;
      e_aug = 39;
      s_ind = 0;
    } else if (bi < base - 20) {
      if (e_ind > r) {
        s_ind -= e_ind - r;
        e_ind = r;
      }
    } else if (s_ind < base - 20) {
      s_aug = 20;
      s_ind = 0;
      e_ind = 14;
      e_aug = 39;
    } else {
      s_aug = 20 + s_ind - (base - 20);
      e_aug = 39;
      s_ind = 0;
      e_ind = 34 - (e_aug - s_aug + 1);
    }
    SearchPlain(best, stage, fw, s_ind, e_ind, base);
    if (sub && s_aug != 0) SearchAugmented(best, stage, fw, s_aug, e_aug, 2 * base - 40);

    float q = 0.0f;
    int k = 0;
    if (stage == 0) {
      const float g = std::clamp(best.gain, 0.0f, tbl::kCbMaxgain);
      k = QuantiseGain(g, 1.0f, tbl::kGainSq5, q);
      g1 = q;
      k1 = k;
    } else if (stage == 1) {
      k = QuantiseGain(best.gain, std::fabs(g_prev), tbl::kGainSq4, q);
    } else {
      k = QuantiseGain(best.gain, std::fabs(g_prev), tbl::kGainSq3, q);
    }
    g_prev = q;
    cb[stage] = best.index;
    gain[stage] = k;

    CodebookVector(shape, mw, fw, best.index, vec_);
    for (int n = 0; n < N; ++n) {
      acc_[n] = acc_[n] + q * vec_[n];
      target_[n] = target_[n] - q * vec_[n];
    }
  }

  // Re-select the first gain so the block's energy matches the target's.
  float cene = 0.0f;
  for (int n = 0; n < N; ++n) cene = cene + acc_[n] * acc_[n];
  const auto& sq5 = tbl::kGainSq5;
  int j = k1;
  for (int i = k1; i < static_cast<int>(sq5.size()); ++i) {
    if ((cene * sq5[i]) * sq5[i] < (tene * g1) * g1 && sq5[j] < 2.0f * g1) j = i;
  }
  gain[0] = j;
}

}  // namespace ostrel::ilbc
