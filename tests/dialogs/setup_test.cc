// Setting up a dialog for a client request: where it goes, what the client hears when it cannot go
// anywhere, the throttles, and what the Via headers and the domain options make of the dialog.
#include <gmock/gmock.h>

#include <thread>

#include "config/media_policy.h"
#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ToDomain(const std::string& text, const std::string& host) {
  return Sub(text, "sip:bob@127.0.0.20:5060", "sip:bob@" + host);
}

TEST_F(RelayTest, AnUnresolvableDestinationIsAnswered484AndTheDialogGivenUp) {
  LogFile log;
  EXPECT_EQ(FromClient(ToDomain(Message("MESSAGE", 1), "unknown.invalid"), "C&m1"), nullptr);
  std::string got = client_.Receive();
  EXPECT_EQ(StartLine(got), "SIP/2.0 484 Address Incomplete");
  EXPECT_THAT(Values(got, "Contact"), ElementsAre());
  EXPECT_TRUE(server_.Quiet());
  EXPECT_EQ(table_.DialogCount(), 0u);
  EXPECT_EQ(log.count("Warning: Destination 'unknown.invalid:5060' could not be resolved"), 1u);
}

DomainOptions SrvDomain(const std::string& hosts) {
  DomainOptions o;
  o.checked = true;
  o.srv = true;
  o.xhsts = hosts;
  return o;
}

TEST_F(RelayTest, EachSrvCandidateGetsATransmissionAndOneRetransmission) {
  Peer first("127.0.0.21:5060");
  Dialog* d = FromClient(ToDomain(Message("MESSAGE", 1), "example.com"), "C&srv", " ",
                         SrvDomain("127.0.0.21:5060/0,127.0.0.22:5060/50,127.0.0.23:5060/100"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(StartLine(first.Receive()), "MESSAGE sip:bob@example.com SIP/2.0");
  EXPECT_EQ(d->Domain(), "example.com");
  ObjectGuard<Dialog> g(d);
  const char* want[] = {"127.0.0.21:5060", "127.0.0.22:5060", "127.0.0.22:5060", "127.0.0.23:5060",
                        "127.0.0.23:5060", "127.0.0.21:5060", "127.0.0.21:5060"};
  for (int r = 1; r <= 7; ++r) {
    ASSERT_TRUE(d->NextServer()) << r;
    EXPECT_EQ(d->ServerSipAddress().Text(), want[r - 1]) << "retransmission " << r;
    if (r == 6) {
      EXPECT_EQ(d->Servers(), nullptr) << "the list is used up";
    }
  }
  EXPECT_FALSE(d->NextServer());
}

TEST_F(RelayTest, SrvCandidatesThatDoNotResolveAreDroppedAndASingleOneIsNoList) {
  Dialog* kept = FromClient(ToDomain(Message("MESSAGE", 1), "example.com"), "C&srv1", " ",
                            SrvDomain("bad.invalid:5060/0,127.0.0.21:5060/50,127.0.0.22:5060/100"));
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->ServerSipAddress().Text(), "127.0.0.21:5060");
  ASSERT_NE(kept->Servers(), nullptr);
  EXPECT_EQ(kept->Servers()->size(), 2u);

  Dialog* single = FromClient(ToDomain(Message("MESSAGE", 1), "example.com"), "C&srv2", " ",
                              SrvDomain("bad.invalid:5060/0,127.0.0.22:5060/100"));
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(single->ServerSipAddress().Text(), "127.0.0.22:5060");
  EXPECT_EQ(single->Servers(), nullptr);
}

TEST_F(RelayTest, SruPointsTheRequestUriAtTheServerAndDropsTheRoute) {
  DomainOptions o = SrvDomain("127.0.0.20:5060");
  o.sru = true;
  std::string text = ToDomain(Message("MESSAGE", 1, "Route: <sip:edge.example.com;lr>\r\n"), "example.com");
  ASSERT_NE(FromClient(text, "C&sru", " ", o), nullptr);
  std::string got = server_.Receive();
  EXPECT_EQ(StartLine(got), "MESSAGE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_THAT(Values(got, "Route"), ElementsAre());
}

TEST_F(RelayTest, ViasTellIndirectChainedAndPublicAddressesOfTheClient) {
  const struct {
    bool pub;
    const char* vias;
    bool indirect, chained;
    FullModeReason reason;
    uint16_t port;
    const char* rtp_ip;
  } cases[] = {
      {false,
       "Via: SIP/2.0/UDP 10.1.1.1:5070;branch=z9hG4bK-p\r\n"
       "Via: SIP/2.0/UDP 192.168.1.5:5066;branch=z9hG4bK-c\r\n",
       true, false, FullModeReason::CONFIGURED, 5066, "127.0.0.10"},
      {true,
       "Via: SIP/2.0/UDP 127.0.0.9:5060;branch=z9hG4bK-ostrel-70000-1.0\r\n"
       "Via: SIP/2.0/UDP 192.168.1.5:5066;branch=z9hG4bK-c\r\n",
       false, true, FullModeReason::NONE, 5062, "127.0.0.10"},
      {false, "Via: SIP/2.0/UDP 192.168.1.5:5066;branch=z9hG4bK-c;received=203.0.113.5;rport=40000\r\n",
       false, false, FullModeReason::NONE, 40000, "203.0.113.5"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vias);
    public_ip_ = c.pub;
    const std::string via = "Via: SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport\r\n";
    Dialog* d = FromClient(Sub(Message("MESSAGE", 1), via, c.vias), "C&via" + std::to_string(n++));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Indirect(), c.indirect);
    EXPECT_EQ(d->Chained(), c.chained);
    EXPECT_EQ(d->FullReason(), c.reason);
    EXPECT_EQ(d->ExternalSourcePort(), c.port);
    EXPECT_EQ(InetAddress::IpText(d->ClientRtpIP()), c.rtp_ip);
  }
}

TEST_F(RelayTest, AnRsvpRuleReplacesTheClientsReplyPort) {
  InetAddress client(kClient);
  g_config.rsvps[RsvpKey(client.Ip(), client.Ip())] = 5999;
  Dialog* d = FromClient(Message("MESSAGE", 1), "C&rsvp");
  g_config.rsvps.clear();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->RSVP());
  EXPECT_EQ(d->ClientSipAddress().Text(), "127.0.0.10:5999");
}

TEST_F(RelayTest, DomainOptionsShapeTheDialog) {
  DomainOptions o = checked();
  o.loglvl = LEVEL_DEBUG | LEVEL_TRACE;
  o.srtp = true;
  Dialog* d = FromClient(Message("MESSAGE", 1), "C&opts", " ", o);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->LogLevel(), LEVEL_DEBUG | LEVEL_TRACE);
  EXPECT_EQ(d->SRTP(), SrtpMode::ALLOWED);
}

TEST_F(RelayTest, APublicClientKeepsItsContactUnlessTheDomainSaysPrsn) {
  public_ip_ = true;
  DomainOptions prsn = checked();
  prsn.prsn = true;
  ASSERT_NE(FromClient(Message("MESSAGE", 1), "C&pub1"), nullptr);
  EXPECT_THAT(Values(server_.Receive(), "Contact"), ElementsAre("<sip:alice@127.0.0.10:5062>"));
  ASSERT_NE(FromClient(Message("MESSAGE", 1), "C&pub2", " ", prsn), nullptr);
  EXPECT_THAT(Values(server_.Receive(), "Contact"), ElementsAre(std::string("<") + kNewContact + ">"));
}

TEST_F(RelayTest, UncheckedDomainsAreAskedAndMayRefuse) {
  bool admit = false;
  Dialog::Hooks().check_domain = [&](SipMessage&, const InetAddress& from, std::string& defect,
                                     DomainOptions& o) {
    EXPECT_EQ(from.Text(), kClient);
    defect = "s";
    return admit;
  };
  EXPECT_EQ(FromClient(Message("MESSAGE", 1), "C&dom1", " ", DomainOptions{}), nullptr);
  EXPECT_TRUE(server_.Quiet());
  EXPECT_TRUE(client_.Quiet()) << "a refusal is answered, if at all, by the domain check";
  admit = true;
  Dialog* d = FromClient(Message("MESSAGE", 1), "C&dom2", " ", DomainOptions{});
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->DeviceDefects().Letters(), "s");
}

TEST_F(RelayTest, SlowStartDropsRequestsOfUnregisteredUntrustedClients) {
  LogFile log;
  bool registered = false;
  Dialog::Hooks().slow_start = [] { return true; };
  Dialog::Hooks().has_register = [&](const std::string& ncnt) {
    EXPECT_EQ(ncnt, kNewContact);
    return registered;
  };
  EXPECT_EQ(FromClient(Message("MESSAGE", 1), "C&slow1"), nullptr);
  EXPECT_TRUE(server_.Quiet());
  EXPECT_EQ(log.count("Not Registered - Throttled! (Slow)"), 1u);
  registered = true;
  EXPECT_NE(FromClient(Message("MESSAGE", 1), "C&slow2"), nullptr);
  EXPECT_FALSE(server_.Receive().empty());
}

TEST_F(RelayTest, ASlowSetUpIsLogged) {
  LogFile log;
  Dialog::Hooks().assign = [](InetAddress& a, const char* host, const char* tag, uint32_t source) {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    return LiteralAssign(a, host, tag, source);
  };
  ASSERT_NE(FromClient(Message("MESSAGE", 1), "C&slowdns"), nullptr);
  EXPECT_THAT(log.text(), HasSubstr("Warning: Dialog locked for ~"));
}

}  // namespace
}  // namespace relaytest
