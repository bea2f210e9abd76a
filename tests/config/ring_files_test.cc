// The shipped ring files: reproducible by the ring-file maker, whole 20 ms frames of each codec, and,
// decoded with the codecs a phone would use, the ringback cadence (2 s of 440 + 480 Hz, 4 s of quiet).
#include <gtest/gtest.h>

extern "C" {
#include <bcg729/decoder.h>
#include <gsm.h>
}

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../media/tone.h"
#include "media/g711.h"

namespace {

constexpr size_t kFrames = 300;  // one six-second cycle of 20 ms frames

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string Shipped(const char* name) { return std::string(OSTREL_SOURCE_DIR) + "/etc/ring/" + name; }
std::string Generated(const char* name) { return std::string(OSTREL_RING_BUILD_DIR) + "/" + name; }

std::vector<int16_t> DecodeUlaw(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> pcm;
  for (uint8_t b : bytes) pcm.push_back(ulaw2linear(b));
  return pcm;
}

std::vector<int16_t> DecodeGsm(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> pcm;
  gsm coder = gsm_create();
  gsm_signal frame[160];
  for (size_t at = 0; at + 33 <= bytes.size(); at += 33) {
    gsm_byte coded[33];
    std::copy(bytes.begin() + at, bytes.begin() + at + 33, coded);
    EXPECT_EQ(gsm_decode(coder, coded, frame), 0) << "frame " << at / 33;
    pcm.insert(pcm.end(), frame, frame + 160);
  }
  gsm_destroy(coder);
  return pcm;
}

std::vector<int16_t> DecodeG729(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> pcm;
  bcg729DecoderChannelContextStruct* coder = initBcg729DecoderChannel();
  int16_t frame[80];
  for (size_t at = 0; at + 10 <= bytes.size(); at += 10) {
    bcg729Decoder(coder, &bytes[at], 10, 0, 0, 0, frame);
    pcm.insert(pcm.end(), frame, frame + 80);
  }
  closeBcg729DecoderChannel(coder);
  return pcm;
}

void ExpectRingback(const std::vector<int16_t>& pcm) {
  ASSERT_EQ(pcm.size(), kFrames * 160);
  // Skip the codec's start-up and the fades: look at the middle of the tone and of the pause.
  const size_t tone_from = 4000, tone_len = 8000;
  const size_t quiet_from = 20000, quiet_len = 24000;
  EXPECT_GT(Rms(pcm, tone_from, tone_len), 1500.0);
  EXPECT_LT(Rms(pcm, quiet_from, quiet_len), 50.0);
  double at440 = ToneLevel(pcm, tone_from, tone_len, 440);
  double at480 = ToneLevel(pcm, tone_from, tone_len, 480);
  double at1000 = ToneLevel(pcm, tone_from, tone_len, 1000);
  double at350 = ToneLevel(pcm, tone_from, tone_len, 350);
  EXPECT_GT(at440, 50 * at1000);
  EXPECT_GT(at480, 50 * at1000);
  EXPECT_GT(at440, 50 * at350);
}

TEST(RingFiles, ShippedFilesAreWhatTheRingFileMakerWrites) {
  for (const char* name : {"ringback.ulaw", "ringback.gsm", "ringback.g729"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> shipped = ReadAll(Shipped(name));
    ASSERT_FALSE(shipped.empty());
    EXPECT_TRUE(shipped == ReadAll(Generated(name))) << "regenerate etc/ring with tools/ringgen";
  }
}

TEST(RingFiles, OneCycleOfWholeFramesInEveryCodec) {
  EXPECT_EQ(ReadAll(Shipped("ringback.ulaw")).size(), kFrames * 160);
  EXPECT_EQ(ReadAll(Shipped("ringback.gsm")).size(), kFrames * 33);
  EXPECT_EQ(ReadAll(Shipped("ringback.g729")).size(), kFrames * 20);
}

TEST(RingFiles, DecodeToTheRingbackCadence) {
  const struct {
    const char* file;
    std::vector<int16_t> (*decode)(const std::vector<uint8_t>&);
  } codecs[] = {{"ringback.ulaw", DecodeUlaw}, {"ringback.gsm", DecodeGsm}, {"ringback.g729", DecodeG729}};
  for (const auto& c : codecs) {
    SCOPED_TRACE(c.file);
    ExpectRingback(c.decode(ReadAll(Shipped(c.file))));
  }
}

}  // namespace
