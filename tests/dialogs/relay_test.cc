// What the server and the client receive when a plain dialog relays their messages: the relay's Via, the
// rewritten Contact and Request-URI, the relay's Record-Route faces, Max-Forwards and the CSeq shift.
#include <gmock/gmock.h>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;

TEST_F(RelayTest, MessageReachesTheServerWithOneRelayViaAndTheRewrittenContact) {
  Dialog* d = FromClient(Message("MESSAGE", 7), "C&call-MESSAGE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Number(), 65537u);
  std::string got = server_.receive();
  EXPECT_EQ(StartLine(got), "MESSAGE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_THAT(Values(got, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.2:5073;branch=z9hG4bK-ostrel-65537-7.0",
                                              "SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport"));
  EXPECT_THAT(Values(got, "Contact"), ElementsAre(std::string("<") + kNewContact + ">"));
  EXPECT_THAT(Values(got, "Max-Forwards"), ElementsAre("69"));
  EXPECT_THAT(Values(got, "Record-Route"), ElementsAre()) << "a plain MESSAGE is not record-routed";
  EXPECT_TRUE(client_.quiet());

  Server(d, Answer(got, 200, "OK", true, {"To: <sip:bob@example.com>;tag=sb"}));
  std::string answer = client_.receive();
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(answer, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport"));
  EXPECT_EQ(d->State(), Dialog::COMPLETE);
}

TEST_F(RelayTest, RetransmissionsBeforeTheAnswerKeepTheRelayBranchAndAfterItAreAnsweredByTheRelay) {
  Dialog* d = FromClient(Message("MESSAGE", 3), "C&call-MESSAGE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  std::string first = server_.receive();
  Client(d, Parse(Message("MESSAGE", 3)));
  std::string again = server_.receive();
  EXPECT_EQ(Values(again, "Via").at(0), Values(first, "Via").at(0)) << "the same transaction toward the server";

  Server(d, Answer(first, 200, "OK", true));
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 200 OK");
  EXPECT_EQ(d->State(), Dialog::COMPLETE);
  EXPECT_TRUE(d->Lingers()) << "the intake keeps a completed transaction that still absorbs retransmissions";
  EXPECT_EQ(d->TimerType(), Dialog::T_COMPLETE);

  Client(d, Parse(Message("MESSAGE", 3)));
  EXPECT_TRUE(server_.quiet()) << "a late retransmission must not be delivered a second time";
  std::string repeated = client_.receive();
  EXPECT_EQ(StartLine(repeated), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(repeated, "CSeq"), ElementsAre("3 MESSAGE"));
}

TEST_F(RelayTest, ANewRequestOnALingeringDialogIsRelayedAsANewTransaction) {
  Dialog* d = FromClient(Message("MESSAGE", 3), "C&call-MESSAGE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  Server(d, Answer(server_.receive(), 200, "OK", true));
  client_.receive();
  ASSERT_TRUE(d->Lingers());

  Client(d, Parse(Message("MESSAGE", 4)));
  std::string got = server_.receive();
  EXPECT_EQ(Values(got, "Via").at(0), "SIP/2.0/UDP 127.0.0.2:5073;branch=z9hG4bK-ostrel-65537-4.0");
  EXPECT_FALSE(d->Lingers());
  EXPECT_EQ(d->TimerType(), Dialog::T_NONE);
  Server(d, Answer(got, 202, "Accepted", true));
  EXPECT_EQ(StartLine(client_.receive()), "SIP/2.0 202 Accepted");
  EXPECT_TRUE(d->Lingers());
}

TEST_F(RelayTest, SubscribeAnswerCarriesTheOuterFaceAndTheNotifyReachesTheClient) {
  Dialog* d =
      FromClient(Message("SUBSCRIBE", 1, "Event: presence\r\nExpires: 600\r\n"), "C&call-SUBSCRIBE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  std::string sub = server_.receive();
  EXPECT_THAT(Values(sub, "Record-Route"), ElementsAre());
  Server(d, Answer(sub, 200, "OK", true, {"Expires: 600"}));
  std::string ok = client_.receive();
  EXPECT_THAT(Values(ok, "Record-Route"), ElementsAre("<sip:65537@127.0.0.1:5060;lr>"));

  // The server's NOTIFY opens a dialog of its own toward the registered client.
  std::string notify = "NOTIFY sip:alice*example.com-127.0.0.10+5062@127.0.0.2:5073 SIP/2.0\r\n"
                       "Via: SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-s1\r\n"
                       "Max-Forwards: 70\r\n"
                       "From: <sip:bob@example.com>;tag=sb\r\n"
                       "To: <sip:alice@example.com>;tag=fa\r\n"
                       "Call-ID: call-SUBSCRIBE@127.0.0.10\r\n"
                       "CSeq: 1 NOTIFY\r\n"
                       "Event: presence\r\n"
                       "Content-Length: 0\r\n\r\n";
  Dialog* n = FromServer(notify, "S&call-SUBSCRIBE@127.0.0.10&z9hG4bK-s1");
  std::string got = client_.receive();
  EXPECT_EQ(StartLine(got), "NOTIFY sip:alice@127.0.0.10:5062 SIP/2.0") << "the client's own Contact";
  EXPECT_THAT(Values(got, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65538-1.0",
                                              "SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-s1"));
  EXPECT_THAT(Values(got, "Max-Forwards"), ElementsAre("69"));

  Client(n, Answer(got, 200, "OK", true));
  std::string answer = server_.receive();
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(answer, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-s1"));
}

TEST_F(RelayTest, ASubscribeThroughAProxyGetsTheInnerFaceWhichTheAnswerTurnsOutward) {
  Dialog* d = FromClient(Message("SUBSCRIBE", 1, "Record-Route: <sip:proxy.example.com;lr>\r\nEvent: dialog\r\n"),
                           "C&call-SUBSCRIBE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  std::string sub = server_.receive();
  EXPECT_THAT(Values(sub, "Record-Route"),
              ElementsAre("<sip:65537@127.0.0.2:5073;lr>", "<sip:proxy.example.com;lr>"));
  auto ok = Parse(sub);
  ok->Convert(200, "OK");
  ok->pop_front(HeaderIds::HID_VIA);
  Server(d, std::move(ok));
  EXPECT_THAT(Values(client_.receive(), "Record-Route"),
              ElementsAre("<sip:65537@127.0.0.1:5060;lr>", "<sip:proxy.example.com;lr>"));
}

// Record-Route handling of responses from the client, with the faces of dialog 65537.
TEST_F(RelayTest, ClientResponsesLoseTheOuterFaceOnTopOrHaveItTurnedInward) {
  Dialog* d = FromServer(Message("OPTIONS", 1), "S&opt");
  client_.receive();
  struct Case {
    const char* rr;
    bool keep;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"<sip:65537@127.0.0.1:5060;lr>, <sip:p@10.0.0.1;lr>", false, {"<sip:p@10.0.0.1;lr>"}},
      {"<sip:65537@127.0.0.1:5060;lr>, <sip:p@10.0.0.1;lr>", true,
       {"<sip:65537@127.0.0.2:5073;lr>", "<sip:p@10.0.0.1;lr>"}},
      {"<sip:p@10.0.0.1;lr>, <sip:65537@127.0.0.1:5060;lr>", false,
       {"<sip:p@10.0.0.1;lr>", "<sip:65537@127.0.0.2:5073;lr>"}},
      {"<sip:65538@127.0.0.1:5060;lr>", false, {"<sip:65538@127.0.0.1:5060;lr>"}},  // another dialog's
  };
  for (const Case& c : cases) {
    ObjectGuard<Dialog> g(d);
    auto rsp = Parse("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-x\r\nRecord-Route: " +
                     std::string(c.rr) +
                     "\r\nFrom: <sip:bob@example.com>;tag=sb\r\nTo: <sip:alice@example.com>;tag=fa\r\n"
                     "Call-ID: x\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n");
    d->SetMessage(std::move(rsp));
    d->RecordRouteSet(Dialog::FROM_CLIENT, c.keep);
    std::string text = d->GetMessage()->Assemble(true);
    EXPECT_EQ(Values(text, "Record-Route"), c.want) << c.rr << " keep=" << c.keep;
  }
}

TEST_F(RelayTest, AClientAnswersRedirectWithItsOwnContactAndSuccessWithTheRelays) {
  struct Case {
    int code;
    const char* reason;
    std::string want;
  };
  const Case cases[] = {{302, "Moved Temporarily", "<sip:alice@127.0.0.10:5062>"},
                        {200, "OK", std::string("<") + kNewContact + ">"}};
  for (const Case& c : cases) {
    Dialog* d = FromServer(Message("OPTIONS", c.code), "S&opt-" + std::to_string(c.code));
    std::string got = client_.receive();
    auto rsp = Answer(got, c.code, c.reason, true);
    rsp->Set(HeaderIds::HID_CONTACT, "<sip:alice@127.0.0.10:5062>");
    Client(d, std::move(rsp));
    EXPECT_THAT(Values(server_.receive(), "Contact"), ElementsAre(c.want)) << c.code;
  }
}

TEST_F(RelayTest, TheShiftRaisesServerRequestsAndLowersClientAnswers) {
  RegistrationValues reg;
  reg.old_contact = "sip:alice@127.0.0.10:5062";
  reg.hole = InetAddress(kClient);
  auto* d = new Dialog(Parse(Message("BYE", 2)), "S&bye", InetAddress(kServer), reg);
  opened_.push_back(d->Number());
  d->Shift(500);
  d->HandleServerMessage(Dialog::PASS);
  d->unlock();
  std::string bye = client_.receive();
  EXPECT_THAT(Values(bye, "CSeq"), ElementsAre("502 BYE"));
  EXPECT_THAT(Values(bye, "Via").at(0), "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-502.0");
  Client(d, Answer(bye, 200, "OK", true));
  EXPECT_THAT(Values(server_.receive(), "CSeq"), ElementsAre("2 BYE"));
}

TEST_F(RelayTest, DefectMGivesServerRequestsWithoutMaxForwardsNine) {
  std::string text = Message("OPTIONS", 1);
  text.erase(text.find("Max-Forwards: 70\r\n"), 18);
  FromServer(text, "S&m", "M");
  EXPECT_THAT(Values(client_.receive(), "Max-Forwards"), ElementsAre("9"));
}

// A dialog that is confirmed marks its requests ".A" until it completes.
class ConfirmedDialog : public Dialog {
 public:
  using Dialog::Dialog;
  bool Confirmed() const override { return true; }
};

TEST_F(RelayTest, AConfirmedDialogsBranchEndsInAUntilItCompletes) {
  RegistrationValues reg;
  reg.old_contact = "sip:alice@127.0.0.10:5062";
  reg.hole = InetAddress(kClient);
  auto* d = new ConfirmedDialog(Parse(Message("INFO", 9)), "S&info", InetAddress(kServer), reg);
  opened_.push_back(d->Number());
  d->Pass(Dialog::FROM_SERVER);
  EXPECT_EQ(Values(client_.receive(), "Via").at(0), "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-9.A");
  d->State(Dialog::COMPLETE);
  d->SetMessage(Parse(Message("INFO", 10)));
  d->Pass(Dialog::FROM_SERVER);
  EXPECT_EQ(Values(client_.receive(), "Via").at(0), "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-10.0");
  d->unlock();
}

TEST_F(RelayTest, ASubstituteMessageIsSentAndTheDialogKeepsItsOwn) {
  Dialog* d = FromServer(Message("OPTIONS", 1), "S&subst");
  client_.receive();
  ObjectGuard<Dialog> g(d);
  SipMessage* own = d->GetMessage();
  auto other = Parse(Message("INFO", 5));
  d->Pass(Dialog::FROM_SERVER, other.get());
  EXPECT_EQ(d->GetMessage(), own);
  EXPECT_EQ(StartLine(client_.receive()), "INFO sip:alice@127.0.0.10:5062 SIP/2.0");
}

TEST_F(RelayTest, AResponseWithoutViaIsNotForwarded) {
  Dialog* d = FromServer(Message("OPTIONS", 1), "S&novia");
  auto rsp = Answer(client_.receive(), 200, "OK", true);
  rsp->Remove(HeaderIds::HID_VIA);
  Client(d, std::move(rsp));
  EXPECT_TRUE(server_.quiet());
}

TEST_F(RelayTest, InDialogRequestsFollowTheirRouteAndStopWhenItDoesNotResolve) {
  Dialog* d = FromClient(Message("SUBSCRIBE", 1, "Event: presence\r\n"), "C&call-SUBSCRIBE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  server_.receive();
  Peer other("127.0.0.21:5060");
  std::string refresh = Message("SUBSCRIBE", 2, "Route: <sip:127.0.0.21;lr>\r\nEvent: presence\r\n");
  refresh.replace(refresh.find("To: <sip:bob@example.com>"), 25, "To: <sip:bob@example.com>;tag=sb");
  Client(d, Parse(refresh));
  EXPECT_EQ(StartLine(other.receive()), "SUBSCRIBE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(d->ServerSipAddress().Str(), "127.0.0.21:5060");

  std::string lost = refresh;
  lost.replace(lost.find("<sip:127.0.0.21;lr>"), 19, "<sip:nowhere.invalid;lr>");
  lost.replace(lost.find("CSeq: 2"), 7, "CSeq: 3");
  Client(d, Parse(lost));
  EXPECT_TRUE(other.quiet());
  EXPECT_TRUE(server_.quiet());
  EXPECT_EQ(d->ServerSipAddress().Str(), "127.0.0.21:5060") << "an unresolvable hop does not replace the server";
}


TEST_F(RelayTest, ASubscriptionAnsweredForAClientBehindNatKeepsItsRegistrationAlive) {
  std::vector<int> kept;
  Dialog::Hooks().KeepRegistrationAlive = [&](Dialog& d, int expires) {
    EXPECT_EQ(d.NewContact(), kNewContact);
    kept.push_back(expires);
  };
  Dialog* d = FromClient(Message("SUBSCRIBE", 1, "Event: presence\r\n"), "C&keep1");
  ASSERT_NE(d, nullptr);
  Server(d, Answer(server_.receive(), 200, "OK", true, {"Expires: 600"}));
  public_ip_ = true;
  Dialog* pub = FromClient(Message("SUBSCRIBE", 1, "Event: presence\r\n"), "C&keep2");
  ASSERT_NE(pub, nullptr);
  Server(pub, Answer(server_.receive(), 200, "OK", true, {"Expires: 600"}));
  EXPECT_EQ(kept, std::vector<int>{600}) << "a client on a public address needs no keeping";
}

// A call that lost the Via of its client's answer, for the restoring path.
class CallLike : public Dialog {
 public:
  CallLike(std::unique_ptr<SipMessage> m, const std::string& key, std::unique_ptr<SipMessage> first)
      : Dialog(std::move(m), key, " "), first_(std::move(first)) {}
  bool IsCall() const override { return true; }
  const SipMessage* OriginalInvite() const override { return first_.get(); }
  void StopCall() override { ++stops; }
  void CallEvent(int ev, const std::string& reason) override { events.push_back(ev); }
  int stops = 0;
  std::vector<int> events;

 private:
  std::unique_ptr<SipMessage> first_;
};

TEST_F(RelayTest, AClientAnswerWithoutViaInACallTakesTheFirstInvitesVia) {
  std::string invite = Message("INVITE", 1);
  invite.replace(invite.find("z9hG4bK-c1;rport"), 16, "z9hG4bK-srv;received=127.0.0.20");
  auto* call = new CallLike(Parse(Message("INFO", 2)), "C&call", Parse(invite));
  opened_.push_back(call->Number());
  call->ServerSipAddress(InetAddress(kServer));
  auto rsp = Answer(Message("INFO", 2), 200, "OK", false);
  rsp->Remove(HeaderIds::HID_VIA);
  call->SetMessage(std::move(rsp));
  call->Pass(Dialog::FROM_CLIENT);
  EXPECT_THAT(Values(server_.receive(), "Via"),
              ElementsAre("SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-srv;received=127.0.0.20"));

  EXPECT_EQ(call->State(), Dialog::COMPLETE) << "the final answer completes the call";
  EXPECT_EQ(call->stops, 1);
  EXPECT_THAT(call->events, ElementsAre()) << "a completion without event reports none";
  EXPECT_EQ(call->TimerType(), Dialog::T_COMPLETE) << "but the call is still removed by its timer";
  call->unlock();
}

TEST_F(RelayTest, ACallCompletedWithAnEventReportsIt) {
  auto* call = new CallLike(Parse(Message("INVITE", 1)), "C&ev", nullptr);
  opened_.push_back(call->Number());
  call->Complete(7, "gone");
  call->Complete(8, "again");
  EXPECT_THAT(call->events, ElementsAre(7));
  EXPECT_EQ(call->stops, 1);
  EXPECT_EQ(call->TimerType(), Dialog::T_COMPLETE);
  call->unlock();
}

}  // namespace
}  // namespace relaytest
