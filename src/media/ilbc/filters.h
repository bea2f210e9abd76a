// The small linear filters of the iLBC codec: all-pole, all-zero and the second-order high-pass.
// Stateless functions plus a value-type filter state: any thread.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

// In place 1/A(z) over y[start .. start+n-1]; y[start-10 .. start-1] hold the previous outputs.
// Each tap is a separate rounded subtraction, in tap order, as the reference does.
void AllPoleInplace(std::span<float> y, std::size_t start, std::size_t n, const Lpc& a);

// z[i] = A(z) applied to x[start+i], i < n; x[start-10 .. start-1] hold the previous inputs.
// The sum starts with the a[0] product, not with 0.
void AllZero(std::span<const float> x, std::size_t start, std::size_t n, const Lpc& a, std::span<float> z);

// Direct-form second-order section run as numerator then denominator (a[0] is unused), with
// its own memory; used for the encoder input and the decoder output high-pass filters.
class HighPass {
 public:
  HighPass(const std::array<float, 3>& b, const std::array<float, 3>& a) : b_(b), a_(a) {}
  float Step(float x) {
    float w = b_[0] * x;
    w = w + b_[1] * x1_;
    w = w + b_[2] * x2_;
    x2_ = x1_;
    x1_ = x;
    float y = w - a_[1] * y1_;
    y = y - a_[2] * y2_;
    y2_ = y1_;
    y1_ = y;
    return y;
  }

 private:
  std::array<float, 3> b_;
  std::array<float, 3> a_;
  float x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;
};

}  // namespace ostrel::ilbc
