// Whole messages: header section parsing (folding, compact forms, case, comma lists, unknown headers),
// body delimitation, the refusals that keep a bad message from being relayed, and assembly.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "flog_capture.h"
#include "sip/headers/cseq.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"
#include "sip/message.h"

using sip_test::FlogCapture;

namespace {

const std::string kHeads =
    "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1\r\n"
    "From: <sip:a@10.0.0.5>;tag=1\r\n"
    "To: <sip:b@10.0.0.6>\r\n"
    "Call-ID: c1\r\n"
    "CSeq: 1 INVITE\r\n";

std::string invite(const std::string& extra = "", const std::string& body = "") {
  return "INVITE sip:b@10.0.0.6 SIP/2.0\r\n" + kHeads + extra + "\r\n" + body;
}

size_t count_values(const SipMessage& m, SipMessage::HeadId id) {
  size_t n = 0;
  for (auto* l = m.Header(id); l; l = l->Next()) ++n;
  return n;
}

TEST(SipMessageParse, CompactFormsParseLikeLongForms) {
  const std::string compact =
      "INVITE sip:b@10.0.0.6 SIP/2.0\r\n"
      "v: SIP/2.0/UDP 10.0.0.5\r\n"
      "f: <sip:a@h>;tag=1\r\n"
      "t: <sip:b@h>\r\n"
      "m: <sip:a@10.0.0.5>\r\n"
      "i: c1\r\n"
      "CSeq: 1 INVITE\r\n"
      "c: application/sdp\r\n"
      "l: 4\r\n"
      "\r\n"
      "abcd";
  SipMessage m;
  ASSERT_TRUE(m.Parse(compact));
  EXPECT_EQ(m.Assemble(true),
            "INVITE sip:b@10.0.0.6 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 10.0.0.5\r\n"
            "From: <sip:a@h>;tag=1\r\n"
            "To: <sip:b@h>\r\n"
            "Contact: <sip:a@10.0.0.5>\r\n"
            "Call-ID: c1\r\n"
            "CSeq: 1 INVITE\r\n"
            "Content-Type: application/sdp\r\n"
            "Content-Length: 4\r\n"
            "\r\n"
            "abcd");
  EXPECT_EQ(m.Assemble(false), compact);
}

TEST(SipMessageParse, HeadersAreReorderedAndUnknownOnesKeepTheirSpelling) {
  SipMessage m;
  ASSERT_TRUE(
      m.Parse("OPTIONS sip:b@10.0.0.6 SIP/2.0\r\n"
              "To: <sip:b@h>\r\n"
              "x-FOO: bar, baz\r\n"
              "v: SIP/2.0/UDP 10.0.0.5\r\n"
              "VIA: SIP/2.0/UDP 10.0.0.4\r\n"
              "From: <sip:a@h>;tag=1\r\n"
              "Call-ID: c1\r\n"
              "CSeq: 1 OPTIONS\r\n"
              "Content-Length: 0\r\n"
              "Date: Fri, 01 Jan 2010 16:00:00 EST\r\n"
              "\r\n"));
  EXPECT_EQ(m.Assemble(true),
            "OPTIONS sip:b@10.0.0.6 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 10.0.0.5\r\n"
            "Via: SIP/2.0/UDP 10.0.0.4\r\n"
            "From: <sip:a@h>;tag=1\r\n"
            "To: <sip:b@h>\r\n"
            "Call-ID: c1\r\n"
            "CSeq: 1 OPTIONS\r\n"
            "Content-Length: 0\r\n"
            "x-FOO: bar, baz\r\n"
            "Date: Fri, 01 Jan 2010 16:00:00 EST\r\n"
            "\r\n");
  EXPECT_STREQ(m.Header("X-Foo"), "bar, baz");
  EXPECT_STREQ(m.Header("date"), "Fri, 01 Jan 2010 16:00:00 EST");
  EXPECT_EQ(m.Header("X-Bar"), nullptr);
}

TEST(SipMessageParse, FoldedLinesJoinWithOneBlank) {
  SipMessage m;
  ASSERT_TRUE(m.Parse("INVITE sip:b@10.0.0.6 SIP/2.0\r\n" + kHeads +
                      "Subject: first\r\n"
                      " \t second\r\n"
                      "\tthird\r\n"
                      "\r\n"));
  EXPECT_STREQ(m.Header("Subject"), "first second third");
}

TEST(SipMessageParse, LineEndsAndBlankValues) {
  const char* variants[] = {
      "OPTIONS sip:h SIP/2.0\nVia: SIP/2.0/UDP h\nFrom: <sip:a@h>;tag=1\nTo: <sip:b@h>\nCall-ID: c\nCSeq: 1 "
      "OPTIONS\n\n",
      "OPTIONS sip:h SIP/2.0\rVia: SIP/2.0/UDP h\rFrom: <sip:a@h>;tag=1\rTo: <sip:b@h>\rCall-ID: c\rCSeq: 1 "
      "OPTIONS\r\r",
      "OPTIONS sip:h SIP/2.0\n\rVia: SIP/2.0/UDP h\n\rFrom: <sip:a@h>;tag=1\n\rTo: <sip:b@h>\n\rCall-ID: "
      "c\n\rCSeq: 1 "
      "OPTIONS\n\r\n\r",
      // The end of the text also ends the header section.
      "OPTIONS sip:h SIP/2.0\r\nVia: SIP/2.0/UDP h\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\nCall-ID: "
      "c\r\nCSeq: 1 OPTIONS",
  };
  for (const char* text : variants) {
    SipMessage m;
    ASSERT_TRUE(m.Parse(text)) << text;
    EXPECT_EQ(m.Header<CSeqHeader>(SipMessage::HID_CSEQ)->Method(), SipStartLine::OPTIONS);
    EXPECT_TRUE(m.empty());
  }
}

TEST(SipMessageParse, CommaListsSplitOutsideQuotesAndBrackets) {
  SipMessage m;
  ASSERT_TRUE(
      m.Parse(invite("Route: <sip:p1;lr>, <sip:p2;lr>\r\n"
                     "Record-Route: <sip:r1?X=a,b;lr>, <sip:r2;lr>\r\n"
                     "Contact: \"Doe, John\" <sip:j@h>, <sip:k@h;x=\"a,b\">, \"a\\\",\" <sip:l@h>\r\n"
                     "Via: SIP/2.0/UDP 10.0.0.4, SIP/2.0/UDP 10.0.0.3\r\n")));
  EXPECT_EQ(count_values(m, SipMessage::HID_ROUTE), 2u);
  EXPECT_EQ(count_values(m, SipMessage::HID_CONTACT), 3u);
  EXPECT_EQ(count_values(m, SipMessage::HID_RECORD_ROUTE), 2u);  // the comma inside <...> does not split
  EXPECT_EQ(count_values(m, SipMessage::HID_VIA), 3u);
  auto* c = m.Header<ContactHeader>(SipMessage::HID_CONTACT);
  EXPECT_EQ(c->FullName(), "Doe, John");
  auto* r2 = dynamic_cast<RouteHeader*>(m.Header(SipMessage::HID_ROUTE)->Next());
  ASSERT_NE(r2, nullptr);
  EXPECT_STREQ(r2->Param("lr"), "");
  EXPECT_EQ(r2->Host(), "p2");
  std::string text = m.Assemble(false);
  EXPECT_NE(
      text.find(
          "v: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1, SIP/2.0/UDP 10.0.0.4, SIP/2.0/UDP 10.0.0.3\r\n"),
      std::string::npos);
  EXPECT_NE(text.find("Route: <sip:p1;lr>, <sip:p2;lr>\r\n"), std::string::npos);
  std::string longform = m.Assemble(true);
  EXPECT_NE(longform.find("Route: <sip:p1;lr>\r\nRoute: <sip:p2;lr>\r\n"), std::string::npos);
}

// Compact assembly joins list values with ", "; a value that would then swallow its neighbour or split in
// two is refused when it arrives, so every accepted message assembles into one that parses the same.
TEST(SipMessageParse, ListValuesMustStandAloneWhenJoined) {
  // A Via value's host and parameters admit no brackets or quotes outside a quoted value at all.
  const struct {
    const char* extra;
    const char* report;
  } refused[] = {
      {"Via: SIP/2.0/UDP h;c=<;b=,;a=>\r\n", "Incorrect Parameter in Via\n"},
      {"Via: SIP/2.0/UDP a\"b\r\n", "Incorrect Host in Via\n"},
      {"Contact: <sip:a@h>;p=<\r\n", "Unbalanced quotes or brackets in Header\n"},
      {"Route: <sip:a@h>;x=<y\r\n", "Unbalanced quotes or brackets in Header\n"},
  };
  for (const auto& c : refused) {
    FlogCapture log;
    SipMessage m;
    EXPECT_FALSE(m.Parse(invite(c.extra))) << c.extra;
    EXPECT_EQ(log.last(), c.report) << c.extra;
  }
  SipMessage fine;
  ASSERT_TRUE(
      fine.Parse(invite("Via: SIP/2.0/UDP h;x=\"a,<b\"\r\nContact: \"A, <B>\" <sip:a@h>, <sip:b@h>\r\n")));
  for (bool long_form : {true, false}) {
    std::string once = fine.Assemble(long_form);
    SipMessage again;
    ASSERT_TRUE(again.Parse(once)) << once;
    EXPECT_EQ(again.Assemble(long_form), once);
  }
}

TEST(SipMessageParse, LongCommaListsDoNotExhaustTheStack) {
  std::string values;
  for (int i = 0; i < 4000; ++i) values += "SIP/2.0/UDP 10.0.0.1,";
  values += "SIP/2.0/UDP 10.0.0.2";
  SipMessage m;
  ASSERT_TRUE(m.Parse(invite("Via: " + values + "\r\n")));
  EXPECT_EQ(count_values(m, SipMessage::HID_VIA), 4002u);
  SipMessage copy(m);
  EXPECT_EQ(copy.Assemble(true), m.Assemble(true));
}

struct StackJob {
  std::string text;
  size_t values = 0;
  std::string assembled;
};

void* parse_copy_assemble(void* arg) {
  auto* job = static_cast<StackJob*>(arg);
  SipMessage m;
  if (!m.Parse(job->text)) return nullptr;
  SipMessage copy(m);
  job->values = count_values(copy, SipMessage::HID_CONTACT);
  job->assembled = copy.Assemble(false);
  return nullptr;
}

// SIP threads run on 512 KiB stacks: a full datagram of tiny list values must parse, copy, assemble and
// be released there.
TEST(SipMessageParse, DatagramOfTinyValuesFitsASipThreadStack) {
  StackJob job;
  std::string stars = "*";
  while (stars.size() < 7999) stars += ",*";
  job.text = invite("Contact: " + stars + "\r\n");
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, parse_copy_assemble, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.values, 4000u);
  EXPECT_NE(job.assembled.find("m: *, *, *"), std::string::npos);
}

TEST(SipMessageParse, RequiredHeaders) {
  const std::string no_call_id =
      "OPTIONS sip:h SIP/2.0\r\nVia: SIP/2.0/UDP h\r\nFrom: <sip:a@h>;tag=1\r\n"
      "To: <sip:b@h>\r\nCSeq: 1 OPTIONS\r\n\r\n";
  FlogCapture log;
  SipMessage m;
  EXPECT_FALSE(m.Parse(no_call_id));
  EXPECT_EQ(log.last(), "Required Header is Missing\n");
  SipHeaders h;
  std::string_view text = no_call_id;
  EXPECT_TRUE(h.Parse(text, true));
  EXPECT_TRUE(text.empty());
}

struct Refusal {
  std::string text;
  const char* reported;
};

TEST(SipMessageParse, RefusedMessagesReportWhy) {
  const Refusal cases[] = {
      {"", "Empty Message.\n"},
      {" INVITE sip:b@h SIP/2.0\r\n", "Message Begining with SPACE.\n"},
      {"\r\nINVITE sip:b@h SIP/2.0\r\n", "Message Begining with SPACE.\n"},
      {"\tINVITE sip:b@h SIP/2.0\r\n", "Message Begining with SPACE.\n"},
      {invite("NoColonHere\r\n"), "Incorrect Header line\n"},
      {invite(": empty name\r\n"), "Incorrect Header Type\n"},
      {invite("Bad Name: x\r\n"), "Incorrect Header Type\n"},
      {invite("Via: SIP/2.0/UDP 192.0.2.15;;,;,,\r\n"), "Incorrect SIP Version in Via\n"},
      {invite("CSeq: 2 INVITE\r\n"), "Header must not be repeated\n"},
      {invite("To: <sip:c@h>\r\n"), "Header must not be repeated\n"},
      {invite("Content-Length: 0\r\nl: 0\r\n"), "Header must not be repeated\n"},
      {"OPTIONS sip:b@h SIP/2.0\r\n" + kHeads, "CSeq METHOD doesn't match Request METHOD\n"},
      {invite("Content-Length: 10\r\n", "short"), "Content-Length larger than the message\n"},
      {invite("Content-Length: 99999999999999999999999\r\n", "short"),
       "Content-Length larger than the message\n"},
      {invite("Content-Length: -999\r\n", "body"), "Incorrect Content-Length\n"},
      {invite("Content-Length: 1x\r\n", "body"), "Incorrect Content-Length\n"},
      {invite("Content-Length:\r\n", "body"), "Incorrect Content-Length\n"},
      {invite(std::string("X-Nul: \0a", 9)), "NUL character in Header\n"},  // counted, not cut at the NUL
  };
  for (const Refusal& c : cases) {
    FlogCapture log;
    SipMessage m;
    EXPECT_FALSE(m.Parse(std::string_view(c.text))) << c.text;
    EXPECT_EQ(log.last(), c.reported) << c.text;
  }
  FlogCapture log;
  SipMessage m;
  EXPECT_FALSE(m.Parse(static_cast<const char*>(nullptr)));
  EXPECT_EQ(log.last(), "Empty Message.\n");
}

TEST(SipMessageBody, DelimitedByContentLength) {
  std::string body("v=0\r\n\0binary\r\n", 14);
  SipMessage m;
  ASSERT_TRUE(m.Parse(std::string_view(invite("Content-Length: 14\r\n", body + "EXTRA BYTES"))));
  EXPECT_EQ(m.Body(), body);
  std::string out = m.Assemble(true);
  EXPECT_NE(out.find("Content-Length: 14\r\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 14), body);
}

TEST(SipMessageBody, WithoutContentLengthTheRestIsTheBody) {
  SipMessage m;
  ASSERT_TRUE(m.Parse(invite("", "\r\n\r\nv=0\r\n")));
  EXPECT_EQ(m.Body(), "v=0\r\n");
  EXPECT_NE(m.Assemble(true).find("Content-Length: 5\r\n"), std::string::npos);
}

TEST(SipMessageBody, ContentLengthIsRewrittenToTheBody) {
  SipMessage m;
  ASSERT_TRUE(m.Parse(invite("Content-Length: 10\r\n", "0123456789")));
  m.Body("abc");
  EXPECT_NE(m.Assemble(true).find("Content-Length: 3\r\n\r\nabc"), std::string::npos);
  m.clear();
  std::string out = m.Assemble(true);
  EXPECT_EQ(out.substr(out.size() - 21), "Content-Length: 0\r\n\r\n");
  // The stored header is not touched by assembly.
  EXPECT_EQ(m.Header<ContentLengthHeader>(SipMessage::HID_CONTENT_LENGTH)->Value(), 10);
}

TEST(SipMessageParse, HeaderParserLeavesPointerAtBody) {
  std::string text = invite("", "\r\n\r\nbody");
  const char* p = text.c_str();
  SipHeaders h;
  ASSERT_TRUE(h.Parse(p, false));
  EXPECT_STREQ(p, "body");
}

}  // namespace
