// The message operations both roads share, on the wire forms a phone or the server would send.
#include "ports/relay_ops.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/config.h"
#include "sip/headers/via.h"

namespace {

class RelayOps : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(g_config.server_ipaddr, "127.0.0.1");
    std::strcpy(g_config.myipaddr, "127.0.0.1");
    g_config.second_port = 5061;
    g_config.main_port = 5060;
  }
  static SipMessage Parsed(const std::string& text) {
    SipMessage msg;
    EXPECT_TRUE(msg.Parse(text)) << text;
    return msg;
  }
  static std::string Register(const std::string& contact, const std::string& via_params = "") {
    return "REGISTER sip:example.com SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.5:5062" + via_params +
           ";branch=z9hG4bK-1\r\nFrom: <sip:alice@example.com>;tag=1\r\nTo: <sip:alice@example.com>\r\n"
           "Call-ID: r1\r\nCSeq: 1 REGISTER\r\n" +
           contact + "Content-Length: 0\r\n\r\n";
  }
};

TEST_F(RelayOps, RewrittenContactPointsAtTheInternalPort) {
  const struct {
    const char* name;
    std::string text;
    const char* reply_in;
    std::string want_ncnt, want_ocnt, want_reply;
    bool pub;
  } cases[] = {
      {"behind NAT", Register("Contact: <sip:alice@192.168.1.2:5062;transport=udp;ob>\r\n"), "10.0.0.5:40000",
       "sip:alice*example.com-10.0.0.5+40000@127.0.0.1:5064", "sip:alice@192.168.1.2:5062", "10.0.0.5:40000",
       false},
      {"public, no rport: reply to the Via port", Register("Contact: <sip:alice@10.0.0.5:5062>\r\n"),
       "10.0.0.5:40000", "sip:alice*example.com-10.0.0.5+5062@127.0.0.1:5064", "sip:alice@10.0.0.5:5062",
       "10.0.0.5:5062", true},
      {"public with rport keeps the source port",
       Register("Contact: <sip:alice@10.0.0.5:5062>\r\n", ";rport"), "10.0.0.5:40000",
       "sip:alice*example.com-10.0.0.5+40000@127.0.0.1:5064", "sip:alice@10.0.0.5:5062", "10.0.0.5:40000",
       true},
      {"no Contact: the From user", Register(""), "10.0.0.5:40000",
       "sip:alice*example.com-10.0.0.5+40000@127.0.0.1:5064", "", "10.0.0.5:40000", false},
  };
  for (const auto& c : cases) {
    SipMessage msg = Parsed(c.text);
    InetAddress reply(c.reply_in);
    std::string ocnt, ncnt;
    EXPECT_EQ(NewOldContacts(msg, reply, ocnt, ncnt, Config::UnlistedDevice(), 0), c.pub) << c.name;
    EXPECT_EQ(ncnt, c.want_ncnt) << c.name;
    EXPECT_EQ(ocnt, c.want_ocnt) << c.name;
    EXPECT_EQ(reply.Text(), c.want_reply) << c.name;
  }
  // A public device with defect 'r' is answered at its source port even without rport.
  SipMessage msg = Parsed(Register("Contact: <sip:alice@10.0.0.5:5062>\r\n"));
  InetAddress reply("10.0.0.5:40000");
  std::string ocnt, ncnt;
  EXPECT_TRUE(NewOldContacts(msg, reply, ocnt, ncnt, Defects::FromLetters("r"), 0));
  EXPECT_EQ(reply.Text(), "10.0.0.5:40000");
}

TEST_F(RelayOps, RecognisesItsOwnRewrittenContacts) {
  const struct {
    const char* uri;
    bool valid;
  } cases[] = {
      {"sip:alice*example.com-10.0.0.5+40000@127.0.0.1:5064", true},
      {"sip:alice*example.com-10.0.0.5+40000@127.0.0.1:5060", false},
      {"sip:alice*example.com-10.0.x.5+40000@127.0.0.1:5064", false},
      {"sip:alice-10.0.0.5+40000@127.0.0.1:5064", false},
      {"sip:a-b*example.com-10.0.0.5+1@127.0.0.1:5064", true},
  };
  for (const auto& c : cases) {
    SipUri uri;
    ASSERT_TRUE(uri.Parse(c.uri, true)) << c.uri;
    EXPECT_EQ(ValidNewContact(uri), c.valid) << c.uri;
  }
}

TEST_F(RelayOps, RelayBranchNumbersOnlyInTheDialogRange) {
  const struct {
    const char* branch;
    unsigned no;
  } cases[] = {
      {"z9hG4bK-ostrel-65537-1.0", 65537},
      {"z9hG4bK-ostrel-2147483647-1.0", 2147483647u},
      {"z9hG4bK-ostrel-65536-1.0", 0},
      {"z9hG4bK-ostrel-2147483648-1.0", 0},
      {"z9hG4bK-ostrel-", 0},
      {"z9hG4bK-other-70000", 0},
  };
  for (const auto& c : cases) {
    ViaHeader via;
    ASSERT_TRUE(via.Parse(std::string("SIP/2.0/UDP 127.0.0.1:5064;branch=") + c.branch));
    EXPECT_EQ(RelayBranchNumber(&via), c.no) << c.branch;
  }
}

TEST_F(RelayOps, MultipartBodyBecomesItsSdpPart) {
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 10.0.0.5\r\ns=-\r\nc=IN IP4 10.0.0.5\r\nt=0 0\r\nm=audio 4000 RTP/AVP 0\r\n";
  const std::string body =
      "--b1\r\nContent-Type: application/isup\r\n\r\nxxxx\r\n--b1\r\nContent-Type: application/sdp\r\n\r\n" +
      sdp + "\r\n--b1--\r\n";
  SipMessage msg = Parsed(
      "INVITE sip:b@example.com SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bK-1\r\n"
      "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>\r\nCall-ID: m1\r\nCSeq: 1 INVITE\r\n"
      "Content-Type: multipart/mixed;boundary=\"b1\"\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body);
  FixMultiBody(msg);
  EXPECT_EQ(msg.Body(), sdp);
  EXPECT_NE(msg.Assemble(true).find("Content-Type: application/sdp\r\n"), std::string::npos);
}

}  // namespace
