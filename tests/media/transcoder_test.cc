// What the server and the client of a transcoded call get on the wire: G.729 repacketised between 60 ms
// and 20 ms packets, iLBC converted to and from PCMU, server packets put back in sequence order (also
// across the wrap) and joined after a short wait, every packet renumbered for its direction. The audio's
// pitch and level through both codecs is the end-to-end transcoding test's.
#include "media/transcoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "media/g711.h"
#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"
#include "media/rtp_header.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ostrel::ilbc::kFrameBytes;
using ostrel::ilbc::kFrameSamples;

constexpr uint8_t kIlbc = 97;  // the client's dynamic payload type for iLBC
constexpr uint8_t kG729 = 18;
constexpr uint8_t kPcmu = 0;
constexpr uint8_t kDtmf = 101;
constexpr uint8_t kMarker = 0x80;
constexpr uint32_t kSsrc = 0x11223344;

// An RTP packet of exactly len bytes, so that reading past it is a heap overflow ASan reports. Payload byte
// j is fill + j.
Bytes Rtp(uint8_t byte1, uint16_t seq, uint32_t timestamp, size_t len, uint8_t fill = 0) {
  Bytes p(len);
  const uint8_t header[12] = {0x80,
                              byte1,
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq),
                              static_cast<uint8_t>(timestamp >> 24),
                              static_cast<uint8_t>(timestamp >> 16),
                              static_cast<uint8_t>(timestamp >> 8),
                              static_cast<uint8_t>(timestamp),
                              static_cast<uint8_t>(kSsrc >> 24),
                              static_cast<uint8_t>(kSsrc >> 16),
                              static_cast<uint8_t>(kSsrc >> 8),
                              static_cast<uint8_t>(kSsrc)};
  for (size_t i = 0; i < len; ++i) p[i] = i < 12 ? header[i] : static_cast<uint8_t>(fill + (i - 12));
  return p;
}

uint16_t Seq(const Bytes& p) { return rtp::Sequence(p.data(), p.size()); }
uint32_t Timestamp(const Bytes& p) { return rtp::BigEndian32(p.data() + 4); }
Bytes Payload(const Bytes& p) { return Bytes(p.begin() + 12, p.end()); }

// Records what a transcoder sends, with the test's clock at that moment.
struct Recorder : PacketSink {
  std::vector<Bytes> got;
  std::vector<uint64_t> sent_at;
  uint64_t now = 0;
  void Deliver(const uint8_t* pkt, size_t len) override {
    got.emplace_back(pkt, pkt + len);
    sent_at.push_back(now);
  }
};

// Header bytes that must come through as they were (version, SSRC); byte 1 and the numbers are checked apart.
void ExpectSameSource(const Bytes& out, const Bytes& in) {
  ASSERT_GE(out.size(), 12u);
  EXPECT_EQ(out[0], in[0]);
  EXPECT_EQ(rtp::Ssrc(out.data(), out.size()), rtp::Ssrc(in.data(), in.size()));
}

std::vector<int16_t> Tone(size_t samples, double hz, double amplitude = 8000) {
  std::vector<int16_t> pcm(samples);
  for (size_t i = 0; i < samples; ++i)
    pcm[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::acos(-1.0) * hz * i / 8000.0)));
  return pcm;
}

// iLBC frames of the audio, one 50-byte frame per 240 samples, from a fresh encoder.
Bytes EncodeIlbc(const std::vector<int16_t>& pcm) {
  auto encoder = std::make_unique<ostrel::ilbc::Encoder>();
  Bytes frames(pcm.size() / kFrameSamples * kFrameBytes);
  for (size_t f = 0; f * kFrameBytes < frames.size(); ++f)
    encoder->Encode(std::span<const int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples),
                    std::span<uint8_t, kFrameBytes>(frames.data() + f * kFrameBytes, kFrameBytes));
  return frames;
}

// ------------------------------------------------------------------------------------------------------
// From the client

struct ClientOut {
  uint8_t byte1;
  uint32_t timestamp;
  size_t from;  // offset in the client packet where this packet's payload starts
  size_t len;
};

TEST(G729Repacker, ClientPacketsAreSplitIntoTwentyMillisecondPacketsForTheServer) {
  constexpr uint32_t t = 0xFFFFFF60;  // the third frame's timestamp wraps
  const struct {
    const char* what;
    uint8_t byte1;
    size_t len;
    std::vector<ClientOut> out;
  } cases[] = {
      {"60 ms: three packets, 160 apart, the marker on the first only",
       kMarker | kG729,
       72,
       {{kMarker | kG729, t, 12, 32}, {kG729, t + 160, 32, 32}, {kG729, t + 320, 52, 32}}},
      {"20 ms: one packet", kG729, 32, {{kG729, t, 12, 32}}},
      {"40 ms: two", kG729, 52, {{kG729, t, 12, 32}, {kG729, t + 160, 32, 32}}},
      {"bytes after the last whole frame are not sent",
       kG729,
       74,
       {{kG729, t, 12, 32}, {kG729, t + 160, 32, 32}, {kG729, t + 320, 52, 32}}},
      {"a header without a whole frame sends nothing", kG729, 31, {}},
      {"DTMF passes unchanged", kMarker | kDtmf, 16, {{kMarker | kDtmf, t, 12, 16}}},
      {"another codec passes unchanged", kPcmu, 172, {{kPcmu, t, 12, 172}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto transcoder = Transcoder::Make(G729_60, kIlbc);
    Recorder server;
    Bytes in = Rtp(c.byte1, 4000, t, c.len, 0x40);
    const Bytes original = in;
    transcoder->FromClient(in.data(), in.size(), server);
    ASSERT_EQ(server.got.size(), c.out.size());
    for (size_t i = 0; i < c.out.size(); ++i) {
      const Bytes& out = server.got[i];
      ASSERT_EQ(out.size(), c.out[i].len);
      ExpectSameSource(out, original);
      EXPECT_EQ(out[1], c.out[i].byte1);
      EXPECT_EQ(Seq(out), 501 + i);
      EXPECT_EQ(Timestamp(out), c.out[i].timestamp);
      EXPECT_EQ(Payload(out),
                Bytes(original.begin() + c.out[i].from, original.begin() + c.out[i].from + out.size() - 12));
    }
  }
}

TEST(IlbcTranscoder, ClientIlbcBecomesThreePcmuPacketsOtherPacketsPassUnchanged) {
  const Bytes frames = EncodeIlbc(Tone(2 * kFrameSamples, 700));
  constexpr uint32_t t = 80000;
  const struct {
    const char* what;
    uint8_t byte1;
    size_t len;
    std::vector<ClientOut> out;  // from: unused for decoded packets
  } cases[] = {
      {"60 ms of iLBC: three PCMU packets, the first 160 after the client's time, the marker on it only",
       kMarker | kIlbc,
       112,
       {{kMarker | kPcmu, t + 160, 0, 172}, {kPcmu, t + 320, 0, 172}, {kPcmu, t + 480, 0, 172}}},
      {"30 ms of iLBC passes unchanged", kIlbc, 62, {{kIlbc, t, 12, 62}}},
      {"112 bytes of another payload type pass unchanged", 98, 112, {{98, t, 12, 112}}},
      {"DTMF passes unchanged", kDtmf, 16, {{kDtmf, t, 12, 16}}},
      {"PCMU passes unchanged", kPcmu, 172, {{kPcmu, t, 12, 172}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto transcoder = Transcoder::Make(ILBC_60, kIlbc);
    Recorder server;
    Bytes in = Rtp(c.byte1, 4000, t, c.len, 0x40);
    const bool decoded = c.len == 112 && (c.byte1 & 0x7F) == kIlbc;
    if (decoded) std::copy(frames.begin(), frames.end(), in.begin() + 12);
    const Bytes original = in;
    transcoder->FromClient(in.data(), in.size(), server);
    ASSERT_EQ(server.got.size(), c.out.size());

    // What the client's frames decode to (a fresh decoder with the enhancer, as the transcoder's), in mu-law.
    Bytes ulaw;
    if (decoded) {
      ostrel::ilbc::Decoder decoder(true);
      std::vector<int16_t> pcm(2 * kFrameSamples);
      for (size_t f = 0; f < 2; ++f)
        decoder.Decode(std::span<const uint8_t, kFrameBytes>(frames.data() + f * kFrameBytes, kFrameBytes),
                       std::span<int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples));
      for (int16_t s : pcm) ulaw.push_back(linear2ulaw(s));
    }
    for (size_t i = 0; i < c.out.size(); ++i) {
      const Bytes& out = server.got[i];
      ASSERT_EQ(out.size(), c.out[i].len);
      ExpectSameSource(out, original);
      EXPECT_EQ(out[1], c.out[i].byte1);
      EXPECT_EQ(Seq(out), 501 + i);
      EXPECT_EQ(Timestamp(out), c.out[i].timestamp);
      if (decoded)
        EXPECT_EQ(Payload(out), Bytes(ulaw.begin() + 160 * i, ulaw.begin() + 160 * (i + 1)));
      else
        EXPECT_EQ(Payload(out), Payload(original));
    }
  }
}

// ------------------------------------------------------------------------------------------------------
// From the server

struct Arrival {
  uint16_t seq;
  uint64_t at_ms;
  int byte1 = -1;  // -1: the server codec's payload type
  size_t len = 0;  // 0: one 20 ms frame of the server codec
};

struct ClientPacket {
  uint64_t sent_at_ms;
  uint16_t seq;
  // Arrivals (indexes) whose payloads make this packet's, in order; the header is the first one's.
  std::vector<int> from;
  int ilbc_frames = 0;  // 0: the payloads as they came; else this many iLBC frames encoded from them
};

struct ServerCase {
  const char* what;
  std::vector<Arrival> arrivals;
  std::vector<ClientPacket> sent;
};

// Feeds the arrivals at their times, running the flush whenever it falls due before the next arrival and
// after the last one, and checks every packet the client gets.
void Play(TranscodeFormat code, const ServerCase& c) {
  SCOPED_TRACE(c.what);
  const bool ilbc = code == ILBC_60;
  auto transcoder = Transcoder::Make(code, kIlbc);
  Recorder client;
  auto flush_due_by = [&](uint64_t t) {
    while (transcoder->FlushDue() != 0 && transcoder->FlushDue() <= t) {
      client.now = transcoder->FlushDue();
      transcoder->Flush(client);
    }
  };
  std::vector<Bytes> in;
  for (size_t i = 0; i < c.arrivals.size(); ++i) {
    const Arrival& a = c.arrivals[i];
    const uint8_t byte1 = a.byte1 >= 0 ? static_cast<uint8_t>(a.byte1) : ilbc ? kPcmu : kG729;
    const size_t len = a.len != 0 ? a.len : ilbc ? 172 : 32;
    in.push_back(Rtp(byte1, a.seq, 1000u * (i + 1), len, static_cast<uint8_t>(0x20 * (i + 1))));
    flush_due_by(a.at_ms);
    client.now = a.at_ms;
    Bytes pkt = in.back();
    transcoder->FromServer(pkt.data(), pkt.size(), a.at_ms, client);
  }
  flush_due_by(UINT64_MAX);
  EXPECT_EQ(transcoder->FlushDue(), 0u);

  auto reference = std::make_unique<ostrel::ilbc::Encoder>();  // follows the transcoder's encoder
  ASSERT_EQ(client.got.size(), c.sent.size());
  for (size_t k = 0; k < c.sent.size(); ++k) {
    SCOPED_TRACE(k);
    const ClientPacket& want = c.sent[k];
    const Bytes& out = client.got[k];
    const Bytes& first = in[want.from[0]];
    EXPECT_EQ(client.sent_at[k], want.sent_at_ms);
    ExpectSameSource(out, first);
    EXPECT_EQ(Seq(out), want.seq);
    EXPECT_EQ(Timestamp(out), Timestamp(first));
    Bytes joined;
    for (int i : want.from) {
      const Bytes p = Payload(in[i]);
      joined.insert(joined.end(), p.begin(), p.end());
    }
    if (want.ilbc_frames == 0) {
      EXPECT_EQ(out[1], first[1]);
      EXPECT_EQ(Payload(out), joined);
    } else {
      EXPECT_EQ(out[1], (first[1] & kMarker) | kIlbc);
      ASSERT_EQ(out.size(), 12u + 50 * want.ilbc_frames);
      std::vector<int16_t> pcm(kFrameSamples);
      Bytes frame(kFrameBytes);
      for (int f = 0; f < want.ilbc_frames; ++f) {
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = ulaw2linear(joined.at(f * kFrameSamples + i));
        reference->Encode(std::span<const int16_t, kFrameSamples>(pcm.data(), kFrameSamples),
                          std::span<uint8_t, kFrameBytes>(frame.data(), kFrameBytes));
        EXPECT_EQ(Bytes(out.begin() + 12 + f * kFrameBytes, out.begin() + 12 + (f + 1) * kFrameBytes), frame)
            << "frame " << f;
      }
    }
  }
}

TEST(G729Repacker, ServerPacketsReachTheClientInOrderThreeToAPacket) {
  const ServerCase cases[] = {
      {"three in order go at once", {{5, 0}, {6, 20}, {7, 40}}, {{40, 101, {0, 1, 2}}}},
      {"7, 5, 6 go as one packet with 5, 6, 7", {{7, 0}, {5, 20}, {6, 40}}, {{40, 101, {1, 2, 0}}}},
      {"two go together 45 ms after the second", {{5, 0}, {6, 20}}, {{65, 101, {0, 1}}}},
      {"one alone goes after the wait", {{5, 0}}, {{45, 101, {0}}}},
      {"a wait that ran out before the next arrival",
       {{5, 0}, {6, 50}, {7, 70}},
       {{45, 101, {0}}, {115, 102, {1, 2}}}},
      {"three with a gap wait for a fourth: three, then one",
       {{5, 0}, {6, 20}, {8, 40}, {9, 60}},
       {{60, 101, {0, 1, 2}}, {60, 102, {3}}}},
      {"the late one fills the gap",
       {{5, 0}, {6, 20}, {8, 40}, {7, 60}},
       {{60, 101, {0, 1, 3}}, {60, 102, {2}}}},
      {"across the wrap: 0, 65535, 1 go as 65535, 0, 1",
       {{0, 0}, {65535, 20}, {1, 40}},
       {{40, 101, {1, 0, 2}}}},
      {"across the wrap, four",
       {{65534, 0}, {1, 20}, {65535, 40}, {0, 60}},
       {{60, 101, {0, 2, 3}}, {60, 102, {1}}}},
      {"equal numbers keep their arrival order", {{5, 0}, {5, 20}}, {{65, 101, {0, 1}}}},
      {"DTMF passes at once, numbered in turn",
       {{5, 0}, {6, 10, kDtmf, 16}, {6, 20}, {7, 40}},
       {{10, 101, {1}}, {40, 102, {0, 2, 3}}}},
      {"G.729 of another size passes at once", {{5, 0, kG729, 52}}, {{0, 101, {0}}}},
      {"PCMU passes at once", {{5, 0, kPcmu, 172}}, {{0, 101, {0}}}},
  };
  for (const auto& c : cases) Play(G729_60, c);
}

TEST(IlbcTranscoder, ThreePcmuPacketsFromTheServerBecomeOneIlbcPacket) {
  const ServerCase cases[] = {
      {"three in order: two frames at once", {{5, 0}, {6, 20}, {7, 40}}, {{40, 101, {0, 1, 2}, 2}}},
      {"7, 5, 6: the header of 5, the audio of 5, 6, 7",
       {{7, 0}, {5, 20}, {6, 40}},
       {{40, 101, {1, 2, 0}, 2}}},
      {"the first packet's marker stays",
       {{5, 0, kMarker | kPcmu}, {6, 20}, {7, 40}},
       {{40, 101, {0, 1, 2}, 2}}},
      {"two after the wait: one frame, the rest is lost", {{5, 0}, {6, 20}}, {{65, 101, {0, 1}, 1}}},
      {"one alone after the wait is dropped", {{5, 0}}, {}},
      {"four: two frames from the first three, the fourth dropped after the wait",
       {{5, 0}, {6, 20}, {8, 40}, {9, 60}},
       {{60, 101, {0, 1, 2}, 2}}},
      {"across the wrap", {{0, 0}, {65535, 20}, {1, 40}}, {{40, 101, {1, 0, 2}, 2}}},
      {"A-law, DTMF and PCMU of another size pass at once",
       {{5, 0, 8, 172}, {6, 10, kDtmf, 16}, {7, 20, kPcmu, 92}},
       {{0, 101, {0}}, {10, 102, {1}}, {20, 103, {2}}}},
  };
  for (const auto& c : cases) Play(ILBC_60, c);
}

TEST(Transcoder, OnlyTheTwoTranscodingRulesHaveOne) {
  auto g729 = Transcoder::Make(G729_60, kIlbc);
  auto ilbc = Transcoder::Make(ILBC_60, kIlbc);
  ASSERT_TRUE(g729 && ilbc);
  EXPECT_STREQ(g729->ClientLabel(), "CLN Audio G729  ");
  EXPECT_STREQ(g729->ServerLabel(), "SRV Audio G729  ");
  EXPECT_STREQ(ilbc->ClientLabel(), "CLN Audio iLBC  ");
  EXPECT_STREQ(ilbc->ServerLabel(), "SRV Audio G711  ");
  EXPECT_EQ(Transcoder::Make(G729_20, kIlbc), nullptr);
  EXPECT_EQ(Transcoder::Make(PCMU_20, kIlbc), nullptr);
}

// Every length around the sizes the transcoders look for, in both directions: nothing is read outside the
// packet (the buffers are exact, ASan reports any overread), and a packet shorter than a header is dropped.
TEST(Transcoder, ShortAndOddPacketsAreReadOnlyWithinTheirLength) {
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 13; ++len) lengths.push_back(len);
  for (size_t len : {31, 32, 33, 51, 61, 62, 63, 71, 72, 73, 111, 112, 113, 171, 172, 173})
    lengths.push_back(len);
  for (TranscodeFormat code : {G729_60, ILBC_60}) {
    for (uint8_t byte1 : {kG729, kPcmu, kIlbc, static_cast<uint8_t>(kMarker | kIlbc)}) {
      auto transcoder = Transcoder::Make(code, kIlbc);
      Recorder server, client;
      uint16_t seq = 0;
      for (size_t len : lengths) {
        SCOPED_TRACE(testing::Message()
                     << "code " << code << ", byte 1 " << int{byte1} << ", " << len << " bytes");
        const size_t to_server = server.got.size(), to_client = client.got.size();
        Bytes p = Rtp(byte1, ++seq, 0, len);
        transcoder->FromClient(p.data(), p.size(), server);
        p = Rtp(byte1, seq, 0, len);
        transcoder->FromServer(p.data(), p.size(), 20 * seq, client);
        if (len < 12) {
          EXPECT_EQ(server.got.size(), to_server);
          EXPECT_EQ(client.got.size(), to_client);
        }
      }
      transcoder->Flush(client);
      EXPECT_EQ(transcoder->FlushDue(), 0u);
      for (const Bytes& p : server.got) EXPECT_GE(p.size(), 12u);
      for (const Bytes& p : client.got) EXPECT_GE(p.size(), 12u);
    }
  }
}

}  // namespace
