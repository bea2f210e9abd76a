// Editing a parsed message: header operations, on-demand parsing of raw headers, conversions into
// other requests and responses, copies, and percent-escaping.
#include <gtest/gtest.h>

#include "flog_capture.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"
#include "sip/message.h"

using sip_test::FlogCapture;

namespace {

const char* kInvite =
    "INVITE sip:b@10.0.0.6 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1\r\n"
    "From: <sip:a@10.0.0.5>;tag=1\r\n"
    "To: <sip:b@10.0.0.6>\r\n"
    "Call-ID: c1\r\n"
    "CSeq: 7 INVITE\r\n"
    "Contact: <sip:a@10.0.0.5:5062>\r\n"
    "Expires: 60\r\n"
    "Content-Type: application/sdp\r\n"
    "Server: srv\r\n"
    "User-Agent: ua\r\n"
    "Supported: replaces, timer\r\n"
    "Identity: \"sig\";info=<https://h/c>\r\n"
    "X-Extra: 1\r\n"
    "Content-Length: 4\r\n"
    "\r\n"
    "abcd";

SipMessage parsed(const char* text = kInvite) {
  SipMessage m;
  EXPECT_TRUE(m.Parse(text));
  return m;
}

std::string via_hosts(const SipMessage& m) {
  std::string hosts;
  for (auto* l = m.Header(SipMessage::HID_VIA); l; l = l->Next())
    hosts += dynamic_cast<ViaHeader*>(l)->Host() + " ";
  return hosts;
}

TEST(SipHeaderEdit, PushPopSetAndReverse) {
  SipMessage m = parsed();
  EXPECT_TRUE(m.push_front(SipMessage::HID_VIA, "SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK-ostrel-65537"));
  EXPECT_TRUE(m.push_back(SipMessage::HID_VIA, "SIP/2.0/UDP 10.0.0.9"));
  EXPECT_EQ(via_hosts(m), "10.0.0.1 10.0.0.5 10.0.0.9 ");
  m.Reverse(SipMessage::HID_VIA);
  EXPECT_EQ(via_hosts(m), "10.0.0.9 10.0.0.5 10.0.0.1 ");
  auto middle = m.pop(SipMessage::HID_VIA, 1);
  ASSERT_TRUE(middle);
  EXPECT_EQ(dynamic_cast<ViaHeader*>(middle.get())->Host(), "10.0.0.5");
  EXPECT_EQ(middle->Next(), nullptr);
  EXPECT_FALSE(m.pop(SipMessage::HID_VIA, 5));
  auto last = m.pop_back(SipMessage::HID_VIA);
  EXPECT_EQ(dynamic_cast<ViaHeader*>(last.get())->Host(), "10.0.0.1");
  auto first = m.pop_front(SipMessage::HID_VIA);
  EXPECT_EQ(dynamic_cast<ViaHeader*>(first.get())->Host(), "10.0.0.9");
  EXPECT_EQ(m.Header(SipMessage::HID_VIA), nullptr);
  EXPECT_FALSE(m.pop_front(SipMessage::HID_VIA));

  m.push_back(SipMessage::HID_VIA, std::move(first));
  EXPECT_TRUE(m.Set(SipMessage::HID_VIA, "SIP/2.0/TCP 10.0.0.7"));
  EXPECT_EQ(via_hosts(m), "10.0.0.7 ");
}

TEST(SipHeaderEdit, FailedTextValueLeavesMessageUnchanged) {
  SipMessage m = parsed();
  std::string before = m.Assemble(true);
  FlogCapture log;
  EXPECT_FALSE(m.Set(SipMessage::HID_VIA, "SIP/2.0/SCTP h"));
  EXPECT_FALSE(m.push_back(SipMessage::HID_CSEQ, "8 FOO"));
  EXPECT_FALSE(m.LineSet(SipMessage::HID_ROUTE, "<sip:p1;lr>, <bad"));
  EXPECT_EQ(m.Assemble(true), before);
  EXPECT_FALSE(m.Set(SipMessage::HID_DATE, "Fri, 01 Jan 2010"));
  EXPECT_EQ(log.last(), "Parse Unknown header as a Specific one\n");
  EXPECT_FALSE(m.Set(SipMessage::HeadId(60), "x"));
  EXPECT_EQ(m.Assemble(true), before);
}

TEST(SipHeaderEdit, UnknownHeadersByName) {
  SipMessage m = parsed();
  m.Header("X-Added", "two");
  m.Header("x-extra", "again");
  EXPECT_STREQ(m.Header("X-EXTRA"), "1");
  std::string text = m.Assemble(true);
  EXPECT_NE(text.find("Supported: replaces, timer\r\nIdentity: \"sig\";info=<https://h/c>\r\nX-Extra: 1\r\n"
                      "X-Added: two\r\nx-extra: again\r\n"),
            std::string::npos);
  m.Remove("X-EXTRA");
  EXPECT_EQ(m.Header("x-extra"), nullptr);
  EXPECT_STREQ(m.Header("x-added"), "two");
}

TEST(SipHeaderEdit, TypedLinesWithoutARegisteredNameAreNotWritten) {
  SipMessage m = parsed();
  std::string before = m.Assemble(true);
  auto via = std::make_unique<ViaHeader>();
  ASSERT_TRUE(via->Parse("SIP/2.0/UDP 10.0.0.1"));
  m.Set(SipMessage::HID_DATE, via->Copy());
  m.push_back(SipMessage::HeadId(m.NextId()), std::move(via));
  EXPECT_EQ(m.Assemble(true), before);
}

TEST(SipHeaderEdit, OnDemandParsingConvertsOnce) {
  SipMessage m;
  ASSERT_TRUE(m.Parse(
      "SUBSCRIBE sip:b@h SIP/2.0\r\nVia: SIP/2.0/UDP h\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\n"
      "Call-ID: c\r\nCSeq: 1 SUBSCRIBE\r\no: presence;id=7\r\nk: timer\r\nSupported: replaces, 100rel\r\n"
      "\r\n"));
  EXPECT_EQ(m.Header(SipMessage::HID_EVENT), nullptr);
  EXPECT_EQ(m.Parse(SipMessage::HID_EVENT), 1u);
  auto* ev = m.Header<EventHeader>(SipMessage::HID_EVENT);
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(ev->Value(), "presence");
  EXPECT_EQ(m.Parse(SipMessage::HID_EVENT), 0u);
  EXPECT_EQ(m.Header("o"), nullptr);

  EXPECT_EQ(m.Parse(SipMessage::HID_SUPPORTED), 2u);  // a comma list counts once
  std::string text = m.Assemble(true);
  EXPECT_NE(text.find("Supported: timer, replaces, 100rel\r\nEvent: presence;id=7\r\n"), std::string::npos);
}

TEST(SipHeaderEdit, OnDemandParseFailureKeepsTheLineByteForByte) {
  SipMessage m;
  ASSERT_TRUE(
      m.Parse("INVITE sip:b@h SIP/2.0\r\nVia: SIP/2.0/UDP h\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\n"
              "Call-ID: c\r\nCSeq: 1 INVITE\r\n"
              "Call-Info: <http://www.example.com/alice/photo.jpg>;purpose=icon\r\n"
              "call-info: <sip:info@h>;purpose=info, <http://x>\r\n"
              "Call-Info: <sip:ok@h>;purpose=info\r\n"
              "\r\n"));
  std::string before = m.Assemble(true);
  FlogCapture log;
  EXPECT_EQ(m.Parse(SipMessage::HID_CALL_INFO), 1u);
  std::string after = m.Assemble(true);
  EXPECT_NE(after.find("Call-Info: <sip:ok@h>;purpose=info\r\n"), std::string::npos);
  EXPECT_NE(after.find("Call-Info: <http://www.example.com/alice/photo.jpg>;purpose=icon\r\n"),
            std::string::npos);
  EXPECT_NE(after.find("call-info: <sip:info@h>;purpose=info, <http://x>\r\n"), std::string::npos);
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(log.last(), "Unknown Scheme in URI\n");
}

TEST(SipHeaderEdit, ConvertToRequest) {
  SipMessage m = parsed();
  m.Convert(SipStartLine::BYE);
  EXPECT_EQ(m.Assemble(true),
            "BYE sip:b@10.0.0.6 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1\r\n"
            "From: <sip:a@10.0.0.5>;tag=1\r\n"
            "To: <sip:b@10.0.0.6>\r\n"
            "Call-ID: c1\r\n"
            "CSeq: 7 BYE\r\n"
            "User-Agent: ua\r\n"
            "Content-Length: 0\r\n"
            "\r\n");
  SipMessage u = parsed();
  u.Convert(SipStartLine::UPDATE);
  EXPECT_NE(u.Header(SipMessage::HID_CONTACT), nullptr);
}

TEST(SipHeaderEdit, ConvertToResponse) {
  SipMessage m = parsed();
  m.Convert(SipStatus(486), "Busy Here");
  EXPECT_EQ(m.Assemble(true),
            "SIP/2.0 486 Busy Here\r\n"
            "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1\r\n"
            "From: <sip:a@10.0.0.5>;tag=1\r\n"
            "To: <sip:b@10.0.0.6>\r\n"
            "Contact: <sip:a@10.0.0.5:5062>\r\n"
            "Call-ID: c1\r\n"
            "CSeq: 7 INVITE\r\n"
            "Server: srv\r\n"
            "Content-Length: 0\r\n"
            "\r\n");
}

TEST(SipHeaderEdit, CopiesAreDeepAndIndependent) {
  SipMessage original = parsed();
  SipMessage copy(original);
  EXPECT_EQ(copy.Assemble(true), original.Assemble(true));
  copy.push_front(SipMessage::HID_VIA, "SIP/2.0/UDP 10.0.0.1");
  copy.Header<FromHeader>(SipMessage::HID_FROM)->Params().Param("tag", "2");
  EXPECT_NE(copy.Assemble(true), original.Assemble(true));
  EXPECT_STREQ(original.Header<FromHeader>(SipMessage::HID_FROM)->Params().Param("tag"), "1");
  SipMessage assigned;
  assigned = original;
  EXPECT_EQ(assigned.Assemble(true), original.Assemble(true));
  auto chain = original.Header(SipMessage::HID_VIA)->Copy();
  EXPECT_NE(dynamic_cast<ViaHeader*>(chain.get()), nullptr);
}

TEST(SipHeaderEdit, RestrictDropsSupportedAndUnknown) {
  SipMessage m = parsed();
  m.Parse(SipMessage::HID_SUPPORTED);
  m.restrict();
  std::string text = m.Assemble(true);
  EXPECT_EQ(text.find("Supported"), std::string::npos);
  EXPECT_EQ(text.find("X-Extra"), std::string::npos);
  EXPECT_EQ(text.find("Identity"), std::string::npos);
}

TEST(SipEscape, PercentEncoding) {
  struct {
    std::string plain;
    std::string escaped;
  } cases[] = {
      {"a b", "a%20b"},
      {"\xC3", "%C3"},
      {"abcXYZ019", "abcXYZ019"},
      {"sip:u@h", "sip%3Au%40h"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SipMessage::Escape(c.plain), c.escaped);
    EXPECT_EQ(SipMessage::Unescape(c.escaped), c.plain);
  }
  EXPECT_EQ(SipMessage::Unescape("%c3%A9"), "\xC3\xA9");
  EXPECT_EQ(SipMessage::Unescape("a%00b"), "a");
  EXPECT_EQ(SipMessage::Unescape("100%"), "100%");
  EXPECT_EQ(SipMessage::Unescape("%4"), "%4");
  EXPECT_EQ(SipMessage::Unescape("%zz"), "%zz");
}

// A Replaces value in a Refer-To, escaped anew for a device that escapes it badly: a valid value comes back
// byte for byte (whatever case its escapes have, whatever bytes they name), an invalid one gets only its
// offending bytes escaped, and one that does not decode cleanly is refused (the caller passes it on as it
// came). Either way the receiver decodes what the sender meant.
TEST(SipEscape, HeaderValueRoundTripIsExact) {
  struct {
    const char* given;
    const char* out;  // null: refused
  } cases[] = {
      {"a1b2c3", "a1b2c3"},
      {"abc-1.x_y%40host%3Bto-tag%3Dt-1%3Bfrom-tag%3Df.2%3Bearly-only",
       "abc-1.x_y%40host%3Bto-tag%3Dt-1%3Bfrom-tag%3Df.2%3Bearly-only"},
      {"abc%40host%3bto-tag%3dx", "abc%40host%3bto-tag%3dx"},
      {"%41%2D%C3%A9", "%41%2D%C3%A9"},
      {"!~*'()[]/?:+$", "!~*'()[]/?:+$"},
      {"abc@host%3Bto-tag%3Dx", "abc%40host%3Bto-tag%3Dx"},
      {"a\"b{c}", "a%22b%7Bc%7D"},
      {"\xC3\xA9", "%C3%A9"},
      {"", ""},
      {"100%", nullptr},
      {"%4", nullptr},
      {"a%zzb", nullptr},
      {"a%00b", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    std::string out = "stale", before, after;
    const bool ok = SipMessage::ReescapeHeaderValue(c.given, out);
    ASSERT_EQ(ok, c.out != nullptr);
    if (!ok) continue;
    EXPECT_EQ(out, c.out);
    ASSERT_TRUE(SipMessage::UnescapeExactly(out, after));
    EXPECT_EQ(after, SipMessage::Unescape(c.given)) << "the receiver decodes what the sender meant";
    EXPECT_TRUE(SipMessage::ReescapeHeaderValue(out, before));
    EXPECT_EQ(before, out) << "a second pass changes nothing";
  }
  std::string out;
  EXPECT_FALSE(SipMessage::ReescapeHeaderValue(std::string("a\0b", 3), out))
      << "a NUL byte cannot be escaped back";
  // A value decoded and escaped again names the same bytes.
  const std::string raw = "id@h;to-tag=ostrel-1;from-tag=a b;early-only";
  std::string back;
  ASSERT_TRUE(SipMessage::UnescapeExactly(SipMessage::EscapeHeaderValue(raw), back));
  EXPECT_EQ(back, raw);
  EXPECT_EQ(SipMessage::EscapeHeaderValue(raw), "id%40h%3Bto-tag%3Dostrel-1%3Bfrom-tag%3Da%20b%3Bearly-only");
}

}  // namespace
