// ringgen: writes the three ring files the daemon loads at start-up (raw 20 ms frames, no header):
// ringback.ulaw (160-byte G.711 mu-law frames), ringback.gsm (33-byte GSM 06.10 frames) and
// ringback.g729 (20-byte frames, two 10 ms G.729 frames each). The tone is the North American
// ringback: 440 Hz + 480 Hz, two seconds on, four seconds off, one six-second cycle.
//
// Usage: ringgen OUTPUT_DIR
#include "media/g711.h"

extern "C" {
#include <bcg729/encoder.h>
#include <gsm.h>
}

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 8000;
constexpr int kFrameSamples = 160;         // 20 ms
constexpr int kOnFrames = 100;             // 2 s of tone
constexpr int kOffFrames = 200;            // 4 s of silence
constexpr int kRampSamples = 40;           // 5 ms fade in and out, so the cadence does not click
constexpr double kToneAmplitude = 2800.0;  // per tone: about -19 dBm0 each, as the ringback plan asks

std::vector<int16_t> SynthesizeCycle() {
  const double pi = std::acos(-1.0);
  const int on_samples = kOnFrames * kFrameSamples;
  std::vector<int16_t> pcm((kOnFrames + kOffFrames) * kFrameSamples, 0);
  for (int n = 0; n < on_samples; ++n) {
    double t = static_cast<double>(n) / kRate;
    double envelope = 1.0;
    if (n < kRampSamples) envelope = static_cast<double>(n) / kRampSamples;
    if (on_samples - n < kRampSamples) envelope = static_cast<double>(on_samples - n) / kRampSamples;
    double v = kToneAmplitude * (std::sin(2 * pi * 440 * t) + std::sin(2 * pi * 480 * t));
    pcm[n] = static_cast<int16_t>(std::lround(v * envelope));
  }
  return pcm;
}

std::vector<uint8_t> EncodeUlaw(const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> out;
  out.reserve(pcm.size());
  for (int16_t s : pcm) out.push_back(linear2ulaw(s));
  return out;
}

std::vector<uint8_t> EncodeGsm(const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> out;
  gsm coder = gsm_create();
  if (coder == nullptr) return out;
  std::vector<gsm_signal> frame(kFrameSamples);
  gsm_frame coded;
  for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
    frame.assign(pcm.begin() + at, pcm.begin() + at + kFrameSamples);
    gsm_encode(coder, frame.data(), coded);
    out.insert(out.end(), coded, coded + sizeof(coded));
  }
  gsm_destroy(coder);
  return out;
}

std::vector<uint8_t> EncodeG729(const std::vector<int16_t>& pcm) {
  constexpr int kSubFrame = 80;  // G.729 codes 10 ms per call
  std::vector<uint8_t> out;
  bcg729EncoderChannelContextStruct* coder = initBcg729EncoderChannel(0);  // no VAD: every frame 10 bytes
  if (coder == nullptr) return out;
  uint8_t coded[10];
  for (size_t at = 0; at + kSubFrame <= pcm.size(); at += kSubFrame) {
    uint8_t length = 0;
    bcg729Encoder(coder, &pcm[at], coded, &length);
    if (length != sizeof(coded)) {
      out.clear();
      break;
    }
    out.insert(out.end(), coded, coded + length);
  }
  closeBcg729EncoderChannel(coder);
  return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, size_t frame_size) {
  if (bytes.empty() || bytes.size() % frame_size != 0) {
    std::fprintf(stderr, "ringgen: encoder produced no whole frames for %s\n", path.c_str());
    return false;
  }
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  f.close();
  if (!f) {
    std::fprintf(stderr, "ringgen: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::vector<int16_t> pcm = SynthesizeCycle();
  bool ok = WriteFile(dir + "/ringback.ulaw", EncodeUlaw(pcm), 160);
  ok = WriteFile(dir + "/ringback.gsm", EncodeGsm(pcm), 33) && ok;
  ok = WriteFile(dir + "/ringback.g729", EncodeG729(pcm), 20) && ok;
  return ok ? 0 : 1;
}
