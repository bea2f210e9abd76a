// What an operator sees for each refused configuration line: the keyword's own complaint, then the
// "Error in line" report with the line as written, and a read that does not succeed.
#include <unistd.h>

#include <string>
#include <vector>

#include "config_fixture.h"

namespace {

struct RefusedLine {
  std::string line;
  std::vector<std::string> messages;  // the keyword's own complaints, in the order logged
};

const std::string kLogWords = ", Use: TRACE, DEBUG, ERROR, SHORT, FULL, REG_REGULAR, REG_CACHE\n";
const std::string k64 = std::string(64, '1');

const RefusedLine kRefused[] = {
    {"domain = example.com bogus", {"Incorrect log param: bogus" + kLogWords}},
    {"domain = example.com whitelist:/nonexistent/list",
     {"Cannot open White-List file: /nonexistent/list\n"}},
    {"server = example.com 5", {}},
    {"server = example.com 5 10.0.0.1 extra", {}},
    {"server = example.com 101 10.0.0.1", {}},
    {"server = example.com high 10.0.0.1", {}},
    {"server = example.com 5 10.0.0.1:70000", {}},
    {"server = example.com 5 0.0.0.0", {}},
    {"fuser = alice", {}},
    {"fuser = alice full bogus", {"Incorrect log param: bogus" + kLogWords}},
    {"trusted = 0.0.0.0", {}},
    {"dialogs_per_ip = -1", {"Param: dialogs_per_ip must be a number (0 = no limit)\n"}},
    {"anchored_calls_per_ip = many", {"Param: anchored_calls_per_ip must be a number (0 = no limit)\n"}},
    {"trusted = 10.0.0.300", {}},
    {"broken = AB", {}},
    {"range = 1000 2000", {"Wrong range of Ports\n"}},
    {"range = 40000 30000", {"Wrong range of Ports\n"}},
    {"range = 40000 70000", {"Wrong range of Ports\n"}},
    {"range = 40000", {"Wrong range of Ports\n"}},
    {"ipaddr = " + k64, {"Address is too long: " + k64 + "\n"}},
    {"port = 70000", {"Port must be a number in range [0-65535]: 70000\n"}},
    {"port = 50x0", {"Port must be a number in range [0-65535]: 50x0\n"}},
    {"second_port = 65533", {"Port must be a number in range [0-65532]: 65533\n"}},
    {"log_level = debug+bogus", {"Incorrect log param: bogus" + kLogWords}},
    {"stat_log = /nonexistent/dir/stat.log", {"Cannot open StatLog file: /nonexistent/dir/stat.log\n"}},
    {"num_listeners = 0", {"Number of listener shoud be in range [1-64]\n"}},
    {"num_listeners = 65", {"Number of listener shoud be in range [1-64]\n"}},
    {"media_threads = 0", {"Number of media threads should be in range [1-64]\n"}},
    {"subnet = 10.0.0.1 60", {"Mask part of address (/xx) is missing\n"}},
    {"subnet = 300.1.1.1/8 60", {"Incorrect address or mask\n"}},
    {"subnet = 10.0.0.0/33 60", {"Incorrect address or mask\n"}},
    {"subnet = 10.0.0.0/ 60", {"Incorrect address or mask\n"}},
    {"subnet = 10.0.0.0/8", {}},
    {"subnet = 10.0.0.0/8 0", {}},
    {"subnet = 10.0.0.0/8 60 lb+Restricted", {"Incorrect FWType\n"}},
    {"subnet = 10.0.0.0/8 60 Cone", {"Incorrect FWType\n"}},
    {"subnet = 10.0.0.0/8 60 Symmetric Restricted", {}},
    {"subnet = 10.0.0.0/8 60 1 2", {}},
    {"agent_name = My/Agent", {"Name of Agent can't contain ' , \" or /\n"}},
    {"events_collector = 10.0.0.1", {"Incorrect Events Collector address:\n"}},
    {"events_collector = 0.0.0.0:9000", {"Incorrect Events Collector address:\n"}},
    {"events_collector = 10.0.0.1:0", {"Incorrect Events Collector address:\n"}},
    {"events_collector = 10.0.0.1:70000", {"Incorrect Events Collector address:\n"}},
    {"ha_peer = 0.0.0.0:7000", {"Incorrect HA Peer address\n"}},
    {"ha_peer = 10.0.0.1:70000", {"Incorrect HA Peer address\n"}},
    {"state_store = 10.0.0.1:6379",
     {"Incorrect state store 10.0.0.1:6379: redis://host:port[/db] expected\n"}},
    {"state_store = redis://10.0.0.1",
     {"Incorrect state store redis://10.0.0.1: redis://host:port[/db] expected\n"}},
    {"state_store = redis://h:6379/16",
     {"Incorrect state store redis://h:6379/16: redis://host:port[/db] expected\n"}},
    {"node_name = a:b", {"Incorrect node_name a:b: letters, digits, '.', '-' and '_' only\n"}},
    {"dos_level = sometimes", {"Incorect mode - Use: 'off', 'log', 'local' or 'fw'\n"}},
    {"dos_interval = 1 2 3 4 5 6", {"Too many params\n"}},
    {"dos_whitelist = 10.0.0.0", {"Mask part of address (/xx) is missing\n"}},
    {"dos_whitelist = 10.0.0.0/40", {"Incorrect address or mask\n"}},
    {"throttling = 1 2 3", {"Too many params\n"}},
    {"bare_sdp = pcmu", {}},
    {"rsvp = 203.0.113.5 192.168.1.10", {}},
    {"rsvp = 203.0.113.5 192.168.1.10 70000", {}},
    {"rsvp = 203.0.113.5 nowhere 5062", {}},
    {"transcoding = g729", {"Two params are expected\n"}},
    {"transcoding = g723/30 pcmu/20", {"Unknown Coding type\n"}},
    {"transcoding = g729/20 g729/60", {"Unsupported Coding Pair\n"}},
    // Lines that are no "keyword = value" at all.
    {"port =", {}},
    {"= 5060", {}},
    {"justaword", {}},
    {"log = ${OSTREL_TEST_EMPTY}", {}},
};

class KeywordErrors : public ConfigTest, public ::testing::WithParamInterface<RefusedLine> {};

TEST_P(KeywordErrors, LogsTheComplaintThenTheLineAndFailsTheRead) {
  setenv("OSTREL_TEST_EMPTY", "", 1);
  const RefusedLine& c = GetParam();
  EXPECT_EQ(Read({c.line}), 0);
  std::string log = LogText();
  size_t at = 0;
  for (const std::string& message : c.messages) {
    size_t found = log.find(message, at);
    EXPECT_NE(found, std::string::npos) << "missing: " << message << "\nlog:\n" << log;
    if (found != std::string::npos) at = found + message.size();
  }
  std::string report = "Config file " + cfg_->config_file + ". Error in line 1:\n\t" + c.line + "\n\n";
  EXPECT_NE(log.find(report, at), std::string::npos) << "log:\n" << log;
  EXPECT_EQ(cfg_->timestamp, 0) << "a failed read must be tried again";
}

INSTANTIATE_TEST_SUITE_P(EveryKeyword, KeywordErrors, ::testing::ValuesIn(kRefused));

TEST_F(ConfigTest, ReportsTheLineNumberAndGoesOnReading) {
  EXPECT_EQ(Read({"# comment", "", "port = 5070 # main", "bogus = 1", "\t quiet_mode = yes \t", "range = 1 2",
                  "second_port = 5080"}),
            0);
  std::string log = LogText();
  EXPECT_NE(log.find("Unknown parameter in line 4:\n\tbogus = 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Error in line 6:\n\trange = 1 2\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("line 1:"), std::string::npos);
  EXPECT_EQ(log.find("line 3:"), std::string::npos);
  EXPECT_EQ(log.find("line 5:"), std::string::npos);
  EXPECT_EQ(log.find("line 7:"), std::string::npos);
}

TEST_F(ConfigTest, ValuesThatAreCorrectedButAccepted) {
  EXPECT_EQ(Read({"idle_timeout = 10", "log_size_limit = 10X", "register_timeout = 5 600 100",
                  "invite_timeout = 0"}),
            1);
  std::string log = LogText();
  EXPECT_NE(log.find("Param: invite_timeout must be in range [1-3600], Set to default: 180\n"),
            std::string::npos);
  EXPECT_EQ(cfg_->invite_timeout, 180);
  EXPECT_NE(log.find("Param: idle_timeout must be in range [30-1800], Set to default: 300\n"),
            std::string::npos);
  EXPECT_NE(log.find("Incorrect log limit modificator: 'X', Use: K, M, G, T\n"), std::string::npos) << log;
  EXPECT_EQ(cfg_->idletm, 300000);
  EXPECT_EQ(cfg_->register_timeout, 10);
  EXPECT_EQ(cfg_->rgstr_force, 300);
  EXPECT_EQ(g_log_block.size_limit.load(), saved_limit_);
  EXPECT_EQ(log.find("Error in line"), std::string::npos);
}

TEST_F(ConfigTest, FirewallLevelNeedsEveryCommand) {
  if (geteuid() != 0) {
    EXPECT_EQ(Read({"dos_level = fw"}), 0);
    EXPECT_NE(LogText().find("Need root permissions In order to set level to FW. Force level to LOCAL\n"),
              std::string::npos);
    EXPECT_EQ(cfg_->dos_mode, DL_LOG) << "a failed read changes nothing";
    return;
  }
  EXPECT_EQ(Read({"dos_level = fw", "sysfw_start = /bin/true"}), 0);
  EXPECT_NE(LogText().find("All Commands: STOP, START, BLOCK, UNBLOCK should be specifyed for FW type of DOS "
                           "Prevention\n\n"),
            std::string::npos);
  EXPECT_EQ(LogText().find("Error in line"), std::string::npos);
  EXPECT_EQ(Read({"dos_level = firewall", "sysfw_start = s", "sysfw_stop = t", "sysfw_block = b",
                  "sysfw_unblock = u"}),
            1);
  EXPECT_EQ(cfg_->dos_mode, DL_SYSFW);
}

TEST_F(ConfigTest, SelfReferencingVariableFailsTheLine) {
  setenv("OSTREL_TEST_LOOP", "${OSTREL_TEST_LOOP}", 1);
  EXPECT_EQ(Read({"restrict_forward = ${OSTREL_TEST_LOOP}"}), 0);
  EXPECT_NE(LogText().find("Error in line 1:"), std::string::npos);
}

}  // namespace
