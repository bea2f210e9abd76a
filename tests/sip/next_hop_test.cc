// Next hop and route sets: where a request or response goes, and requests built from a stored message.
#include <gtest/gtest.h>

#include "sip/headers/route.h"
#include "sip/message.h"

namespace {

SipMessage parsed(const std::string& text) {
  SipMessage m;
  EXPECT_TRUE(m.Parse(text)) << text;
  return m;
}

const std::string kDialogHeads =
    "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK1\r\n"
    "From: <sip:a@10.0.0.5>;tag=1\r\n"
    "Call-ID: c1\r\n";

std::string routes_of(const SipMessage& m) {
  std::string out;
  for (auto* l = m.Header(SipMessage::HID_ROUTE); l; l = l->Next()) {
    l->Assemble(out);
    out += ' ';
  }
  return out;
}

std::string request_uri(const SipMessage& m) {
  std::string out;
  return m.URI().Assemble(out);
}

std::string invite(const std::string& uri, const std::string& extra = "") {
  return "INVITE " + uri + " SIP/2.0\r\n" + kDialogHeads + "To: <sip:b@h>\r\nCSeq: 1 INVITE\r\n" + extra +
         "\r\n";
}

std::string ok_via(const std::string& via) {
  return "SIP/2.0 200 OK\r\nVia: " + via +
         "\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\nCall-ID: c\r\n"
         "CSeq: 1 INVITE\r\n\r\n";
}

TEST(SipNextHop, Address) {
  struct {
    std::string text;
    const char* addr;
  } cases[] = {
      {invite("sip:bob@10.0.0.7:5070", "Route: <sip:10.0.0.9;lr>\r\n"), "10.0.0.9:5060"},
      {invite("sip:bob@10.0.0.7:5070"), "10.0.0.7:5070"},
      {invite("sip:bob@10.0.0.7"), "10.0.0.7:5060"},
      {invite("sip:bob@10.0.0.7", "Route: <sip:p@10.0.0.8:5080;maddr=10.0.0.3;lr>\r\n"), "10.0.0.3:5080"},
      {ok_via("SIP/2.0/UDP 10.0.0.5:5062;received=1.2.3.4;rport=40000"), "1.2.3.4:40000"},
      {ok_via("SIP/2.0/UDP 10.0.0.5;rport"), "10.0.0.5:5060"},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.text).Address(), c.addr) << c.text;

  SipHeaders no_via;
  std::string_view text = "SIP/2.0 200 OK\r\nCall-ID: c\r\n\r\n";
  ASSERT_TRUE(no_via.Parse(text, true));
  EXPECT_EQ(no_via.Address(), "");
}

TEST(SipNextHop, SwapFromAndTo) {
  SipMessage m =
      parsed("BYE sip:b@h SIP/2.0\r\n" + kDialogHeads + "To: <sip:b@10.0.0.6>;tag=2\r\nCSeq: 2 BYE\r\n\r\n");
  m.SwapFromTo();
  std::string text = m.Assemble(true);
  EXPECT_NE(text.find("From: <sip:b@10.0.0.6>;tag=2\r\nTo: <sip:a@10.0.0.5>;tag=1\r\n"), std::string::npos);

  SipHeaders no_to;
  std::string_view partial = "BYE sip:b@h SIP/2.0\r\nFrom: <sip:a@h>;tag=1\r\n\r\n";
  ASSERT_TRUE(no_to.Parse(partial, true));
  no_to.SwapFromTo();
  std::string out;
  EXPECT_EQ(no_to.Assemble(out, true), "BYE sip:b@h SIP/2.0\r\nFrom: <sip:a@h>;tag=1\r\n");
}

struct RouteSetCase {
  bool with_contact;
  bool src_is_request;
  const char* request_uri;
  const char* routes;
};

TEST(SipNextHop, RouteSetFrom) {
  const RouteSetCase cases[] = {
      {true, false, "sip:b@10.0.0.8", "<sip:p2;lr> <sip:p1;lr> "},
      {true, true, "sip:b@10.0.0.8", "<sip:p1;lr> <sip:p2;lr> "},
      {false, false, "sip:p1;lr", "<sip:p2;lr> "},
      {false, true, "sip:p2;lr", "<sip:p1;lr> "},
  };
  for (const RouteSetCase& c : cases) {
    std::string src_text =
        std::string(c.src_is_request ? "INVITE sip:b@h SIP/2.0\r\n" : "SIP/2.0 200 OK\r\n") + kDialogHeads +
        "To: <sip:b@h>;tag=9\r\nCSeq: 1 INVITE\r\n" +
        (c.with_contact ? "Contact: <sip:b@10.0.0.8>\r\n" : "") +
        "Record-Route: <sip:p1;lr>, <sip:p2;lr>\r\n\r\n";
    SipMessage src = parsed(src_text);
    SipMessage bye = parsed("BYE sip:old@h SIP/2.0\r\n" + kDialogHeads +
                            "To: <sip:b@h>\r\nCSeq: 2 BYE\r\nRoute: <sip:stale;lr>\r\n\r\n");
    bye.RouteSetFrom(src, c.src_is_request);
    EXPECT_EQ(request_uri(bye), c.request_uri) << c.with_contact << c.src_is_request;
    EXPECT_EQ(routes_of(bye), c.routes) << c.with_contact << c.src_is_request;
    const char* tag = bye.Header<ToHeader>(SipMessage::HID_TO)->Params().Param("tag");
    if (c.src_is_request)
      EXPECT_EQ(tag, nullptr);
    else
      EXPECT_STREQ(tag, "9");
    // Route values are plain Route lines whatever they were copied from.
    EXPECT_NE(bye.Assemble(true).find("Route: "), std::string::npos);
  }
}

TEST(SipNextHop, RouteSetFromWithoutRecordRouteDropsRoutes) {
  SipMessage src =
      parsed("SIP/2.0 200 OK\r\n" + kDialogHeads +
             "To: <sip:b@h>;tag=9\r\nCSeq: 1 INVITE\r\nContact: <sip:b@10.0.0.8:5070;transport=udp>\r\n\r\n");
  SipMessage bye = parsed("BYE sip:old@h SIP/2.0\r\n" + kDialogHeads +
                          "To: <sip:b@h>;tag=3\r\nCSeq: 2 BYE\r\nRoute: <sip:stale;lr>\r\n\r\n");
  bye.RouteSetFrom(src, false);
  EXPECT_EQ(bye.Header(SipMessage::HID_ROUTE), nullptr);
  EXPECT_EQ(request_uri(bye), "sip:b@10.0.0.8:5070;transport=udp");
  EXPECT_STREQ(bye.Header<ToHeader>(SipMessage::HID_TO)->Params().Param("tag"), "3");
  EXPECT_EQ(bye.Address(), "10.0.0.8:5070");
}

TEST(SipNextHop, StarContactIsNotATarget) {
  SipMessage src = parsed("SIP/2.0 200 OK\r\n" + kDialogHeads +
                          "To: <sip:b@h>;tag=9\r\nCSeq: 1 INVITE\r\nContact: *\r\n\r\n");
  SipMessage bye =
      parsed("BYE sip:old@h SIP/2.0\r\n" + kDialogHeads + "To: <sip:b@h>\r\nCSeq: 2 BYE\r\n\r\n");
  bye.RouteSetFrom(src, false);
  EXPECT_EQ(request_uri(bye), "sip:old@h");
}

}  // namespace
