#include "media/ilbc/filters.h"

namespace ostrel::ilbc {

void AllPoleInplace(std::span<float> y, std::size_t start, std::size_t n, const Lpc& a) {
  auto s = y.subspan(start - kOrder, n + kOrder);
  for (std::size_t i = kOrder; i < s.size(); ++i) {
    float v = s[i];
    for (std::size_t k = 1; k <= kOrder; ++k) v = v - a[k] * s[i - k];
    s[i] = v;
  }
}

void AllZero(std::span<const float> x, std::size_t start, std::size_t n, const Lpc& a, std::span<float> z) {
  auto s = x.subspan(start - kOrder, n + kOrder);
  auto out = z.first(n);
  for (std::size_t i = 0; i < n; ++i) {
    float v = a[0] * s[i + kOrder];
    for (std::size_t k = 1; k <= kOrder; ++k) v = v + a[k] * s[i + kOrder - k];
    out[i] = v;
  }
}

}  // namespace ostrel::ilbc
