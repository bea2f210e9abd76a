#include "media/ilbc/encoder.h"

#include <algorithm>

#include "media/ilbc/lpc.h"
#include "media/ilbc/start_state.h"
#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

namespace {

constexpr int kLookBack = 60;

Lsf LpcAnalysis(std::span<const float, kFrameSamples> x, std::span<const float, kFrameSamples> win) {
  std::array<float, kFrameSamples> u{};
  for (int n = 0; n < kFrameSamples; ++n) u[n] = x[n] * win[n];
  std::array<float, kOrder + 1> r{};
  for (int k = 0; k <= kOrder; ++k) {
    float s = 0.0f;
    for (int n = 0; n < kFrameSamples - k; ++n) s = s + u[n] * u[n + k];
    r[k] = s * tbl::kLpcLagwin[k];
  }
  return LpcToLsf(bwexpand(levinson(r), tbl::kLpcChirpSyntdenum));
}

}  // namespace

Encoder::Encoder()
    : in_hp_(tbl::kHpiZeroCoefs, tbl::kHpiPoleCoefs), lsf_old_(tbl::kLsfmean), lsf_deq_old_(tbl::kLsfmean) {}

void Encoder::Analyse(std::array<Lsf, 2>& lsf) {
  const std::span<const float> buf(lpc_buf_);
  lsf[0] = LpcAnalysis(buf.first<kFrameSamples>(), tbl::kLpcWin);
  lsf[1] = LpcAnalysis(buf.subspan<kLookBack, kFrameSamples>(), tbl::kLpcAsymwin);
  std::copy(lpc_buf_.end() - kLookBack, lpc_buf_.end(), lpc_buf_.begin());
}

void Encoder::ChooseStart() {
  const auto& e = residual_;
  const auto& taper = tbl::kFrameclassSampEnWin;
  std::array<float, kNumSub> front{}, back{};
  for (int k = 0; k < kNumSub; ++k) {
    float f = 0.0f, b = 0.0f;
    for (int l = 0; l < kSubLen; ++l) {
      const float x = e[kSubLen * k + l];
      f = f + (l < 5 ? (taper[l] * x) * x : x * x);
      b = b + (l >= kSubLen - 5 ? (taper[kSubLen - 1 - l] * x) * x : x * x);
    }
    front[k] = f;
    back[k] = b;
  }
  int start = 1;
  float best = 0.0f;
  for (int s = 1; s <= 5; ++s) {
    const float en = (front[s - 1] + back[s]) * tbl::kFrameclassSsqEnWin[s - 1];
    if (s == 1 || en > best) {
      best = en;
      start = s;
    }
  }
  const int r0 = kSubLen * (start - 1);
  float en1 = 0.0f, en2 = 0.0f;
  for (int i = 0; i < kStateShort; ++i) {
    en1 = en1 + e[r0 + i] * e[r0 + i];
    en2 = en2 + e[r0 + kExtLen + i] * e[r0 + kExtLen + i];
  }
  params_.start = start;
  params_.state_first = en1 > en2 ? 1 : 0;
}

void Encoder::Choose(const BlockSlot& slot, const CbShape& shape, std::span<const float> mem,
                     std::span<int, kStages> cb, std::span<int, kStages> gain) {
  for (int k = 0; k < slot.len; ++k) {
    target_[k] = residual_[slot.reversed ? slot.first + slot.len - 1 - k : slot.first + k];
  }
  search_.Search(shape, slot.block, mem, std::span<const float>(target_).first(slot.len), weight_[slot.sub],
                 cb, gain);
}

void Encoder::Encode(std::span<const std::int16_t, kFrameSamples> pcm,
                     std::span<std::uint8_t, kFrameBytes> frame) {
  auto s = std::span<float>(speech_).subspan<kOrder, kFrameSamples>();
  for (int n = 0; n < kFrameSamples; ++n) s[n] = in_hp_.Step(static_cast<float>(pcm[n]));
  std::copy(s.begin(), s.end(), lpc_buf_.begin() + kLookBack);

  // Two LSF vectors per frame, quantised; the weighting filters use the unquantised ones.
  std::array<Lsf, 2> lsf{};
  Analyse(lsf);
  std::array<Lsf, 2> lsf_q{};
  for (int v = 0; v < 2; ++v) {
    const auto idx = QuantiseLsf(lsf[v], lsf_q[v]);
    std::copy(idx.begin(), idx.end(), params_.lsf.begin() + 3 * v);
  }
  LsfCheck(lsf_q);
  syn_ = SubblockLpcs(lsf_deq_old_, lsf_q[0], lsf_q[1]);
  weight_ = SubblockLpcs(lsf_old_, lsf[0], lsf[1]);
  for (auto& w : weight_) w = bwexpand(w, tbl::kLpcChirpWeightdenum);
  lsf_old_ = lsf[1];
  lsf_deq_old_ = lsf_q[1];

  // LPC residual; the analysis filter's input memory runs on across frames.
  for (int k = 0; k < kNumSub; ++k) {
    const auto& a = syn_[k];
    for (int n = kSubLen * k; n < kSubLen * (k + 1); ++n) {
      float v = 0.0f;
      for (int j = 0; j <= kOrder; ++j) v = v + a[j] * speech_[kOrder + n - j];
      residual_[n] = v;
    }
  }
  std::copy(speech_.end() - kOrder, speech_.end(), speech_.begin());

  ChooseStart();
  const int start = params_.start;
  const int pos = kSubLen * (start - 1) + (params_.state_first ? 0 : kExtLen);
  const auto code =
      EncodeState(std::span<const float, kStateShort>(residual_.data() + pos, kStateShort), syn_[start - 1],
                  weight_[start - 1], weight_[start], params_.state_first != 0);
  params_.idx_for_max = code.idx_for_max;
  params_.state = code.q;

  // Rebuilding the frame as the decoder will runs the codebook searches block by block.
  RebuildResidual(params_, syn_, decoded_, this);
  params_.pad = 0;
  Pack(params_, frame);
}

}  // namespace ostrel::ilbc
