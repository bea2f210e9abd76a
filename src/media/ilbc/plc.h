// Packet loss concealment of the iLBC decoder: a lost frame's excitation extrapolated from the last.
// One object per decoder, used from that decoder's thread only.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

class Concealer {
 public:
  // A good frame was decoded: remember its excitation and last synthesis filter.
  void OnGoodFrame(std::span<const float, kFrameSamples> residual, const Lpc& last_lpc);

  // Produces the excitation of a lost frame and the filter to synthesise it with. `last_lag` is
  // the pitch lag estimated on the previous frame.
  void Conceal(int last_lag, std::span<float, kFrameSamples> out, Lpc& lpc);

 private:
  int prev_lag_ = 120;
  float per_ = 0.0f;
  int cons_count_ = 0;
  bool prev_concealed_ = false;
  Lpc prev_lpc_ = kUnitLpc;
  std::array<float, kFrameSamples> prev_residual_{};
  std::array<float, kFrameSamples> noise_{};
  std::uint32_t seed_ = 777;
};

}  // namespace ostrel::ilbc
