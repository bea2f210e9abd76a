// The RTCP line an operator reads in the log: report blocks, sender counts, byes, and packets that lie
// about their own lengths.
#include "media/rtcp_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A sub-packet header: version 2, the count, the type and the length in words minus one.
Bytes Header(unsigned count, uint8_t type, uint16_t words_minus_one) {
  return {static_cast<uint8_t>(0x80 | count), type, static_cast<uint8_t>(words_minus_one >> 8),
          static_cast<uint8_t>(words_minus_one)};
}

Bytes Block(uint32_t ssrc, uint8_t fraction, uint32_t cumulative, uint32_t jitter) {
  Bytes b = {static_cast<uint8_t>(ssrc >> 24),
             static_cast<uint8_t>(ssrc >> 16),
             static_cast<uint8_t>(ssrc >> 8),
             static_cast<uint8_t>(ssrc),
             fraction,
             static_cast<uint8_t>(cumulative >> 16),
             static_cast<uint8_t>(cumulative >> 8),
             static_cast<uint8_t>(cumulative),
             0,
             0,
             0x10,
             0x20,
             static_cast<uint8_t>(jitter >> 24),
             static_cast<uint8_t>(jitter >> 16),
             static_cast<uint8_t>(jitter >> 8),
             static_cast<uint8_t>(jitter)};
  b.resize(24, 0);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kSsrcA = {0x11, 0x22, 0x33, 0x44};
const Bytes kSsrcB = {0xAB, 0xCD, 0xEF, 0x01};
// NTP time, RTP time, packet count 1000, octet count.
const Bytes kSenderInfo = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0x03, 0xE8, 0, 0, 0x10, 0};

struct Case {
  const char* what;
  Bytes packet;
  std::string expected;
};

TEST(RtcpDescription, EachPacketKindReadsAsTheOperatorExpects) {
  const std::vector<Case> cases = {
      {"receiver report with two blocks, each from its own block",
       Cat({Header(2, 201, 13), kSsrcA, Block(0x01020304, 5, 70000, 123), Block(0x0A0B0C0D, 0, 1, 9)}),
       "RR  SSRC=0x11223344 R_SSRC=0x01020304 LOST=5/70000 JTTR=123 R_SSRC=0x0A0B0C0D LOST=0/1 JTTR=9"},
      {"sender report: packet count, then the block after the sender information",
       Cat({Header(1, 200, 12), kSsrcA, kSenderInfo, Block(0xCAFEBABE, 255, 0xFFFFFF, 4000000000u)}),
       "SR  SSRC=0x11223344 PCNT=1000 R_SSRC=0xCAFEBABE LOST=255/16777215 JTTR=4000000000"},
      {"compound: report, description, bye with a reason",
       Cat({Header(0, 201, 1),
            kSsrcA,
            Header(1, 202, 1),
            kSsrcA,
            Header(2, 203, 4),
            kSsrcA,
            kSsrcB,
            {4, 'd', 'o', 'n', 'e', 0, 0, 0}}),
       "RR  SSRC=0x11223344;   DES;   BYE SSRC=0x11223344,0xABCDEF01 TXT=done"},
      {"application and unknown types", Cat({Header(0, 204, 1), kSsrcA, Header(0, 199, 1), kSsrcA}),
       "APP;   Unknown"},
      {"a report count beyond the sub-packet stops at its end",
       Cat({Header(3, 201, 7), kSsrcA, Block(0x01020304, 1, 2, 3)}),
       "RR  SSRC=0x11223344 R_SSRC=0x01020304 LOST=1/2 JTTR=3"},
      {"a sender report too short for its sender information keeps only the SSRC",
       Cat({Header(1, 200, 2), kSsrcA, {0, 0, 0, 0}}), "SR  SSRC=0x11223344"},
      {"a sub-packet longer than the datagram ends the walk",
       Cat({Header(0, 201, 1), kSsrcA, Header(1, 201, 40), kSsrcB}), "RR  SSRC=0x11223344"},
      {"a bye reason longer than its sub-packet is cut at the sub-packet",
       Cat({Header(1, 203, 2), kSsrcA, {200, 'a', 'b', 'c'}}), "BYE SSRC=0x11223344 TXT=abc"},
      {"control bytes of a reason cannot forge a log line", Cat({Header(0, 203, 1), {3, 'x', '\n', 'y'}}),
       "BYE TXT=x.y"},
      {"four bytes are not a sub-packet", Header(0, 201, 0), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DescribeRTCP(c.packet.data(), c.packet.size()), c.expected) << c.what;
  }
}

TEST(RtcpDescription, EveryTruncationOfAValidPacketStaysInsideIt) {
  const Bytes full = Cat({Header(1, 200, 12),
                          kSsrcA,
                          kSenderInfo,
                          Block(1, 2, 3, 4),
                          Header(1, 203, 2),
                          kSsrcB,
                          {3, 'b', 'y', 'e'}});
  for (size_t n = 0; n <= full.size(); ++n) {
    Bytes part(full.begin(),
               full.begin() + static_cast<long>(n));  // exact size: the sanitizer sees overreads
    std::string text = DescribeRTCP(part.data(), part.size());
    EXPECT_TRUE(n >= full.size() - 12 || text.find("BYE") == std::string::npos) << n << ": " << text;
  }
}

}  // namespace
