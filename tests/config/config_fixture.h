// Shared set-up of the configuration tests: a scratch folder for configuration and list files, and the
// log captured into a file of its own (see foundation/log_fixture.h).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "config/config.h"
#include "foundation/log_fixture.h"

// An IPv4 address in host order, as the policy queries take it.
inline uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return ntohl(a.s_addr);
}

class ConfigTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    cfg_ = std::make_unique<Config>();
    cfg_->config_file = dir_ + "/ostrel.cfg";
  }

  // Writes the configuration file with a modification time of its own, so that every write is seen as a
  // change (a file rewritten within one tick of the clock would otherwise keep its time).
  void WriteConfig(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    WriteFile("ostrel.cfg", text);
    timespec times[2] = {{next_mtime_, 0}, {next_mtime_, 0}};
    ++next_mtime_;
    ASSERT_EQ(utimensat(AT_FDCWD, cfg_->config_file.c_str(), times, 0), 0);
  }

  // Rewrites the file but gives it back its previous modification time.
  void WriteConfigKeepingTime(std::initializer_list<std::string> lines) {
    --next_mtime_;
    WriteConfig(lines);
  }

  int Read(std::initializer_list<std::string> lines) {
    WriteConfig(lines);
    return cfg_->Reread();
  }

  std::unique_ptr<Config> cfg_;
  time_t next_mtime_ = 1700000000;
};
