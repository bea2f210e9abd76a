// Rebuilds the 240-sample excitation of an iLBC frame from its parameters, block by block, in the
// order both ends share. Pure function over caller-owned buffers: any thread.
#pragma once

#include <array>
#include <span>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/codebook.h"
#include "media/ilbc/common.h"

namespace ostrel::ilbc {

// Where a codebook-coded block sits in the frame, as the encoder's search needs it.
struct BlockSlot {
  int block;      // 0: the 22-sample extension block; 1..4: sub-blocks in coding order
  int first;      // first frame sample covered
  int len;        // 22 or 40
  bool reversed;  // coded backward in time
  int sub;        // sub-block whose weighting filter applies
};

// The encoder hooks its codebook search in here: called just before each block is rebuilt, with
// the memory the decoder will use; it fills the block's indices.
class BlockChooser {
 public:
  virtual void Choose(const BlockSlot& slot, const CbShape& shape, std::span<const float> mem,
                      std::span<int, kStages> cb, std::span<int, kStages> gain) = 0;

 protected:
  ~BlockChooser() = default;
};

// p must be decodable (IsDecodable) and its indices internal. With a chooser, the codebook
// indices of p are written as the blocks are reached.
void RebuildResidual(FrameParams& p, const SubLpcs& a, std::span<float, kFrameSamples> r,
                     BlockChooser* chooser);

}  // namespace ostrel::ilbc
