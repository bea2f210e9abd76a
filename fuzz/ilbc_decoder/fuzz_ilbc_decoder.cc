// libFuzzer target for the iLBC decoder: arbitrary 50-byte frames and loss flags.
// Input: one option byte (bit 0: enhancer on), then records of 50 frame bytes + 1 loss byte
// (bit 0 set: the frame arrived). The decoder must never read outside its tables, must be
// deterministic, and its output re-encoded must always decode again.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "media/ilbc/bitstream.h"
#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"

namespace {

using namespace ostrel::ilbc;

constexpr std::size_t kRecord = kFrameBytes + 1;

struct Codec {
  explicit Codec(bool enhancer) : a(enhancer), b(enhancer), check(false) {}
  Decoder a, b;
  Decoder check;
  Encoder enc;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> in(data, size);
  auto codec = std::make_unique<Codec>((in[0] & 1) != 0);
  std::array<std::int16_t, kFrameSamples> out_a{}, out_b{}, scratch{};
  std::array<std::uint8_t, kFrameBytes> reencoded{};
  for (std::size_t at = 1; at + kRecord <= in.size(); at += kRecord) {
    const auto frame = in.subspan(at).first<kFrameBytes>();
    if ((in[at + kFrameBytes] & 1) != 0) {
      const bool ok = codec->a.Decode(frame, out_a);
      if (codec->b.Decode(frame, out_b) != ok) std::abort();
      if (ok != IsDecodable(Unpack(frame))) std::abort();
    } else {
      codec->a.Conceal(out_a);
      codec->b.Conceal(out_b);
    }
    if (out_a != out_b) std::abort();
    // The encoder is far slower than the decoder; feeding it the first frames is enough to check
    // that whatever the decoder produced encodes into a decodable frame.
    if (at < 1 + 4 * kRecord) {
      codec->enc.Encode(out_a, reencoded);
      if (!codec->check.Decode(reencoded, scratch)) std::abort();
    }
  }
  return 0;
}
