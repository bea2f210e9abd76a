// A server's NOTIFY on its way to the registered client: the relay's Via and the client's own Contact, the
// count by method, and the device workarounds.
#include <gmock/gmock.h>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;

std::string Notify(const std::string& event, const std::string& extra = "", const std::string& body = "") {
  return ServerRequest("NOTIFY", 4, "shared-call@127.0.0.10", "z9hG4bK-n1", "fa",
                       (event.empty() ? "" : "Event: " + event + "\r\n") + extra, body);
}

TEST_F(RelayTest, ANotifyReachesTheClientAndItsAnswerTheServerAndOnlyRequestsAreCounted) {
  std::vector<SipMessage::RequestMethod> counted;
  Dialog::Hooks().count_method = [&](SipMessage::RequestMethod m) { counted.push_back(m); };
  Dialog* n = FromServer(Notify("presence"), "S&shared-call@127.0.0.10&z9hG4bK-n1");
  const std::string got = client_.Receive();
  EXPECT_EQ(StartLine(got), "NOTIFY sip:alice@127.0.0.10:5062 SIP/2.0") << "the client's own Contact";
  EXPECT_THAT(Values(got, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-ostrel-65537-4.0",
                                              "SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-n1"));
  EXPECT_THAT(Values(got, "Max-Forwards"), ElementsAre("69"));

  Client(n, Answer(got, 200, "OK"));
  const std::string answer = server_.Receive();
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(answer, "Via"), ElementsAre("SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-n1"));
  EXPECT_THAT(counted, ElementsAre(SipMessage::NOTIFY));
}

// Defect 'p': proceeding dialogs of a dialog-info NOTIFY read as confirmed; other events and devices as sent.
TEST_F(RelayTest, DefectPTurnsProceedingDialogsIntoConfirmedOnes) {
  const std::string info =
      "<dialog-info><dialog id=\"1\"><state>proceeding</state></dialog>"
      "<dialog id=\"2\"><state>proceeding</state></dialog></dialog-info>\r\n";
  const std::string type = "Content-Type: application/dialog-info+xml\r\n";
  const struct {
    const char *event, *defects;
    std::string extra, body, want;
  } cases[] = {
      {"dialog", "p", type, info,
       "<dialog-info><dialog id=\"1\"><state>confirmed</state> </dialog>"
       "<dialog id=\"2\"><state>confirmed</state> </dialog></dialog-info>\r\n"},
      {"presence", "p", "", "<state>proceeding</state>", "<state>proceeding</state>"},
      {"dialog", " ", "", "<state>proceeding</state>", "<state>proceeding</state>"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    FromServer(Notify(c.event, c.extra, c.body), "S&p" + std::to_string(n++), c.defects);
    const std::string got = client_.Receive();
    EXPECT_EQ(BodyOf(got), c.want);
    EXPECT_THAT(Values(got, "Content-Length"), ElementsAre(std::to_string(c.want.size())));
  }
}

TEST_F(RelayTest, DefectSMakesAlertingAndPrivatelyHeldAppearancesActive) {
  FromServer(Notify("line-seize",
                    "Call-Info: <sip:a@example.com>;appearance-index=1;appearance-state=ALERTING\r\n"
                    "Call-Info: <sip:a@example.com>;appearance-index=2;appearance-state=held-private\r\n"
                    "Call-Info: <sip:a@example.com>;appearance-index=3;appearance-state=held\r\n"),
             "S&s1", "s");
  EXPECT_THAT(Values(client_.Receive(), "Call-Info"),
              ElementsAre("<sip:a@example.com>;appearance-index=1;appearance-state=active",
                          "<sip:a@example.com>;appearance-index=2;appearance-state=active",
                          "<sip:a@example.com>;appearance-index=3;appearance-state=held"));
}

// Defect 'n': a NOTIFY with an event is held back while the client's call of that Call-ID is not complete.
TEST_F(RelayTest, DefectNHoldsANotifyBackWhileTheCallIsNotComplete) {
  auto* call = new Dialog("C&shared-call@127.0.0.10");  // the client's call with that Call-ID
  opened_.push_back(call->Number());
  call->unlock();

  Dialog* held = FromServer(Notify("talk"), "S&n1", "n");
  EXPECT_TRUE(client_.Quiet());
  EXPECT_EQ(held->State(), DialogState::COMPLETE);
  EXPECT_FALSE(held->Lingers()) << "the intake destroys it; the server's retransmission is judged again";
  FromServer(Notify(""), "S&n2", "n");
  EXPECT_FALSE(client_.Receive().empty()) << "without an event it passes";

  {
    ObjectGuard<Dialog> g(call);
    call->State(DialogState::COMPLETE);
  }
  FromServer(Notify("talk"), "S&n3", "n");
  EXPECT_EQ(StartLine(client_.Receive()), "NOTIFY sip:alice@127.0.0.10:5062 SIP/2.0");
}

}  // namespace
}  // namespace relaytest
