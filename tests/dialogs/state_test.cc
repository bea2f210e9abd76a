// A dialog's state names and their log lines, its one timer, and the fields a dialog opened by the server
// takes from the registration.
#include <gmock/gmock.h>

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

// The letter of each full-mode reason, as the "FULL mode (%c)" line, the call events' FMode and the
// housekeeping summary show it.
TEST(FullModeReasonTest, EachReasonPrintsItsLetter) {
  const struct {
    FullModeReason reason;
    char letter;
  } table[] = {
      {FullModeReason::NONE, '-'},          {FullModeReason::CONFIGURED, 'C'},
      {FullModeReason::DETECTED, 'D'},      {FullModeReason::FAX, 'F'},
      {FullModeReason::PROBE_TIMEOUT, 'T'}, {FullModeReason::SAME_FIREWALL, '='},
      {FullModeReason::ANCHORED_AFTER_SAME_FIREWALL, '?'},
  };
  for (const auto& row : table) EXPECT_EQ(FullModeLetter(row.reason), row.letter);
}

TEST_F(DialogStateTest, StateNamesAndTheirLogLines) {
  EXPECT_STREQ(Dialog::StateName(Dialog::BLANK), "INIT");
  EXPECT_STREQ(Dialog::StateName(Dialog::Z_INV_SENT), "Z_INV_SENT");
  EXPECT_STREQ(Dialog::StateName(Dialog::COMPLETE), "COMPLETE");
  EXPECT_STREQ(Dialog::StateName(Dialog::LAST), "<UNKNOWN>");
  EXPECT_STREQ(Dialog::StateName(99), "<UNKNOWN>");

  LogFile log;
  auto* d = new Dialog("state");
  d->State(Dialog::PASS);
  const time_t updated = d->LastUpdate();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  d->State(Dialog::PASS);
  EXPECT_EQ(d->LastUpdate(), updated) << "the state it already has changes nothing";
  d->State(Dialog::COMPLETE);
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
  d->SetMessage(Parse("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 1.2.3.4\r\nFrom: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\n"
                   "Call-ID: p\r\nCSeq: 3 OPTIONS\r\n\r\n"));
  EXPECT_EQ(d->Print(), "3 OPTIONS");
  d->SetMessage(nullptr);
  EXPECT_EQ(d->Print(), "<Undefined>");
  d->unlock();
  table_.Destroy(d->Number());
}

TEST_F(DialogStateTest, ADialogOpenedByTheServerStartsFromTheRegistration) {
  RegistrationValues reg;
  reg.new_contact = kNewContact;
  reg.old_contact = "sip:alice@192.168.1.5:5066;transport=udp";
  reg.domain = "example.com";
  reg.hole = InetAddress("203.0.113.5:40000");
  reg.rtp_ip = InetAddress("203.0.113.5:0").IpAddr();
  reg.indirect = true;
  reg.transcoding = true;
  reg.defects = Defects::FromLetters("sp");
  reg.log_level = LEVEL_TRACE;
  auto* d = new Dialog(Parse(Message("INFO", 1)), "S&reg", InetAddress(kServer), reg);
  EXPECT_EQ(d->CurrentDirection(), Dialog::FROM_SERVER);
  EXPECT_EQ(d->State(), Dialog::BLANK);
  EXPECT_EQ(d->ServerSipAddress().Str(), kServer);
  EXPECT_EQ(d->ClientSipAddress().Str(), "203.0.113.5:40000");
  EXPECT_EQ(d->ClientContactAddress().Str(), "192.168.1.5:5066");
  EXPECT_EQ(d->Transcoding(), -1);
  EXPECT_EQ(d->SRTP(), SrtpMode::OFF);
  EXPECT_TRUE(d->Indirect());
  EXPECT_TRUE(d->HasDefect(Defect::PROCEEDING_AS_CONFIRMED));
  EXPECT_FALSE(d->HasDefect(Defect::HOLD_NOTIFY_DURING_CALL_SETUP));
  EXPECT_EQ(d->FullReason(), FullModeReason::NONE);
  EXPECT_EQ(d->TimerType(), Dialog::T_NONE);
  SipUri u;
  d->OldContactUri(u);
  std::string text;
  EXPECT_EQ(u.Assemble(text), "sip:alice@example.com");
  d->unlock();
  table_.Destroy(d->Number());
}

TEST_F(DialogStateTest, CompletingADialogTwiceOrAfterAMoveDoesNothing) {
  auto* d = new Dialog("done");
  d->State(Dialog::MOVED);
  d->Complete(Dialog::E_NOP, "");
  EXPECT_EQ(d->State(), Dialog::MOVED);
  d->State(Dialog::PASS);
  d->Complete(Dialog::E_NOP, "");
  EXPECT_EQ(d->State(), Dialog::COMPLETE);
  EXPECT_EQ(d->TimerType(), Dialog::T_NONE) << "a plain dialog is removed by the intake, not by a timer";
  d->unlock();
  table_.Destroy(d->Number());
}

}  // namespace
}  // namespace relaytest
