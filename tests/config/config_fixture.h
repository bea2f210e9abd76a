// Shared set-up of the configuration tests: a scratch folder for configuration and list files, the log
// captured into a file of its own, and the global log settings restored after each test.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>

#include "config/config.h"
#include "foundation/log.h"

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    char tmpl[] = "/tmp/ostrel-cfg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_path_ = dir_ + "/test.log";
    saved_level_ = g_log_block.level.load();
    saved_limit_ = g_log_block.size_limit.load();
    ASSERT_EQ(OpenLog(log_path_), 1);
    cfg_ = std::make_unique<Config>();
    cfg_->config_file = dir_ + "/ostrel.cfg";
  }

  void TearDown() override {
    OpenLog("");
    restore_output();
    close(saved_out_);
    close(saved_err_);
    g_log_block.level = saved_level_;
    g_log_block.size_limit = saved_limit_;
    std::string cleanup = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cleanup.c_str()), 0);
  }

  void restore_output() {
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
  }

  // Everything logged since the test began (the log keeps being written to).
  std::string LogText() const {
    std::ifstream f(log_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  // Forgets what was logged so far, so a later check sees only what follows.
  void ClearLog() const { std::ofstream(log_path_, std::ios::trunc).close(); }

  std::string WriteFile(const std::string& name, const std::string& content) const {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
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

  std::string dir_;
  std::string log_path_;
  std::unique_ptr<Config> cfg_;
  int saved_out_ = -1;
  int saved_err_ = -1;
  int saved_level_ = 0;
  off_t saved_limit_ = 0;
  time_t next_mtime_ = 1700000000;
};
