// The adaptive codebook of iLBC: code vectors built from past excitation (plain, filtered and
// augmented sections), gain dequantisation and block reconstruction. Pure functions: any thread.
#pragma once

#include <array>
#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

// Shape of one codebook: memory length L and target length N. The 22-sample extension block
// has no augmented vectors.
struct CbShape {
  int mem_len;
  int len;
  constexpr int Plain() const { return mem_len - len + 1; }  // K
  constexpr bool Augmented() const { return len == kSubLen; }
  constexpr int base() const { return Augmented() ? Plain() + 20 : Plain(); }
  constexpr int size() const { return 2 * base(); }
};

inline constexpr CbShape kExtShape{kExtMemLen, kExtLen};
inline constexpr CbShape kSubShape{kCbMemLen, kSubLen};
inline constexpr int kMinAugLag = 20;
inline constexpr int kMaxAugLag = 39;

// F: the memory through the codebook expansion filter (same length as the memory).
void FilterMemory(std::span<const float> mem, std::span<float> out);

// 40-sample vector repeating the last `lag` samples of x, with a five-sample cross-fade.
void AugmentedVector(std::span<const float> x, int lag, std::span<float> out);

// Vector `index` of the codebook on memory `mem` and its filtered copy `filt`. An index outside
// the codebook gives a silent vector.
void CodebookVector(const CbShape& shape, std::span<const float> mem, std::span<const float> filt, int index,
                    std::span<float> out);

std::array<float, kStages> DequantiseGains(std::span<const int, kStages> idx);

// Rebuilds a block from three (index, gain index) pairs on the unweighted memory.
void ReconstructBlock(const CbShape& shape, std::span<const float> mem, std::span<const int, kStages> cb,
                      std::span<const int, kStages> gain, std::span<float> out);

}  // namespace ostrel::ilbc
