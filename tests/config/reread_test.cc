// Re-reading a running configuration: what changes, what waits for a restart, and that a broken file
// leaves the policy in force untouched.
#include "config_fixture.h"
#include "foundation/reactor.h"

namespace {

TEST_F(ConfigTest, UnchangedFileIsNotReadAgain) {
  ASSERT_EQ(Read({"quiet_mode = yes"}), 1);
  WriteConfigKeepingTime({"quiet_mode = no"});
  ClearLog();
  EXPECT_EQ(cfg_->Reread(), 1);
  EXPECT_TRUE(cfg_->quiet_mode);
  EXPECT_EQ(LogText(), "");
}

TEST_F(ConfigTest, FirstReadOnlyKeywordsAreSkippedSilentlyOnReread) {
  ASSERT_EQ(Read({"ipaddr = 127.0.0.1", "port = 5070", "agent_name = One", "quiet_mode = no"}), 1);
  ClearLog();
  ASSERT_EQ(
      Read({"ipaddr = 127.0.0.2", "port = 5080", "agent_name = Two", "quiet_mode = yes", "range = 1 2"}), 1);
  EXPECT_STREQ(cfg_->myipaddr, "127.0.0.1");
  EXPECT_EQ(cfg_->main_port, 5070);
  EXPECT_EQ(cfg_->agent_name, "One/25.07.10");
  EXPECT_TRUE(cfg_->quiet_mode);
  std::string log = LogText();
  EXPECT_NE(log.find("Rereading config file ...\n"), std::string::npos);
  EXPECT_EQ(log.find("Error"), std::string::npos) << log;
}

TEST_F(ConfigTest, RereadRebuildsTheLists) {
  ASSERT_EQ(Read({"domain = a.example", "trusted = 10.0.0.1", "subnet = 10.0.0.0/8 60", "fuser = bob block",
                  "broken = Z Old", "rsvp = 1.1.1.1 2.2.2.2 5062", "transcoding = g729/60 g729/20",
                  "subscribe_event = presence", "server = a.example 1 10.0.0.9", "dos_whitelist = 10.0.0.0/8",
                  "restrict_forward = sip:a", "stat_log = " + dir_ + "/stat.log"}),
            1);
  EXPECT_EQ(cfg_->stat_log, dir_ + "/stat.log");
  ASSERT_EQ(Read({"domain = b.example", "trusted = 10.0.0.2"}), 1);
  ASSERT_EQ(cfg_->domains.size(), 1u);
  EXPECT_EQ(cfg_->domains[0].host, "b.example");
  EXPECT_FALSE(cfg_->IsTrusted(Ip("10.0.0.1")));
  EXPECT_TRUE(cfg_->IsTrusted(Ip("10.0.0.2")));
  EXPECT_TRUE(cfg_->subnets.empty());
  EXPECT_TRUE(cfg_->full_users.empty());
  EXPECT_TRUE(cfg_->broken.empty());
  EXPECT_TRUE(cfg_->rsvps.empty());
  EXPECT_TRUE(cfg_->transcoding_rules.empty());
  EXPECT_EQ(cfg_->CheckEvent("presence"), 1) << "no event listed: all pass";
  EXPECT_TRUE(cfg_->servers.empty());
  EXPECT_FALSE(cfg_->IsDosWLists(Ip("10.1.1.1")));
  EXPECT_EQ(cfg_->restrict_forward, "");
  EXPECT_EQ(cfg_->stat_log, "") << "the statistics log switches off when its line goes";
}

TEST_F(ConfigTest, BareSdpListsStayUntilAnotherBareSdpLine) {
  ASSERT_EQ(Read({"bare_sdp = pcmu ptime"}), 1);
  ASSERT_EQ(Read({"quiet_mode = yes"}), 1);
  EXPECT_EQ(cfg_->bare_codecs.count("pcmu"), 1u);
  ASSERT_EQ(Read({"bare_sdp = pcma rtpmap"}), 1);
  EXPECT_EQ(cfg_->bare_codecs.count("pcmu"), 0u);
  EXPECT_EQ(cfg_->bare_params.count("rtpmap"), 1u);
}

TEST_F(ConfigTest, BrokenRereadKeepsThePolicyInForce) {
  ASSERT_EQ(Read({"domain = corp.example", "quiet_mode = yes", "log_level = error", "idle_timeout = 60"}), 1);
  const time_t good_time = cfg_->timestamp;
  ClearLog();
  // A typo in the only domain line would otherwise leave no domain: an open relay.
  EXPECT_EQ(
      Read({"domain = corp.example fulll", "quiet_mode = no", "log_level = trace", "idle_timeout = 90"}), 0);
  ASSERT_EQ(cfg_->domains.size(), 1u);
  EXPECT_EQ(cfg_->domains[0].host, "corp.example");
  EXPECT_TRUE(cfg_->quiet_mode);
  EXPECT_EQ(cfg_->idletm, 60000);
  EXPECT_EQ(g_log_block.level.load(), 1);
  EXPECT_EQ(cfg_->timestamp, good_time);
  std::string log = LogText();
  EXPECT_NE(log.find("Incorrect log param: fulll"), std::string::npos) << log;
  EXPECT_NE(log.find("Error in line 1:\n\tdomain = corp.example fulll\n"), std::string::npos);
  EXPECT_NE(log.find("has errors: the configuration in force is kept"), std::string::npos);
  EXPECT_EQ(log.find("Domain unrestricted"), std::string::npos);

  // Tried again on the next period, and taken once it reads cleanly.
  ClearLog();
  EXPECT_EQ(cfg_->Reread(), 0);
  EXPECT_NE(LogText().find("Incorrect log param: fulll"), std::string::npos);
  EXPECT_EQ(Read({"domain = corp.example full", "quiet_mode = no"}), 1);
  EXPECT_TRUE(cfg_->domains[0].full);
  EXPECT_FALSE(cfg_->quiet_mode);
}

TEST_F(ConfigTest, UnreadableWhiteListFailsTheRereadAndKeepsTheOldList) {
  std::string list = WriteFile("white.txt", "10.1.0.0/16\n");
  ASSERT_EQ(Read({"domain = corp.example whitelist:" + list}), 1);
  ASSERT_EQ(unlink(list.c_str()), 0);
  EXPECT_EQ(Read({"domain = corp.example whitelist:" + list}), 0);
  EXPECT_TRUE(cfg_->domains[0].Admits(Ip("10.1.2.3")));
  EXPECT_FALSE(cfg_->domains[0].Admits(Ip("10.2.2.3")));
}

TEST_F(ConfigTest, DosResetOnlyWhenFloodSettingsChangeOnReread) {
  int resets = 0;
  cfg_->hooks.dos_reset = [&] { ++resets; };
  ASSERT_EQ(Read({"dos_whitelist = 10.0.0.0/8"}), 1);
  EXPECT_EQ(resets, 0) << "not at the first read";
  ASSERT_EQ(Read({"dos_whitelist = 10.0.0.0/8", "quiet_mode = yes"}), 1);
  EXPECT_EQ(resets, 0);
  ASSERT_EQ(Read({"dos_whitelist = 10.0.0.0/8", "dos_whitelist = 192.168.0.0/16"}), 1);
  EXPECT_EQ(resets, 1);
  ASSERT_EQ(Read({"dos_whitelist = 192.168.0.0/16", "dos_whitelist = 10.0.0.0/8"}), 1);
  EXPECT_EQ(resets, 1) << "same networks in another order";
  ASSERT_EQ(Read({"dos_whitelist = 192.168.0.0/16", "dos_whitelist = 10.0.0.0/8", "dos_level = local"}), 1);
  EXPECT_EQ(resets, 2);
  ASSERT_EQ(Read({"dos_whitelist = 192.168.0.0/16", "dos_whitelist = 10.0.0.0/8", "dos_level = local",
                  "dos_interval = 9"}),
            1);
  EXPECT_EQ(resets, 3);
  for (const char* line : {"dos_multiple = 9", "dos_max_mps = 9", "ddos_threshold = 9"}) {
    ASSERT_EQ(Read({"dos_whitelist = 192.168.0.0/16", "dos_whitelist = 10.0.0.0/8", "dos_level = local",
                    "dos_interval = 9", line}),
              1);
  }
  EXPECT_EQ(resets, 6);
  EXPECT_FALSE(cfg_->doscfg_changed);
}

TEST_F(ConfigTest, SlowStartLineEndsASlowStartPhase) {
  int ended = 0;
  cfg_->hooks.end_slow_start = [&] { ++ended; };
  ASSERT_EQ(Read({"quiet_mode = yes"}), 1);
  EXPECT_EQ(ended, 0);
  ASSERT_EQ(Read({"slow_start = yes"}), 1);
  EXPECT_EQ(ended, 1);
}

TEST_F(ConfigTest, LogNameFollowsTheHaRole) {
  cfg_->hooks.is_slave = [] { return true; };
  ASSERT_EQ(Read({"log_name = front back"}), 1);
  EXPECT_STREQ(g_log_block.app_name.load(), "back");
}

TEST_F(ConfigTest, MissingFileIsReportedAndRetried) {
  EXPECT_EQ(cfg_->Reread(), 0);
  EXPECT_NE(LogText().find("Warning: Can't find config file " + cfg_->config_file + "\n"), std::string::npos);
  EXPECT_EQ(Read({"quiet_mode = yes"}), 1);
}

// The periodic timer, driven by a real reactor: a changed idle_timeout re-arms it with the new period (that
// housekeeping runs before the re-read is the process test's).
TEST_F(ConfigTest, ChangedIdleTimeoutRearmsTheTimer) {
  PollReactor reactor;
  ASSERT_EQ(Read({"idle_timeout = 30"}), 1);
  cfg_->ArmTimer(reactor);
  const uint64_t first = cfg_->TimerId();
  ASSERT_EQ(Read({"idle_timeout = 30", "quiet_mode = yes"}), 1);
  EXPECT_EQ(cfg_->TimerId(), first) << "same period: same timer";
  ASSERT_EQ(Read({"idle_timeout = 45"}), 1);
  EXPECT_NE(cfg_->TimerId(), first);
  EXPECT_EQ(reactor.CancelTimer(first), 0) << "the old period is gone";
  EXPECT_NE(LogText().find("Idle timer period is now 45 seconds"), std::string::npos);
}

}  // namespace
