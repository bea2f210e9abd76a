// A dialog's state names and their log lines, its one timer, and the fields a dialog opened by the server
// takes from the registration.
#include <gmock/gmock.h>

#include <optional>
#include <thread>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::HasSubstr;

struct NoTimer : TimerCB {
  void OnTimer(const void*) override {}
};

class DialogStateTest : public ::testing::Test {
 protected:
  DialogTable table_;
  PollReactor reactor_;
  NoTimer cb_;
};

// The letter of each full-mode reason (in their declared order), as the "FULL mode (%c)" line, the call
// events' FMode and the housekeeping summary show it.
TEST(FullModeReasonTest, EachReasonPrintsItsLetter) {
  const std::string letters = "-CDFT=?";
  for (size_t i = 0; i < letters.size(); ++i)
    EXPECT_EQ(FullModeLetter(static_cast<FullModeReason>(i)), letters[i]) << i;
}

// The states and events (in their declared order) as the log lines ("New State -  %s", "Transaction: %s -->
// %s", "Error: No Action (%s ==> %s)") and the status dump print them; an event other than PASS puts a call
// in the state of its own name.
TEST(DialogStateNames, StatesAndEventsAsTheLogsShowThem) {
  const char* const states[] = {
      "INIT",        "CLN_REGISTER_RECV", "INVITE_RECV", "OPTIONS_SENT", "OPTIONS_RECV",
      "INVITE_SENT", "X_INVITE_SENT",     "X_183_SENT",  "X_ACK_SENT",   "X_CLNMEDIA_RECV",
      "Z_OK_SENT",   "Z_ACK_RECV",        "Z_DONE",      "Z_INV_SENT",   "START_FULL_MODE",
      "CANCEL_RECV", "REFER_RECV",        "AUTH",        "MOVED",        "PASS",
      "COMPLETE"};
  for (size_t i = 0; i < std::size(states); ++i)
    EXPECT_STREQ(StateName(static_cast<DialogState>(i)), states[i]);
  EXPECT_STREQ(StateName(static_cast<DialogState>(99)), "<UNKNOWN>");

  const char* const events[] = {"PASS",       "CLN_REGISTER_RECV", "INVITE_RECV",     "CANCEL_RECV",
                                "REFER_RECV", "OPTIONS_RECV",      "X_CLNMEDIA_RECV", "START_FULL_MODE"};
  for (size_t i = 0; i < std::size(events); ++i) {
    const auto e = static_cast<DialogEvent>(i);
    EXPECT_STREQ(DialogEventName(e), events[i]);
    ASSERT_EQ(StateOnArrival(e).has_value(), i > 0) << events[i];
    if (i > 0) EXPECT_STREQ(StateName(*StateOnArrival(e)), events[i]);
  }
}

TEST_F(DialogStateTest, StateChangesAndTheirLogLines) {
  LogFile log;
  auto* d = new Dialog("state");
  d->State(DialogState::PASS);
  const time_t updated = d->LastUpdate();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  d->State(DialogState::PASS);
  EXPECT_EQ(d->LastUpdate(), updated) << "the state it already has changes nothing";
  d->State(DialogState::COMPLETE);
  EXPECT_GT(d->LastUpdate(), updated);
  d->unlock();
  table_.Destroy(d->Number());
  EXPECT_EQ(log.count("New State -  PASS\n"), 1u);
  EXPECT_EQ(log.count("New State -  COMPLETE\n"), 1u);
  EXPECT_THAT(log.text(), HasSubstr("[65537] "));
  EXPECT_THAT(log.text(), HasSubstr("End of Dialog  state ....\n"));
}

// A dialog has one timer: a new one cancels the old, whose callback is stale from then on.
TEST_F(DialogStateTest, TimersCancelTheirPredecessorsAndWrongKindsAreLogged) {
  LogFile log;
  auto* d = new Dialog("timers");
  d->ScheduleTimer(Dialog::T_COMPLETE, &cb_, 40000);
  const uint64_t first = d->TimerID();
  EXPECT_TRUE(d->TimerIsCurrent(Dialog::TimerCookie(d->Number(), 1)));
  d->ScheduleTimer(Dialog::T_AUTH, &cb_, 40000);
  EXPECT_NE(d->TimerID(), first);
  EXPECT_EQ(d->TimerType(), Dialog::T_AUTH);
  EXPECT_EQ(reactor_.CancelTimer(first), 0) << "the replaced timer is gone";
  EXPECT_FALSE(d->TimerIsCurrent(Dialog::TimerCookie(d->Number(), 1)));
  d->CancelTimer(Dialog::T_ANY);
  d->ScheduleTimer(Dialog::T_COMPLETE, &cb_, 40000);
  d->CancelTimer(Dialog::T_RETRANS);
  EXPECT_EQ(d->TimerType(), Dialog::T_NONE);
  EXPECT_EQ(d->TimerID(), PollReactor::kNoTimer);
  d->CancelTimer(Dialog::T_RETRANS);  // nothing pending: nothing logged
  d->unlock();
  table_.Destroy(d->Number());
  EXPECT_EQ(log.count("Error: Timer is set already - Cancel it\n"), 1u);
  EXPECT_EQ(log.count("Error: Canceling wrong timer 10 1\n"), 1u);
  EXPECT_EQ(log.count("Canceling wrong timer"), 1u) << "T_ANY never counts as wrong";
}

// A client dialog without defect letters asks the devices table; Print shows its message.
TEST_F(DialogStateTest, PrintShowsTheRequestLineOrTheResponsesCSeq) {
  auto* d = new Dialog(Parse(Message("OPTIONS", 3)), "print", Defects());
  EXPECT_EQ(d->DeviceDefects().Letters(), " ") << "a device of no known kind";
  EXPECT_EQ(d->Print(), "OPTIONS sip:bob@127.0.0.20:5060 SIP/2.0");
  d->SetMessage(
      Parse("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 1.2.3.4\r\nFrom: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\n"
            "Call-ID: p\r\nCSeq: 3 OPTIONS\r\n\r\n"));
  EXPECT_EQ(d->Print(), "3 OPTIONS");
  d->SetMessage(nullptr);
  EXPECT_EQ(d->Print(), "<Undefined>");
  d->unlock();
  table_.Destroy(d->Number());
}

// What a dialog the server opens makes of the registration: the client reached at its hole, its own Contact
// parsed, the Contact it registered with the domain in place of its address.
TEST_F(DialogStateTest, ADialogOpenedByTheServerStartsFromTheRegistration) {
  RegistrationValues reg;
  reg.new_contact = kNewContact;
  reg.old_contact = "sip:alice@192.168.1.5:5066;transport=udp";
  reg.domain = "example.com";
  reg.hole = InetAddress("203.0.113.5:40000");
  reg.rtp_ip = InetAddress("203.0.113.5:0").Ip();
  reg.indirect = true;
  reg.transcoding = true;
  reg.defects = Defects::FromLetters("sp");
  reg.log_level = LEVEL_TRACE;
  auto* d = new Dialog(Parse(Message("INFO", 1)), "S&reg", InetAddress(kServer), reg);
  EXPECT_EQ(d->CurrentDirection(), Dialog::FROM_SERVER);
  EXPECT_EQ(d->ClientSipAddress().Text(), "203.0.113.5:40000");
  EXPECT_EQ(d->ClientContactAddress().Text(), "192.168.1.5:5066");
  EXPECT_EQ(d->Transcoding(), -1);
  EXPECT_EQ(d->SRTP(), SrtpMode::OFF);
  SipUri u;
  d->OldContactUri(u);
  std::string text;
  EXPECT_EQ(u.Assemble(text), "sip:alice@example.com");
  d->unlock();
  table_.Destroy(d->Number());
}

TEST_F(DialogStateTest, CompletingADialogTwiceOrAfterAMoveDoesNothing) {
  auto* d = new Dialog("done");
  d->State(DialogState::MOVED);
  d->Complete(Dialog::E_NOP, "");
  EXPECT_EQ(d->State(), DialogState::MOVED);
  d->State(DialogState::PASS);
  d->Complete(Dialog::E_NOP, "");
  EXPECT_EQ(d->State(), DialogState::COMPLETE);
  EXPECT_EQ(d->TimerType(), Dialog::T_NONE) << "a plain dialog is removed by the intake, not by a timer";
  d->unlock();
  table_.Destroy(d->Number());
}

}  // namespace
}  // namespace relaytest
