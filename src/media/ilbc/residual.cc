#include "media/ilbc/residual.h"

#include <algorithm>

#include "media/ilbc/start_state.h"

namespace ostrel::ilbc {

namespace {

// Shifts the codebook memory left by one block and appends the block.
void PushBlock(std::span<float> mem, std::span<const float> block) {
  const auto keep = mem.size() - block.size();
  std::copy(mem.begin() + static_cast<std::ptrdiff_t>(block.size()), mem.end(), mem.begin());
  std::copy(block.begin(), block.end(), mem.begin() + static_cast<std::ptrdiff_t>(keep));
}

}  // namespace

void RebuildResidual(FrameParams& p, const SubLpcs& a, std::span<float, kFrameSamples> r,
                     BlockChooser* chooser) {
  const int s = p.start;
  const int r0 = kSubLen * (s - 1);
  const bool first = p.state_first != 0;
  std::fill(r.begin(), r.end(), 0.0f);

  const int pos = first ? r0 : r0 + kExtLen;
  DecodeState(p.idx_for_max, p.state, a[s - 1], std::span<float, kStateShort>(r.data() + pos, kStateShort));

  std::array<float, kCbMemLen> mem{};
  std::array<float, kSubLen> d{};

  // Extension block: forward after the state, or backward before it.
  {
    auto m = std::span<float>(mem).first(kExtMemLen);
    std::fill(m.begin(), m.end(), 0.0f);
    const int zeros = kExtMemLen - kStateShort;
    for (int k = 0; k < kStateShort; ++k) {
      m[first ? zeros + k : kExtMemLen - 1 - k] = r[first ? r0 + k : r0 + kExtLen + k];
    }
    const BlockSlot slot{0, first ? r0 + kStateShort : r0, kExtLen, !first, first ? s : s - 1};
    if (chooser) chooser->Choose(slot, kExtShape, m, p.ext_cb, p.ext_gain);
    ReconstructBlock(kExtShape, m, p.ext_cb, p.ext_gain, std::span<float>(d).first(kExtLen));
    for (int k = 0; k < kExtLen; ++k) {
      r[first ? r0 + kStateShort + k : r0 + kExtLen - 1 - k] = d[k];
    }
  }

  auto block_cb = [&](int j) { return std::span<int, kStages>(p.cb.data() + kStages * j, kStages); };
  auto block_gain = [&](int j) { return std::span<int, kStages>(p.gain.data() + kStages * j, kStages); };

  // Forward sub-blocks after the region.
  const int nfor = 5 - s;
  if (nfor > 0) {
    const int zeros = kCbMemLen - kStateLen;
    std::fill(mem.begin(), mem.begin() + zeros, 0.0f);
    std::copy(r.begin() + r0, r.begin() + r0 + kStateLen, mem.begin() + zeros);
    for (int j = 0; j < nfor; ++j) {
      const int sub = s + 1 + j;
      const BlockSlot slot{1 + j, kSubLen * sub, kSubLen, false, sub};
      if (chooser) chooser->Choose(slot, kSubShape, mem, block_cb(j), block_gain(j));
      ReconstructBlock(kSubShape, mem, block_cb(j), block_gain(j), d);
      std::copy(d.begin(), d.end(), r.begin() + kSubLen * sub);
      PushBlock(mem, d);
    }
  }

  // Backward sub-blocks before the region, coded in reversed time.
  const int nback = s - 1;
  if (nback > 0) {
    std::fill(mem.begin(), mem.end(), 0.0f);
    const int avail = std::min(kCbMemLen, kFrameSamples - r0);
    for (int k = 0; k < avail; ++k) mem[kCbMemLen - 1 - k] = r[r0 + k];
    for (int j = 0; j < nback; ++j) {
      const int sub = s - 2 - j;
      const int jj = nfor + j;
      const BlockSlot slot{1 + jj, kSubLen * sub, kSubLen, true, sub};
      if (chooser) chooser->Choose(slot, kSubShape, mem, block_cb(jj), block_gain(jj));
      ReconstructBlock(kSubShape, mem, block_cb(jj), block_gain(jj), d);
      for (int k = 0; k < kSubLen; ++k) r[kSubLen * sub + kSubLen - 1 - k] = d[k];
      PushBlock(mem, d);
    }
  }
}

}  // namespace ostrel::ilbc
