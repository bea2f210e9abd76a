// A client call behind NAT as the probe sees it: which answer to the OPTIONS gives which NAT type, which
// answers are not the probe's, what the client gets next, and the hash behind the relay's own tags.
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

uint32_t HashStr(const char* s);

namespace relaytest {
namespace {

const std::string kKey = "C&call-INVITE@127.0.0.10";
const std::string kSdp = "v=0\r\no=a 1 1 IN IP4 192.168.1.5\r\ns=-\r\nc=IN IP4 192.168.1.5\r\nt=0 0\r\n"
                         "m=audio 40000 RTP/AVP 18 0 101\r\na=rtpmap:101 telephone-event/8000\r\n";

class CallNatTest : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    g_config.range_low = 42000;
    g_config.range_high = 42100;
  }

  // A client behind NAT: its Contact names a private address with contact_port.
  Call* Invite(int contact_port, const std::string& key = kKey) {
    std::string text = Message("INVITE", 1, "Content-Type: application/sdp\r\n", kSdp);
    const std::string contact = "Contact: <sip:alice@127.0.0.10:5062>";
    text.replace(text.find(contact), contact.size(),
                 "Contact: <sip:alice@192.168.1.5:" + std::to_string(contact_port) + ">");
    ClientMessage m;
    m.cmsg = Parse(text);
    m.dmopt = std::make_unique<DomainOptions>(checked());
    m.ncnt = kNewContact;
    m.ocnt = "sip:alice@192.168.1.5:" + std::to_string(contact_port);
    m.frm = InetAddress(kClient);
    m.rsvp = InetAddress(kClient);
    m.public_ip = false;
    auto* call = new Call(std::move(m.cmsg), key, " ");
    EXPECT_TRUE(call->Entered());
    ObjectGuard<Dialog> g;
    g.Set(call);
    EXPECT_TRUE(call->ClientSetup(&m));
    opened_.push_back(call->Number());
    call->HandleClientMessage(Dialog::INVITE_RECV);
    return call;
  }

  // The probe the client received (after the relay's 100).
  std::string Probe() {
    EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 100 Trying");
    std::string options = client_.receive();
    EXPECT_EQ(StartLine(options), "OPTIONS sip:alice@192.168.1.5:5064 SIP/2.0");
    return options;
  }

  static std::string Branch(const std::string& probe) {
    const std::string via = Values(probe, "Via").at(0);
    return via.substr(via.find("branch=") + 7);
  }

  void Answer(Call* c, const std::string& branch, const char* from) {
    ObjectGuard<Dialog> g(c);
    c->OptionsAnswer(branch, InetAddress(from));
  }
};

struct Case {
  const char* from;       // where the answer comes from
  char probe;             // the probe it answers (branch suffix)
  NatType::Mode type;    // what the relay concludes
  const char* next;       // the start line the client gets next
};

TEST_F(CallNatTest, EachAnswerGivesItsTypeAndTheNextStep) {
  const Case cases[] = {
      {"127.0.0.10:5064", '0', NatType::PORTPRESERVE, "SIP/2.0 183 Bogus Session in progress"},
      {"127.0.0.10:5062", '0', NatType::RESTRICTED, "SIP/2.0 183 Bogus Session in progress"},
      {"127.0.0.10:5062", '1', NatType::TRANSPARENT, "SIP/2.0 183 Bogus Session in progress"},
      {"127.0.0.11:6000", '0', NatType::OPAQUE, ""},
  };
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.from + std::string(" .") + k.probe);
    Call* c = Invite(5064, kKey + std::to_string(++n));
    std::string branch = Branch(Probe());
    branch.back() = k.probe;
    Answer(c, branch, k.from);
    EXPECT_EQ(c->Mode(), k.type);
    if (*k.next != '\0') {
      const std::string early = client_.receive();
      EXPECT_EQ(StartLine(early), k.next);
      EXPECT_THAT(Values(early, "To").at(0), ::testing::MatchesRegex(".*;tag=ostrel-[0-9]+"));
      EXPECT_THAT(early, ::testing::HasSubstr("m=audio 42"));
      EXPECT_EQ(c->State(), Dialog::X_183_SENT);
    } else {
      EXPECT_EQ(c->FullReason(), 'D');
      EXPECT_EQ(StartLine(server_.receive()), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0") << "anchored at once";
    }
    ObjectGuard<Dialog> g(c);
    c->Complete(Call::E_BYE, "test");
    client_.quiet();
    server_.quiet();
  }
}

TEST_F(CallNatTest, ContactPortKeptBySignallingAddressIsAWeakPortPreserver) {
  LogFile log;
  Call* c = Invite(5062);
  client_.receive();
  std::string options = client_.receive();
  Answer(c, Branch(options), kClient);
  EXPECT_EQ(c->Mode(), NatType::PORTPRESERVE);
  EXPECT_EQ(log.count("Detected FW type is Weak PreservePort Suspect..."), 1u);
}

TEST_F(CallNatTest, OnlyTheProbesOwnCallIdIsTaken) {
  Call* c = Invite(5064);
  const std::string options = Probe();
  const std::string callid = Values(options, "Call-ID").at(0);
  ObjectGuard<Dialog> g(c);
  EXPECT_TRUE(c->ProbeCallID(callid));
  EXPECT_FALSE(c->ProbeCallID("0." + c->NumberText() + "@127.0.0.1")) << "the number alone is not enough";
  std::string other = callid;
  other[0] = '7';
  EXPECT_FALSE(c->ProbeCallID(other));
  EXPECT_FALSE(c->ProbeCallID(""));
}

TEST_F(CallNatTest, LateAnswerChangesNothing) {
  LogFile log;
  Call* c = Invite(5064);
  const std::string branch = Branch(Probe());
  Answer(c, branch, kClient);
  {
    ObjectGuard<Dialog> g(c);
    c->Complete(Call::E_BYE, "test");
  }
  Answer(c, branch, "127.0.0.11:6000");
  EXPECT_EQ(c->Mode(), NatType::RESTRICTED);
  EXPECT_EQ(log.count("Too late OPTIONS response"), 1u);
}

TEST_F(CallNatTest, UnansweredProbeAnchorsForTimeOut) {
  LogFile log;
  Call* c = Invite(5064);
  Probe();
  {
    ObjectGuard<Dialog> g(c);
    c->ProbeTimeout();
  }
  EXPECT_EQ(c->FullReason(), 'T');
  EXPECT_EQ(c->Mode(), NatType::OPAQUE);
  const std::string invite = server_.receive();
  EXPECT_EQ(StartLine(invite), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_THAT(invite, ::testing::HasSubstr("c=IN IP4 127.0.0.2")) << "the server is offered the relay's pair";
  EXPECT_EQ(log.count("There is no OPTIONS Response  - Switch to FULL mode"), 1u);
}

TEST_F(CallNatTest, RelaysTagNumberHashesTheCallIdAndTheClientsContact) {
  Call* c = Invite(5064);
  Probe();
  ObjectGuard<Dialog> g(c);
  EXPECT_EQ(c->ZNumb(), HashStr("call-INVITE@127.0.0.10sip:alice@192.168.1.5:5064"));
}

TEST(FWTypeStrTest, FlagsAreIgnoredAndUnknownCombinationsAreWrong) {
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x40040004u)), "SNAT+Symmetric");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x10004u)), "<WRONG>");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(5u)), "<WRONG>");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x10002u)), "ICMP+Restricted");
}

TEST(HashStrTest, KnownValuesAndNeverZero) {
  EXPECT_EQ(HashStr(""), 5381u);
  EXPECT_EQ(HashStr("a"), 5381u * 33 + 'a');
  EXPECT_EQ(HashStr("ab"), (5381u * 33 + 'a') * 33 + 'b');
  EXPECT_EQ(HashStr("\xff"), 5381u * 33 - 1) << "bytes count as signed characters";
}

}  // namespace
}  // namespace relaytest
