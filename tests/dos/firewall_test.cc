// Firewall commands run as programs with separate arguments: nothing in a value is ever interpreted.
#include "dos/firewall.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

class FirewallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-fw-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    script_ = dir_ + "/record.sh";
    std::ofstream(script_) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " << dir_
                           << "/args\n";
    chmod(script_.c_str(), 0755);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string recorded() {
    std::ifstream f(dir_ + "/args");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  static int wait_status(int pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string dir_, script_;
};

TEST_F(FirewallTest, BlockPassesRuleAddressAndPortAsSeparateArguments) {
  FirewallCommands c{"OSTREL", "", "", script_ + " block", script_};
  ASSERT_EQ(wait_status(FirewallBlock(c, 0x0A000001, 5060)), 0);
  EXPECT_EQ(recorded(), "block\nOSTREL\n10.0.0.1\n5060\n");
  ASSERT_EQ(wait_status(FirewallUnblock(c, 0x0A000001, 0)), 0);
  EXPECT_EQ(recorded(), "block\nOSTREL\n10.0.0.1\n5060\nOSTREL\n10.0.0.1\n");
}

TEST_F(FirewallTest, ShellMetacharactersAreNeverInterpreted) {
  const std::string marker = dir_ + "/pwned";
  FirewallCommands c{"x;touch " + marker + ";$(touch " + marker + ")", script_, "", "", ""};
  ASSERT_EQ(wait_status(FirewallStart(c)), 0);
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0) << "a rule name ran a command";
  EXPECT_NE(recorded().find("x;touch"), std::string::npos);
}

TEST_F(FirewallTest, MissingProgramExitsWith127) {
  FirewallCommands c{"OSTREL", dir_ + "/no-such-program", "", "", ""};
  EXPECT_EQ(wait_status(FirewallStart(c)), 127) << "a failed exec must not look like success";
}

}  // namespace
