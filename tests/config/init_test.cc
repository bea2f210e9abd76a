// Start-up: command line, first read, ring files and address checks, including the ways start-up
// refuses to go on (exit statuses 1, 8 and 9, or a 0 result for a wrong address).
#include <gmock/gmock.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config_fixture.h"

namespace {

using ::testing::ExitedWithCode;
using ::testing::HasSubstr;

class InitTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    g729_ = WriteFile("ring.g729", std::string(20 * 100, 'g'));
    gsm_ = WriteFile("ring.gsm", std::string(33 * 80 + 5, 's'));
    ulaw_ = WriteFile("ring.ulaw", std::string(160 * 120, 'u'));
  }

  std::vector<std::string> RingLines() const {
    return {"ring_g729 = " + g729_, "ring_gsm = " + gsm_, "ring_ulaw = " + ulaw_};
  }

  void WriteConfigWithRings(std::vector<std::string> lines) {
    std::string text;
    for (const std::string& line : RingLines()) text += line + "\n";
    for (const std::string& line : lines) text += line + "\n";
    WriteFile("ostrel.cfg", text);
  }

  static int CallInit(Config& cfg, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return cfg.Init(static_cast<int>(args.size()), argv.data());
  }

  // Init with "-c <file> -l <log>" and the given options.
  int RunInit(std::vector<std::string> options) {
    std::vector<std::string> args = {"/usr/sbin/ostrel", "-c", cfg_->config_file, "-l", log_path_};
    args.insert(args.end(), options.begin(), options.end());
    int result = CallInit(*cfg_, args);
    OpenLog(log_path_);
    return result;
  }

  // For death tests: the child's log goes to its standard error, where the test reads it.
  static int InitChild(Config& cfg, std::vector<std::string> args) {
    dup2(2, 1);
    OpenLog("");
    return CallInit(cfg, args);
  }

  std::string g729_, gsm_, ulaw_;
};

TEST_F(InitTest, StartsWithDefaultsAndLoadsWholeRingFramesOfTheShortestFile) {
  WriteConfigWithRings({"ipaddr = 127.0.0.1"});
  ASSERT_EQ(RunInit({}), 1) << LogText();
  EXPECT_EQ(cfg_->ring_count, 80);
  EXPECT_EQ(cfg_->ring_g729.size(), 80u * 20);
  EXPECT_EQ(cfg_->ring_gsm.size(), 80u * 33);
  EXPECT_EQ(cfg_->ring_ulaw.size(), 80u * 160);
  EXPECT_EQ(cfg_->main_port, 7060);
  EXPECT_EQ(cfg_->second_port, 7061);
  EXPECT_STREQ(cfg_->server_ipaddr, "127.0.0.1");
  EXPECT_STREQ(cfg_->private_ipaddr, "127.0.0.1");
  EXPECT_STREQ(cfg_->intern_ipaddr, "127.0.0.1");
  EXPECT_EQ(cfg_->num_threads, 1);
  EXPECT_EQ(cfg_->tos, geteuid() == 0 ? 184 : 56);
  EXPECT_EQ(cfg_->app_master, "ostrel");
  EXPECT_EQ(cfg_->log_file, log_path_);
  std::string log = LogText();
  EXPECT_NE(log.find("Ostrel. "), std::string::npos);
  EXPECT_NE(log.find("Build 25.07.10\n"), std::string::npos);
}

TEST_F(InitTest, CommandLineWinsOverTheFile) {
  WriteConfigWithRings({"ipaddr = 127.0.0.5", "second_ipaddr = 127.0.0.6", "port = 6000",
                        "second_port = 6001", "ha_peer = 127.0.0.7:9000", "full_mode = no",
                        "log = " + dir_ + "/other.log"});
  ASSERT_EQ(
      RunInit({"-i", "127.0.0.1", "-s", "127.0.0.2", "-p", "5070", "-o", "5080", "-h", "127.0.0.9", "-f"}), 1)
      << LogText();
  EXPECT_STREQ(cfg_->myipaddr, "127.0.0.1");
  EXPECT_STREQ(cfg_->second_ipaddr, "127.0.0.2");
  EXPECT_EQ(cfg_->main_port, 5070);
  EXPECT_EQ(cfg_->second_port, 5080);
  EXPECT_EQ(cfg_->ha_peer.Text(), "127.0.0.9:5082") << "no port given: second port + 2";
  EXPECT_TRUE(cfg_->force_full_mode);
  EXPECT_EQ(cfg_->log_file, log_path_) << "-l wins over the log keyword";
}

TEST_F(InitTest, InternalAddressIsTheServerAddressWhenItDiffers) {
  WriteConfigWithRings({"ipaddr = 127.0.0.1", "server_ipaddr = 127.0.0.3", "private_ipaddr = 127.0.0.4"});
  ASSERT_EQ(RunInit({}), 1) << LogText();
  EXPECT_STREQ(cfg_->intern_ipaddr, "127.0.0.3");
}

struct WrongAddress {
  std::vector<std::string> lines;
  const char* message;
};

class InitAddressTest : public InitTest, public ::testing::WithParamInterface<WrongAddress> {};

TEST_P(InitAddressTest, RefusesToStart) {
  WriteConfigWithRings(GetParam().lines);
  EXPECT_EQ(RunInit({}), 0);
  EXPECT_NE(LogText().find(GetParam().message), std::string::npos) << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    EveryCheck, InitAddressTest,
    ::testing::Values(
        WrongAddress{{}, "Incorrect IP Address\n"},
        WrongAddress{{"ipaddr = localhost"}, "Incorrect IP Address\n"},
        WrongAddress{{"ipaddr = 127.0.0.01"}, "Incorrect IP Address\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "second_ipaddr = 127.0.0.x"}, "Incorrect Second IP Address\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "second_ipaddr = 127.0.0.1"},
                     "Second IP Address shouldn't be the same as First\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "server_ipaddr = server"}, "Incorrect Server IP Address\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "server_ipaddr = 127.0.0.1"},
                     "Server IP Address shouldn't be the same as First\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "second_ipaddr = 127.0.0.2", "server_ipaddr = 127.0.0.2"},
                     "Server IP Address shouldn't be the same as Second\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "private_ipaddr = 10.0.0"}, "Incorrect Private IP Address\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "private_ipaddr = 127.0.0.1"},
                     "Private IP Address shouldn't be the same as First\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "second_ipaddr = 127.0.0.2", "private_ipaddr = 127.0.0.2"},
                     "Private IP Address shouldn't be the same as Second\n"},
        WrongAddress{{"ipaddr = 127.0.0.1", "port = 65533"},
                     "Second port 65534 leaves no room for the internal port (second port + 3)\n"}));

using InitDeathTest = InitTest;

// Start-up that cannot go on exits: 1 for the command line, 9 for a configuration that does not read, 8 for
// a ring file or log that cannot be used. The operator reads why on standard error.
TEST_F(InitDeathTest, StartUpThatCannotGoOnExits) {
  const std::string short_gsm = WriteFile("short.gsm", std::string(32, 's'));
  const std::string usage =
      "Usage:\n\t./ostrel [options]\n\nOptions:\n\t-c config_file\n\t-i ip.addr\n\t-s second.ip.addr\n\t-p "
      "port\n"
      "\t-o optional ports (second)\n\t-l log_file\n\t-f\t\t: force full mode\n"
      "\t-t\t\t: check the configuration and exit (0: clean, 9: errors)\n\t-? \t\t: print this page\n";
  std::vector<std::string> rings_and_log = RingLines();
  rings_and_log.push_back("log = /nonexistent/dir/other.log");
  const std::string& cfg = cfg_->config_file;
  const struct {
    std::vector<std::string> lines;  // after "ipaddr = 127.0.0.1"
    std::vector<std::string> args;
    int status;
    std::string text;
  } cases[] = {
      {{}, {"./ostrel", "-x"}, 1, usage},
      {{}, {"./ostrel", "-?"}, 1, "Ostrel/25.07.10 "},
      {{}, {"./ostrel", "--version"}, 1, "Ostrel/25.07.10 "},
      {{}, {"./ostrel", "-p", "70000"}, 1, "Usage:\n\t./ostrel [options]"},
      {{}, {"./ostrel", "-o", "65533"}, 1, "Usage:\n\t./ostrel [options]"},
      {{}, {"./ostrel", "-i", std::string(64, '1')}, 1, "-i: address is too long"},
      {{}, {"./ostrel", "-h", "0.0.0.0"}, 1, "-h: Incorrect HA Peer address"},
      {{"num_listeners = 100"},
       {"ostrel", "-c", cfg},
       9,
       "Config file " + cfg + ". Error in line 2:\n\tnum_listeners = 100\n"},
      {{},
       {"ostrel", "-c", dir_ + "/absent.cfg"},
       9,
       "Warning: Can't find config file " + dir_ + "/absent.cfg\n"},
      {{}, {"ostrel", "-c", cfg}, 8, "Missing config 'ring_g729'\n"},
      {{"ring_g729 = " + g729_}, {"ostrel", "-c", cfg}, 8, "Missing config 'ring_gsm'\n"},
      {{"ring_g729 = " + g729_, "ring_gsm = " + gsm_},
       {"ostrel", "-c", cfg},
       8,
       "Missing config 'ring_ulaw'\n"},
      {{"ring_g729 = " + g729_, "ring_gsm = " + dir_ + "/none.gsm"},
       {"ostrel", "-c", cfg},
       8,
       "Can't open ring file " + dir_ + "/none.gsm\n"},
      {{"ring_g729 = " + g729_, "ring_gsm = " + short_gsm, "ring_ulaw = " + ulaw_},
       {"ostrel", "-c", cfg},
       8,
       "Ring file " + short_gsm + " holds no whole frame of 33 bytes\n"},
      {RingLines(),
       {"ostrel", "-c", cfg, "-l", "/nonexistent/dir/ostrel.log"},
       8,
       "Can't open log file /nonexistent/dir/ostrel.log"},
      {rings_and_log, {"ostrel", "-c", cfg}, 8, "Can't open log file /nonexistent/dir/other.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::string text = "ipaddr = 127.0.0.1\n";
    for (const std::string& line : c.lines) text += line + "\n";
    WriteFile("ostrel.cfg", text);
    EXPECT_EXIT(InitChild(*cfg_, c.args), ExitedWithCode(c.status), HasSubstr(c.text));
  }
}

}  // namespace
