#include "media/ilbc/decoder.h"

#include <algorithm>

#include "media/ilbc/lpc.h"
#include "media/ilbc/residual.h"
#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

Decoder::Decoder(bool enhancer)
    : use_enhancer_(enhancer), lsf_deq_old_(tbl::kLsfmean), out_hp_(tbl::kHpoZeroCoefs, tbl::kHpoPoleCoefs) {
  a_old_.fill(kUnitLpc);
}

bool Decoder::Decode(std::span<const std::uint8_t, kFrameBytes> frame,
                     std::span<std::int16_t, kFrameSamples> out) {
  params_ = Unpack(frame);
  std::array<Lsf, 2> lsf{};
  if (!IsDecodable(params_) || !DequantiseLsf(std::span<const int, 3>(params_.lsf.data(), 3), lsf[0]) ||
      !DequantiseLsf(std::span<const int, 3>(params_.lsf.data() + 3, 3), lsf[1])) {
    Conceal(out);
    return false;
  }
  LsfCheck(lsf);
  a_ = SubblockLpcs(lsf_deq_old_, lsf[0], lsf[1]);
  lsf_deq_old_ = lsf[1];
  RebuildResidual(params_, a_, residual_, nullptr);
  plc_.OnGoodFrame(residual_, a_[kNumSub - 1]);
  FinishFrame(false, out);
  return true;
}

void Decoder::Conceal(std::span<std::int16_t, kFrameSamples> out) {
  Lpc pc{};
  plc_.Conceal(last_lag_, residual_, pc);
  a_.fill(pc);
  FinishFrame(true, out);
}

int Decoder::LagWithoutEnhancer() const {
  const std::span<const float> r(residual_);
  int best_lag = 20;
  float best = -1.0f;
  for (int tau = 20; tau < 120; ++tau) {
    float c1 = 0.0f, c2 = 0.0f;
    for (int i = 0; i < 80; ++i) {
      const float u = r[160 + i];
      const float v = r[160 - tau + i];
      c1 = c1 + u * v;
      c2 = c2 + v * v;
    }
    const float m = c1 > 0.0f ? (c1 * c1) / c2 : 0.0f;
    if (tau == 20 || m > best) {
      best = m;
      best_lag = tau;
    }
  }
  return best_lag;
}

void Decoder::FinishFrame(bool concealed, std::span<std::int16_t, kFrameSamples> out) {
  auto x = std::span<float>(syn_).subspan(kOrder, kFrameSamples);
  std::array<const Lpc*, kNumSub> filters{};
  if (use_enhancer_) {
    last_lag_ = enh_.Process(residual_, prev_concealed_, std::span<float, kFrameSamples>(x));
    // The enhancer delays by two sub-blocks, so they still belong to the previous frame's filters.
    filters = {&a_old_[4], &a_old_[5], &a_[0], &a_[1], &a_[2], &a_[3]};
  } else {
    last_lag_ = LagWithoutEnhancer();
    std::copy(residual_.begin(), residual_.end(), x.begin());
    filters = {&a_[0], &a_[1], &a_[2], &a_[3], &a_[4], &a_[5]};
  }
  for (int k = 0; k < kNumSub; ++k) {
    AllPoleInplace(syn_, kOrder + kSubLen * k, kSubLen, *filters[k]);
  }
  for (int i = 0; i < kFrameSamples; ++i) {
    const float y = out_hp_.Step(x[i]);
    std::int16_t v;
    if (y < -32768.0f) {
      v = -32768;
    } else if (y > 32767.0f) {
      v = 32767;
    } else {
      v = static_cast<std::int16_t>(y);  // truncation toward zero, as the reference output
    }
    out[i] = v;
  }
  std::copy(syn_.end() - kOrder, syn_.end(), syn_.begin());
  a_old_ = a_;
  prev_concealed_ = concealed;
}

}  // namespace ostrel::ilbc
