// The scalar-coded start state of an iLBC frame: quantisation in the encoder and reconstruction
// shared by encoder and decoder. Pure functions: any thread.
#pragma once

#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

// Index of the level of an increasing table nearest to x (midpoint decision).
int ScalarQuantise(float x, std::span<const float> levels);

// Rebuilds the 58 state samples from their indices; a is the synthesis filter of the region's
// first sub-block. Indices must already be validated.
void DecodeState(int idx_for_max, std::span<const int, kStateShort> q, const Lpc& a,
                 std::span<float, kStateShort> out);

struct StateCode {
  int idx_for_max = 0;
  std::array<int, kStateShort> q{};
};

// Quantises 58 residual samples. w and w_next are the weighting filters of the two sub-blocks
// the state spans; state_first says whether the samples open the region.
StateCode EncodeState(std::span<const float, kStateShort> v, const Lpc& a, const Lpc& w, const Lpc& w_next,
                      bool state_first);

}  // namespace ostrel::ilbc
