// Zero-media mode as the client and the server see it: the relay's 200 "OKey" for the server's early
// answer, the tags each side sees, and what the answer timer does when the server never answers.
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

const std::string kSdp = "v=0\r\no=s 1 1 IN IP4 127.0.0.20\r\ns=-\r\nc=IN IP4 127.0.0.20\r\nt=0 0\r\n"
                         "m=audio 30000 RTP/AVP 0\r\n";

std::unique_ptr<SipMessage> WithSdp(std::unique_ptr<SipMessage> m) {
  m->Body(kSdp);
  return m;
}

class ZeroMediaTest : public RelayTest {
 protected:
  // A public client with defects 'T' and 'e' calls; the server's 183 reaches it as the relay's 200.
  // A public client with the given defects sends its INVITE; the relay has passed it to the server.
  Call* StartCall(const std::string& defects, const std::string& headers, const std::string& body) {
    ClientMessage m;
    m.cmsg = Parse(Message("INVITE", 1, headers, body));
    m.dmopt = std::make_unique<DomainOptions>(checked());
    m.ncnt = kNewContact;
    m.ocnt = "sip:alice@127.0.0.10:5062";
    m.frm = InetAddress(kClient);
    m.rsvp = InetAddress(kClient);
    m.public_ip = true;
    auto* call = new Call(std::move(m.cmsg), "C&call-INVITE@127.0.0.10", defects);
    ObjectGuard<Dialog> g;
    g.Set(call);
    EXPECT_TRUE(call->ClientSetup(&m));
    opened_.push_back(call->Number());
    call->HandleClientMessage(Dialog::INVITE_RECV);
    return call;
  }
  Call* CallUntilOkey(const std::string& extra = "") {
    Call* call = StartCall("Te", extra + "Content-Type: application/sdp\r\n", kSdp);
    EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 100 Trying");
    invite_ = server_.receive();
    EXPECT_EQ(StartLine(invite_), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
    Server(call, WithSdp(Answer(invite_, 183, "Session Progress", true,
                                {"To: <sip:bob@example.com>;tag=sb", "Content-Type: application/sdp"})));
    okey_ = client_.receive();
    return call;
  }
  std::string ZTagOf(const std::string& text) {
    const std::string to = Values(text, "To").at(0);
    return to.substr(to.find("tag=") + 4);
  }
  void ClientAcks(Call* c) {
    std::string ack = Message("ACK", 1);
    ack.replace(ack.find("To: <sip:bob@example.com>"), 25, "To: <sip:bob@example.com>;tag=" + ZTagOf(okey_));
    ack.replace(ack.find("z9hG4bK-c1"), 10, "z9hG4bK-a1");
    Client(c, Parse(ack));
  }
  std::string invite_, okey_;
};

TEST_F(ZeroMediaTest, EarlyAnswerBecomesTheRelaysOkeyWithItsOwnTag) {
  Call* c = CallUntilOkey("Supported: timer\r\nMin-SE: 1800\r\n");
  EXPECT_EQ(StartLine(okey_), "SIP/2.0 200 OKey");
  EXPECT_THAT(Values(okey_, "To").at(0), MatchesRegex(".*;tag=ostrel-[0-9]+"));
  EXPECT_EQ(ZTagOf(okey_), "ostrel-" + std::to_string(c->ZNumb()));
  EXPECT_THAT(okey_, HasSubstr("Session-Expires: 1800;refresher=uac"));
  EXPECT_EQ(Values(okey_, "Require").at(0), "timer");
  EXPECT_EQ(c->State(), Dialog::Z_OK_SENT);
  ClientAcks(c);
  EXPECT_EQ(c->State(), Dialog::Z_ACK_RECV);
  EXPECT_TRUE(server_.quiet()) << "the server has not answered: nothing to acknowledge";
}

TEST_F(ZeroMediaTest, ServerSilentForTheAnswerTimeIsCancelledAndTheClientGetsABye) {
  Call* c = CallUntilOkey();
  ClientAcks(c);
  {
    ObjectGuard<Dialog> g(c);
    c->ZAnswerTimeout();
  }
  const std::string cancel = server_.receive();
  EXPECT_EQ(StartLine(cancel), "CANCEL sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(Values(cancel, "CSeq").at(0), "1 CANCEL");
  const std::string bye = client_.receive();
  EXPECT_EQ(StartLine(bye), "BYE sip:alice@127.0.0.10:5062 SIP/2.0");
  EXPECT_THAT(Values(bye, "From").at(0), HasSubstr(";tag=" + ZTagOf(okey_))) << "the tag the client knows";
  EXPECT_THAT(Values(bye, "To").at(0), HasSubstr(";tag=fa"));
}

TEST_F(ZeroMediaTest, FailureAfterTheOkeyEndsTheClientsDialog) {
  Call* c = CallUntilOkey();
  ClientAcks(c);
  Server(c, Answer(invite_, 486, "Busy Here", true, {"To: <sip:bob@example.com>;tag=sb"}));
  EXPECT_EQ(StartLine(server_.receive()), "ACK sip:bob@127.0.0.20:5060 SIP/2.0");
  const std::string bye = client_.receive();
  EXPECT_EQ(StartLine(bye), "BYE sip:alice@127.0.0.10:5062 SIP/2.0");
  EXPECT_EQ(c->State(), Dialog::COMPLETE);
}

TEST_F(ZeroMediaTest, ChallengeCarriesTheRelaysTag) {
  Call* c = StartCall("T", "", "");
  client_.receive();
  Server(c, Answer(server_.receive(), 407, "Proxy Authentication Required", true,
                   {"To: <sip:bob@example.com>;tag=sb"}));
  const std::string challenge = client_.receive();
  EXPECT_EQ(StartLine(challenge), "SIP/2.0 407 Proxy Authentication Required");
  EXPECT_THAT(Values(challenge, "To").at(0), HasSubstr(";tag=ostrel-" + std::to_string(c->ZNumb())));
}

TEST_F(ZeroMediaTest, RingingAfterEarlyMediaBecomesTheOkeyForDefectQ) {
  Call* c = StartCall("TQ", "Content-Type: application/sdp\r\n", kSdp);
  client_.receive();
  const std::string invite = server_.receive();
  Server(c, WithSdp(Answer(invite, 183, "Session Progress", true,
                           {"To: <sip:bob@example.com>;tag=sb", "Content-Type: application/sdp"})));
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 183 Session Progress") << "without 'e' a 183 stays early";
  Server(c, Answer(invite, 180, "Ringing", true, {"To: <sip:bob@example.com>;tag=sb"}));
  const std::string okey = client_.receive();
  EXPECT_EQ(StartLine(okey), "SIP/2.0 200 OKey");
  EXPECT_THAT(okey, HasSubstr("o=ostrel 1 1 IN IP4 127.0.0.1")) << "the relay's own offer";
  EXPECT_EQ(c->State(), Dialog::Z_OK_SENT);
}

TEST_F(ZeroMediaTest, AnswerTimerLetsGoOfTheDialogOnceDone) {
  Call* c = CallUntilOkey();
  ClientAcks(c);
  Server(c, WithSdp(Answer(invite_, 200, "OK", true,
                           {"To: <sip:bob@example.com>;tag=sb", "Content-Type: application/sdp"})));
  EXPECT_EQ(StartLine(server_.receive()), "ACK sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(c->State(), Dialog::Z_DONE);
  {
    ObjectGuard<Dialog> g(c);
    c->ZAnswerTimeout();
  }
  EXPECT_EQ(c->State(), Dialog::PASS);
}

}  // namespace
}  // namespace relaytest
