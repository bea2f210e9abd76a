// Registration records and the cache, as the client and the server see their effects.
#include "dialogs/registration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "config/config.h"
#include "dialogs/dialog.h"
#include "foundation/reactor.h"
#include "sip/headers/route.h"
#include "sip/message.h"

namespace {

const char kNcnt[] = "sip:alice*example.com-10.0.0.5+5062@127.0.0.1:5064";

class Registrations : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(g_config.server_ipaddr, "127.0.0.1");
    std::strcpy(g_config.myipaddr, "127.0.0.1");
    g_config.second_port = 5061;
    g_config.register_timeout = 1;
    Registration::hooks = {};
    Registration::hooks.send_to_server = [this](SipMessage& msg, const InetAddress& to) {
      sent.push_back(msg.Assemble(true));
      sent_to = to;
    };
  }
  void TearDown() override {
    Registration::Destroy(kNcnt);
    Registration::hooks = {};
  }
  // A record as a 200 leaves it: registration time reg_tm, lifetime life.
  void Make(int reg_tm, int life, bool xunreg = false) {
    auto* r = new Registration(kNcnt, "sip:alice@10.0.0.5:5062", "call-1", "alice", "example.com");
    ASSERT_TRUE(r->Entered());
    r->Param(InetAddress("10.0.0.5:5062"), "alice@example.com", Config::UnlistedDevice(), 0, life, reg_tm, 0,
             false, false, false, false, false, false, false);
    if (xunreg) r->SetUnregisterTarget(InetAddress("127.0.0.9:5060"), "srvtag");
    r->unlock();
  }
  static SipMessage Refresh(const std::string& callid = "call-1") {
    SipMessage msg;
    EXPECT_TRUE(
        msg.Parse("REGISTER sip:example.com SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK-9\r\n"
                  "From: <sip:alice@example.com>;tag=a\r\nTo: <sip:alice@example.com>\r\nCall-ID: " +
                  callid +
                  "\r\nCSeq: 2 REGISTER\r\nContact: <sip:alice@10.0.0.5:5062>;expires=30\r\n"
                  "Route: <sip:127.0.0.1;lr>\r\nContent-Length: 0\r\n\r\n"));
    return msg;
  }
  // A record whose expiry timer runs out in 2 s (twice the registration timeout).
  void Expiring() {
    Make(1, 3600, true);
    Registration::GetRegister(kNcnt)->ScheduleRegistrationTimer(1);
  }
  // Turns the reactor for ms, or until the record is gone.
  void RunFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Registration::HasRegister(kNcnt) && std::chrono::steady_clock::now() < end) {
      reactor_.SetTimer(&noop_, 10, nullptr);
      reactor_.RunOnce(true);
    }
  }
  struct Noop : TimerCB {
    void OnTimer(const void*) override {}
  } noop_;
  PollReactor reactor_;
  std::vector<std::string> sent;
  InetAddress sent_to;
};

TEST_F(Registrations, ARecordIsEnteredOnceUnderItsNewContact) {
  Make(60, 3600);
  auto* dup = new Registration(kNcnt, "x", "c", "u", "d");
  EXPECT_FALSE(dup->Entered());
  delete dup;
  EXPECT_TRUE(Registration::HasRegister(kNcnt));
  EXPECT_TRUE(Registration::GetRegister("call-1", "example.com", "alice"));
  Registration::Destroy(kNcnt);
  EXPECT_FALSE(Registration::HasRegister(kNcnt));
  EXPECT_FALSE(Registration::GetRegister("call-1", "example.com", "alice"));
}

TEST_F(Registrations, CacheAnswersAFrequentRefreshItself) {
  Make(60, 3600);
  SipMessage msg = Refresh();
  int level = 0;
  ASSERT_TRUE(Registration::IsHitCache(msg, kNcnt, "alice@example.com", level));
  const std::string answer = msg.Assemble(true);
  EXPECT_EQ(answer.rfind("SIP/2.0 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("Expires: 60\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Server: Ostrel/25.07.10\r\n"), std::string::npos);
  EXPECT_EQ(answer.find("Route:"), std::string::npos);
  EXPECT_EQ(answer.find("expires=30"), std::string::npos) << "Contact parameters are removed";
  EXPECT_NE(answer.find("To: <sip:alice@example.com>;tag=" + std::to_string(time(nullptr)).substr(0, 5)),
            std::string::npos)
      << answer;
}

TEST_F(Registrations, CacheMissesGoToTheServer) {
  Make(60, 3600);
  int level = 0;
  SipMessage other_call = Refresh("call-2");
  EXPECT_FALSE(Registration::IsHitCache(other_call, kNcnt, "alice@example.com", level)) << "another Call-ID";
  SipMessage other_user = Refresh();
  EXPECT_FALSE(Registration::IsHitCache(other_user, kNcnt, "mallory@example.com", level))
      << "another From user";
  SipMessage unknown = Refresh();
  EXPECT_FALSE(Registration::IsHitCache(unknown, "sip:nobody@127.0.0.1:5064", "alice@example.com", level));
  Registration::Destroy(kNcnt);
  Make(60, 100);  // less than twice the registration time left
  SipMessage late = Refresh();
  EXPECT_FALSE(Registration::IsHitCache(late, kNcnt, "alice@example.com", level));
}

TEST_F(Registrations, ExpiryUnregistersAtTheServerWithTheTimeLeft) {
  Expiring();
  RunFor(4000);
  EXPECT_FALSE(Registration::HasRegister(kNcnt));
  ASSERT_EQ(sent.size(), 1u);
  const std::string& req = sent[0];
  EXPECT_EQ(req.rfind("REGISTER sip:example.com SIP/2.0\r\n", 0), 0u) << req;
  EXPECT_NE(req.find(";branch=z9hG4bK-reg-ostrel-"), std::string::npos);
  EXPECT_NE(req.find("Via: SIP/2.0/UDP 127.0.0.1:5064;"), std::string::npos) << req;
  EXPECT_NE(req.find("To: <sip:alice@example.com>;tag=srvtag"), std::string::npos) << req;
  EXPECT_NE(req.find("Expires: 0\r\n"), std::string::npos);
  EXPECT_NE(req.find("X-TimeLeft: 35"), std::string::npos) << req;
  EXPECT_NE(req.find("Contact: <" + std::string(kNcnt) + ">"), std::string::npos) << req;
  EXPECT_EQ(sent_to.Text(), "127.0.0.9:5060");
}

// A timer replaced by a cache hit (the client was just told 200) and a slave's timer leave the record alone.
TEST_F(Registrations, AStaleTimerOrASlavesTimerDoesNotUnregister) {
  for (const bool slave : {false, true}) {
    SCOPED_TRACE(slave);
    Registration::hooks.is_slave = [slave] { return slave; };
    Expiring();
    int level = 0;
    SipMessage msg = Refresh();
    if (!slave) {
      ASSERT_TRUE(Registration::IsHitCache(msg, kNcnt, "alice@example.com", level));
    }
    RunFor(2500);
    EXPECT_TRUE(Registration::HasRegister(kNcnt));
    EXPECT_TRUE(sent.empty());
    Registration::Destroy(kNcnt);
  }
}

TEST_F(Registrations, CleanUpShortensEveryRecord) {
  Make(60, 3600);
  Registration::CleanUp();
  ObjectGuard<Registration> r = Registration::GetRegister(kNcnt);
  EXPECT_LE(r->Expiration(), time(nullptr) + 119);
}

// A dialog the server opens toward the client starts from the record's values: each flag the client's 200
// left in the record reaches its own field and no other (the full domain's flag anchors the server's calls).
TEST_F(Registrations, ValuesCarryEachFlagOfTheRecordInItsOwnField) {
  // in the order of Param's flags
  const struct {
    const char* name;
    bool RegistrationValues::*field;
  } fields[] = {{"full domain", &RegistrationValues::full_domain},
                {"public ip", &RegistrationValues::public_ip},
                {"indirect", &RegistrationValues::indirect},
                {"chained", &RegistrationValues::chained},
                {"srtp", &RegistrationValues::srtp},
                {"persistent", &RegistrationValues::persistent},
                {"transcoding", &RegistrationValues::transcoding}};
  constexpr size_t kCount = sizeof fields / sizeof fields[0];
  for (size_t set = 0; set < kCount; ++set) {
    SCOPED_TRACE(fields[set].name);
    bool f[kCount] = {};
    f[set] = true;
    auto* r = new Registration(kNcnt, "sip:alice@10.0.0.5:5062", "call-1", "alice", "example.com");
    ASSERT_TRUE(r->Entered());
    r->Param(InetAddress("10.0.0.5:5062"), "alice@example.com", Config::UnlistedDevice(), 0, 3600, 60, 0,
             f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
    const RegistrationValues v = r->Values();
    r->unlock();
    Registration::Destroy(kNcnt);
    for (size_t i = 0; i < kCount; ++i) EXPECT_EQ(v.*fields[i].field, i == set) << fields[i].name;
  }
}

}  // namespace
