// What the server and the client receive when a plain dialog relays their messages: the relay's Via, the
// rewritten Contact and Request-URI, the relay's Record-Route faces, Max-Forwards and the CSeq shift.
#include <gmock/gmock.h>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;

// One MESSAGE transaction: retransmitted before the server's answer on the relay's branch, answered by the
// relay itself after it, and the next CSeq relayed as a new transaction.
TEST_F(RelayTest, MessageTransactionAndItsRetransmissions) {
  Dialog* d = FromClient(Message("MESSAGE", 7), "C&call-MESSAGE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Number(), 65537u);
  const std::string got = server_.Receive();
  EXPECT_EQ(StartLine(got), "MESSAGE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_THAT(Values(got, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.2:5073;branch=z9hG4bK-ostrel-65537-7.0",
                                              "SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport"));
  EXPECT_THAT(Values(got, "Contact"), ElementsAre(std::string("<") + kNewContact + ">"));
  EXPECT_THAT(Values(got, "Max-Forwards"), ElementsAre("69"));
  EXPECT_THAT(Values(got, "Record-Route"), ElementsAre()) << "a plain MESSAGE is not record-routed";
  EXPECT_TRUE(client_.Quiet());
  EXPECT_EQ(d->TimerType(), Dialog::T_TRANSACTION) << "the request waits 32 s for its final answer";
  const uint64_t timer_f = d->TimerID();
  Client(d, Parse(Message("MESSAGE", 7)));
  EXPECT_EQ(Values(server_.Receive(), "Via").at(0), Values(got, "Via").at(0)) << "the same transaction";
  EXPECT_EQ(d->TimerID(), timer_f) << "a retransmission does not extend the wait";

  Server(d, Answer(got, 200, "OK", {"To: <sip:bob@example.com>;tag=sb"}));
  const std::string answer = client_.Receive();
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(answer, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport"));
  EXPECT_EQ(d->State(), DialogState::COMPLETE);
  EXPECT_TRUE(d->Lingers()) << "the intake keeps a completed transaction that still absorbs retransmissions";
  EXPECT_EQ(d->TimerType(), Dialog::T_COMPLETE);
  Client(d, Parse(Message("MESSAGE", 7)));
  EXPECT_TRUE(server_.Quiet()) << "a late retransmission must not be delivered a second time";
  const std::string repeated = client_.Receive();
  EXPECT_EQ(StartLine(repeated), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(repeated, "CSeq"), ElementsAre("7 MESSAGE"));

  Client(d, Parse(Message("MESSAGE", 8)));
  const std::string next = server_.Receive();
  EXPECT_EQ(Values(next, "Via").at(0), "SIP/2.0/UDP 127.0.0.2:5073;branch=z9hG4bK-ostrel-65537-8.0");
  EXPECT_FALSE(d->Lingers());
  EXPECT_EQ(d->TimerType(), Dialog::T_TRANSACTION);
  Server(d, Answer(next, 202, "Accepted"));
  EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 202 Accepted");
  EXPECT_TRUE(d->Lingers());
}

// A subscription is record-routed toward the server only behind a proxy of the client (or for a pcnt domain),
// with the inner face; the answer turns it outward, and adds the outer face when there was none. Its 200
// keeps the registration of a client behind NAT alive.
TEST_F(RelayTest, ASubscriptionIsRecordRoutedWithTheFaceEachSideSeesAndKeepsARegistrationAlive) {
  std::vector<int> kept;
  Dialog::Hooks().keep_registration_alive = [&](Dialog& d, int expires) {
    EXPECT_EQ(d.NewContact(), kNewContact);
    kept.push_back(expires);
  };
  DomainOptions pcnt = checked();
  pcnt.pcnt = true;
  const struct {
    const char* rr;
    DomainOptions opts;
    std::vector<std::string> at_server, at_client;
    bool pub;
  } cases[] = {
      {"", checked(), {}, {"<sip:N@127.0.0.1:5060;lr>"}, false},
      {"Record-Route: <sip:proxy.example.com;lr>\r\n",
       checked(),
       {"<sip:N@127.0.0.2:5073;lr>", "<sip:proxy.example.com;lr>"},
       {"<sip:N@127.0.0.1:5060;lr>", "<sip:proxy.example.com;lr>"},
       false},
      {"", pcnt, {"<sip:N@127.0.0.2:5073;lr>"}, {"<sip:N@127.0.0.1:5060;lr>"}, false},
      {"", checked(), {}, {"<sip:N@127.0.0.1:5060;lr>"}, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    public_ip_ = c.pub;
    Dialog* d = FromClient(Message("SUBSCRIBE", 1, c.rr + std::string("Event: presence\r\n")),
                           "C&sub" + std::to_string(n++), " ", c.opts);
    ASSERT_NE(d, nullptr);
    auto faces = [&](std::vector<std::string> v) {
      for (auto& f : v)
        if (f.find("sip:N@") != std::string::npos) f = Sub(f, "N", d->NumberText());
      return v;
    };
    const std::string sub = server_.Receive();
    EXPECT_EQ(Values(sub, "Record-Route"), faces(c.at_server));
    Server(d, Answer(sub, 200, "OK", {"Expires: 600"}));
    EXPECT_EQ(Values(client_.Receive(), "Record-Route"), faces(c.at_client));
  }
  EXPECT_EQ(kept, std::vector<int>(3, 600)) << "a client on a public address needs no keeping";
}

// Record-Route handling of responses from the client, with the faces of dialog 65537.
TEST_F(RelayTest, ClientResponsesLoseTheOuterFaceOnTopOrHaveItTurnedInward) {
  Dialog* d = FromServer(Message("OPTIONS", 1), "S&opt");
  client_.Receive();
  const struct {
    const char* rr;
    bool keep;
    std::vector<std::string> want;
  } cases[] = {
      {"<sip:65537@127.0.0.1:5060;lr>, <sip:p@10.0.0.1;lr>", false, {"<sip:p@10.0.0.1;lr>"}},
      {"<sip:65537@127.0.0.1:5060;lr>, <sip:p@10.0.0.1;lr>",
       true,
       {"<sip:65537@127.0.0.2:5073;lr>", "<sip:p@10.0.0.1;lr>"}},
      {"<sip:p@10.0.0.1;lr>, <sip:65537@127.0.0.1:5060;lr>",
       false,
       {"<sip:p@10.0.0.1;lr>", "<sip:65537@127.0.0.2:5073;lr>"}},
      {"<sip:65538@127.0.0.1:5060;lr>", false, {"<sip:65538@127.0.0.1:5060;lr>"}},  // another dialog's
  };
  for (const auto& c : cases) {
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
  const struct {
    int code;
    const char* reason;
    std::string want;
  } cases[] = {{302, "Moved Temporarily", "<sip:alice@127.0.0.10:5062>"},
               {200, "OK", std::string("<") + kNewContact + ">"}};
  for (const auto& c : cases) {
    Dialog* d = FromServer(Message("OPTIONS", c.code), "S&opt-" + std::to_string(c.code));
    auto rsp = Answer(client_.Receive(), c.code, c.reason);
    rsp->Set(HeaderIds::HID_CONTACT, "<sip:alice@127.0.0.10:5062>");
    Client(d, std::move(rsp));
    EXPECT_THAT(Values(server_.Receive(), "Contact"), ElementsAre(c.want)) << c.code;
  }
}

TEST_F(RelayTest, TheShiftRaisesServerRequestsLowersClientAnswersAndNeverPassesTheLargestCSeq) {
  auto* d = new Dialog(Parse(Message("BYE", 2)), "S&bye", InetAddress(kServer), Reg());
  opened_.push_back(d->Number());
  d->Shift(500);
  d->HandleServerMessage(DialogEvent::PASS);
  d->unlock();
  std::string bye = client_.Receive();
  EXPECT_THAT(Values(bye, "CSeq"), ElementsAre("502 BYE"));
  EXPECT_THAT(Values(bye, "Via").at(0), "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-502.0");
  Client(d, Answer(bye, 200, "OK"));
  EXPECT_THAT(Values(server_.Receive(), "CSeq"), ElementsAre("2 BYE"));

  auto* max = new Dialog(Parse(Message("BYE", 2147483647 - 499)), "S&bye-max", InetAddress(kServer), Reg());
  opened_.push_back(max->Number());
  max->Shift(500);
  max->HandleServerMessage(DialogEvent::PASS);
  max->unlock();
  EXPECT_TRUE(client_.Receive(nullptr, 300).empty())
      << "a request the shift would carry past the largest CSeq";
}

TEST_F(RelayTest, DefectMGivesServerRequestsWithoutMaxForwardsNine) {
  FromServer(Sub(Message("OPTIONS", 1), "Max-Forwards: 70\r\n", ""), "S&m", "M");
  EXPECT_THAT(Values(client_.Receive(), "Max-Forwards"), ElementsAre("9"));
}

// A dialog that is confirmed marks its requests ".A" until it completes.
class ConfirmedDialog : public Dialog {
 public:
  using Dialog::Dialog;
  bool Confirmed() const override { return true; }
};

TEST_F(RelayTest, AConfirmedDialogsBranchEndsInAUntilItCompletes) {
  auto* d = new ConfirmedDialog(Parse(Message("INFO", 9)), "S&info", InetAddress(kServer), Reg());
  opened_.push_back(d->Number());
  d->Pass(Dialog::FROM_SERVER);
  EXPECT_EQ(Values(client_.Receive(), "Via").at(0),
            "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-9.A");
  d->State(DialogState::COMPLETE);
  d->SetMessage(Parse(Message("INFO", 10)));
  d->Pass(Dialog::FROM_SERVER);
  EXPECT_EQ(Values(client_.Receive(), "Via").at(0),
            "SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-10.0");
  d->unlock();
}

TEST_F(RelayTest, AResponseWithoutViaIsNotForwarded) {
  Dialog* d = FromServer(Message("OPTIONS", 1), "S&novia");
  auto rsp = Answer(client_.Receive(), 200, "OK");
  rsp->Remove(HeaderIds::HID_VIA);
  Client(d, std::move(rsp));
  EXPECT_TRUE(server_.Quiet());
}

TEST_F(RelayTest, InDialogRequestsFollowTheirRouteAndStopWhenItDoesNotResolve) {
  Dialog* d = FromClient(Message("SUBSCRIBE", 1, "Event: presence\r\n"), "C&call-SUBSCRIBE@127.0.0.10");
  ASSERT_NE(d, nullptr);
  server_.Receive();
  Peer other("127.0.0.21:5060");
  const std::string refresh =
      Tagged(Message("SUBSCRIBE", 2, "Route: <sip:127.0.0.21;lr>\r\nEvent: presence\r\n"));
  Client(d, Parse(refresh));
  EXPECT_EQ(StartLine(other.Receive()), "SUBSCRIBE sip:bob@127.0.0.20:5060 SIP/2.0");
  EXPECT_EQ(d->ServerSipAddress().Text(), "127.0.0.21:5060");

  Client(d, Parse(Sub(Sub(refresh, "127.0.0.21", "nowhere.invalid"), "CSeq: 2", "CSeq: 3")));
  EXPECT_TRUE(other.Quiet());
  EXPECT_TRUE(server_.Quiet());
  EXPECT_EQ(d->ServerSipAddress().Text(), "127.0.0.21:5060")
      << "an unresolvable hop does not replace the server";
}

// A call that lost the Via of its client's answer, for the restoring path.
class CallLike : public Dialog {
 public:
  CallLike(std::unique_ptr<SipMessage> m, const std::string& key, std::unique_ptr<SipMessage> first)
      : Dialog(std::move(m), key, Config::UnlistedDevice()), first_(std::move(first)) {}
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
  const std::string invite = Sub(Message("INVITE", 1), "z9hG4bK-c1;rport", "z9hG4bK-srv;received=127.0.0.20");
  auto* call = new CallLike(Parse(Message("INFO", 2)), "C&call", Parse(invite));
  opened_.push_back(call->Number());
  call->ServerSipAddress(InetAddress(kServer));
  auto rsp = Answer(Message("INFO", 2), 200, "OK", {}, false);
  rsp->Remove(HeaderIds::HID_VIA);
  call->SetMessage(std::move(rsp));
  call->Pass(Dialog::FROM_CLIENT);
  EXPECT_THAT(Values(server_.Receive(), "Via"),
              ElementsAre("SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-srv;received=127.0.0.20"));

  EXPECT_EQ(call->State(), DialogState::COMPLETE) << "the final answer completes the call";
  EXPECT_EQ(call->stops, 1);
  EXPECT_THAT(call->events, ElementsAre()) << "a completion without event reports none";
  EXPECT_EQ(call->TimerType(), Dialog::T_COMPLETE) << "but the call is still removed by its timer";
  call->unlock();
}

}  // namespace
}  // namespace relaytest
