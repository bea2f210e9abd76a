// A call's INVITE transaction as the client and the server see it, driven through the relay's real ports:
// the relay's own answers, what is absorbed, what is held back, the defect letters a call sheds.
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;

const std::string kKey = "C&call-INVITE@127.0.0.10";

class CallTest : public RelayTest {
 protected:
  // The client-side intake for a new call: set up, then handed the INVITE.
  Call* Invite(const std::string& extra = "", const std::string& defect = " ") {
    ClientMessage m;
    m.cmsg = Parse(Message("INVITE", 1, extra));
    m.dmopt = std::make_unique<DomainOptions>(checked());
    m.ncnt = kNewContact;
    m.ocnt = "sip:alice@127.0.0.10:5062";
    m.frm = InetAddress(kClient);
    m.rsvp = InetAddress(kClient);
    m.public_ip = true;
    auto* call = new Call(std::move(m.cmsg), kKey, defect);
    EXPECT_TRUE(call->Entered());
    ObjectGuard<Dialog> g;
    g.Set(call);
    EXPECT_TRUE(call->ClientSetup(&m));
    opened_.push_back(call->Number());
    call->HandleClientMessage(Dialog::INVITE_RECV);
    return call;
  }
  void ServerSays(Call* c, const std::string& invite, int code, const char* reason, bool tag = true) {
    std::vector<std::string> extra;
    if (tag) extra.push_back("To: <sip:bob@example.com>;tag=sb");
    Server(c, Answer(invite, code, reason, true, extra));
  }
  // A request of the client inside the call (Call-ID and tags of the INVITE).
  static std::unique_ptr<SipMessage> InDialog(const std::string& method, int cseq, const std::string& branch,
                                       const std::string& body = "") {
    std::string text = Message("INVITE", cseq, body.empty() ? "" : "Content-Type: application/sdp\r\n", body);
    auto swap = [&text](const std::string& from, const std::string& to) { text.replace(text.find(from), from.size(), to); };
    swap("INVITE sip:", method + " sip:");
    swap(std::to_string(cseq) + " INVITE", std::to_string(cseq) + " " + method);
    swap("To: <sip:bob@example.com>", "To: <sip:bob@example.com>;tag=sb");
    swap("z9hG4bK-c1", branch);
    return Parse(text);
  }
  void ClientSends(Call* c, std::unique_ptr<SipMessage> m, Dialog::DialogState event) {
    ObjectGuard<Dialog> g(c);
    c->SetMessage(std::move(m));
    c->HandleClientMessage(event);
  }
};

TEST_F(CallTest, ClientGetsTheRelaysTryingAndNeverTheServers) {
  Call* c = Invite();
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 100 Trying");
  std::string invite = server_.receive();
  EXPECT_EQ(StartLine(invite), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(c->State(), Dialog::INVITE_SENT);
  ServerSays(c, invite, 100, "Trying", false);
  EXPECT_TRUE(client_.quiet());
  ServerSays(c, invite, 180, "Ringing");
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 180 Ringing");
}

TEST_F(CallTest, AnswerWithoutToTagIsDroppedAndWithItConfirmsAndRekeysTheCall) {
  Call* c = Invite();
  client_.receive();
  std::string invite = server_.receive();
  ServerSays(c, invite, 200, "OK", false);
  EXPECT_TRUE(client_.quiet());
  EXPECT_TRUE(c->OKey().empty());
  ServerSays(c, invite, 200, "OK");
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 200 OK");
  EXPECT_TRUE(c->Confirmed());
  EXPECT_EQ(c->OKey(), kKey);
  EXPECT_EQ(c->Key(), kKey + "&sb");
}

TEST_F(CallTest, RepeatedInviteBeforeAndAfterAnAnswer) {
  Call* c = Invite();
  client_.receive();
  std::string invite = server_.receive();
  ClientSends(c, Parse(Message("INVITE", 1)), Dialog::PASS);
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 100 Trying Again");
  EXPECT_TRUE(server_.quiet()) << "a retransmission is not relayed";
  ServerSays(c, invite, 180, "Ringing");
  client_.receive();
  ClientSends(c, Parse(Message("INVITE", 1)), Dialog::PASS);
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 180 Ringing") << "the stored answer again";
  ClientSends(c, Parse(Message("INVITE", 2)), Dialog::PASS);
  EXPECT_TRUE(client_.quiet()) << "a newer INVITE while one is pending gets nothing";
  EXPECT_TRUE(server_.quiet());
}

TEST_F(CallTest, RejectionCompletesTheCallWithItsStatus) {
  LogFile log;
  Call* c = Invite();
  client_.receive();
  std::string invite = server_.receive();
  ServerSays(c, invite, 486, "Busy Here");
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 486 Busy Here");
  EXPECT_EQ(c->State(), Dialog::COMPLETE);
  EXPECT_EQ(c->TimerType(), Dialog::T_COMPLETE);
  EXPECT_EQ(log.count("Call event REJECT: 486,Busy Here"), 1u);
}

TEST_F(CallTest, MovedCallWaitsInMoved) {
  Call* c = Invite();
  client_.receive();
  std::string invite = server_.receive();
  ServerSays(c, invite, 302, "Moved Temporarily");
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 302 Moved Temporarily");
  EXPECT_EQ(c->State(), Dialog::MOVED);
  EXPECT_EQ(c->TimerType(), Dialog::T_COMPLETE);
}

TEST_F(CallTest, ClientDefectsThatOnlyIndirectClientsShed) {
  struct Case {
    const char* before;
    const char* after;
    bool removed;
  } cases[] = {{"aXt", "aX", true}, {"abc", "abc", false}, {"EeTt", "", true}, {" ", " ", false}};
  Call* c = Invite();
  for (const Case& k : cases) {
    c->Defect(k.before);
    EXPECT_EQ(c->CleanDefect(), k.removed) << k.before;
    EXPECT_EQ(c->Defect(), k.after) << k.before;
  }
}

TEST_F(CallTest, UnhandledEventLeavesTheStateAndRelaysNothing) {
  LogFile log;
  Call* c = Invite();
  client_.receive();
  server_.receive();
  ClientSends(c, Parse(Message("REFER", 5)), Dialog::REFER_RECV);
  EXPECT_EQ(c->State(), Dialog::INVITE_SENT);
  EXPECT_TRUE(server_.quiet());
  EXPECT_EQ(log.count("Error: No Action (INVITE_SENT ==> REFER_RECV)"), 1u);
}

// The server calls the registered client; the client's early-media answer reaches the server as ringing, and
// a client hanging up before it answered has the server's INVITE refused.
TEST_F(CallTest, CallFromTheServerToARegisteredClient) {
  RegistrationValues reg;
  reg.new_contact = kNewContact;
  reg.old_contact = "sip:alice@127.0.0.10:5062";
  reg.domain = "example.com";
  reg.hole = InetAddress(kClient);
  reg.public_ip = true;
  const std::string text = "INVITE " + std::string(kNewContact) + " SIP/2.0\r\n"
                           "Via: SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-s1\r\n"
                           "Max-Forwards: 70\r\nFrom: <sip:bob@example.com>;tag=sb\r\n"
                           "To: <sip:alice@example.com>\r\nCall-ID: srv-call\r\nCSeq: 4 INVITE\r\n"
                           "Contact: <sip:bob@127.0.0.20:5060>\r\nContent-Length: 0\r\n\r\n";
  auto* c = new Call(Parse(text), "S&srv-call&z9hG4bK-s1", InetAddress(kServer), reg);
  ASSERT_TRUE(c->Entered());
  opened_.push_back(c->Number());
  c->HandleServerMessage(Dialog::INVITE_RECV);
  c->unlock();
  EXPECT_EQ(StartLine(server_.receive()), "SIP/2.0 100 Trying");
  std::string invite = client_.receive();
  EXPECT_EQ(StartLine(invite), "INVITE sip:alice@127.0.0.10:5062 SIP/2.0");

  Client(c, Answer(invite, 183, "Session Progress", true, {"To: <sip:alice@example.com>;tag=ca"}));
  std::string ringing = server_.receive();
  EXPECT_EQ(StartLine(ringing), "SIP/2.0 180 Ringing ...");

  auto bye = Parse(text);
  bye->Convert(SipMessage::BYE);
  bye->Set(HeaderIds::HID_VIA, "SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-b1");
  bye->Set(HeaderIds::HID_CSEQ, "1 BYE");
  bye->SwapFromTo();
  Client(c, std::move(bye));
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 200 OK");
  EXPECT_EQ(StartLine(server_.receive()), "SIP/2.0 410 Gone...");
  EXPECT_EQ(c->State(), Dialog::COMPLETE);
}

// What the server's SDP looks like when it reaches the client, per defect letter of the client's device.
TEST_F(CallTest, ServerSdpWorkaroundsPerDefect) {
  const std::string sdp =
      "v=0\r\no=srv 1 1 IN IP4 127.0.0.20\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\na=tool:pbx 9\r\n"
      "m=audio 42000 RTP/AVP 0\r\nc=IN IP4 127.0.0.20\r\na=ptime:20\r\na=tool:pbx 9\r\n"
      "m=video 42002 RTP/AVP 99\r\nc=IN IP4 127.0.0.20\r\na=rtpmap:99 H264/90000\r\n";
  struct Case {
    const char* defect;
    std::vector<const char*> present;
    std::vector<const char*> absent;
  } cases[] = {
      {" ", {"m=video", "a=ptime:20", "a=group"}, {"a=tool", "\r\nc=IN IP4 127.0.0.20\r\nt="}},
      {"V", {"a=ptime:20"}, {"m=video", "a=group", "a=tool"}},
      {"F", {"m=video"}, {"a=ptime", "a=tool"}},
      {"c", {"\r\nc=IN IP4 127.0.0.20\r\nt="}, {"a=tool"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.defect);
    Call* c = Invite("", k.defect);
    client_.receive();
    std::string invite = server_.receive();
    auto ok = Answer(invite, 200, "OK", true, {"To: <sip:bob@example.com>;tag=sb", "Content-Type: application/sdp"});
    ok->Body(sdp);
    Server(c, std::move(ok));
    std::string answer = client_.receive();
    table_.DrainKeyQueue();
    table_.Destroy(c->Number());
    opened_.pop_back();
    ASSERT_EQ(StartLine(answer), "SIP/2.0 200 OK");
    for (const char* text : k.present) EXPECT_NE(answer.find(text), std::string::npos) << text << "\n" << answer;
    for (const char* text : k.absent) EXPECT_EQ(answer.find(text), std::string::npos) << text << "\n" << answer;
  }
}

// Defect 'H': the server's answer to the client's hold is the client's own offer, receiving only.
TEST_F(CallTest, HoldAnswerMirrorsTheOfferForDefectH) {
  Call* c = Invite("", "H");
  client_.receive();
  std::string invite = server_.receive();
  ServerSays(c, invite, 200, "OK");
  client_.receive();
  ClientSends(c, InDialog("ACK", 1, "z9hG4bK-a1"), Dialog::PASS);
  server_.receive();
  ASSERT_EQ(c->State(), Dialog::PASS);

  const std::string hold = "v=0\r\no=alice 2 2 IN IP4 127.0.0.10\r\ns=-\r\nc=IN IP4 127.0.0.10\r\nt=0 0\r\n"
                           "m=audio 40000 RTP/AVP 0\r\nc=IN IP4 127.0.0.10\r\na=sendonly\r\n";
  ClientSends(c, InDialog("INVITE", 2, "z9hG4bK-r2", hold), Dialog::INVITE_RECV);
  client_.receive();
  std::string relayed = server_.receive();
  ASSERT_EQ(StartLine(relayed), "INVITE sip:bob@127.0.0.20:5060 SIP/2.0");
  auto ok = Answer(relayed, 200, "OK", true, {"Content-Type: application/sdp"});
  ok->Body("v=0\r\no=srv 1 1 IN IP4 127.0.0.20\r\ns=-\r\nc=IN IP4 127.0.0.20\r\nt=0 0\r\n"
           "m=audio 42000 RTP/AVP 0\r\na=recvonly\r\n");
  Server(c, std::move(ok));
  std::string answer = client_.receive();
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_NE(answer.find("m=audio 40000 RTP/AVP 0\r\na=recvonly"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("42000"), std::string::npos) << answer;
}

// Defect 'N': a device that cannot take a re-INVITE right after its answer was acknowledged never sees one
// that comes within 50 ms; the server gets no answer and repeats it later.
TEST_F(CallTest, FastReInviteFromTheServerIsDroppedForDefectN) {
  RegistrationValues reg;
  reg.new_contact = kNewContact;
  reg.old_contact = "sip:alice@127.0.0.10:5062";
  reg.domain = "example.com";
  reg.hole = InetAddress(kClient);
  reg.public_ip = true;
  reg.defects = "N";
  auto request = [](const std::string& method, int cseq, const std::string& branch, bool tagged) {
    return "" + method + " " + std::string(kNewContact) + " SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.20:5060;branch=" + branch + "\r\n"
           "Max-Forwards: 70\r\nFrom: <sip:bob@example.com>;tag=sb\r\n"
           "To: <sip:alice@example.com>" + (tagged ? ";tag=ca" : "") + "\r\nCall-ID: srv-n\r\n"
           "CSeq: " + std::to_string(cseq) + " " + method + "\r\n"
           "Contact: <sip:bob@127.0.0.20:5060>\r\nContent-Length: 0\r\n\r\n";
  };
  LogFile log;
  auto* c = new Call(Parse(request("INVITE", 4, "z9hG4bK-s1", false)), "S&srv-n&z9hG4bK-s1", InetAddress(kServer), reg);
  ASSERT_TRUE(c->Entered());
  opened_.push_back(c->Number());
  c->HandleServerMessage(Dialog::INVITE_RECV);
  c->unlock();
  server_.receive();
  std::string invite = client_.receive();
  Client(c, Answer(invite, 200, "OK", true, {"To: <sip:alice@example.com>;tag=ca"}));
  EXPECT_EQ(StartLine(server_.receive()), "SIP/2.0 200 OK");
  Server(c, Parse(request("ACK", 4, "z9hG4bK-s2", true)));
  EXPECT_EQ(StartLine(client_.receive()).substr(0, 4), "ACK ");
  ASSERT_EQ(c->State(), Dialog::PASS);

  {
    ObjectGuard<Dialog> g(c);
    c->SetMessage(Parse(request("INVITE", 5, "z9hG4bK-s3", true)));
    c->HandleServerMessage(Dialog::INVITE_RECV);
  }
  EXPECT_TRUE(server_.quiet()) << "not even a 100";
  EXPECT_TRUE(client_.quiet());
  EXPECT_EQ(c->State(), Dialog::PASS);
  EXPECT_EQ(log.count("Defect 'N': Two Fast ReINVITE"), 1u);
}

TEST_F(CallTest, EventNamesFollowTheCollectorsTable) {
  EXPECT_STREQ(Call::EventName(Call::E_NOP), "");
  EXPECT_STREQ(Call::EventName(Call::E_TIMEOUT), "TIMEOUT");
  EXPECT_STREQ(Call::EventName(Call::E_DTOR), "DTOR");
  EXPECT_STREQ(Call::EventName(99), "");
}

}  // namespace
}  // namespace relaytest
