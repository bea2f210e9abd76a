// The iLBC decoder's pitch enhancer: pitch-synchronous smoothing of the excitation (80-sample delay).
// One object per decoder, used from that decoder's thread only; all scratch lives in the object.
#pragma once

#include <array>
#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

class Enhancer {
 public:
  Enhancer();

  // Takes this frame's excitation and writes 240 enhanced samples (the last 80 of the previous
  // frame, then the first 160 of this one). prev_concealed: the previous frame was concealed,
  // so its tail is blended into this frame first. Returns the pitch lag for the concealment.
  int Process(std::span<const float, kFrameSamples> r, bool prev_concealed,
              std::span<float, kFrameSamples> out);

  static constexpr int kBufLen = 640;
  static constexpr int kBlock = 80;

 private:
  using Segment = std::array<float, kBlock>;
  void EnhanceBlock(int centre, std::span<float, kBlock> out);
  // Best quarter-sample match to the block at `centre` near position `est`; returns the new
  // position estimate and fills seg.
  float Refine(float est, int centre, Segment& seg);
  void RecoverAfterLoss(std::span<const float, kFrameSamples> r);

  std::array<float, kBufLen> buf_{};
  std::array<float, 8> period_{};
  std::array<float, 180> down_{};
  std::array<Segment, 7> seg_{};
};

}  // namespace ostrel::ilbc
