// Logging as an operator sees it: which lines reach the file or the syslog receiver, and in what form.
#include "foundation/log.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>

#include "foundation/log_fixture.h"

namespace {

// Reads the log with the runner's descriptors back in place, so that failures after it are seen.
class LogTest : public LogFileTest {
 protected:
  std::string contents() {
    RestoreOutput();
    return LogText();
  }
};

TEST_F(LogTest, DefaultMaskFiltersByEveryBit) {
  g_log_block.level = static_cast<int>(0xFFFF0001u);
  Log("ostrel", LEVEL_DEBUG, "debug line\n");
  Log("ostrel", LEVEL_ERROR, "error line\n");
  Log("ostrel", 0x20000001, "core error line\n");
  Log("ostrel", LEVEL_ALWAYS, "always line\n");
  Log("ostrel", LEVEL_REGISTRATION_REGULATION + LEVEL_DEBUG, "regul line\n");
  std::string text = contents();
  EXPECT_EQ(text.find("debug line"), std::string::npos);
  EXPECT_NE(text.find("error line"), std::string::npos);
  EXPECT_NE(text.find("core error line"), std::string::npos);
  EXPECT_NE(text.find("always line"), std::string::npos);
  EXPECT_EQ(text.find("regul line"), std::string::npos);

  ASSERT_EQ(OpenLog(log_path_), 1);
  g_log_block.level = static_cast<int>(0xFFFF0000u | (LEVEL_REGISTRATION_REGULATION + LEVEL_DEBUG));
  Log("ostrel", LEVEL_REGISTRATION_REGULATION + LEVEL_DEBUG, "regul now\n");
  EXPECT_NE(contents().find("regul now"), std::string::npos);
}

TEST_F(LogTest, DialogThresholdReplacesTheGlobalMask) {
  g_log_block.level = static_cast<int>(0xFFFF0001u);
  Log(65537, 258, 258, "dialog says %d\n", 1);
  Log(65538, 258, 0, "global mask says no\n");
  std::string text = contents();
  EXPECT_NE(text.find("[65537] "), std::string::npos);
  EXPECT_NE(text.find("dialog says 1"), std::string::npos);
  EXPECT_EQ(text.find("global mask says no"), std::string::npos);
}

TEST_F(LogTest, LineShapes) {
  g_log_block.level = static_cast<int>(0xFFFF001Fu);
  Log(nullptr, 0, "bare");
  Log("ostrel", 0, "ends once\n");
  Log("", 0, "sip text");
  Log("ostrel", LEVEL_SHORT, "short dump");
  Log("d", LEVEL_SHORT, LEVEL_SHORT, "dialog dump");
  std::string text = contents();
  EXPECT_EQ(text.rfind("bare\n", 0), 0u) << "a null tag gives the bare message";
  EXPECT_NE(text.find("ends once\n\n[ SIP ] "), std::string::npos) << "no second newline of its own";
  EXPECT_NE(text.find("\n\n[ SIP ] "), std::string::npos) << "the empty tag: empty line, then ' SIP '";
  EXPECT_NE(text.find("\n\n[ostrel] "), std::string::npos) << "message dumps start with an empty line";
  EXPECT_NE(text.find("short dump\n[d] "), std::string::npos) << "a dialog's dump has no empty line in front";
  // "[tag] HH:MM:SS.uuuuuu "
  size_t at = text.find("[ostrel] ");
  ASSERT_NE(at, std::string::npos);
  std::string stamp = text.substr(at + 9, 16);
  EXPECT_EQ(stamp[2], ':');
  EXPECT_EQ(stamp[5], ':');
  EXPECT_EQ(stamp[8], '.');
  EXPECT_EQ(stamp[15], ' ');
}

TEST_F(LogTest, LongMessageIsCutNotOverflowed) {
  std::string big(20000, 'x');
  Log("ostrel", 0, "%s", big.c_str());
  std::string text = contents();
  EXPECT_LE(text.size(), 10240u);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(LogTest, SizeLimitWarnsOnceThenDrops) {
  g_log_block.size_limit = 100;
  Log("ostrel", 0, "%s\n", std::string(120, 'a').c_str());
  Log("ostrel", 0, "dropped one\n");
  Log("ostrel", 0, "dropped two\n");
  std::string text = contents();
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  size_t first = text.find("!!!Log file Size close to the limit. Stop writing to the log!!!");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("!!!Log file Size", first + 1), std::string::npos) << "the warning is written once";
}

TEST_F(LogTest, ReopeningTheSameNameRecreatesARotatedFile) {
  Log("ostrel", 0, "before rotation\n");
  ASSERT_EQ(rename(log_path_.c_str(), (log_path_ + ".old").c_str()), 0);
  ASSERT_EQ(OpenLog(log_path_), 1);
  Log("ostrel", 0, "after rotation\n");
  std::string text = contents();
  EXPECT_EQ(text.find("before rotation"), std::string::npos);
  EXPECT_NE(text.find("after rotation"), std::string::npos);
}

TEST_F(LogTest, NewTargetOnDescriptorOneIsNotClosed) {
  OpenLog("");
  close(1);  // the next open gets descriptor 1
  std::string other = dir_ + "/other.log";
  ASSERT_EQ(OpenLog(other), 1);
  Log("ostrel", 0, "reached descriptor one\n");
  RestoreOutput();
  EXPECT_NE(ReadText(other).find("reached descriptor one"), std::string::npos);
}

TEST_F(LogTest, UnopenableFileKeepsTheOldTarget) {
  EXPECT_EQ(OpenLog(dir_ + "/no/such/dir/x.log"), 0);
  Log("ostrel", 0, "still here\n");
  std::string text = contents();
  EXPECT_NE(text.find("ERROR: Can't open log file"), std::string::npos);
  EXPECT_NE(text.find("still here"), std::string::npos);
}

TEST_F(LogTest, SyslogOverUdp) {
  int rx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
  timeval tv{2, 0};
  setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  g_log_block.SetAppName("ostrel-test");
  g_log_block.level = static_cast<int>(0xFFFF0003u);
  std::string target = "syslog 3 127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  ASSERT_EQ(OpenLog(target), 1);
  Log("ostrel", LEVEL_ERROR, "to the receiver\n");
  Log("ostrel", LEVEL_ALWAYS, "critical\n");
  RestoreOutput();
  char buf[2048] = {0};
  ssize_t n = recv(rx, buf, sizeof buf - 1, 0);
  ASSERT_GT(n, 0);
  std::string line(buf, static_cast<size_t>(n));
  EXPECT_EQ(line.rfind("<27>", 0), 0u) << line;  // facility 3 (24) + error (3)
  EXPECT_NE(line.find(" ostrel-test[" + std::to_string(getpid()) + "]:[ostrel] "), std::string::npos) << line;
  EXPECT_NE(line.find("to the receiver\n"), std::string::npos);

  n = recv(rx, buf, sizeof buf - 1, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, 4), "<26>");
  close(rx);
}

TEST(LogSettings, LimitWords) {
  struct Case {
    const char* text;
    int ok;
    off_t limit;
  } cases[] = {
      {"10M", 1, 10485760 - 16384},
      {"1K", 1, 16384},
      {"2 g", 1, (off_t{2} << 30) - 16384},
      {"10", 0, 0},
      {"10X", 0, 0},
  };
  for (const auto& c : cases) {
    g_log_block.size_limit = 777;
    EXPECT_EQ(g_log_block.SetLimit(c.text), c.ok) << c.text;
    EXPECT_EQ(g_log_block.size_limit.load(), c.ok ? c.limit : 777) << c.text;
  }
}

TEST(LogSettings, LevelAndFacilityWords) {
  g_log_block.level = static_cast<int>(0xFFFF0000u);
  std::string debug = "DEBUG";
  EXPECT_EQ(g_log_block.SetLevel(debug), 1);
  EXPECT_EQ(g_log_block.level.load() & 0xFFFF, 3);
  std::string both = "short+full";
  EXPECT_EQ(g_log_block.SetLevel(both), 1);
  EXPECT_EQ(g_log_block.level.load() & 0xFFFF, 16);
  std::string bad = "loud";
  EXPECT_EQ(g_log_block.SetLevel(bad), 0);
  EXPECT_EQ(g_log_block.level.load() & 0xFFFF, 16) << "a failed call changes nothing";
  std::string comps = "core+utils";
  EXPECT_EQ(g_log_block.SetFacility(comps), 1);
  EXPECT_EQ(static_cast<unsigned>(g_log_block.level.load()), 0x20010010u);
  std::string wrong = "core+nope";
  EXPECT_EQ(g_log_block.SetFacility(wrong), 0);
  EXPECT_EQ(static_cast<unsigned>(g_log_block.level.load()), 0x20010010u);
  g_log_block.level = static_cast<int>(0xFFFF0001u);
}

}  // namespace
