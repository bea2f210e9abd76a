// Which client sources may send into an anchored call, when a new stream takes over (before and after the
// client's own stream is known), and how foreign packets are handed on in batches.
#include "media/client_guard.h"

#include <gtest/gtest.h>

#include <vector>

#include "media/foreign_tally.h"

namespace {

const uint32_t kOrig = 0x0A000001;   // the client's public media address
const uint32_t kCur = 0x0A000002;    // its latched destination
const uint32_t kThird = 0x0A000003;  // someone else

struct Voice {
  uint8_t pkt[172] = {0x80, 0x00};
  explicit Voice(uint32_t ssrc, uint16_t seq = 0) {
    pkt[2] = static_cast<uint8_t>(seq >> 8);
    pkt[3] = static_cast<uint8_t>(seq);
    pkt[8] = static_cast<uint8_t>(ssrc >> 24);
    pkt[9] = static_cast<uint8_t>(ssrc >> 16);
    pkt[10] = static_cast<uint8_t>(ssrc >> 8);
    pkt[11] = static_cast<uint8_t>(ssrc);
  }
};

// The guard as the relay drives it on the client audio RTP socket: accepted packets are reported back and
// become the latched destination.
struct AudioSocket {
  ClientGuard guard{kOrig};
  uint32_t latched = kCur;

  ClientGuard::Verdict Send(uint32_t src, const Voice& v, uint64_t now_ms) {
    const ClientGuard::Verdict verdict = guard.Check(src, latched, true, v.pkt, sizeof v.pkt, now_ms);
    if (verdict != ClientGuard::FOREIGN) {
      guard.Accepted(src, true, v.pkt, sizeof v.pkt, now_ms);
      latched = src;
    }
    return verdict;
  }
};

// Sends n packets of one stream from kThird every `pace` ms; returns the 1-based number of the first one
// accepted as the new stream, 0 when none was.
int FirstSwitched(ClientGuard& g, const Voice& v, int n, uint64_t pace, uint64_t start = 1000) {
  for (int i = 0; i < n; ++i) {
    if (g.Check(kThird, kCur, true, v.pkt, sizeof v.pkt, start + pace * static_cast<uint64_t>(i)) ==
        ClientGuard::SWITCHED)
      return i + 1;
  }
  return 0;
}

// A new stream takes over at its twenty-sixth packet when paced like voice (10 to 30 ms); faster or slower
// ones never do.
TEST(ClientGuard, OnlyAStreamPacedLikeVoiceTakesOverAtItsTwentySixthPacket) {
  const struct {
    uint64_t pace;
    int first_switched;
  } cases[] = {{20, 26}, {10, 26}, {30, 26}, {40, 0}, {4, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pace);
    ClientGuard g(kOrig);
    EXPECT_EQ(FirstSwitched(g, Voice(7), 26, c.pace), c.first_switched);
    EXPECT_EQ(g.Alternative(), c.first_switched ? kThird : 0u);
  }
}

TEST(ClientGuard, TheNewStreamIsAcceptedAndABurstIsForgotten) {
  ClientGuard g(kOrig);
  Voice v(7);
  EXPECT_EQ(FirstSwitched(g, v, 26, 4), 0);
  EXPECT_EQ(FirstSwitched(g, v, 40, 20, 2000), 26) << "a stream after a burst needs its own 26 packets";
  EXPECT_EQ(g.Check(kThird, kCur, true, v.pkt, sizeof v.pkt, 5000), ClientGuard::ACCEPT);
}

TEST(ClientGuard, OnlySmallVersion2PacketsOfTheAudioSocketWithOneSsrcCount) {
  ClientGuard g(kOrig);
  Voice v(9);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(g.Check(kThird, kCur, false, v.pkt, sizeof v.pkt, 20u * i), ClientGuard::FOREIGN)
        << "RTCP/video";
  }
  uint8_t big[201] = {0x80};
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(g.Check(kThird, kCur, true, big, sizeof big, 20u * i), ClientGuard::FOREIGN);
  Voice v1(1), v2(2);
  for (int i = 0; i < 40; ++i) {
    const Voice& alternate = (i % 2) ? v1 : v2;
    EXPECT_EQ(g.Check(kThird, kCur, true, alternate.pkt, sizeof alternate.pkt, 20u * i),
              ClientGuard::FOREIGN);
  }
}

TEST(ClientGuard, TheOriginalAddressRestoresTheOriginalStream) {
  ClientGuard g(kOrig);
  Voice v(7), own(1);
  ASSERT_EQ(FirstSwitched(g, v, 26, 20), 26);
  EXPECT_FALSE(g.Accepted(kThird, true, v.pkt, sizeof v.pkt, 1500));
  EXPECT_TRUE(g.Accepted(kOrig, true, own.pkt, sizeof own.pkt, 1520));
  EXPECT_EQ(g.Alternative(), 0u);
  EXPECT_EQ(g.Check(kThird, kOrig, true, v.pkt, sizeof v.pkt, 1540), ClientGuard::FOREIGN);
}

TEST(ClientGuard, PacketsOfTheKnownStreamInterruptACandidate) {
  ClientGuard g(kOrig);
  Voice v(7);
  for (int i = 0; i < 20; ++i) g.Check(kThird, kCur, true, v.pkt, sizeof v.pkt, 20u * i);
  g.Accepted(kOrig, false, nullptr, 0, 390);  // the client's RTCP
  EXPECT_EQ(FirstSwitched(g, v, 25, 20, 400), 0) << "counting starts again";
}

// Once the phone's stream is known, a stranger pacing packets like voice from another address takes it over
// only after the phone has been silent for a second. The phone (kCur, SSRC 0x1111) talks every 20 ms until
// phone_until and again from phone_from; the stranger (kThird, SSRC 0x6666) sends every 20 ms from
// sprayer_from on.
TEST(ClientGuard, APacedStrangerTakesTheKnownStreamOnlyAfterASecondOfSilence) {
  const uint64_t kNever = 10000;
  const struct {
    const char* what;
    uint64_t phone_until, phone_from, sprayer_from;
    uint64_t switched_at;  // 0: never
  } cases[] = {
      {"the phone keeps talking", kNever, kNever, 10, 0},
      {"the phone is silent for half a second", 1000, 1500, 10, 0},
      {"the phone is silent for 0.9 s", 1000, 1900, 10, 0},
      {"the phone stops: the stranger, counting all along, takes over a second after its last packet", 1000,
       kNever, 10, 1990},
      {"a stream beginning after a second of silence takes over at its 26th packet", 1000, kNever, 2010,
       2510},
      {"exactly a second of silence suffices", 1000, kNever, 1480, 1980},
      {"a stream that passed the pace test keeps its count until the second is full", 1000, kNever, 1460,
       1980},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AudioSocket s;
    uint16_t phone_seq = 1000, sprayer_seq = 5000;
    uint64_t switched_at = 0;
    for (uint64_t t = 0; t < 3000 && switched_at == 0; t += 10) {
      if (t % 20 == 0 && (t < c.phone_until || t >= c.phone_from)) {
        const ClientGuard::Verdict v = s.Send(kCur, Voice(0x1111, phone_seq++), t);
        ASSERT_EQ(v, ClientGuard::ACCEPT) << "the phone at " << t << " ms";
      }
      if (t >= c.sprayer_from && (t - c.sprayer_from) % 20 == 0 &&
          s.Send(kThird, Voice(0x6666, sprayer_seq++), t) == ClientGuard::SWITCHED)
        switched_at = t;
    }
    EXPECT_EQ(switched_at, c.switched_at);
    EXPECT_EQ(s.guard.Alternative(), c.switched_at ? kThird : 0u);
  }
}

// A phone whose NAT rebinds goes on with its SSRC and sequence from a new address: followed at once. The
// phone's last packets end at `last`; the first packet from the new address carries ssrc and seq.
TEST(ClientGuard, TheKnownStreamContinuedFromANewAddressIsFollowedAtOnce) {
  const struct {
    uint16_t last;
    uint32_t ssrc;
    uint16_t seq;
    ClientGuard::Verdict verdict;
  } cases[] = {
      {109, 0x1111, 110, ClientGuard::SWITCHED},   // the next packet
      {109, 0x1111, 209, ClientGuard::SWITCHED},   // after 99 lost
      {109, 0x1111, 210, ClientGuard::FOREIGN},    // too far ahead
      {109, 0x1111, 99, ClientGuard::SWITCHED},    // reordered, 10 behind
      {109, 0x1111, 98, ClientGuard::FOREIGN},     // 11 behind
      {109, 0x1111, 30109, ClientGuard::FOREIGN},  // a guess far off
      {109, 0x2222, 110, ClientGuard::FOREIGN},    // another stream
      {65530, 0x1111, 3, ClientGuard::SWITCHED},   // over the wrap
      {65530, 0x1111, 95, ClientGuard::FOREIGN},   // 101 ahead over the wrap
      {2, 0x1111, 65534, ClientGuard::SWITCHED},   // 4 behind over the wrap
      {2, 0x1111, 65527, ClientGuard::FOREIGN},    // 11 behind over the wrap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "last " << c.last << ", then SSRC " << c.ssrc << " seq " << c.seq);
    AudioSocket s;
    for (int i = 9; i >= 0; --i)
      s.Send(kCur, Voice(0x1111, static_cast<uint16_t>(c.last - i)), 1000 - 20u * i);
    EXPECT_EQ(s.Send(kThird, Voice(c.ssrc, c.seq), 1020), c.verdict);
    EXPECT_EQ(s.guard.Alternative(), c.verdict == ClientGuard::SWITCHED ? kThird : 0u);
  }
}

TEST(ClientGuard, AfterARebindingTheNewAddressIsTheStreamAndTheOriginalStillRestoresIt) {
  AudioSocket s;
  s.latched = kOrig;
  for (uint16_t seq = 1; seq <= 5; ++seq)
    EXPECT_EQ(s.Send(kOrig, Voice(0x1111, seq), 20u * seq), ClientGuard::ACCEPT);
  EXPECT_EQ(s.Send(kThird, Voice(0x1111, 6), 120), ClientGuard::SWITCHED);
  Voice rtcp(0x1111);
  rtcp.pkt[1] = 201;  // the new address's RTCP (or RTCP multiplexed on the RTP port)
  EXPECT_EQ(s.guard.Check(kThird, kOrig, false, rtcp.pkt, sizeof rtcp.pkt, 125), ClientGuard::ACCEPT);
  EXPECT_EQ(s.Send(kThird, Voice(0x1111, 7), 140), ClientGuard::ACCEPT);
  EXPECT_EQ(s.Send(kOrig, Voice(0x1111, 8), 160), ClientGuard::ACCEPT);
  EXPECT_EQ(s.guard.Alternative(), 0u) << "the original address restores the original stream";
  EXPECT_EQ(s.Send(kThird, Voice(0x1111, 9), 180), ClientGuard::SWITCHED)
      << "and the rebinding is followed again";
}

TEST(ClientGuard, MultiplexedRtcpDoesNotStandForTheStreamsSsrcAndSequence) {
  AudioSocket s;
  s.Send(kCur, Voice(0x1111, 40), 0);
  Voice report(0x55555555, 0x0007);  // a receiver report: its bytes 2..3 are a length, 8..11 a reportee
  report.pkt[1] = 201;
  EXPECT_EQ(s.Send(kCur, report, 10), ClientGuard::ACCEPT);
  EXPECT_EQ(s.Send(kThird, Voice(0x1111, 41), 20), ClientGuard::SWITCHED);
}

TEST(ForeignTally, PacketsAreHandedOnOncePerBatchWithTheirCounts) {
  ForeignTally t;
  InetAddress a("127.0.0.9:4000"), b("127.0.0.10:4000");
  std::vector<std::pair<InetAddress, unsigned>> out;
  auto sink = [&](const InetAddress& src, unsigned n) { out.emplace_back(src, n); };
  EXPECT_EQ(t.DueIn(0), -1);
  for (int i = 0; i < 500; ++i) t.Count(i % 5 == 4 ? b : a, 1000 + i / 10);
  EXPECT_EQ(t.DueIn(1000), 100);
  t.Flush(1099, sink);
  EXPECT_TRUE(out.empty()) << "not before 100 ms";
  t.Flush(1100, sink);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].first, a);
  EXPECT_EQ(out[0].second, 400u);
  EXPECT_EQ(out[1].second, 100u);
  EXPECT_TRUE(t.empty());
}

TEST(ForeignTally, AFloodOfForgedSourcesIsCountedNotStored) {
  ForeignTally t;
  for (unsigned i = 0; i < 1000; ++i) {
    InetAddress src;
    src.Ip(0x0B000000 + i);
    src.Port(5000);
    t.Count(src, 0);
  }
  unsigned listed = 0;
  const unsigned others = t.Flush(
      0, [&](const InetAddress&, unsigned n) { listed += n; }, true);
  EXPECT_EQ(listed, ForeignTally::kSources);
  EXPECT_EQ(others, 1000 - ForeignTally::kSources);
}

}  // namespace
