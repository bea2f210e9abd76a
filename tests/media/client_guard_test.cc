// Which client sources may send into an anchored call, when a new stream takes over, and how foreign
// packets are handed on in batches.
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
  explicit Voice(uint32_t ssrc) {
    pkt[8] = static_cast<uint8_t>(ssrc >> 24);
    pkt[9] = static_cast<uint8_t>(ssrc >> 16);
    pkt[10] = static_cast<uint8_t>(ssrc >> 8);
    pkt[11] = static_cast<uint8_t>(ssrc);
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

TEST(ClientGuard, KnownAddressesAreAcceptedOthersAreForeign) {
  ClientGuard g(kOrig);
  Voice v(1);
  EXPECT_EQ(g.Check(kOrig, kCur, true, v.pkt, sizeof v.pkt, 0), ClientGuard::ACCEPT);
  EXPECT_EQ(g.Check(kCur, kCur, true, v.pkt, sizeof v.pkt, 0), ClientGuard::ACCEPT);
  EXPECT_EQ(g.Check(kThird, kCur, true, v.pkt, sizeof v.pkt, 0), ClientGuard::FOREIGN);
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
  ASSERT_EQ(FirstSwitched(g, Voice(7), 26, 20), 26);
  EXPECT_FALSE(g.Accepted(kThird));
  EXPECT_TRUE(g.Accepted(kOrig));
  EXPECT_EQ(g.Alternative(), 0u);
  Voice v(7);
  EXPECT_EQ(g.Check(kThird, kOrig, true, v.pkt, sizeof v.pkt, 9000), ClientGuard::FOREIGN);
}

TEST(ClientGuard, PacketsOfTheKnownStreamInterruptACandidate) {
  ClientGuard g(kOrig);
  Voice v(7);
  for (int i = 0; i < 20; ++i) g.Check(kThird, kCur, true, v.pkt, sizeof v.pkt, 20u * i);
  g.Accepted(kOrig);
  EXPECT_EQ(FirstSwitched(g, v, 25, 20, 400), 0) << "counting starts again";
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
