// Editing a parsed message: header operations, on-demand parsing of raw headers, conversions into
// other requests and responses, copies, and percent-escaping.
#include <gtest/gtest.h>

#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"
#include "sip/message.h"
#include "flog_capture.h"

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

SIP parsed(const char* text = kInvite)
{
    SIP m;
    EXPECT_TRUE(m.parser(text));
    return m;
}

std::string via_hosts(const SIP& m)
{
    std::string hosts;
    for (auto* l = m.Header(SIP::HID_Via); l; l = l->Next()) hosts += dynamic_cast<SIP_Head_Via*>(l)->Host() + " ";
    return hosts;
}

TEST(SipHeaderEdit, PushPopSetAndReverse)
{
    SIP m = parsed();
    EXPECT_TRUE(m.push_front(SIP::HID_Via, "SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK-ostrel-65537"));
    EXPECT_TRUE(m.push_back(SIP::HID_Via, "SIP/2.0/UDP 10.0.0.9"));
    EXPECT_EQ(via_hosts(m), "10.0.0.1 10.0.0.5 10.0.0.9 ");
    m.Reverse(SIP::HID_Via);
    EXPECT_EQ(via_hosts(m), "10.0.0.9 10.0.0.5 10.0.0.1 ");
    auto middle = m.pop(SIP::HID_Via, 1);
    ASSERT_TRUE(middle);
    EXPECT_EQ(dynamic_cast<SIP_Head_Via*>(middle.get())->Host(), "10.0.0.5");
    EXPECT_EQ(middle->Next(), nullptr);
    EXPECT_FALSE(m.pop(SIP::HID_Via, 5));
    auto last = m.pop_back(SIP::HID_Via);
    EXPECT_EQ(dynamic_cast<SIP_Head_Via*>(last.get())->Host(), "10.0.0.1");
    auto first = m.pop_front(SIP::HID_Via);
    EXPECT_EQ(dynamic_cast<SIP_Head_Via*>(first.get())->Host(), "10.0.0.9");
    EXPECT_EQ(m.Header(SIP::HID_Via), nullptr);
    EXPECT_FALSE(m.pop_front(SIP::HID_Via));

    m.push_back(SIP::HID_Via, std::move(first));
    EXPECT_TRUE(m.set(SIP::HID_Via, "SIP/2.0/TCP 10.0.0.7"));
    EXPECT_EQ(via_hosts(m), "10.0.0.7 ");
}

TEST(SipHeaderEdit, FailedTextValueLeavesMessageUnchanged)
{
    SIP m = parsed();
    std::string before = m.assemble(true);
    FlogCapture log;
    EXPECT_FALSE(m.set(SIP::HID_Via, "SIP/2.0/SCTP h"));
    EXPECT_FALSE(m.push_back(SIP::HID_CSeq, "8 FOO"));
    EXPECT_FALSE(m.line_set(SIP::HID_Route, "<sip:p1;lr>, <bad"));
    EXPECT_EQ(m.assemble(true), before);
    EXPECT_FALSE(m.set(SIP::HID_Date, "Fri, 01 Jan 2010"));
    EXPECT_EQ(log.last(), "Parse Unknown header as a Specific one\n");
    EXPECT_FALSE(m.set(SIP::HeadId(60), "x"));
    EXPECT_EQ(m.assemble(true), before);
}

TEST(SipHeaderEdit, UnknownHeadersByName)
{
    SIP m = parsed();
    m.Header("X-Added", "two");
    m.Header("x-extra", "again");
    EXPECT_STREQ(m.Header("X-EXTRA"), "1");
    std::string text = m.assemble(true);
    EXPECT_NE(text.find("Supported: replaces, timer\r\nIdentity: \"sig\";info=<https://h/c>\r\nX-Extra: 1\r\n"
                        "X-Added: two\r\nx-extra: again\r\n"),
              std::string::npos);
    m.remove("X-EXTRA");
    EXPECT_EQ(m.Header("x-extra"), nullptr);
    EXPECT_STREQ(m.Header("x-added"), "two");
}

TEST(SipHeaderEdit, TypedLinesWithoutARegisteredNameAreNotWritten)
{
    SIP m = parsed();
    std::string before = m.assemble(true);
    auto via = std::make_unique<SIP_Head_Via>();
    ASSERT_TRUE(via->parser("SIP/2.0/UDP 10.0.0.1"));
    m.set(SIP::HID_Date, via->Copy());
    m.push_back(SIP::HeadId(m.getNextID()), std::move(via));
    EXPECT_EQ(m.assemble(true), before);
}

TEST(SipHeaderEdit, OnDemandParsingConvertsOnce)
{
    SIP m;
    ASSERT_TRUE(m.parser("SUBSCRIBE sip:b@h SIP/2.0\r\nVia: SIP/2.0/UDP h\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\n"
                         "Call-ID: c\r\nCSeq: 1 SUBSCRIBE\r\no: presence;id=7\r\nk: timer\r\nSupported: replaces, 100rel\r\n"
                         "\r\n"));
    EXPECT_EQ(m.Header(SIP::HID_Event), nullptr);
    EXPECT_EQ(m.parse(SIP::HID_Event), 1u);
    auto* ev = m.Header<SIP_Head_Event>(SIP::HID_Event);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(ev->Value(), "presence");
    EXPECT_EQ(m.parse(SIP::HID_Event), 0u);
    EXPECT_EQ(m.Header("o"), nullptr);

    EXPECT_EQ(m.parse(SIP::HID_Supported), 2u);  // a comma list counts once
    std::string text = m.assemble(true);
    EXPECT_NE(text.find("Supported: timer, replaces, 100rel\r\nEvent: presence;id=7\r\n"), std::string::npos);
}

TEST(SipHeaderEdit, OnDemandParseFailureKeepsTheLineByteForByte)
{
    SIP m;
    ASSERT_TRUE(m.parser("INVITE sip:b@h SIP/2.0\r\nVia: SIP/2.0/UDP h\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\n"
                         "Call-ID: c\r\nCSeq: 1 INVITE\r\n"
                         "Call-Info: <http://www.example.com/alice/photo.jpg>;purpose=icon\r\n"
                         "call-info: <sip:info@h>;purpose=info, <http://x>\r\n"
                         "Call-Info: <sip:ok@h>;purpose=info\r\n"
                         "\r\n"));
    std::string before = m.assemble(true);
    FlogCapture log;
    EXPECT_EQ(m.parse(SIP::HID_Call_Info), 1u);
    std::string after = m.assemble(true);
    EXPECT_NE(after.find("Call-Info: <sip:ok@h>;purpose=info\r\n"), std::string::npos);
    EXPECT_NE(after.find("Call-Info: <http://www.example.com/alice/photo.jpg>;purpose=icon\r\n"), std::string::npos);
    EXPECT_NE(after.find("call-info: <sip:info@h>;purpose=info, <http://x>\r\n"), std::string::npos);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(log.last(), "Unknown Scheme in URI\n");
}

TEST(SipHeaderEdit, ConvertToRequest)
{
    SIP m = parsed();
    m.Convert(SIP_StartLine::BYE);
    EXPECT_EQ(m.assemble(true),
              "BYE sip:b@10.0.0.6 SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1\r\n"
              "From: <sip:a@10.0.0.5>;tag=1\r\n"
              "To: <sip:b@10.0.0.6>\r\n"
              "Call-ID: c1\r\n"
              "CSeq: 7 BYE\r\n"
              "User-Agent: ua\r\n"
              "Content-Length: 0\r\n"
              "\r\n");
    SIP u = parsed();
    u.Convert(SIP_StartLine::UPDATE);
    EXPECT_NE(u.Header(SIP::HID_Contact), nullptr);
}

TEST(SipHeaderEdit, ConvertToResponse)
{
    SIP m = parsed();
    m.Convert(SIP_Status(486), "Busy Here");
    EXPECT_EQ(m.assemble(true),
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

TEST(SipHeaderEdit, CopiesAreDeepAndIndependent)
{
    SIP original = parsed();
    SIP copy(original);
    EXPECT_EQ(copy.assemble(true), original.assemble(true));
    copy.push_front(SIP::HID_Via, "SIP/2.0/UDP 10.0.0.1");
    copy.Header<SIP_Head_From>(SIP::HID_From)->Params().Param("tag", "2");
    EXPECT_NE(copy.assemble(true), original.assemble(true));
    EXPECT_STREQ(original.Header<SIP_Head_From>(SIP::HID_From)->Params().Param("tag"), "1");
    SIP assigned;
    assigned = original;
    EXPECT_EQ(assigned.assemble(true), original.assemble(true));
    auto chain = original.Header(SIP::HID_Via)->Copy();
    EXPECT_NE(dynamic_cast<SIP_Head_Via*>(chain.get()), nullptr);
}

TEST(SipHeaderEdit, RestrictDropsSupportedAndUnknown)
{
    SIP m = parsed();
    m.parse(SIP::HID_Supported);
    m.restrict();
    std::string text = m.assemble(true);
    EXPECT_EQ(text.find("Supported"), std::string::npos);
    EXPECT_EQ(text.find("X-Extra"), std::string::npos);
    EXPECT_EQ(text.find("Identity"), std::string::npos);
}

TEST(SipEscape, PercentEncoding)
{
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
        EXPECT_EQ(SIP::escape(c.plain), c.escaped);
        EXPECT_EQ(SIP::unescape(c.escaped), c.plain);
    }
    EXPECT_EQ(SIP::unescape("%c3%A9"), "\xC3\xA9");
    EXPECT_EQ(SIP::unescape("a%00b"), "a");
    EXPECT_EQ(SIP::unescape("100%"), "100%");
    EXPECT_EQ(SIP::unescape("%4"), "%4");
    EXPECT_EQ(SIP::unescape("%zz"), "%zz");
}

} // namespace
