// The iLBC encoder's adaptive codebook search: three weighted analysis-by-synthesis stages and gains.
// One object per encoder, used from that encoder's thread only; its scratch lives in the object.
#pragma once

#include <array>
#include <span>

#include "media/ilbc/codebook.h"
#include "media/ilbc/common.h"

namespace ostrel::ilbc {

class CodebookSearch {
 public:
  // block: 0 for the extension block, 1..4 for the sub-blocks in coding order (selects the
  // search ranges). mem: the unweighted codebook memory; target: the residual to match
  // (time-reversed for backward blocks); w: the weighting filter.
  void Search(const CbShape& shape, int block, std::span<const float> mem, std::span<const float> target,
              const Lpc& w, std::span<int, kStages> cb, std::span<int, kStages> gain);

 private:
  struct Best {
    float measure;
    float gain;
    int index;
  };
  void Consider(Best& best, int stage, float cross, float inv_energy, int index) const;
  void SearchAugmented(Best& best, int stage, std::span<const float> x, int first_lag, int last_lag,
                       int index_base) const;
  // Searches plain vectors at offsets [first, last) of x; energies start at energy_[energy_base].
  void SearchPlain(Best& best, int stage, std::span<const float> x, int first, int last,
                   int energy_base) const;

  CbShape shape_{kSubShape};
  std::array<float, kOrder + kCbMemLen + kSubLen> weighted_{};
  std::array<float, kCbMemLen> mw_{};
  std::array<float, kCbMemLen> fw_{};
  std::array<float, 256> energy_{};
  std::array<float, kSubLen> target_{};
  std::array<float, kSubLen> acc_{};
  std::array<float, kSubLen> vec_{};
};

}  // namespace ostrel::ilbc
