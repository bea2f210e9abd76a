// A REGISTER relayed by its registration dialog: what the server is asked for, what the client is told,
// and the record the server's answer leaves behind.
#include "dialogs/reg_dialog.h"

#include <gmock/gmock.h>

#include <thread>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kOwnContact = "sip:alice@192.168.1.20:5062";
// The relay's Contact for the client: its user, the domain (the server's literal address), its address.
constexpr const char* kRegContact = "sip:alice*127.0.0.20-127.0.0.10+5062@127.0.0.2:5073";

// A REGISTER of the client for alice at the server's literal address.
std::string Register(int cseq, const std::string& contact_params = "", const std::string& extra = "",
                     const std::string& callid = "reg-1",
                     const std::string& contact = "<sip:alice@192.168.1.20:5062>") {
  std::string text = Sub(Message("REGISTER", cseq, extra), "sip:bob@127.0.0.20:5060", "sip:127.0.0.20:5060");
  text = Sub(Sub(text, "z9hG4bK-c1", "z9hG4bK-r" + std::to_string(cseq)), "call-REGISTER@127.0.0.10", callid);
  text = Sub(Sub(text, "<sip:alice@example.com>", "<sip:alice@127.0.0.20>"), "<sip:bob@example.com>",
             "<sip:alice@127.0.0.20>");
  return Sub(text, "<sip:alice@127.0.0.10:5062>", contact + contact_params);
}

class RegDialogTest : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    g_config.rgstr_limit = 60;
    g_config.rgstr_force = 3600;
    g_config.register_timeout = 60;
    g_config.hole_attach = false;
    RegisterDialog::events = {};
    Registration::hooks = {};
  }
  void TearDown() override {
    Registration::Destroy(kRegContact);
    RegisterDialog::events = {};
    RelayTest::TearDown();
  }

  // The worker's steps for a REGISTER that opens a dialog; the dialog comes back unlocked (null: given up).
  RegisterDialog* Registering(const std::string& text, bool xunr = false) {
    return Open(new RegisterDialog(Parse(text), "C&reg" + std::to_string(++keys_), "",
                                   Config::UnlistedDevice(), xunr),
                DialogEvent::CLN_REGISTER_RECV, checked(), kOwnContact, kRegContact);
  }

  // The server's 200 for the REGISTER it received, with its Contact carrying the granted expiry.
  std::unique_ptr<SipMessage> Ok(const std::string& received,
                                 const std::string& contact_line = std::string("<") + kRegContact +
                                                                   ">;expires=3600",
                                 std::vector<std::string> extra = {}) {
    extra.push_back("To: <sip:alice@127.0.0.20>;tag=srv9");
    auto m = Answer(received, 200, "OK", extra);
    if (!contact_line.empty()) m->Set(HeaderIds::HID_CONTACT, contact_line);
    return m;
  }

  // First registration, answered 200 with expires=3600; returns what the client received.
  std::string RegisterOnce(RegisterDialog*& d, std::vector<std::string> extra = {}, bool xunr = false) {
    d = Registering(Register(1, "", "Expires: 3600\r\n"), xunr);
    EXPECT_NE(d, nullptr);
    Server(d, Ok(server_.Receive(), std::string("<") + kRegContact + ">;expires=3600", std::move(extra)));
    return client_.Receive();
  }

  int keys_ = 0;
};

// What the server is asked for; a "*" Contact without Expires 0 is refused to the client.
TEST_F(RegDialogTest, TheServerIsAskedForTheRegulatedExpiry) {
  const std::string mine = "<sip:alice@192.168.1.20:5062>";
  const struct {
    std::string contact;
    const char *params, *extra, *server_sees;  // null: refused
  } cases[] = {
      {mine, "", "Expires: 30\r\n", "3600"},              // below rgstr_limit: forced
      {mine, "", "Expires: 120\r\n", "120"},              // at or above the limit: as asked
      {mine, ";expires=30", "Expires: 600\r\n", "3600"},  // the Contact's parameter wins over the header
      {mine, "", "", "3600"},                             // none: the default hour
      {mine, ";expires=0", "", "0"},                      // removal: never forced
      {mine, "", "Expires: 0\r\n", "0"},
      {"*", "", "Expires: 0\r\n", "0"},
      {"*", "", "Expires: 60\r\n", nullptr},
      {"*", "", "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contact + c.params + c.extra);
    RegisterDialog* d = Registering(Register(1, c.params, c.extra, "reg-1", c.contact));
    ASSERT_NE(d, nullptr);
    if (!c.server_sees) {
      EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 400 Expires is not 0");
      EXPECT_TRUE(server_.Quiet());
      EXPECT_EQ(d->State(), DialogState::COMPLETE);
    } else {
      std::string got = server_.Receive();
      EXPECT_THAT(Values(got, "Expires"), ElementsAre(c.server_sees));
      EXPECT_THAT(Values(got, "Contact"),
                  ElementsAre(c.contact == "*" ? "*" : std::string("<") + kRegContact + ">"));
      EXPECT_EQ(Values(got, "Via").at(0).rfind("SIP/2.0/UDP 127.0.0.2:5073;branch=z9hG4bK-ostrel-", 0), 0u);
      EXPECT_EQ(d->IsUnregister(), std::string(c.server_sees) == "0");
    }
    Close(d);
  }
}

TEST_F(RegDialogTest, TheFirst200KeepsARecordAndGivesTheClientItsOwnContactAndInterval) {
  RegisterDialog* d = nullptr;
  const time_t before = time(nullptr);
  std::string answer = RegisterOnce(d);
  EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
  EXPECT_THAT(Values(answer, "Contact"), ElementsAre(std::string("<") + kOwnContact + ">"));
  EXPECT_THAT(Values(answer, "Expires"), ElementsAre("60"))
      << "the client refreshes every registration interval";
  EXPECT_EQ(d->State(), DialogState::COMPLETE);

  ObjectGuard<Registration> reg = Registration::GetRegister(kRegContact);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->OldContact(), kOwnContact);
  EXPECT_EQ(reg->CallID(), "reg-1");
  EXPECT_EQ(reg->User(), "alice");
  EXPECT_EQ(reg->Hole(), InetAddress(kClient));
  EXPECT_EQ(reg->RegistrationTime(), 60);
  // 3600 less a jitter below 600, plus one registration interval.
  EXPECT_GE(reg->Expiration(), before + 3600 - 600 + 60);
  EXPECT_LE(reg->Expiration(), time(nullptr) + 3600 + 60);
  EXPECT_FALSE(reg->ExtraUnregister());
}

// A removal reaches the server and its 200 ends the record; so does a 200 to a refresh that lacks our
// Contact.
TEST_F(RegDialogTest, RemovalsReachTheServerAndEndTheRecord) {
  const std::string ours0 = std::string("<") + kRegContact + ">;expires=0";
  const struct {
    const char *params, *extra, *contact;
    std::string server_contact;  // registrars answer a removal with the remaining bindings (ours, at 0)
    const char* server_sees;
  } cases[] = {
      {";expires=0", "", "<sip:alice@192.168.1.20:5062>", ours0, "0"},
      {"", "Expires: 0\r\n", "<sip:alice@192.168.1.20:5062>", ours0, "0"},
      {"", "Expires: 0\r\n", "*", ours0, "0"},
      {"", "Expires: 3600\r\n", "<sip:alice@192.168.1.20:5062>", "<sip:someone@127.0.0.99:5060>;expires=100",
       "3600"},
  };
  for (const auto& r : cases) {
    SCOPED_TRACE(std::string(r.params) + r.extra + r.contact + r.server_contact);
    RegisterDialog* d = nullptr;
    RegisterOnce(d);
    ASSERT_TRUE(Registration::HasRegister(kRegContact));
    RegisterDialog* u = Registering(Register(2, r.params, r.extra, "reg-1", r.contact));
    ASSERT_NE(u, nullptr);
    std::string got = server_.Receive();
    EXPECT_THAT(Values(got, "Expires"), ElementsAre(r.server_sees));
    Server(u, Ok(got, r.server_contact));
    std::string answer = client_.Receive();
    EXPECT_EQ(StartLine(answer), "SIP/2.0 200 OK");
    if (std::string(r.server_sees) == "0") {
      EXPECT_THAT(Values(answer, "Contact"), IsEmpty());
      EXPECT_THAT(Values(answer, "Expires"), ElementsAre("0"));
    }
    EXPECT_FALSE(Registration::HasRegister(kRegContact));
    for (unsigned no : opened_) table_.Destroy(no);
    opened_.clear();
  }
}

TEST_F(RegDialogTest, InternalUnregistrationWantedKeepsTheServerTagAndShowsTheClientItsOwn) {
  RegisterDialog* d = nullptr;
  std::string answer = RegisterOnce(d, {}, true);
  ObjectGuard<Registration> reg = Registration::GetRegister(kRegContact);
  ASSERT_TRUE(reg);
  EXPECT_TRUE(reg->ExtraUnregister());
  EXPECT_EQ(reg->ToTag(), "srv9");
  EXPECT_EQ(reg->ServerSipAddress(), InetAddress(kServer));
  EXPECT_THAT(Values(answer, "To"),
              ElementsAre("<sip:alice@127.0.0.20>;tag=regs-" + std::to_string(reg->Number())));
}

TEST_F(RegDialogTest, ServerForcedRelayMarksTheRecordUntilAnAnswerWithoutIt) {
  RegisterDialog* d = nullptr;
  std::string answer = RegisterOnce(d, {"X-RtpRelay: LB"});
  EXPECT_EQ(answer.find("X-RtpRelay"), std::string::npos);
  {
    ObjectGuard<Registration> reg = Registration::GetRegister(kRegContact);
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->Mode(), NatType::PRXFRCD | NatType::LB | NatType::OPAQUE);
  }
  RegisterDialog* e = Registering(Register(2, "", "Expires: 3600\r\n"));
  ASSERT_NE(e, nullptr);
  Server(e, Ok(server_.Receive()));
  client_.Receive();
  ObjectGuard<Registration> reg = Registration::GetRegister(kRegContact);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->Mode(), NatType::UNKNOWN);
}

TEST_F(RegDialogTest, TheClientsFirewallTypeFromItsUserAgentIsKept) {
  RegisterDialog* d =
      Registering(Register(1, "", "Expires: 3600\r\nUser-Agent: Phone/1.0 fwtype=symmetric build\r\n"));
  ASSERT_NE(d, nullptr);
  Server(d, Ok(server_.Receive()));
  ObjectGuard<Registration> reg = Registration::GetRegister(kRegContact);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->Mode(), NatType::OPAQUE);
  EXPECT_EQ(d->UAgent(), "Phone/1.0 fwtype=symmetric build");
}

TEST_F(RegDialogTest, HoleAttachTellsTheServerWhereTheClientIsReached) {
  g_config.hole_attach = true;
  RegisterDialog* d = Registering(Register(1, "", "Expires: 3600\r\n"));
  ASSERT_NE(d, nullptr);
  EXPECT_THAT(Values(server_.Receive(), "X-Hole"), ElementsAre("127.0.0.10:5062,192.168.1.20:5062"));
}

TEST_F(RegDialogTest, RetransmissionsAreRelayedAndGiveTheDialogUpSooner) {
  RegisterDialog* d = Registering(Register(1, "", "Expires: 3600\r\n"));
  ASSERT_NE(d, nullptr);
  const std::string first = server_.Receive();
  const int expected[] = {0, 0, 9, 7, 5, 3, 3};
  for (int seconds : expected) {
    Client(d, Parse(Register(1, "", "Expires: 3600\r\n")));
    EXPECT_EQ(Values(server_.Receive(), "Via").at(0), Values(first, "Via").at(0));
    EXPECT_EQ(d->TimerType(), seconds ? Dialog::T_COMPLETE : Dialog::T_NONE) << seconds;
  }
  LogFile log;
  Client(d, Parse(Register(1, "", "Expires: 3600\r\n")));
  EXPECT_EQ(log.count("Set timer 'COMPLETE' to 3 sec."), 1u);
}

TEST_F(RegDialogTest, ARequestFromTheServerInARegistrationDialogIsDropped) {
  RegisterDialog* d = Registering(Register(1, "", "Expires: 3600\r\n"));
  ASSERT_NE(d, nullptr);
  server_.Receive();
  LogFile log;
  Server(d, Parse(Message("NOTIFY", 5)));
  EXPECT_TRUE(client_.Quiet());
  EXPECT_EQ(log.count("Error: RegDialog_t::HandleSrvMsg() Unexpected message"), 1u);
  EXPECT_EQ(d->State(), DialogState::CLN_REGISTER_RECV);
}

TEST_F(RegDialogTest, ANewCallIdMovesTheRecordsSecondKey) {
  RegisterDialog* d = nullptr;
  RegisterOnce(d);
  RegisterDialog* e = Registering(Register(1, "", "Expires: 3600\r\n", "reg-2"));
  ASSERT_NE(e, nullptr);
  Server(e, Ok(server_.Receive()));
  client_.Receive();
  EXPECT_FALSE(Registration::GetRegister("reg-1", "127.0.0.20", "alice"));
  ObjectGuard<Registration> reg = Registration::GetRegister("reg-2", "127.0.0.20", "alice");
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->NewContact(), kRegContact);
}

// Answers for the same client handled on several workers at once: one record comes out of them, every
// answer reaches the client, and the losers of the race use the winner's record.
TEST_F(RegDialogTest, ConcurrentAnswersForOneClientLeaveOneRecord) {
  constexpr int kWorkers = 6;
  std::vector<RegisterDialog*> dialogs;
  std::vector<std::unique_ptr<SipMessage>> answers;
  for (int i = 0; i < kWorkers; ++i) {
    RegisterDialog* d = Registering(Register(1, "", "Expires: 3600\r\n", "race-" + std::to_string(i)));
    ASSERT_NE(d, nullptr);
    dialogs.push_back(d);
    answers.push_back(Ok(server_.Receive()));
  }
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i)
    workers.emplace_back([&, i] { Server(dialogs[i], std::move(answers[i])); });
  for (auto& w : workers) w.join();
  for (int i = 0; i < kWorkers; ++i) EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 200 OK") << i;
  EXPECT_EQ(Registration::Count(), 1u);
  ObjectGuard<Registration> reg = Registration::GetRegister(kRegContact);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->CallID().rfind("race-", 0), 0u);
}

TEST_F(RegDialogTest, TheStatusDumpListsEveryRecordWithItsOwnContactAndType) {
  RegisterDialog* d = nullptr;
  RegisterOnce(d, {"X-RtpRelay: true"});
  LogFile log;
  Registration::LogActive();
  const std::string text = log.text();
  EXPECT_NE(text.find("\n========================= Active Registrations =========================\n"),
            std::string::npos);
  EXPECT_NE(text.find(std::string(kRegContact) + "  ==> " + kOwnContact + "\t(" +
                      NatType::Name(NatType::OPAQUE) + ")\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Total: 1\n"), std::string::npos);
}

}  // namespace
}  // namespace relaytest
