// iLBC 30 ms decoder (RFC 3951): 50-byte frames to 240 samples of 8 kHz audio, with the pitch
// enhancer and packet loss concealment. One object per stream; any thread, not shared between threads.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/common.h"
#include "media/ilbc/enhancer.h"
#include "media/ilbc/filters.h"
#include "media/ilbc/plc.h"

namespace ostrel::ilbc {

class Decoder {
 public:
  // The enhancer adds 80 samples of delay; without it the output is the plain synthesis.
  explicit Decoder(bool enhancer = true);

  // Decodes one received frame. A frame that does not Decode (bad start position, empty-frame
  // flag) is concealed like a lost one; returns false in that case.
  bool Decode(std::span<const std::uint8_t, kFrameBytes> frame, std::span<std::int16_t, kFrameSamples> out);

  // Conceals a frame that never arrived.
  void Conceal(std::span<std::int16_t, kFrameSamples> out);

 private:
  void FinishFrame(bool concealed, std::span<std::int16_t, kFrameSamples> out);
  int LagWithoutEnhancer() const;

  bool use_enhancer_;
  Lsf lsf_deq_old_;
  SubLpcs a_old_;
  SubLpcs a_{};
  std::array<float, kOrder + kFrameSamples> syn_{};  // synthesis memory, then the frame
  int last_lag_ = 20;
  bool prev_concealed_ = false;
  HighPass out_hp_;
  Concealer plc_;
  Enhancer enh_;
  FrameParams params_;
  std::array<float, kFrameSamples> residual_{};
};

}  // namespace ostrel::ilbc
