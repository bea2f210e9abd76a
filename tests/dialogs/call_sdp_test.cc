// The SDP of a call on its way through the relay: what the server and the client see for an anchored call,
// a client behind NAT meeting another client of the relay behind the same NAT, codec narrowing, and the
// anchoring decisions (out of ports, a hold that lasted too long).
#include <gmock/gmock.h>

#include <optional>
#include <regex>
#include <set>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"
#include "dialogs/sdp_signature.h"
#include "media/rtp_port.h"
#include "sip/sdp/sdp.h"

namespace relaytest {
namespace {

const std::string kKey = "C&call-INVITE@127.0.0.10";
constexpr uint32_t kClientIp = 0x7F00000A;  // 127.0.0.10, the client's source (its NAT)

std::string SdpText(const std::string& ip, int port, const std::string& extra = "") {
  return "v=0\r\no=alice 1 1 IN IP4 " + ip + "\r\ns=-\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\nm=audio " +
         std::to_string(port) +
         " RTP/AVP 0 18 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:18 G729a/8000\r\n"
         "a=rtpmap:101 telephone-event/8000\r\n" +
         extra;
}

int AudioPort(const std::string& text) {
  std::smatch m;
  const std::string body = BodyOf(text);
  return std::regex_search(body, m, std::regex("m=audio (\\d+) ")) ? std::stoi(m[1]) : -2;
}

// The server's SDP carrying another client's signature as its session attribute.
std::string SdpWithTool(const std::string& ip, int port, const SignatureBlock& b) {
  std::string sdp = SdpText(ip, port);
  sdp.insert(sdp.find("t=0 0"), "a=tool:ostrel-" + EncodeSignature(b) + "\r\n");
  return sdp;
}

class CallSdpTest : public RelayTest {
 protected:
  static void SetUpTestSuite() {
    RelayTest::SetUpTestSuite();
    g_config.range_low = 41000;
    g_config.range_high = 41100;
  }
  void TearDown() override {
    RelayTest::TearDown();
    g_config.force_full_mode = false;
    g_config.register_timeout = 30;
    g_config.range_high = 41100;
  }

  // A symmetric domain: the client's NAT is not probed and its media stays as offered until learned.
  static DomainOptions Unprobed() {
    DomainOptions o = checked();
    o.smtr = true;
    return o;
  }

  // The client's call with an SDP offer (its Contact a private address); the relay's 100 is read and the
  // INVITE the server got (if any) kept in invite_.
  Call* Invite(const std::string& body, DomainOptions opts = checked(),
               const std::string& callid = "call-INVITE") {
    const std::string text =
        Sub(Message("INVITE", 1, "Content-Type: application/sdp\r\n", body), "call-INVITE@", callid + "@");
    Call* c = Open(new Call(Parse(text), "C&" + callid + "@127.0.0.10", Config::UnlistedDevice()),
                   DialogEvent::INVITE_RECV, opts, "sip:alice@192.168.1.5:5062");
    EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 100 Trying");
    invite_ = server_.Receive(nullptr, 300);
    return c;
  }
  // The server's 200 with body, and what the client gets of it.
  std::string Answered(Call* c, const std::string& invite, const std::string& body) {
    auto ok =
        Answer(invite, 200, "OK", {"To: <sip:bob@example.com>;tag=sb", "Content-Type: application/sdp"});
    ok->Body(body);
    Server(c, std::move(ok));
    std::string got;
    for (std::string m = client_.Receive(); !m.empty(); m = client_.Receive(nullptr, 300))
      if (StartLine(m) == "SIP/2.0 200 OK") got = m;
    return got;
  }
  // A direct call, established; re-INVITEs of the client after it.
  Call* Established() {
    Call* c = Invite(SdpText("192.168.1.5", 4000), Unprobed());
    Answered(c, invite_, SdpText("127.0.0.20", 30000));
    Ack(c, 1);
    return c;
  }
  void Ack(Call* c, int cseq) {
    const std::string ack =
        Sub(Sub(Tagged(Message("ACK", cseq)), "z9hG4bK-c1", "z9hG4bK-a" + std::to_string(cseq)), "call-ACK@",
            "call-INVITE@");
    Client(c, Parse(ack));
  }
  // The re-INVITE as the server gets it ("" when it gets none).
  std::string ReInvite(Call* c, int cseq, const std::string& body) {
    Client(c, Parse(Tagged(Message("INVITE", cseq, "Content-Type: application/sdp\r\n", body))),
           DialogEvent::INVITE_RECV);
    std::string relayed;
    for (std::string m = server_.Receive(); !m.empty(); m = server_.Receive(nullptr, 300))
      if (m.find("CSeq: " + std::to_string(cseq) + " INVITE") != std::string::npos) relayed = m;
    return relayed;
  }
  static DomainOptions full() {
    DomainOptions o = checked();
    o.full = true;
    return o;
  }
  std::string invite_;
};

TEST_F(CallSdpTest, AnchoredCallShowsEachSideTheRelaysOwnPair) {
  g_config.force_full_mode = true;
  Call* c = Invite(SdpText("192.168.1.5", 4000));
  const std::string invite = invite_;
  const std::string offer = BodyOf(invite);
  EXPECT_THAT(offer, ::testing::HasSubstr("c=IN IP4 127.0.0.2\r\n")) << "the server_ipaddr face";
  EXPECT_EQ(AudioPort(invite), c->ServerRtp().LPort()) << "the server-side pair";
  EXPECT_THAT(offer, ::testing::HasSubstr("o=ostrel " + c->NumberText() + " 1 IN IP4 127.0.0.1\r\n"));
  EXPECT_THAT(offer, ::testing::HasSubstr("a=rtpmap:18 G729/8000")) << "G729a named by its family";
  EXPECT_THAT(offer, ::testing::Not(::testing::HasSubstr("a=tool"))) << "no signature with full_mode";
  EXPECT_EQ(c->ClientRtp().RtpDestination().Text(), "192.168.1.5:4000");
  EXPECT_EQ(c->ClientRtp().RtcpDestination().Text(), "192.168.1.5:4001");
  EXPECT_TRUE(c->Relay().Running());

  const std::string ok = Answered(c, invite, SdpText("127.0.0.20", 30000));
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("c=IN IP4 127.0.0.1\r\n"));
  EXPECT_EQ(AudioPort(ok), c->ClientRtp().LPort());
  EXPECT_EQ(c->ServerRtp().RtpDestination().Text(), "127.0.0.20:30000");

  // The client's media comes from its NAT (its signalling address), not from its SDP's private address.
  Peer phone_media("127.0.0.10:30100");
  Peer server_media("127.0.0.20:30000");
  const std::string voice(172, 'v'), answer(172, 'a');
  phone_media.SendTo(voice, c->ClientRtp().LPort());
  EXPECT_EQ(server_media.Receive(), voice);
  server_media.SendTo(answer, c->ServerRtp().LPort());
  EXPECT_EQ(phone_media.Receive(), answer);
  EXPECT_EQ(c->ClientRtp().RtpDestination().Text(), "127.0.0.10:30100") << "latched";
  EXPECT_TRUE(c->HasMedia());
}

TEST_F(CallSdpTest, AnchoredVideoCallGetsVideoPairsOnBothSides) {
  g_config.force_full_mode = true;
  const std::string video = "m=video 4002 RTP/AVP 99\r\na=rtpmap:99 H264/90000\r\n";
  Call* c = Invite(SdpText("192.168.1.5", 4000, video));
  const std::string invite = invite_;
  ASSERT_TRUE(c->HasVideo());
  EXPECT_GT(c->ServerVideo().LPort(), 0);
  EXPECT_THAT(BodyOf(invite),
              ::testing::HasSubstr("m=video " + std::to_string(c->ServerVideo().LPort()) + " "));
  EXPECT_EQ(c->ClientVideo().RtpDestination().Text(), "192.168.1.5:4002");
  const std::string ok = Answered(c, invite, SdpText("127.0.0.20", 30000, "m=video 30002 RTP/AVP 99\r\n"));
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("m=video " + std::to_string(c->ClientVideo().LPort()) + " "));
  EXPECT_EQ(c->ServerVideo().RtpDestination().Text(), "127.0.0.20:30002");
  const std::set<int> ports = {c->ClientRtp().LPort(), c->ServerRtp().LPort(), c->ClientVideo().LPort(),
                               c->ServerVideo().LPort()};
  EXPECT_EQ(ports.size(), 4u) << "four distinct pairs";
}

// What an anchored client offer becomes on its way to the server.
TEST_F(CallSdpTest, AnchoredOfferRewrites) {
  const struct {
    const char* name;
    std::string body;
    std::vector<std::string> present, absent;
  } cases[] = {
      {"declined video stays declined",
       SdpText("192.168.1.5", 4000, "m=video 0 RTP/AVP 31\r\n"),
       {"m=video 0 RTP/AVP 31"},
       {}},
      {"hold keeps the hold address",
       SdpText("0.0.0.0", 4000, "a=sendonly\r\n"),
       {"c=IN IP4 0.0.0.0"},
       {"127.0.0.2"}},
      {"rtcp attribute of a client behind NAT dropped",
       SdpText("192.168.1.5", 4000, "a=rtcp:4001\r\n"),
       {"c=IN IP4 127.0.0.2"},
       {"a=rtcp"}},
      {"signed for a peer behind the same NAT", SdpText("192.168.1.5", 4000), {"a=tool:ostrel-"}, {}},
  };
  int n = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Invite(k.body, full(), "rewrite-" + std::to_string(n++));
    const std::string offer = BodyOf(invite_);
    for (const auto& s : k.present) EXPECT_THAT(offer, ::testing::HasSubstr(s));
    for (const auto& s : k.absent) EXPECT_THAT(offer, ::testing::Not(::testing::HasSubstr(s)));
  }
}

TEST_F(CallSdpTest, SignatureCarriesTheClientsAddressesAndSurvivesBadText) {
  Call* c = Invite(SdpText("192.168.1.5", 4000), full());
  const std::string offer = BodyOf(invite_);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(offer, m, std::regex("a=tool:(ostrel-[^\r]*)\r\n")));
  const std::string tool = m[1].str();
  const std::string_view text = SignatureOfTool(tool.c_str());
  ASSERT_EQ(text.size(), 16u);
  const SignatureBlock b = DecodeSignature(text);
  EXPECT_EQ(b.csip, kClientIp);
  EXPECT_EQ(b.csdp, 0xC0A80105u);
  EXPECT_EQ(b.aport, 4000);
  EXPECT_EQ(b.vport, 0);
  EXPECT_EQ(c->FullReason(), FullModeReason::CONFIGURED);

  EXPECT_TRUE(SignatureOfTool("ostrel-short").empty());
  EXPECT_TRUE(SignatureOfTool("other-AAAAAAAAAAAAAAAA").empty());
  const SignatureBlock cut = DecodeSignature(EncodeSignature(SignatureBlock{1, 2, 3, 4}).substr(0, 8));
  EXPECT_EQ(cut.csip, 1u) << "decoded as far as it goes";
  EXPECT_EQ(cut.aport, 0);
}

// An answer signed by the relay for another of its clients: behind the same NAT the two are given each
// other's private addresses, behind a double NAT the call is anchored; the call's own signature is only
// noted.
TEST_F(CallSdpTest, SignedAnswersFromAPeerOfTheRelay) {
  const struct {
    const char* name;
    bool own;  // the answer is the relay's own offer
    SignatureBlock peer;
    const char *from, *log, *c;
    std::optional<FullModeReason> reason;
    int port;  // 0: the client's own pair
  } cases[] = {
      {"same NAT",
       false,
       {kClientIp, 0xC0A80106u, 4002, 0},
       "127.0.0.1",
       "CLN is behind the same firewall",
       "c=IN IP4 192.168.1.6\r\n",
       FullModeReason::SAME_FIREWALL,
       4002},
      {"double NAT",
       false,
       {kClientIp, 0xC0A80106u, 0, 0},
       "127.0.0.20",
       "Party: Double NAT - Switch to FULL LB mode",
       "c=IN IP4 127.0.0.1\r\n",
       std::nullopt,
       0},
      {"own signature",
       true,
       {},
       "",
       "Warning: Got back its own SDP signature",
       "c=IN IP4 127.0.0.1\r\n",
       std::nullopt,
       0},
  };
  int n = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    LogFile log;
    Call* c =
        Invite(SdpText("192.168.1.5", 4000), k.own ? full() : Unprobed(), "signed-" + std::to_string(n++));
    if (!k.own) {  // the type is unknown and no media was learned: the addresses stay as offered, unsigned
      EXPECT_THAT(BodyOf(invite_), ::testing::HasSubstr("c=IN IP4 192.168.1.5\r\n"));
      EXPECT_EQ(AudioPort(invite_), 4000);
      EXPECT_THAT(invite_, ::testing::Not(::testing::HasSubstr("a=tool")));
    }
    const std::string ok = Answered(c, invite_, k.own ? BodyOf(invite_) : SdpWithTool(k.from, 41000, k.peer));
    EXPECT_EQ(log.count(k.log), 1u);
    EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr(k.c));
    EXPECT_EQ(AudioPort(ok), k.port ? k.port : c->ClientRtp().LPort());
    EXPECT_EQ(c->Anchored(), k.port == 0);
    if (k.reason) {
      EXPECT_EQ(c->FullReason(), *k.reason);
    }
    if (k.port) {
      EXPECT_THAT(ok, ::testing::Not(::testing::HasSubstr("a=tool")));
    }
  }
}

TEST_F(CallSdpTest, CodecNarrowing) {
  const struct {
    const char* formats;
    bool restrict;
    const char* expected;
  } cases[] = {
      {"0 18 101 8", false, "18 0 101 8"},  // compressed codecs first, the others in their order
      {"0 8 101", false, "0 8 101"},
      {"0 18 101", true, "0 101"},  // the first codec and telephone-event
      {"101 18 0", true, "101 18"},
  };
  Call* c = Invite(SdpText("192.168.1.5", 4000));
  for (const auto& k : cases) {
    SCOPED_TRACE(k.formats);
    Sdp sdp;
    ASSERT_TRUE(sdp.Parse("v=0\r\nc=IN IP4 1.2.3.4\r\nm=audio 4000 RTP/AVP " + std::string(k.formats) +
                          "\r\na=rtpmap:101 telephone-event/8000\r\n"));
    k.restrict ? c->RestrictSdp(&sdp) : c->ReorderSDP(&sdp);
    std::string got;
    for (const auto& f : sdp.Media(SdpMedia::AUDIO)->Formats()) got += (got.empty() ? "" : " ") + f;
    EXPECT_EQ(got, k.expected);
  }
}

TEST_F(CallSdpTest, ReturnFromALongHoldAnchorsTheCall) {
  LogFile log;
  g_config.register_timeout = 0;
  Call* c = Established();
  const std::string hold = ReInvite(c, 2, SdpText("192.168.1.5", 4000, "a=sendonly\r\n"));
  Answered(c, hold, SdpText("127.0.0.20", 30000, "a=recvonly\r\n"));
  Ack(c, 2);
  EXPECT_TRUE(c->OnHold());
  EXPECT_FALSE(c->Anchored());
  sleep(2);
  const std::string relayed = ReInvite(c, 3, SdpText("192.168.1.5", 4000));
  EXPECT_EQ(log.count("Too long Hold - Switch to FULL mode"), 1u);
  EXPECT_TRUE(c->Anchored());
  EXPECT_EQ(c->FullReason(), FullModeReason::DETECTED);
  EXPECT_THAT(BodyOf(relayed), ::testing::HasSubstr("c=IN IP4 127.0.0.2\r\n"));
  EXPECT_EQ(AudioPort(relayed), c->ServerRtp().LPort());
}

TEST_F(CallSdpTest, FaxFromTheClientAnchorsTheCall) {
  LogFile log;
  Call* c = Established();
  const std::string fax =
      "v=0\r\no=alice 1 2 IN IP4 192.168.1.5\r\ns=-\r\nc=IN IP4 192.168.1.5\r\nt=0 0\r\n"
      "m=image 4010 udptl t38\r\na=T38FaxVersion:0\r\n";
  const std::string relayed = ReInvite(c, 2, fax);
  EXPECT_EQ(log.count("Prepare for T38"), 1u);
  EXPECT_TRUE(c->Anchored());
  EXPECT_EQ(c->FullReason(), FullModeReason::FAX);
  EXPECT_EQ(c->ClientRtp().RtpDestination().Text(), "192.168.1.5:4010");
  EXPECT_THAT(BodyOf(relayed), ::testing::HasSubstr("c=IN IP4 127.0.0.2\r\n"));
  EXPECT_THAT(BodyOf(relayed),
              ::testing::HasSubstr("m=image " + std::to_string(c->ServerRtp().LPort()) + " udptl t38"));
}

}  // namespace
}  // namespace relaytest
