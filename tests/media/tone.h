// Measuring a tone in 8 kHz 16-bit audio for the codec tests: the power of one frequency (Goertzel) and the
// level. Pure functions; any thread.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// Power of one frequency over a stretch of samples (Goertzel), normalised by its length.
inline double ToneLevel(const std::vector<int16_t>& pcm, size_t from, size_t count, double hz) {
  const double w = 2 * std::acos(-1.0) * hz / 8000.0;
  const double coeff = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = from; i < from + count; ++i) {
    const double s0 = pcm[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (static_cast<double>(count) * count);
}

inline double Rms(const std::vector<int16_t>& pcm, size_t from, size_t count) {
  double sum = 0;
  for (size_t i = from; i < from + count; ++i) sum += static_cast<double>(pcm[i]) * pcm[i];
  return std::sqrt(sum / static_cast<double>(count));
}
