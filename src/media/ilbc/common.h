// Frame geometry, coefficient types and the rounding helpers shared by every part of the iLBC codec.
// Constants and pure functions only: callable from any thread.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace ostrel::ilbc {

inline constexpr int kFrameSamples = 240;
inline constexpr int kFrameBytes = 50;
inline constexpr int kSubLen = 40;
inline constexpr int kNumSub = 6;
inline constexpr int kOrder = 10;
inline constexpr int kStateLen = 80;                     // two sub-blocks hold the start-state region
inline constexpr int kStateShort = 58;                   // of which this many are scalar coded
inline constexpr int kExtLen = kStateLen - kStateShort;  // 22 samples coded with the codebook
inline constexpr int kCbMemLen = 147;
inline constexpr int kExtMemLen = 85;
inline constexpr int kStages = 3;
inline constexpr int kCodedSubBlocks = 4;

using Lpc = std::array<float, kOrder + 1>;  // a[0] == 1
using Lsf = std::array<float, kOrder>;      // radians, increasing
using SubLpcs = std::array<Lpc, kNumSub>;

inline constexpr Lpc kUnitLpc = {1.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The reference evaluates cos, sqrt, log10 and pow in double and stores the result as float; keeping
// that exact path is part of reproducing its output bit for bit.
inline float fcos(float x) { return static_cast<float>(std::cos(static_cast<double>(x))); }
inline float fsqrt(float x) { return static_cast<float>(std::sqrt(static_cast<double>(x))); }
inline float flog10(float x) { return static_cast<float>(std::log10(static_cast<double>(x))); }
inline float fpow10(float x) { return static_cast<float>(std::pow(10.0, static_cast<double>(x))); }

}  // namespace ostrel::ilbc
