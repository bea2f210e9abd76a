// The 50-byte iLBC 30 ms frame: the coded parameters, their packing into three sensitivity classes,
// and the checks that decide whether a received frame is decodable. Pure functions: any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

// Parameters of one frame. Codebook indices are held as the decoder uses them (0..255 for the
// 40-sample sub-blocks); Pack() and Unpack() convert sub-block 1, stages 2 and 3, to and from
// their 7-bit transmitted form.
struct FrameParams {
  std::array<int, 6> lsf{};  // two vectors x three splits
  int start = 1;             // 1..5: the start state covers sub-blocks start-1 and start
  int state_first = 0;       // 1: the scalar-coded 58 samples open the region
  int idx_for_max = 0;       // start-state scale
  std::array<int, kStateShort> state{};
  std::array<int, kStages> ext_cb{};
  std::array<int, kStages> ext_gain{};
  std::array<int, kCodedSubBlocks * kStages> cb{};  // coding order, stage-major per sub-block
  std::array<int, kCodedSubBlocks * kStages> gain{};
  int pad = 0;  // a 1 here marks an empty frame
};

void Pack(const FrameParams& p, std::span<std::uint8_t, kFrameBytes> out);
FrameParams Unpack(std::span<const std::uint8_t, kFrameBytes> in);

// Raw bit fields as carried on the wire, without the index conversion (for tests and tools).
FrameParams UnpackRaw(std::span<const std::uint8_t, kFrameBytes> in);
void PackRaw(const FrameParams& p, std::span<std::uint8_t, kFrameBytes> out);

int SubBlock1IndexToWire(int internal);
int SubBlock1IndexFromWire(int wire);

// True when every field lies inside its table and the frame is not marked empty. Frames that
// fail are concealed as if lost.
bool IsDecodable(const FrameParams& p);

}  // namespace ostrel::ilbc
