// Frame packing against the reference unpacker's field dump, and the decoder's handling of
// frames that cannot be decoded.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/decoder.h"
#include "media/ilbc/vectors.h"

namespace ostrel::ilbc {
namespace {

std::vector<int> flatten(const FrameParams& p) {
  std::vector<int> v(p.lsf.begin(), p.lsf.end());
  v.push_back(p.start);
  v.push_back(p.state_first);
  v.push_back(p.idx_for_max);
  v.insert(v.end(), p.state.begin(), p.state.end());
  v.insert(v.end(), p.ext_cb.begin(), p.ext_cb.end());
  v.insert(v.end(), p.ext_gain.begin(), p.ext_gain.end());
  v.insert(v.end(), p.cb.begin(), p.cb.end());
  v.insert(v.end(), p.gain.begin(), p.gain.end());
  v.push_back(p.pad);
  return v;
}

TEST(Bitstream, UnpacksLikeTheReferenceAndRepacksIdentically) {
  ILBC_LOAD_VECTOR(bits, "encoded30.bin");
  ILBC_LOAD_VECTOR(fields_file, "encoded30_fields.txt");
  std::istringstream text(std::string(fields_file.begin(), fields_file.end()));
  std::string line;
  std::size_t frame = 0;
  while (std::getline(text, line)) {
    if (line.empty() || line[0] != 'F') continue;
    ASSERT_LT(frame, bits.size() / kFrameBytes);
    std::istringstream ls(line.substr(1));
    std::vector<int> want;
    for (int x; ls >> x;) want.push_back(x);
    ASSERT_EQ(want.size(), 98u) << "frame " << frame;

    const auto in = std::span<const std::uint8_t, kFrameBytes>(bits.data() + frame * kFrameBytes, kFrameBytes);
    const FrameParams raw = UnpackRaw(in);
    EXPECT_EQ(flatten(raw), want) << "frame " << frame;

    std::array<std::uint8_t, kFrameBytes> again{};
    Pack(Unpack(in), again);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), in.begin())) << "frame " << frame;
    ++frame;
  }
  EXPECT_EQ(frame, 320u);
}

TEST(Bitstream, SubBlockOneIndicesRoundTripOverTheirReachableSet) {
  for (int i = 0; i < 256; ++i) {
    const bool reachable = i < 44 || (i >= 108 && i < 172) || i >= 236;
    if (!reachable) continue;
    const int t = SubBlock1IndexToWire(i);
    EXPECT_GE(t, 0);
    EXPECT_LT(t, 128);
    EXPECT_EQ(SubBlock1IndexFromWire(t), i);
  }
}

// An undecodable frame must be handled exactly like a lost one, leaving the same state behind.
class InvalidFrame : public ::testing::TestWithParam<int> {};

TEST_P(InvalidFrame, IsConcealedLikeALostFrame) {
  ILBC_LOAD_VECTOR(bits, "encoded30.bin");
  for (bool enhancer : {false, true}) {
    Decoder a(enhancer), b(enhancer);
    std::array<std::int16_t, kFrameSamples> out_a{}, out_b{};
    for (std::size_t f = 0; f < 40; ++f) {
      const auto in = std::span<const std::uint8_t, kFrameBytes>(bits.data() + f * kFrameBytes, kFrameBytes);
      if (f % 10 == 7) {
        FrameParams p = Unpack(in);
        if (GetParam() < 0) {
          p.pad = 1;
        } else {
          p.start = GetParam();
        }
        std::array<std::uint8_t, kFrameBytes> bad{};
        Pack(p, bad);
        EXPECT_FALSE(a.Decode(bad, out_a));
        b.Conceal(out_b);
      } else {
        ASSERT_TRUE(a.Decode(in, out_a));
        ASSERT_TRUE(b.Decode(in, out_b));
      }
      ASSERT_EQ(out_a, out_b) << "frame " << f << " enhancer " << enhancer;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(StartOutOfRangeOrEmpty, InvalidFrame, ::testing::Values(0, 6, 7, -1));

}  // namespace
}  // namespace ostrel::ilbc
