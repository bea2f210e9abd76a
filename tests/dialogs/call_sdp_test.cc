// The SDP of a call on its way through the relay: what the server and the client see for an anchored call,
// a client behind NAT meeting another client of the relay behind the same NAT, codec narrowing, and the
// anchoring decisions (out of ports, a hold that lasted too long).
#include <gmock/gmock.h>

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
         std::to_string(port) + " RTP/AVP 0 18 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:18 G729a/8000\r\n"
         "a=rtpmap:101 telephone-event/8000\r\n" + extra;
}

std::string BodyOf(const std::string& text) {
  const size_t at = text.find("\r\n\r\n");
  return at == std::string::npos ? "" : text.substr(at + 4);
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
  void SetUp() override {
    RelayTest::SetUp();
    RtpPort::ResetPortSearch();
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

  Call* Invite(const std::string& body, DomainOptions opts = checked(), const std::string& callid = "") {
    ClientMessage m;
    std::string text = Message("INVITE", 1, "Content-Type: application/sdp\r\n", body);
    if (!callid.empty()) text.replace(text.find("call-INVITE@"), 12, callid + "@");
    m.cmsg = Parse(text);
    m.dmopt = std::make_unique<DomainOptions>(opts);
    m.ncnt = kNewContact;
    m.ocnt = "sip:alice@192.168.1.5:5062";
    m.frm = InetAddress(kClient);
    m.rsvp = InetAddress(kClient);
    m.public_ip = public_ip_;
    auto* call = new Call(std::move(m.cmsg), callid.empty() ? kKey : "C&" + callid + "@127.0.0.10", " ");
    EXPECT_TRUE(call->Entered());
    ObjectGuard<Dialog> g;
    g.Set(call);
    EXPECT_TRUE(call->ClientSetup(&m));
    opened_.push_back(call->Number());
    call->HandleClientMessage(Dialog::INVITE_RECV);
    return call;
  }
  // The server's 200 with body, and what the client gets of it.
  std::string Answered(Call* c, const std::string& invite, const std::string& body) {
    auto ok = Answer(invite, 200, "OK", true, {"To: <sip:bob@example.com>;tag=sb", "Content-Type: application/sdp"});
    ok->Body(body);
    Server(c, std::move(ok));
    std::string got;
    for (std::string m = client_.receive(); !m.empty(); m = client_.receive(300))
      if (StartLine(m) == "SIP/2.0 200 OK") got = m;
    return got;
  }
  // A direct call, established; re-INVITEs of the client after it.
  Call* Established() {
    Call* c = Invite(SdpText("192.168.1.5", 4000), Unprobed());
    client_.receive();
    Answered(c, server_.receive(), SdpText("127.0.0.20", 30000));
    Ack(c, 1);
    return c;
  }
  void Ack(Call* c, int cseq) {
    std::string ack = Message("ACK", cseq);
    ack.replace(ack.find("To: <sip:bob@example.com>"), 25, "To: <sip:bob@example.com>;tag=sb");
    ack.replace(ack.find("z9hG4bK-c1"), 10, "z9hG4bK-a" + std::to_string(cseq));
    ack.replace(ack.find("call-ACK@"), 9, "call-INVITE@");
    Client(c, Parse(ack));
  }
  // The re-INVITE as the server gets it ("" when it gets none).
  std::string ReInvite(Call* c, int cseq, const std::string& body) {
    std::string text = Message("INVITE", cseq, "Content-Type: application/sdp\r\n", body);
    text.replace(text.find("To: <sip:bob@example.com>"), 25, "To: <sip:bob@example.com>;tag=sb");
    {
      ObjectGuard<Dialog> g(c);
      c->SetMessage(Parse(text));
      c->HandleClientMessage(Dialog::INVITE_RECV);
    }
    std::string relayed;
    for (std::string m = server_.receive(); !m.empty(); m = server_.receive(300))
      if (m.find("CSeq: " + std::to_string(cseq) + " INVITE") != std::string::npos) relayed = m;
    return relayed;
  }
  static DomainOptions full() {
    DomainOptions o = checked();
    o.full = true;
    return o;
  }
};

TEST_F(CallSdpTest, AnchoredCallShowsEachSideTheRelaysOwnPair) {
  g_config.force_full_mode = true;
  Call* c = Invite(SdpText("192.168.1.5", 4000));
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 100 Trying");
  const std::string invite = server_.receive();
  const std::string offer = BodyOf(invite);
  EXPECT_THAT(offer, ::testing::HasSubstr("c=IN IP4 127.0.0.2\r\n")) << "the server_ipaddr face";
  EXPECT_EQ(AudioPort(invite), 41004) << "the server-side pair, opened after the client's";
  EXPECT_THAT(offer, ::testing::HasSubstr("o=ostrel " + c->NumberText() + " 1 IN IP4 127.0.0.1\r\n"));
  EXPECT_THAT(offer, ::testing::HasSubstr("a=rtpmap:18 G729/8000")) << "G729a named by its family";
  EXPECT_THAT(offer, ::testing::Not(::testing::HasSubstr("a=tool"))) << "no signature with full_mode";
  EXPECT_EQ(c->ClientRtp().RtpDestination().Str(), "192.168.1.5:4000");
  EXPECT_EQ(c->ClientRtp().RtcpDestination().Str(), "192.168.1.5:4001");
  EXPECT_TRUE(c->Relay().Running());

  const std::string ok = Answered(c, invite, SdpText("127.0.0.20", 30000));
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("c=IN IP4 127.0.0.1\r\n"));
  EXPECT_EQ(AudioPort(ok), 41002);
  EXPECT_EQ(c->SrvRtp().RtpDestination().Str(), "127.0.0.20:30000");

  // The client's media comes from its NAT (its signalling address), not from its SDP's private address.
  Peer phone_media("127.0.0.10:30100");
  Peer server_media("127.0.0.20:30000");
  const std::string voice(172, 'v');
  const InetAddress cln_pair("127.0.0.1:41002");
  sendto(phone_media.fd, voice.data(), voice.size(), 0, cln_pair.SocketAddress(), sizeof(sockaddr_in));
  EXPECT_EQ(server_media.receive(), voice);
  const std::string answer(172, 'a');
  const InetAddress srv_face("127.0.0.1:41004");
  sendto(server_media.fd, answer.data(), answer.size(), 0, srv_face.SocketAddress(), sizeof(sockaddr_in));
  EXPECT_EQ(phone_media.receive(), answer);
  EXPECT_EQ(c->ClientRtp().RtpDestination().Str(), "127.0.0.10:30100") << "latched";
  EXPECT_TRUE(c->HasMedia());
}

TEST_F(CallSdpTest, AnchoredVideoCallGetsVideoPairsOnBothSides) {
  g_config.force_full_mode = true;
  const std::string video = "m=video 4002 RTP/AVP 99\r\na=rtpmap:99 H264/90000\r\n";
  Call* c = Invite(SdpText("192.168.1.5", 4000, video));
  client_.receive();
  const std::string invite = server_.receive();
  ASSERT_TRUE(c->HasVideo());
  EXPECT_GT(c->SrvVideo().LPort(), 0);
  EXPECT_THAT(BodyOf(invite), ::testing::HasSubstr("m=video " + std::to_string(c->SrvVideo().LPort()) + " "));
  EXPECT_EQ(c->ClientVideo().RtpDestination().Str(), "192.168.1.5:4002");
  const std::string ok = Answered(c, invite, SdpText("127.0.0.20", 30000, "m=video 30002 RTP/AVP 99\r\n"));
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("m=video " + std::to_string(c->ClientVideo().LPort()) + " "));
  EXPECT_EQ(c->SrvVideo().RtpDestination().Str(), "127.0.0.20:30002");
  const std::set<int> ports = {c->ClientRtp().LPort(), c->SrvRtp().LPort(), c->ClientVideo().LPort(), c->SrvVideo().LPort()};
  EXPECT_EQ(ports.size(), 4u) << "four distinct pairs";
}

// What an anchored client offer becomes on its way to the server.
TEST_F(CallSdpTest, AnchoredOfferRewrites) {
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::string> present, absent;
  } cases[] = {
      {"declined video stays declined", SdpText("192.168.1.5", 4000, "m=video 0 RTP/AVP 31\r\n"),
       {"m=video 0 RTP/AVP 31"}, {}},
      {"hold keeps the hold address", SdpText("0.0.0.0", 4000, "a=sendonly\r\n"), {"c=IN IP4 0.0.0.0"}, {"127.0.0.2"}},
      {"rtcp attribute of a client behind NAT dropped", SdpText("192.168.1.5", 4000, "a=rtcp:4001\r\n"),
       {"c=IN IP4 127.0.0.2"}, {"a=rtcp"}},
      {"signed for a peer behind the same NAT", SdpText("192.168.1.5", 4000), {"a=tool:ostrel-"}, {}},
  };
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Invite(k.body, full(), "rewrite-" + std::to_string(n++));
    client_.receive();
    const std::string offer = BodyOf(server_.receive());
    for (const auto& s : k.present) EXPECT_THAT(offer, ::testing::HasSubstr(s));
    for (const auto& s : k.absent) EXPECT_THAT(offer, ::testing::Not(::testing::HasSubstr(s)));
  }
}

TEST_F(CallSdpTest, SignatureCarriesTheClientsAddressesAndSurvivesBadText) {
  Call* c = Invite(SdpText("192.168.1.5", 4000), full());
  client_.receive();
  const std::string offer = BodyOf(server_.receive());
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
  EXPECT_EQ(c->FullReason(), 'C');

  EXPECT_TRUE(SignatureOfTool("ostrel-short").empty());
  EXPECT_TRUE(SignatureOfTool("other-AAAAAAAAAAAAAAAA").empty());
  const SignatureBlock cut = DecodeSignature(EncodeSignature(SignatureBlock{1, 2, 3, 4}).substr(0, 8));
  EXPECT_EQ(cut.csip, 1u) << "decoded as far as it goes";
  EXPECT_EQ(cut.aport, 0);
}

TEST_F(CallSdpTest, PeerBehindTheSameNatIsGivenThePrivateAddress) {
  LogFile log;
  Call* c = Invite(SdpText("192.168.1.5", 4000), Unprobed());
  client_.receive();
  const std::string invite = server_.receive();
  // The type is unknown and no media was learned: the addresses stay as offered, unsigned.
  EXPECT_THAT(BodyOf(invite), ::testing::HasSubstr("c=IN IP4 192.168.1.5\r\n"));
  EXPECT_EQ(AudioPort(invite), 4000);
  EXPECT_THAT(invite, ::testing::Not(::testing::HasSubstr("a=tool")));
  SignatureBlock peer{kClientIp, 0xC0A80106u, 4002, 0};
  const std::string ok = Answered(c, invite, SdpWithTool("127.0.0.1", 41000, peer));
  EXPECT_EQ(log.count("CLN is behind the same firewall"), 1u);
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("c=IN IP4 192.168.1.6\r\n"));
  EXPECT_EQ(AudioPort(ok), 4002);
  EXPECT_THAT(ok, ::testing::Not(::testing::HasSubstr("a=tool")));
  EXPECT_EQ(c->FullReason(), '=');
  EXPECT_FALSE(c->Anchored());
}

TEST_F(CallSdpTest, PeerBehindADoubleNatAnchorsTheCallInLoadBalancerMode) {
  LogFile log;
  Call* c = Invite(SdpText("192.168.1.5", 4000), Unprobed());
  client_.receive();
  const std::string invite = server_.receive();
  SignatureBlock peer{kClientIp, 0xC0A80106u, 0, 0};
  const std::string ok = Answered(c, invite, SdpWithTool("127.0.0.20", 30000, peer));
  EXPECT_EQ(log.count("Party: Double NAT - Switch to FULL LB mode"), 1u);
  EXPECT_TRUE(c->Anchored());
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("c=IN IP4 127.0.0.1\r\n"));
  EXPECT_EQ(AudioPort(ok), c->ClientRtp().LPort());
}

TEST_F(CallSdpTest, OwnSignatureComingBackIsOnlyNoted) {
  LogFile log;
  Call* c = Invite(SdpText("192.168.1.5", 4000), full());
  client_.receive();
  const std::string invite = server_.receive();
  const std::string ok = Answered(c, invite, BodyOf(invite));
  EXPECT_EQ(log.count("Warning: Got back its own SDP signature"), 1u);
  EXPECT_THAT(BodyOf(ok), ::testing::HasSubstr("c=IN IP4 127.0.0.1\r\n"));
  EXPECT_EQ(AudioPort(ok), c->ClientRtp().LPort());
}

TEST_F(CallSdpTest, OutOfPortsAnswers500AndRejects) {
  LogFile log;
  g_config.force_full_mode = true;
  g_config.range_high = 41010;  // five pairs: two calls
  Invite(SdpText("192.168.1.5", 4000), checked(), "ports-1");
  Invite(SdpText("192.168.1.5", 4000), checked(), "ports-2");
  for (int i = 0; i < 4; ++i) client_.receive(300);
  while (!server_.quiet()) {}
  Call* third = Invite(SdpText("192.168.1.5", 4000), checked(), "ports-3");
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 100 Trying");
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 500 Server Error/No Ports");
  EXPECT_TRUE(server_.quiet());
  EXPECT_EQ(third->State(), Dialog::COMPLETE);
  EXPECT_EQ(third->ClientRtp().LPort(), -1) << "the pair it got is back in the range";
  EXPECT_FALSE(third->Relay().Running());
  EXPECT_EQ(log.count("Call event REJECT: No Ports Available"), 1u);
}

TEST_F(CallSdpTest, CodecNarrowing) {
  struct Case {
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
  for (const Case& k : cases) {
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
  EXPECT_EQ(c->FullReason(), 'D');
  EXPECT_THAT(BodyOf(relayed), ::testing::HasSubstr("c=IN IP4 127.0.0.2\r\n"));
  EXPECT_EQ(AudioPort(relayed), c->SrvRtp().LPort());
}

TEST_F(CallSdpTest, FaxFromTheClientAnchorsTheCall) {
  LogFile log;
  Call* c = Established();
  const std::string fax = "v=0\r\no=alice 1 2 IN IP4 192.168.1.5\r\ns=-\r\nc=IN IP4 192.168.1.5\r\nt=0 0\r\n"
                          "m=image 4010 udptl t38\r\na=T38FaxVersion:0\r\n";
  const std::string relayed = ReInvite(c, 2, fax);
  EXPECT_EQ(log.count("Prepare for T38"), 1u);
  EXPECT_TRUE(c->Anchored());
  EXPECT_EQ(c->FullReason(), 'F');
  EXPECT_EQ(c->ClientRtp().RtpDestination().Str(), "192.168.1.5:4010");
  EXPECT_THAT(BodyOf(relayed), ::testing::HasSubstr("c=IN IP4 127.0.0.2\r\n"));
  EXPECT_THAT(BodyOf(relayed), ::testing::HasSubstr("m=image " + std::to_string(c->SrvRtp().LPort()) + " udptl t38"));
}

}  // namespace
}  // namespace relaytest
