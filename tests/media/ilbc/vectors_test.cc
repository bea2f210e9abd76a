// The codec against the reference, bit for bit: frame packing against the reference unpacker's field dump,
// the encoder's bitstream, and the decoder's output with and without losses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"
#include "media/ilbc/vectors.h"

namespace ostrel::ilbc {
namespace {

using Frame = std::span<const std::uint8_t, kFrameBytes>;

Frame FrameAt(const std::vector<std::uint8_t>& bits, std::size_t f) {
  return Frame(bits.data() + f * kFrameBytes, kFrameBytes);
}

// Every field of a frame in wire order, as the reference unpacker dumps them.
std::vector<int> Fields(Frame frame) {
  const FrameParams p = UnpackRaw(frame);
  std::vector<int> v(p.lsf.begin(), p.lsf.end());
  v.insert(v.end(), {p.start, p.state_first, p.idx_for_max});
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
  std::size_t frame = 0;
  for (std::string line; std::getline(text, line);) {
    if (line.empty() || line[0] != 'F') continue;
    ASSERT_LT(frame, bits.size() / kFrameBytes);
    std::istringstream ls(line.substr(1));
    std::vector<int> want;
    for (int x; ls >> x;) want.push_back(x);
    ASSERT_EQ(want.size(), 98u) << "frame " << frame;
    const Frame in = FrameAt(bits, frame);
    EXPECT_EQ(Fields(in), want) << "frame " << frame;
    std::array<std::uint8_t, kFrameBytes> again{};
    Pack(Unpack(in), again);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), in.begin())) << "frame " << frame;
    ++frame;
  }
  EXPECT_EQ(frame, 320u);
}

TEST(EncoderVectors, MatchesReferenceBitstream) {
  ILBC_LOAD_VECTOR(input, "input30.pcm");
  ILBC_LOAD_VECTOR(expected, "encoded30.bin");
  const auto pcm = testing::as_pcm(input);
  const std::size_t frames = pcm.size() / kFrameSamples;
  ASSERT_EQ(frames * kFrameBytes, expected.size());
  Encoder enc;
  std::array<std::uint8_t, kFrameBytes> out{};
  for (std::size_t f = 0; f < frames; ++f) {
    enc.Encode(std::span<const std::int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples),
               out);
    ASSERT_TRUE(std::equal(out.begin(), out.end(), FrameAt(expected, f).begin()))
        << "frame " << f << "\n got fields " << ::testing::PrintToString(Fields(out)) << "\nwant fields "
        << ::testing::PrintToString(Fields(FrameAt(expected, f)));
  }
}

struct DecoderCase {
  const char* expected;
  bool enhancer;
  bool with_losses;
  friend std::ostream& operator<<(std::ostream& os, const DecoderCase& c) { return os << c.expected; }
};

class DecoderVectors : public ::testing::TestWithParam<DecoderCase> {};

TEST_P(DecoderVectors, MatchesReferenceBitForBit) {
  const DecoderCase c = GetParam();
  ILBC_LOAD_VECTOR(bits, "encoded30.bin");
  ILBC_LOAD_VECTOR(loss, "loss30.bin");
  ILBC_LOAD_VECTOR(ref_bytes, c.expected);
  const auto ref = testing::as_pcm(ref_bytes);
  const std::size_t frames = bits.size() / kFrameBytes;
  ASSERT_EQ(frames, 320u);
  ASSERT_EQ(ref.size(), frames * kFrameSamples);
  Decoder dec(c.enhancer);
  std::vector<std::int16_t> got(ref.size());
  for (std::size_t f = 0; f < frames; ++f) {
    auto out = std::span<std::int16_t, kFrameSamples>(got.data() + f * kFrameSamples, kFrameSamples);
    if (c.with_losses && loss[f] == 0) {
      dec.Conceal(out);
    } else {
      EXPECT_TRUE(dec.Decode(FrameAt(bits, f), out)) << "frame " << f;
    }
  }
  const auto at = std::mismatch(got.begin(), got.end(), ref.begin()).first - got.begin();
  EXPECT_EQ(at, static_cast<long>(got.size())) << "first difference in frame " << at / kFrameSamples;
}

INSTANTIATE_TEST_SUITE_P(Golden, DecoderVectors,
                         ::testing::Values(DecoderCase{"extra_decoded30_false_noloss.pcm", false, false},
                                           DecoderCase{"extra_decoded30_true_noloss.pcm", true, false},
                                           DecoderCase{"decoded30_false.pcm", false, true},
                                           DecoderCase{"decoded30_true.pcm", true, true}),
                         [](const auto& info) {
                           return std::string(info.param.enhancer ? "Enhancer" : "Plain") +
                                  (info.param.with_losses ? "WithLosses" : "NoLoss");
                         });

}  // namespace
}  // namespace ostrel::ilbc
