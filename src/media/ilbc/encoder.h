// iLBC 30 ms encoder (RFC 3951): 240 samples of 8 kHz audio to one 50-byte frame.
// One object per stream; any thread, not shared between threads. No allocation per frame.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/cb_search.h"
#include "media/ilbc/common.h"
#include "media/ilbc/filters.h"
#include "media/ilbc/residual.h"

namespace ostrel::ilbc {

class Encoder final : private BlockChooser {
 public:
  Encoder();

  void Encode(std::span<const std::int16_t, kFrameSamples> pcm, std::span<std::uint8_t, kFrameBytes> frame);

 private:
  void Analyse(std::array<Lsf, 2>& lsf);
  void ChooseStart();
  void Choose(const BlockSlot& slot, const CbShape& shape, std::span<const float> mem,
              std::span<int, kStages> cb, std::span<int, kStages> gain) override;

  HighPass in_hp_;
  std::array<float, 60 + kFrameSamples> lpc_buf_{};  // 60 samples of look-back, then the frame
  Lsf lsf_old_;
  Lsf lsf_deq_old_;
  std::array<float, kOrder + kFrameSamples> speech_{};  // analysis-filter memory, then the frame

  // Per-frame scratch.
  std::array<float, kFrameSamples> residual_{};  // LPC residual: the codebook targets
  std::array<float, kFrameSamples> decoded_{};   // what the decoder will rebuild
  std::array<float, kSubLen> target_{};
  SubLpcs syn_{};
  SubLpcs weight_{};
  FrameParams params_;
  CodebookSearch search_;
};

}  // namespace ostrel::ilbc
