// Zero-media mode as the client and the server see it: the relay's 200 "OKey" for the server's early
// answer, the tags each side sees, and what the answer timer does when the server never answers.
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class ZeroMediaTest : public CallTest {
 protected:
  // A client with defects 'T' and 'e' calls; the server's 183 reaches it as the relay's 200.
  Call* CallUntilOkey(const std::string& extra = "") {
    Call* c = Invite("Te", extra + "Content-Type: application/sdp\r\n", kServerSdp);
    ServerSays(c, 183, "Session Progress", "sb", kServerSdp);
    okey_ = client_.Receive();
    return c;
  }
  void ClientAcks(Call* c) {
    const std::string ack = Sub(Message("ACK", 1), "z9hG4bK-c1", "z9hG4bK-a1");
    Client(c, Parse(Tagged(ack, ToTag(okey_))));
  }
  std::string okey_;
};

TEST_F(ZeroMediaTest, EarlyAnswerBecomesTheRelaysOkeyWithItsOwnTag) {
  Call* c = CallUntilOkey("Supported: timer\r\nMin-SE: 1800\r\n");
  EXPECT_EQ(StartLine(okey_), "SIP/2.0 200 OKey");
  EXPECT_THAT(Values(okey_, "To").at(0), MatchesRegex(".*;tag=ostrel-[0-9]+"));
  EXPECT_EQ(ToTag(okey_), "ostrel-" + std::to_string(c->ZeroNumber()));
  EXPECT_THAT(okey_, HasSubstr("Session-Expires: 1800;refresher=uac"));
  EXPECT_EQ(Values(okey_, "Require").at(0), "timer");
  EXPECT_EQ(c->State(), DialogState::Z_OK_SENT);
  ClientAcks(c);
  EXPECT_EQ(c->State(), DialogState::Z_ACK_RECV);
  EXPECT_TRUE(server_.Quiet()) << "the server has not answered: nothing to acknowledge";
}

TEST_F(ZeroMediaTest, ServerSilentForTheAnswerTimeIsCancelledAndTheClientGetsABye) {
  Call* c = CallUntilOkey();
  ClientAcks(c);
  {
    ObjectGuard<Dialog> g(c);
    c->ZAnswerTimeout();
  }
  const std::string cancel = server_.Receive();
  EXPECT_EQ(StartLine(cancel), "CANCEL sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(Values(cancel, "CSeq").at(0), "1 CANCEL");
  const std::string bye = client_.Receive();
  EXPECT_EQ(StartLine(bye), "BYE sip:alice@127.0.0.10:5062 SIP/2.0");
  EXPECT_THAT(Values(bye, "From").at(0), HasSubstr(";tag=" + ToTag(okey_))) << "the tag the client knows";
  EXPECT_THAT(Values(bye, "To").at(0), HasSubstr(";tag=fa"));
}

// The server's final answer after the OriginalKey is acknowledged by the relay, at once or, when it comes
// before the client's ACK of the OriginalKey, once that ACK arrives: a failure ends the client's dialog with
// a BYE, a 200 ends the zero-media exchange, and the answer timer then lets go of the call.
TEST_F(ZeroMediaTest, FinalAnswerAfterTheOkey) {
  const struct {
    int code;
    bool before_ack;
  } cases[] = {{486, false}, {200, false}, {486, true}, {200, true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.code) + (k.before_ack ? " before the ACK" : ""));
    Call* c = CallUntilOkey();
    if (!k.before_ack) ClientAcks(c);
    ServerSays(c, k.code, k.code == 200 ? "OK" : "Busy Here", "sb", k.code == 200 ? kServerSdp : "");
    if (k.before_ack) {
      EXPECT_TRUE(server_.Quiet()) << "held until the client acknowledged the OKey";
      ClientAcks(c);
    }
    EXPECT_EQ(StartLine(server_.Receive()), "ACK sip:bob@127.0.0.20:5060 SIP/2.0");
    if (k.code == 486) {
      EXPECT_EQ(StartLine(client_.Receive()), "BYE sip:alice@127.0.0.10:5062 SIP/2.0");
      EXPECT_EQ(c->State(), DialogState::COMPLETE);
    } else {
      EXPECT_EQ(c->State(), DialogState::Z_DONE);
      {
        ObjectGuard<Dialog> g(c);
        c->ZAnswerTimeout();
      }
      EXPECT_EQ(c->State(), DialogState::PASS);
    }
    Close(c);
  }
}

TEST_F(ZeroMediaTest, ChallengeCarriesTheRelaysTag) {
  Call* c = Invite("T");
  ServerSays(c, 407, "Proxy Authentication Required");
  const std::string challenge = client_.Receive();
  EXPECT_EQ(StartLine(challenge), "SIP/2.0 407 Proxy Authentication Required");
  EXPECT_THAT(Values(challenge, "To").at(0), HasSubstr(";tag=ostrel-" + std::to_string(c->ZeroNumber())));
}

TEST_F(ZeroMediaTest, RingingAfterEarlyMediaBecomesTheOkeyForDefectQ) {
  Call* c = Invite("TQ", "Content-Type: application/sdp\r\n", kServerSdp);
  ServerSays(c, 183, "Session Progress", "sb", kServerSdp);
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 183 Session Progress") << "without 'e' a 183 stays early";
  ServerSays(c, 180, "Ringing");
  const std::string okey = client_.Receive();
  EXPECT_EQ(StartLine(okey), "SIP/2.0 200 OKey");
  EXPECT_THAT(okey, HasSubstr("o=ostrel 1 1 IN IP4 127.0.0.1")) << "the relay's own offer";
  EXPECT_EQ(c->State(), DialogState::Z_OK_SENT);
}

}  // namespace
}  // namespace relaytest
