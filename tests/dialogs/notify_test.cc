// The device workarounds on NOTIFYs from the server, as the client receives them.
#include <gmock/gmock.h>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;

std::string Notify(const std::string& event, const std::string& extra = "", const std::string& body = "") {
  std::string m = "NOTIFY sip:alice*example.com-127.0.0.10+5062@127.0.0.2:5073 SIP/2.0\r\n"
                  "Via: SIP/2.0/UDP 127.0.0.20:5060;branch=z9hG4bK-n1\r\n"
                  "Max-Forwards: 70\r\n"
                  "From: <sip:bob@example.com>;tag=sb\r\n"
                  "To: <sip:alice@example.com>;tag=fa\r\n"
                  "Call-ID: shared-call@127.0.0.10\r\n"
                  "CSeq: 4 NOTIFY\r\n";
  if (!event.empty()) m += "Event: " + event + "\r\n";
  m += extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return m;
}

TEST_F(RelayTest, DefectPTurnsProceedingDialogsIntoConfirmedOnes) {
  const std::string body = "<dialog-info><dialog id=\"1\"><state>proceeding</state></dialog>"
                           "<dialog id=\"2\"><state>proceeding</state></dialog></dialog-info>\r\n";
  FromServer(Notify("dialog", "Content-Type: application/dialog-info+xml\r\n", body), "S&p1", "p");
  std::string got = client_.receive();
  std::string want = "<dialog-info><dialog id=\"1\"><state>confirmed</state> </dialog>"
                     "<dialog id=\"2\"><state>confirmed</state> </dialog></dialog-info>\r\n";
  EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), want);
  EXPECT_THAT(Values(got, "Content-Length"), ElementsAre(std::to_string(want.size())));
}

TEST_F(RelayTest, DefectPLeavesOtherEventsAndOtherDevicesAlone) {
  const std::string body = "<state>proceeding</state>";
  FromServer(Notify("presence", "", body), "S&p2", "p");
  FromServer(Notify("dialog", "", body), "S&p3", " ");
  for (int i = 0; i < 2; ++i) {
    std::string got = client_.receive();
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), body);
  }
}

TEST_F(RelayTest, DefectSMakesAlertingAndPrivatelyHeldAppearancesActive) {
  FromServer(Notify("line-seize",
                    "Call-Info: <sip:a@example.com>;appearance-index=1;appearance-state=ALERTING\r\n"
                    "Call-Info: <sip:a@example.com>;appearance-index=2;appearance-state=held-private\r\n"
                    "Call-Info: <sip:a@example.com>;appearance-index=3;appearance-state=held\r\n"),
             "S&s1", "s");
  EXPECT_THAT(Values(client_.receive(), "Call-Info"),
              ElementsAre("<sip:a@example.com>;appearance-index=1;appearance-state=active",
                          "<sip:a@example.com>;appearance-index=2;appearance-state=active",
                          "<sip:a@example.com>;appearance-index=3;appearance-state=held"));
}

TEST_F(RelayTest, DefectNHoldsANotifyBackWhileTheCallIsNotComplete) {
  auto* call = new Dialog("C&shared-call@127.0.0.10");  // the client's call with that Call-ID
  opened_.push_back(call->Number());
  call->unlock();

  Dialog* held = FromServer(Notify("talk"), "S&n1", "n");
  EXPECT_TRUE(client_.quiet());
  EXPECT_EQ(held->State(), Dialog::COMPLETE);
  EXPECT_FALSE(held->Lingers()) << "the intake destroys it; the server's retransmission is judged again";

  {
    ObjectGuard<Dialog> g(call);
    call->State(Dialog::COMPLETE);
  }
  FromServer(Notify("talk"), "S&n2", "n");
  EXPECT_EQ(StartLine(client_.receive()), "NOTIFY sip:alice@127.0.0.10:5062 SIP/2.0");
}

TEST_F(RelayTest, DefectNNeedsAnEvent) {
  auto* call = new Dialog("C&shared-call@127.0.0.10");
  opened_.push_back(call->Number());
  call->unlock();
  FromServer(Notify(""), "S&n3", "n");
  EXPECT_FALSE(client_.receive().empty());
}

TEST_F(RelayTest, RelayedRequestsAreCountedByMethodAndResponsesAreNot) {
  std::vector<SipMessage::RequestMethod> counted;
  Dialog::Hooks().CountMethod = [&](SipMessage::RequestMethod m) { counted.push_back(m); };
  Dialog* d = FromServer(Notify("presence"), "S&c1");
  Client(d, Answer(client_.receive(), 200, "OK", true));
  EXPECT_THAT(counted, ElementsAre(SipMessage::NOTIFY));
}

}  // namespace
}  // namespace relaytest
