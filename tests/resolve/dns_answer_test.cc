// The SRV answer reader on hand-built answers: well-formed ones, and ones cut short, lying about their
// lengths or looping through compression pointers.
#include "resolve/dns_answer.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "resolve/dns_message.h"

namespace {

constexpr char kQuery[] = "_sip._udp.example.org";

struct Candidate {
  int pref;
  int weight;
  int port;
  std::string name;
  bool operator==(const Candidate&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Candidate& c) {
  return os << "{" << c.pref << ", " << c.weight << ", " << c.port << ", \"" << c.name << "\"}";
}

struct AnswerCase {
  const char* title;
  SrvAnswerResult result;
  std::vector<Candidate> candidates;
  std::function<std::vector<uint8_t>()> answer;
};

DnsMessage Answer(uint16_t answers) {
  DnsMessage m;
  m.Header(1, answers).Question(kQuery);
  return m;
}

using enum SrvAnswerResult;

const AnswerCase kAnswerCases[] = {
    {"two records are read in the order of the answer",
     OK,
     {{10, 60, 5070, "b.example.org"}, {5, 40, 5080, "a.example.org"}},
     [] { return Answer(2).Srv(10, 60, 5070, "b.example.org").Srv(5, 40, 5080, "a.example.org").bytes(); }},
    {"a message shorter than its header holds nothing",
     OK,
     {},
     [] { return Answer(1).Srv(1, 1, 5060, "a.example.org").First(11); }},
    {"an answer without records holds nothing", OK, {}, [] { return Answer(0).bytes(); }},
    {"a question name running past the end",
     BAD_QUESTION,
     {},
     [] {
       return DnsMessage().Header(1, 0).U8(20).Raw({'a', 'b', 'c'}).bytes();
     }},
    {"a question without its type and class",
     BAD_QUESTION,
     {},
     [] { return DnsMessage().Header(1, 0).Name(kQuery).U16(33).bytes(); }},
    {"a question count larger than the questions present",
     BAD_QUESTION,
     {},
     [] { return DnsMessage().Header(2, 0).Question(kQuery).bytes(); }},
    {"a question count of 65535 over a short message",
     BAD_QUESTION,
     {},
     [] { return DnsMessage().Header(0xFFFF, 1).Question(kQuery).Srv(1, 1, 5060, "a.example.org").bytes(); }},
    {"an answer count larger than the records present keeps the records",
     OK,
     {{1, 2, 5060, "a.example.org"}},
     [] { return Answer(5).Srv(1, 2, 5060, "a.example.org").bytes(); }},
    {"a record cut inside its fixed part ends the reading",
     OK,
     {{1, 2, 5060, "a.example.org"}},
     [] {
       DnsMessage m = Answer(2).Srv(1, 2, 5060, "a.example.org");
       size_t keep = m.size() + 6;
       return m.Srv(3, 4, 5060, "b.example.org").First(keep);
     }},
    {"a data length past the end ends the reading",
     OK,
     {{1, 2, 5060, "a.example.org"}},
     [] {
       DnsMessage m = Answer(2).Srv(1, 2, 5060, "a.example.org");
       return m.Pointer(12)
           .U16(33)
           .U16(1)
           .U32(300)
           .U16(500)
           .U16(1)
           .U16(1)
           .U16(5060)
           .Name("b.example.org")
           .bytes();
     }},
    {"an owner name pointing outside the message",
     BAD_OWNER,
     {{1, 2, 5060, "a.example.org"}},
     [] {
       DnsMessage m = Answer(2).Srv(1, 2, 5060, "a.example.org");
       return m.Record(33, DnsMessage::SrvData(3, 4, 5060, "b.example.org"), 0x3FFF).bytes();
     }},
    {"an owner name pointing at itself",
     BAD_OWNER,
     {},
     [] {
       DnsMessage m = Answer(1);
       uint16_t self = static_cast<uint16_t>(m.size());
       return m.Record(33, DnsMessage::SrvData(3, 4, 5060, "b.example.org"), self).bytes();
     }},
    {"an owner name cut inside its pointer", BAD_OWNER, {}, [] { return Answer(1).U8(0xC0).bytes(); }},
    {"an owner name with a reserved label type",
     BAD_OWNER,
     {},
     [] { return Answer(1).U8(0x41).U8('x').Root().U16(33).U16(1).U32(300).U16(0).bytes(); }},
    {"two targets pointing at each other end the reading",
     OK,
     {{1, 2, 5060, "a.example.org"}},
     [] {
       DnsMessage m = Answer(3).Srv(1, 2, 5060, "a.example.org");
       // Each target is a label and a pointer to the other target's label.
       size_t first = m.size() + 2 + 10 + 6;
       size_t second = first + 2 + 2 + 10 + 6;
       m.Record(33, DnsMessage().U16(1).U16(1).U16(5060).Labels("x").Pointer(uint16_t(second)).bytes());
       return m.Record(33, DnsMessage().U16(1).U16(1).U16(5060).Labels("y").Pointer(uint16_t(first)).bytes())
           .bytes();
     }},
    // "_sip._udp." is 10 bytes, so the question's "example.org" starts at 12 + 10.
    {"a target compressed against the question name",
     OK,
     {{7, 8, 5090, "proxy.example.org"}},
     [] {
       return Answer(1)
           .Record(33, DnsMessage().U16(7).U16(8).U16(5090).Labels("proxy").Pointer(22).bytes())
           .bytes();
     }},
    {"a target pointing forward to a later record's name",
     OK,
     {{1, 1, 5060, "late.example.org"}, {2, 2, 5070, "late.example.org"}},
     [] {
       DnsMessage m = Answer(2);
       size_t later_target = m.size() + 2 + 10 + 8 + 2 + 10 + 6;
       m.Record(33, DnsMessage().U16(1).U16(1).U16(5060).Pointer(uint16_t(later_target)).bytes());
       return m.Srv(2, 2, 5070, "late.example.org").bytes();
     }},
    {"records of other types are skipped by their length",
     OK,
     {{1, 1, 5060, "a.example.org"}},
     [] {
       return Answer(3)
           .Record(5, DnsMessage().Name("alias.example.org").bytes())
           .Record(1, {10, 0, 0, 1})
           .Srv(1, 1, 5060, "a.example.org")
           .bytes();
     }},
    {"SRV data too short for a target ends the reading",
     OK,
     {{1, 1, 5060, "a.example.org"}},
     [] {
       return Answer(2).Srv(1, 1, 5060, "a.example.org").Record(33, {0, 1, 0, 1, 0x13}).bytes();
     }},
    {"a target longer than its record data ends the reading",
     OK,
     {{1, 1, 5060, "a.example.org"}},
     [] {
       std::vector<uint8_t> data = DnsMessage::SrvData(2, 2, 5060, "b.example.org");
       data.resize(data.size() - 4);  // the length no longer covers the name's last bytes
       return Answer(3)
           .Srv(1, 1, 5060, "a.example.org")
           .Record(33, data)
           .Srv(3, 3, 5060, "c.example.org")
           .bytes();
     }},
    {"a target of '.' and a port of 0 are no candidates",
     OK,
     {{3, 3, 5060, "c.example.org"}},
     [] {
       return Answer(3)
           .Srv(1, 1, 5060, ".")
           .Srv(2, 2, 0, "zero.example.org")
           .Srv(3, 3, 5060, "c.example.org")
           .bytes();
     }},
    {"unusual bytes in a target are escaped",
     OK,
     {{1, 1, 5060, "a\\.b.\\001\\032"}},
     [] {
       DnsMessage data;
       data.U16(1).U16(1).U16(5060).U8(3).Raw({'a', '.', 'b'}).U8(2).Raw({0x01, ' '}).Root();
       return Answer(1).Record(33, data.bytes()).bytes();
     }},
    {"priority, weight and port use all 16 bits",
     OK,
     {{65535, 65535, 65535, "a.example.org"}},
     [] { return Answer(1).Srv(65535, 65535, 65535, "a.example.org").bytes(); }},
};

class SrvAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(SrvAnswerTest, ReadsWhatTheMessageHolds) {
  const AnswerCase& c = GetParam();
  // An exactly sized heap copy, so that AddressSanitizer sees any read past the end.
  const std::vector<uint8_t> bytes = c.answer();
  std::vector<ServerRecord> out;
  EXPECT_EQ(ParseSrvAnswer(bytes, out), c.result);
  std::vector<Candidate> got;
  for (const ServerRecord& r : out) got.push_back({r.s_pref, r.s_weight, r.s_port, r.s_name});
  EXPECT_EQ(got, c.candidates);
}

INSTANTIATE_TEST_SUITE_P(Answers, SrvAnswerTest, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& info) {
                           std::string name;
                           for (const char* p = info.param.title; *p; ++p) {
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return name;
                         });

TEST(SrvAnswer, EveryPrefixOfAnAnswerIsReadWithoutHarm) {
  const std::vector<uint8_t> full =
      Answer(2).Srv(1, 1, 5060, "a.example.org").Srv(2, 2, 5070, "b.example.org").bytes();
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + n);
    std::vector<ServerRecord> out;
    ParseSrvAnswer(cut, out);
    EXPECT_LE(out.size(), 2u) << n;
  }
}

TEST(DnsName, ConsumedStopsAtTheFirstPointer) {
  DnsMessage m;
  m.Header(0, 0).Name("example.org");
  const size_t compressed = m.size();
  m.Labels("www").Pointer(12);
  std::string name;
  size_t consumed = 0;
  ASSERT_TRUE(ExpandDnsName(m.bytes(), 12, name, consumed));
  EXPECT_EQ(name, "example.org");
  EXPECT_EQ(consumed, 13u);
  ASSERT_TRUE(ExpandDnsName(m.bytes(), compressed, name, consumed));
  EXPECT_EQ(name, "www.example.org");
  EXPECT_EQ(consumed, 6u);
}

TEST(DnsName, LongestNameIsReadAndOneOctetMoreIsRefused) {
  // 255 octets: three labels of 63, one of 61, and the root.
  auto build = [](uint8_t last) {
    DnsMessage m;
    for (uint8_t len : {uint8_t{63}, uint8_t{63}, uint8_t{63}, last}) {
      m.U8(len);
      for (int i = 0; i < len; ++i) m.U8('a');
    }
    return m.Root();
  };
  std::string name;
  size_t consumed = 0;
  EXPECT_TRUE(ExpandDnsName(build(61).bytes(), 0, name, consumed));
  EXPECT_EQ(consumed, 255u);
  EXPECT_FALSE(ExpandDnsName(build(62).bytes(), 0, name, consumed));
}

TEST(DnsName, LongChainsOfPointersAreRefusedAsLoops) {
  // Each pointer points at the one before it; the first points at a plain name.
  DnsMessage m;
  m.Name("a");
  uint16_t previous = 0;
  for (int i = 0; i < 200; ++i) {
    uint16_t here = static_cast<uint16_t>(m.size());
    m.Pointer(previous);
    previous = here;
  }
  std::string name;
  size_t consumed = 0;
  EXPECT_TRUE(ExpandDnsName(m.bytes(), 3 + 2 * 100, name, consumed));
  EXPECT_EQ(name, "a");
  EXPECT_FALSE(ExpandDnsName(m.bytes(), previous, name, consumed));
}

TEST(DnsName, RootIsEmptyAndAStartOutsideTheBufferIsRefused) {
  std::string name = "left over";
  size_t consumed = 0;
  const std::vector<uint8_t> bytes{0, 1, 'a', 0};
  ASSERT_TRUE(ExpandDnsName(bytes, 0, name, consumed));
  EXPECT_EQ(name, "");
  EXPECT_EQ(consumed, 1u);
  EXPECT_FALSE(ExpandDnsName(bytes, 4, name, consumed));
  EXPECT_FALSE(ExpandDnsName(std::span<const uint8_t>(), 0, name, consumed));
}

}  // namespace
