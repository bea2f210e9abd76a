// A client call behind NAT as the probe sees it: which answer to the OPTIONS gives which NAT type, which
// answers are not the probe's, what the client gets next, and the hash behind the relay's own tags.
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

uint32_t HashText(const char* s);

namespace relaytest {
namespace {

const std::string kKey = "C&call-INVITE@127.0.0.10";
const std::string kSdp =
    "v=0\r\no=a 1 1 IN IP4 192.168.1.5\r\ns=-\r\nc=IN IP4 192.168.1.5\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 18 0 101\r\na=rtpmap:101 telephone-event/8000\r\n";

class CallNatTest : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    g_config.range_low = 42000;
    g_config.range_high = 42100;
  }

  // A client behind NAT: its Contact names a private address with contact_port. The probe it receives after
  // the relay's 100 is kept in probe_.
  Call* Invite(int contact_port = 5064, const std::string& key = kKey) {
    const std::string contact = "sip:alice@192.168.1.5:" + std::to_string(contact_port);
    const std::string text = Sub(Message("INVITE", 1, "Content-Type: application/sdp\r\n", kSdp),
                                 "<sip:alice@127.0.0.10:5062>", "<" + contact + ">");
    Call* c = Open(new Call(Parse(text), key, Config::UnlistedDevice()), DialogEvent::INVITE_RECV, checked(),
                   contact);
    EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 100 Trying");
    probe_ = client_.Receive();
    EXPECT_EQ(StartLine(probe_), "OPTIONS " + contact + " SIP/2.0");
    return c;
  }

  static std::string Branch(const std::string& probe) {
    const std::string via = Values(probe, "Via").at(0);
    return via.substr(via.find("branch=") + 7);
  }

  void Answer(Call* c, const std::string& branch, const char* from) {
    ObjectGuard<Dialog> g(c);
    c->OptionsAnswer(branch, InetAddress(from));
  }
  std::string probe_;
};

TEST_F(CallNatTest, EachAnswerGivesItsTypeAndTheNextStep) {
  const struct {
    int contact_port;    // of the client's Contact
    const char* from;    // where the answer comes from
    char probe;          // the probe it answers (branch suffix)
    NatType::Mode type;  // what the relay concludes
    bool early;          // the client gets the relay's 183 next; otherwise the call is anchored at once
    const char* log;
  } cases[] = {
      {5064, "127.0.0.10:5064", '0', NatType::PORTPRESERVE, true,
       "Detected FW type is Strict PreservePort Suspect..."},
      {5062, kClient, '0', NatType::PORTPRESERVE, true, "Detected FW type is Weak PreservePort Suspect..."},
      {5064, "127.0.0.10:5062", '0', NatType::RESTRICTED, true, ""},
      {5064, "127.0.0.10:5062", '1', NatType::TRANSPARENT, true, ""},
      {5064, "127.0.0.11:6000", '0', NatType::OPAQUE, false, ""},
  };
  int n = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.from + std::string(" .") + k.probe);
    LogFile log;
    Call* c = Invite(k.contact_port, kKey + std::to_string(++n));
    std::string branch = Branch(probe_);
    branch.back() = k.probe;
    Answer(c, branch, k.from);
    EXPECT_EQ(c->Mode(), k.type);
    if (*k.log) {
      EXPECT_EQ(log.count(k.log), 1u);
    }
    if (k.early) {
      const std::string early = client_.Receive();
      EXPECT_EQ(StartLine(early), "SIP/2.0 183 Bogus Session in progress");
      EXPECT_THAT(Values(early, "To").at(0), ::testing::MatchesRegex(".*;tag=ostrel-[0-9]+"));
      EXPECT_THAT(early, ::testing::HasSubstr("m=audio 42"));
      EXPECT_EQ(c->State(), DialogState::X_183_SENT);
    } else {
      EXPECT_EQ(c->FullReason(), FullModeReason::DETECTED);
      EXPECT_EQ(StartLine(server_.Receive()), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0") << "anchored at once";
    }
    ObjectGuard<Dialog> g(c);
    c->Complete(Call::E_BYE, "test");
    client_.Quiet();
    server_.Quiet();
  }
}

// The probe's Call-ID and the relay's tag number both come from the call.
TEST_F(CallNatTest, OnlyTheProbesOwnCallIdIsTakenAndTheTagNumberHashesTheCall) {
  Call* c = Invite();
  const std::string callid = Values(probe_, "Call-ID").at(0);
  ObjectGuard<Dialog> g(c);
  EXPECT_TRUE(c->ProbeCallID(callid));
  EXPECT_FALSE(c->ProbeCallID("0." + c->NumberText() + "@127.0.0.1")) << "the number alone is not enough";
  std::string other = callid;
  other[0] = '7';
  EXPECT_FALSE(c->ProbeCallID(other));
  EXPECT_FALSE(c->ProbeCallID(""));
  EXPECT_EQ(c->ZeroNumber(), HashText("call-INVITE@127.0.0.10sip:alice@192.168.1.5:5064"))
      << "Call-ID and Contact";
}

TEST_F(CallNatTest, LateAnswerChangesNothing) {
  LogFile log;
  Call* c = Invite();
  const std::string branch = Branch(probe_);
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
  Call* c = Invite();
  {
    ObjectGuard<Dialog> g(c);
    c->ProbeTimeout();
  }
  EXPECT_EQ(c->FullReason(), FullModeReason::PROBE_TIMEOUT);
  EXPECT_EQ(c->Mode(), NatType::OPAQUE);
  const std::string invite = server_.Receive();
  EXPECT_EQ(StartLine(invite), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_THAT(invite, ::testing::HasSubstr("c=IN IP4 127.0.0.2")) << "the server is offered the relay's pair";
  EXPECT_EQ(log.count("There is no OPTIONS Response  - Switch to FULL mode"), 1u);
}

TEST(FWTypeStrTest, FlagsAreIgnoredAndUnknownCombinationsAreWrong) {
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x40040004u)), "SNAT+Symmetric");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x10004u)), "<WRONG>");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(5u)), "<WRONG>");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x10002u)), "ICMP+Restricted");
}

TEST(HashStrTest, KnownValuesAndNeverZero) {
  EXPECT_EQ(HashText(""), 5381u);
  EXPECT_EQ(HashText("a"), 5381u * 33 + 'a');
  EXPECT_EQ(HashText("ab"), (5381u * 33 + 'a') * 33 + 'b');
  EXPECT_EQ(HashText("\xff"), 5381u * 33 - 1) << "bytes count as signed characters";
}

}  // namespace
}  // namespace relaytest
