// What an operator reads about one direction of a call: packets, losses, late packets and jitter counted from
// sequence numbers, timestamps and arrival times.
#include "media/stream_quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "media/rtp_header.h"

namespace {

constexpr uint64_t kStartUs = 5'000'000;
constexpr uint64_t kPaceUs = 20'000;

struct Rtp {
  uint8_t pkt[172] = {0x80, 0x00};
  Rtp(uint16_t seq, uint32_t timestamp, uint32_t ssrc) {
    pkt[2] = static_cast<uint8_t>(seq >> 8);
    pkt[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
      pkt[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
      pkt[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
  }
};

// Sends the sequence numbers in the order given, one every 20 ms, each stamped with the time its number
// stands for (160 units of 8 kHz per number).
void Send(StreamQuality& q, const std::vector<uint16_t>& seqs, uint32_t ssrc = 0x1234,
          uint64_t start = kStartUs) {
  for (size_t i = 0; i < seqs.size(); ++i) {
    Rtp p(seqs[i], 160u * seqs[i], ssrc);
    q.Count(p.pkt, sizeof p.pkt, start + kPaceUs * i);
  }
}

std::vector<uint16_t> Numbers(uint16_t first, int n) {
  std::vector<uint16_t> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<uint16_t>(first + i));
  return v;
}

std::vector<uint16_t> Join(std::vector<uint16_t> a, const std::vector<uint16_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(StreamQuality, SequenceNumbersGiveLossAndLatePackets) {
  const struct {
    const char* what;
    std::vector<uint16_t> seqs;
    uint64_t packets, lost, reordered;
  } cases[] = {
      {"in order", Numbers(1, 50), 50, 0, 0},
      {"a gap of 3", Join(Numbers(1, 10), Numbers(14, 7)), 17, 3, 0},
      {"one late packet", {1, 2, 4, 3, 5}, 5, 0, 1},
      {"late, never arriving", {1, 2, 4, 5}, 4, 1, 0},
      {"across the wrap", Numbers(65534, 5), 5, 0, 0},
      {"a gap across the wrap", {65533, 65534, 1, 2}, 4, 2, 0},
      {"late across the wrap", {65534, 0, 65535, 1}, 4, 0, 1},
      {"a duplicate", {1, 2, 2, 3}, 4, 0, 0},
      {"a duplicate hides a loss", {1, 2, 3, 3, 5}, 5, 0, 0},
      {"late before the first one seen", {5, 4, 6, 8}, 4, 1, 1},
      {"late by 2999 is late", Join(Numbers(1, 3001), {2}), 3002, 0, 1},
      {"late by 3000 is a stray jump", Join(Numbers(1, 3002), {2}), 3003, 0, 0},
      {"a stray jump is not counted against the sequence", Join(Numbers(1, 5), Join({9000}, Numbers(6, 5))),
       11, 0, 0},
      {"a confirmed jump restarts without loss", Join(Numbers(1, 5), Numbers(9000, 5)), 10, 0, 0},
      {"a jump after a loss keeps the loss", Join({1, 2, 4}, Numbers(40000, 3)), 6, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StreamQuality q;
    Send(q, c.seqs);
    const auto f = q.Snapshot();
    EXPECT_EQ(f.packets, c.packets);
    EXPECT_EQ(f.lost, c.lost);
    EXPECT_EQ(f.reordered, c.reordered);
  }
}

TEST(StreamQuality, ASteadyPaceHasNoJitter) {
  const struct {
    int clock_rate;
    uint32_t units_per_packet;
  } cases[] = {{8000, 160}, {16000, 320}, {48000, 960}, {90000, 1800}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clock_rate);
    StreamQuality q(c.clock_rate);
    for (uint32_t i = 0; i < 200; ++i) {
      Rtp p(static_cast<uint16_t>(100 + i), 0xFFFF0000u + c.units_per_packet * i, 77);  // timestamps wrap too
      q.Count(p.pkt, sizeof p.pkt, kStartUs + kPaceUs * i);
    }
    EXPECT_EQ(q.Snapshot().jitter, 0u);
    EXPECT_EQ(q.Text(), "pkts=200 lost=0 reord=0 jitter=0ms");
  }
}

// Packets sent every 20 ms arrive alternately 10 ms early and 10 ms late: each step of the transit time is
// 20 ms, and the estimate J += (|D| - J) / 16 climbs towards it.
TEST(StreamQuality, JitterFollowsTheSmoothedTransitSteps) {
  for (int clock_rate : {8000, 48000}) {
    SCOPED_TRACE(clock_rate);
    StreamQuality q(clock_rate);
    const uint32_t units = static_cast<uint32_t>(clock_rate / 50);
    double expected = 0;
    double previous_transit = 0;
    for (int i = 0; i < 60; ++i) {
      const int64_t offset_us = (i % 2) ? 10'000 : -10'000;
      const uint64_t arrival_us = kStartUs + kPaceUs * static_cast<uint64_t>(i) + offset_us;
      const double transit =
          static_cast<double>(arrival_us) * clock_rate / 1e6 - static_cast<double>(units) * i;
      if (i > 0) expected += (std::fabs(transit - previous_transit) - expected) / 16;
      previous_transit = transit;
      Rtp p(static_cast<uint16_t>(i), units * static_cast<uint32_t>(i), 5);
      q.Count(p.pkt, sizeof p.pkt, arrival_us);
    }
    const auto f = q.Snapshot();
    EXPECT_NEAR(f.jitter, expected, 1.0);
    EXPECT_NEAR(f.jitter_ms, expected * 1000 / clock_rate, 1.0);
    EXPECT_GT(f.jitter_ms, 15u) << "60 packets bring the estimate close to the 20 ms steps";
    EXPECT_EQ(f.lost, 0u);
  }
}

// A re-INVITE or a music-on-hold server starts a new source with its own sequence and timestamp origin: the
// packet count goes on, earlier losses stay, and the step between the sources is neither loss nor jitter.
TEST(StreamQuality, ANewSourceRestartsTheSequence) {
  StreamQuality q;
  for (uint16_t seq : Join(Numbers(1, 10), Numbers(13, 8))) {  // 11 and 12 lost, the others on time
    Rtp p(seq, 160u * seq, 0xAAAA);
    q.Count(p.pkt, sizeof p.pkt, kStartUs + kPaceUs * seq);
  }
  for (uint32_t i = 0; i < 10; ++i) {
    Rtp p(static_cast<uint16_t>(30000 + i), 0x70000000u + 160 * i, 0xBBBB);
    q.Count(p.pkt, sizeof p.pkt, kStartUs + kPaceUs * (21 + i));
  }
  auto f = q.Snapshot();
  EXPECT_EQ(f.packets, 28u);
  EXPECT_EQ(f.lost, 2u);
  EXPECT_EQ(f.jitter, 0u);

  Send(q, {30012, 30011}, 0xBBBB, kStartUs + kPaceUs * 40);  // the new source loses one and reorders one
  f = q.Snapshot();
  EXPECT_EQ(f.lost, 3u);
  EXPECT_EQ(f.reordered, 1u);
}

// Runts, other RTP versions and RTCP sharing the port (sender report, receiver report, SDES, BYE, APP) are
// not RTP of the stream: they count nowhere and never look like a gap.
TEST(StreamQuality, RuntsOtherVersionsAndRtcpAreNotCounted) {
  StreamQuality q;
  Send(q, Numbers(1, 5));
  Rtp bad(9, 160 * 9, 0x1234);  // as RTP, it would leave a gap of three before it
  q.Count(bad.pkt, 11, kStartUs + kPaceUs * 5);
  q.Count(bad.pkt, 0, kStartUs + kPaceUs * 5);
  for (uint8_t first : {0x00, 0x40, 0xC0}) {
    bad.pkt[0] = first;
    q.Count(bad.pkt, sizeof bad.pkt, kStartUs + kPaceUs * 5);
    q.Count(bad.pkt, sizeof bad.pkt, kStartUs + kPaceUs * 6);
  }
  bad.pkt[0] = 0x81;
  for (int type = 200; type <= 204; ++type) {
    bad.pkt[1] = static_cast<uint8_t>(type);
    q.Count(bad.pkt, sizeof bad.pkt, kStartUs + kPaceUs * 5);
  }
  Send(q, Numbers(6, 5), 0x1234, kStartUs + kPaceUs * 5);
  EXPECT_EQ(q.Text(), "pkts=10 lost=0 reord=0 jitter=0ms");

  Rtp marked(11, 160 * 11, 0x1234);
  marked.pkt[1] = 0x80 | 0;  // marker bit with payload type 0 is RTP
  q.Count(marked.pkt, rtp::kHeaderSize, kStartUs + kPaceUs * 10);
  EXPECT_EQ(q.Snapshot().packets, 11u);
}

}  // namespace
