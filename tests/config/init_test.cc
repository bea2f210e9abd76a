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

  // Init with "-c <file> -l <log>" and the given options.
  int RunInit(std::vector<std::string> options) {
    std::vector<std::string> args = {"/usr/sbin/ostrel", "-c", cfg_->config_file, "-l", log_path_};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int result = cfg_->Init(static_cast<int>(args.size()), argv.data());
    OpenLog(log_path_);
    return result;
  }

  // For death tests: the child's log goes to its standard error, where the test reads it.
  static void LogToStderr() {
    dup2(2, 1);
    OpenLog("");
  }

  static int InitChild(Config& cfg, std::vector<std::string> args) {
    LogToStderr();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return cfg.Init(static_cast<int>(args.size()), argv.data());
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
  WriteConfigWithRings({"ipaddr = 127.0.0.5", "second_ipaddr = 127.0.0.6", "port = 6000", "second_port = 6001",
                        "ha_peer = 127.0.0.7:9000", "full_mode = no", "log = " + dir_ + "/other.log"});
  ASSERT_EQ(RunInit({"-i", "127.0.0.1", "-s", "127.0.0.2", "-p", "5070", "-o", "5080", "-h", "127.0.0.9", "-f"}), 1)
      << LogText();
  EXPECT_STREQ(cfg_->myipaddr, "127.0.0.1");
  EXPECT_STREQ(cfg_->second_ipaddr, "127.0.0.2");
  EXPECT_EQ(cfg_->main_port, 5070);
  EXPECT_EQ(cfg_->second_port, 5080);
  EXPECT_EQ(cfg_->ha_peer.Str(), "127.0.0.9:5082") << "no port given: second port + 2";
  EXPECT_TRUE(cfg_->force_full_mode);
  EXPECT_EQ(cfg_->log_file, log_path_) << "-l wins over the log keyword";
}

TEST_F(InitTest, HaPeerWithoutPortTakesSecondPortPlusTwo) {
  WriteConfigWithRings({"ipaddr = 127.0.0.1", "port = 5060", "ha_peer = 127.0.0.9"});
  ASSERT_EQ(RunInit({}), 1);
  EXPECT_EQ(cfg_->ha_peer.Str(), "127.0.0.9:5063");
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

TEST_F(InitDeathTest, BadFileExits9) {
  WriteConfigWithRings({"ipaddr = 127.0.0.1", "num_listeners = 100"});
  std::vector<std::string> args = {"ostrel", "-c", cfg_->config_file};
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(9),
              HasSubstr("Config file " + cfg_->config_file + ". Error in line 5:\n\tnum_listeners = 100\n"));
}

TEST_F(InitDeathTest, MissingFileExits9) {
  std::vector<std::string> args = {"ostrel", "-c", dir_ + "/absent.cfg"};
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(9),
              HasSubstr("Warning: Can't find config file " + dir_ + "/absent.cfg\n"));
}

TEST_F(InitDeathTest, MissingRingFilesExit8) {
  WriteConfig({"ipaddr = 127.0.0.1"});
  std::vector<std::string> args = {"ostrel", "-c", cfg_->config_file};
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8), HasSubstr("Missing config 'ring_g729'\n"));
  WriteConfig({"ipaddr = 127.0.0.1", "ring_g729 = " + g729_});
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8), HasSubstr("Missing config 'ring_gsm'\n"));
  WriteConfig({"ipaddr = 127.0.0.1", "ring_g729 = " + g729_, "ring_gsm = " + gsm_});
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8), HasSubstr("Missing config 'ring_ulaw'\n"));
  WriteConfig({"ipaddr = 127.0.0.1", "ring_g729 = " + g729_, "ring_gsm = " + dir_ + "/none.gsm"});
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8), HasSubstr("Can't open ring file " + dir_ + "/none.gsm\n"));
}

TEST_F(InitDeathTest, RingFileWithoutAWholeFrameExits8) {
  std::string short_gsm = WriteFile("short.gsm", std::string(32, 's'));
  WriteConfig({"ipaddr = 127.0.0.1", "ring_g729 = " + g729_, "ring_gsm = " + short_gsm, "ring_ulaw = " + ulaw_});
  std::vector<std::string> args = {"ostrel", "-c", cfg_->config_file};
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8),
              HasSubstr("Ring file " + short_gsm + " holds no whole frame of 33 bytes\n"));
}

TEST_F(InitDeathTest, LogThatCannotBeOpenedExits8) {
  WriteConfigWithRings({"ipaddr = 127.0.0.1"});
  std::vector<std::string> args = {"ostrel", "-c", cfg_->config_file, "-l", "/nonexistent/dir/ostrel.log"};
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8), HasSubstr("Can't open log file /nonexistent/dir/ostrel.log"));
  WriteConfigWithRings({"ipaddr = 127.0.0.1", "log = /nonexistent/dir/other.log"});
  args = {"ostrel", "-c", cfg_->config_file};
  EXPECT_EXIT(InitChild(*cfg_, args), ExitedWithCode(8), HasSubstr("Can't open log file /nonexistent/dir/other.log"));
}

TEST_F(InitDeathTest, UsageExits1) {
  const std::string usage =
      "Usage:\n\t./ostrel [options]\n\nOptions:\n\t-c config_file\n\t-i ip.addr\n\t-s second.ip.addr\n\t-p port\n"
      "\t-o optional ports (second)\n\t-l log_file\n\t-f\t\t: force full mode\n\t-? \t\t: print this page\n";
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "-x"}), ExitedWithCode(1), HasSubstr(usage));
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "-?"}), ExitedWithCode(1), HasSubstr("Ostrel/25.07.10 "));
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "--version"}), ExitedWithCode(1), HasSubstr("Ostrel/25.07.10 "));
}

TEST_F(InitDeathTest, CommandLineValuesThatDoNotFitExit1) {
  const std::string usage = "Usage:\n\t./ostrel [options]";
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "-p", "70000"}), ExitedWithCode(1), HasSubstr(usage));
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "-o", "65533"}), ExitedWithCode(1), HasSubstr(usage));
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "-i", std::string(64, '1')}), ExitedWithCode(1),
              HasSubstr("-i: address is too long"));
  EXPECT_EXIT(InitChild(*cfg_, {"./ostrel", "-h", "0.0.0.0"}), ExitedWithCode(1),
              HasSubstr("-h: Incorrect HA Peer address"));
}

}  // namespace
