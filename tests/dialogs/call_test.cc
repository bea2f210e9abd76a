// A call's INVITE transaction as the client and the server see it, driven through the relay's real ports:
// the relay's own answers, what is absorbed, what is held back, the defect letters a call sheds.
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;

const std::string kKey = "C&call-INVITE@127.0.0.10";

// A request of the client inside the call (Call-ID and tags of the INVITE).
std::unique_ptr<SipMessage> InDialog(const std::string& method, int cseq, const std::string& branch,
                                     const std::string& body = "") {
  std::string text = Message("INVITE", cseq, body.empty() ? "" : "Content-Type: application/sdp\r\n", body);
  text = Sub(Sub(text, "INVITE sip:", method + " sip:"), std::to_string(cseq) + " INVITE",
             std::to_string(cseq) + " " + method);
  return Parse(Sub(Tagged(text), "z9hG4bK-c1", branch));
}

TEST_F(CallTest, ClientGetsTheRelaysTryingAndNeverTheServers) {
  Call* c = Invite();
  EXPECT_EQ(StartLine(invite_), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(c->State(), DialogState::INVITE_SENT);
  ServerSays(c, 100, "Trying", "");
  EXPECT_TRUE(client_.Quiet());
  ServerSays(c, 180, "Ringing");
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 180 Ringing");
}

TEST_F(CallTest, AnswerWithoutToTagIsDroppedAndWithItConfirmsAndRekeysTheCall) {
  Call* c = Invite();
  ServerSays(c, 200, "OK", "");
  EXPECT_TRUE(client_.Quiet());
  EXPECT_TRUE(c->OriginalKey().empty());
  ServerSays(c, 200, "OK");
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 200 OK");
  EXPECT_TRUE(c->Confirmed());
  EXPECT_EQ(c->OriginalKey(), kKey);
  EXPECT_EQ(c->Key(), kKey + "&sb");
}

TEST_F(CallTest, RepeatedInviteBeforeAndAfterAnAnswer) {
  Call* c = Invite();
  Client(c, Parse(Message("INVITE", 1)));
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 100 Trying Again");
  EXPECT_TRUE(server_.Quiet()) << "a retransmission is not relayed";
  ServerSays(c, 180, "Ringing");
  client_.Receive();
  Client(c, Parse(Message("INVITE", 1)));
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 180 Ringing") << "the stored answer again";
  Client(c, Parse(Message("INVITE", 2)));
  EXPECT_TRUE(client_.Quiet()) << "a newer INVITE while one is pending gets nothing";
  EXPECT_TRUE(server_.Quiet());
}

// A final refusal completes the call and reports it; a redirect waits in MOVED for the client's next INVITE.
TEST_F(CallTest, RejectionCompletesTheCallAndARedirectWaitsInMoved) {
  const struct {
    int code;
    const char* reason;
    DialogState state;
    size_t events;
  } cases[] = {{486, "Busy Here", DialogState::COMPLETE, 1},
               {302, "Moved Temporarily", DialogState::MOVED, 0}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.code);
    LogFile log;
    Call* c = Invite();
    ServerSays(c, k.code, k.reason);
    EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 " + std::to_string(k.code) + " " + k.reason);
    EXPECT_EQ(c->State(), k.state);
    EXPECT_EQ(c->TimerType(), Dialog::T_COMPLETE);
    EXPECT_EQ(log.count("Call event REJECT: 486,Busy Here"), k.events);
    Close(c);
  }
}

TEST_F(CallTest, ClientDefectsThatOnlyIndirectClientsShed) {
  const struct {
    const char* before;
    const char* after;
    bool removed;
  } cases[] = {{"aXt", "aX", true}, {"abc", "abc", false}, {"EeTt", "", true}, {" ", " ", false}};
  Call* c = Invite();
  for (const auto& k : cases) {
    c->DeviceDefects(Defects::FromLetters(k.before));
    EXPECT_EQ(c->CleanDefect(), k.removed) << k.before;
    EXPECT_EQ(c->DeviceDefects().Letters(), k.after) << k.before;
  }
}

TEST_F(CallTest, UnhandledEventLeavesTheStateAndRelaysNothing) {
  LogFile log;
  Call* c = Invite();
  Client(c, Parse(Message("REFER", 5)), DialogEvent::REFER_RECV);
  EXPECT_EQ(c->State(), DialogState::INVITE_SENT);
  EXPECT_TRUE(server_.Quiet());
  EXPECT_EQ(log.count("Error: No Action (INVITE_SENT ==> REFER_RECV)"), 1u);
}

// The server calls the registered client; the client's early-media answer reaches the server as ringing, and
// a client hanging up before it answered has the server's INVITE refused.
TEST_F(CallTest, CallFromTheServerToARegisteredClient) {
  const std::string text = ServerRequest("INVITE", 4, "srv-call", "z9hG4bK-s1");
  Call* c = FromServer<Call>(text, "S&srv-call&z9hG4bK-s1", " ", DialogEvent::INVITE_RECV);
  EXPECT_EQ(StartLine(server_.Receive()), "SIP/2.0 100 Trying");
  std::string invite = client_.Receive();
  EXPECT_EQ(StartLine(invite), "INVITE sip:alice@127.0.0.10:5062 SIP/2.0");

  Client(c, Answer(invite, 183, "Session Progress", {"To: <sip:alice@example.com>;tag=ca"}));
  EXPECT_EQ(StartLine(server_.Receive()), "SIP/2.0 180 Ringing ...");

  auto bye = Parse(text);
  bye->Convert(SipMessage::BYE);
  bye->Set(HeaderIds::HID_VIA, "SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-b1");
  bye->Set(HeaderIds::HID_CSEQ, "1 BYE");
  bye->SwapFromTo();
  Client(c, std::move(bye));
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 200 OK");
  EXPECT_EQ(StartLine(server_.Receive()), "SIP/2.0 410 Gone...");
  EXPECT_EQ(c->State(), DialogState::COMPLETE);
}

// What the server's SDP looks like when it reaches the client, per defect letter of the client's device.
TEST_F(CallTest, ServerSdpWorkaroundsPerDefect) {
  const std::string sdp =
      "v=0\r\no=srv 1 1 IN IP4 127.0.0.20\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\na=tool:pbx 9\r\n"
      "m=audio 42000 RTP/AVP 0\r\nc=IN IP4 127.0.0.20\r\na=ptime:20\r\na=tool:pbx 9\r\n"
      "m=video 42002 RTP/AVP 99\r\nc=IN IP4 127.0.0.20\r\na=rtpmap:99 H264/90000\r\n";
  const struct {
    const char* defects;
    std::vector<const char*> present;
    std::vector<const char*> absent;
  } cases[] = {
      {" ", {"m=video", "a=ptime:20", "a=group"}, {"a=tool", "\r\nc=IN IP4 127.0.0.20\r\nt="}},
      {"V", {"a=ptime:20"}, {"m=video", "a=group", "a=tool"}},
      {"F", {"m=video"}, {"a=ptime", "a=tool"}},
      {"c", {"\r\nc=IN IP4 127.0.0.20\r\nt="}, {"a=tool"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.defects);
    Call* c = Invite(k.defects);
    ServerSays(c, 200, "OK", "sb", sdp);
    std::string answer = client_.Receive();
    Close(c);
    ASSERT_EQ(StartLine(answer), "SIP/2.0 200 OK");
    for (const char* text : k.present)
      EXPECT_NE(answer.find(text), std::string::npos) << text << "\n" << answer;
    for (const char* text : k.absent)
      EXPECT_EQ(answer.find(text), std::string::npos) << text << "\n" << answer;
  }
}

// Defect 'H': the server's answer to the client's hold is the client's own offer, receiving only.
TEST_F(CallTest, HoldAnswerMirrorsTheOfferForDefectH) {
  Call* c = Invite("H");
  ServerSays(c, 200, "OK");
  client_.Receive();
  Client(c, InDialog("ACK", 1, "z9hG4bK-a1"));
  server_.Receive();
  ASSERT_EQ(c->State(), DialogState::PASS);

  const std::string hold =
      "v=0\r\no=alice 2 2 IN IP4 127.0.0.10\r\ns=-\r\nc=IN IP4 127.0.0.10\r\nt=0 0\r\n"
      "m=audio 40000 RTP/AVP 0\r\nc=IN IP4 127.0.0.10\r\na=sendonly\r\n";
  Client(c, InDialog("INVITE", 2, "z9hG4bK-r2", hold), DialogEvent::INVITE_RECV);
  client_.Receive();
  std::string relayed = server_.Receive();
  ASSERT_EQ(StartLine(relayed), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
  auto ok = Answer(relayed, 200, "OK", {"Content-Type: application/sdp"});
  ok->Body(
      "v=0\r\no=srv 1 1 IN IP4 127.0.0.20\r\ns=-\r\nc=IN IP4 127.0.0.20\r\nt=0 0\r\n"
      "m=audio 42000 RTP/AVP 0\r\na=recvonly\r\n");
  Server(c, std::move(ok));
  std::string answer = client_.Receive();
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_NE(answer.find("m=audio 40000 RTP/AVP 0\r\na=recvonly"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("42000"), std::string::npos) << answer;
}

// Defect 'N': a device that cannot take a re-INVITE right after its answer was acknowledged never sees one
// that comes within 50 ms; the server gets no answer and repeats it later.
TEST_F(CallTest, FastReInviteFromTheServerIsDroppedForDefectN) {
  LogFile log;
  Call* c = FromServer<Call>(ServerRequest("INVITE", 4, "srv-n", "z9hG4bK-s1"), "S&srv-n&z9hG4bK-s1", "N",
                             DialogEvent::INVITE_RECV);
  server_.Receive();
  Client(c, Answer(client_.Receive(), 200, "OK", {"To: <sip:alice@example.com>;tag=ca"}));
  EXPECT_EQ(StartLine(server_.Receive()), "SIP/2.0 200 OK");
  Server(c, Parse(ServerRequest("ACK", 4, "srv-n", "z9hG4bK-s2", "ca")));
  EXPECT_EQ(StartLine(client_.Receive()).substr(0, 4), "ACK ");
  ASSERT_EQ(c->State(), DialogState::PASS);

  Server(c, Parse(ServerRequest("INVITE", 5, "srv-n", "z9hG4bK-s3", "ca")), DialogEvent::INVITE_RECV);
  EXPECT_TRUE(server_.Quiet()) << "not even a 100";
  EXPECT_TRUE(client_.Quiet());
  EXPECT_EQ(c->State(), DialogState::PASS);
  EXPECT_EQ(log.count("Defect 'N': Two Fast ReINVITE"), 1u);
}

TEST(CallEventName, FollowsTheCollectorsTableAndNamesNothingOutsideIt) {
  EXPECT_STREQ(Call::EventName(Call::E_NOP), "");
  EXPECT_STREQ(Call::EventName(Call::E_DTOR), "DTOR");
  EXPECT_STREQ(Call::EventName(99), "");
}

}  // namespace
}  // namespace relaytest
