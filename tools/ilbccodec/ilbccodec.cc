// ilbccodec: the project's iLBC 30 ms codec between standard input and standard output.
//   ilbccodec encode   16-bit little-endian 8 kHz samples in, 50-byte frames out (a short last frame is
//                      padded with silence)
//   ilbccodec decode   50-byte frames in, samples out (a short last frame is dropped)
// Single-threaded.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"

namespace {

constexpr size_t kFrameBytes = ostrel::ilbc::kFrameBytes;
constexpr size_t kFrameSamples = ostrel::ilbc::kFrameSamples;

int Encode() {
  ostrel::ilbc::Encoder encoder;
  int16_t pcm[kFrameSamples];
  uint8_t frame[kFrameBytes];
  size_t got;
  while ((got = std::fread(pcm, sizeof pcm[0], kFrameSamples, stdin)) > 0) {
    std::memset(pcm + got, 0, (kFrameSamples - got) * sizeof pcm[0]);
    encoder.Encode(std::span<const int16_t, kFrameSamples>(pcm), std::span<uint8_t, kFrameBytes>(frame));
    if (std::fwrite(frame, 1, kFrameBytes, stdout) != kFrameBytes) return 1;
  }
  return 0;
}

int Decode() {
  ostrel::ilbc::Decoder decoder;
  uint8_t frame[kFrameBytes];
  int16_t pcm[kFrameSamples];
  while (std::fread(frame, 1, kFrameBytes, stdin) == kFrameBytes) {
    decoder.Decode(std::span<const uint8_t, kFrameBytes>(frame), std::span<int16_t, kFrameSamples>(pcm));
    if (std::fwrite(pcm, sizeof pcm[0], kFrameSamples, stdout) != kFrameSamples) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "encode") == 0) return Encode();
  if (argc == 2 && std::strcmp(argv[1], "decode") == 0) return Decode();
  std::fprintf(stderr, "usage: ilbccodec encode|decode < input > output\n");
  return 1;
}
