// A scratch folder per test with the daemon's log pointed at a file in it, so that a test can read exactly
// what an operator would. The log takes over descriptors 1 and 2; the runner's own, the log level and the
// size limit are put back after each test. Single-threaded set-up and tear-down.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/log.h"

inline std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    char tmpl[] = "/tmp/ostrel-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_path_ = dir_ + "/test.log";
    saved_level_ = g_log_block.level.load();
    saved_limit_ = g_log_block.size_limit.load();
    ASSERT_EQ(OpenLog(log_path_), 1);
  }

  void TearDown() override {
    if (saved_out_ < 0) return;  // SetUp stopped before taking the descriptors
    OpenLog("");                 // forget the file, so that the next test's OpenLog opens its own
    RestoreOutput();
    close(saved_out_);
    close(saved_err_);
    g_log_block.level = saved_level_;
    g_log_block.size_limit = saved_limit_;
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }

  // Points descriptors 1 and 2 back at the test runner, where its failure messages go.
  void RestoreOutput() {
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
  }

  // Everything logged since the test began (or since ClearLog).
  std::string LogText() const { return ReadText(log_path_); }
  void ClearLog() const { std::ofstream(log_path_, std::ios::trunc).close(); }

  std::string WriteFile(const std::string& name, const std::string& content) const {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }

  std::string dir_;
  std::string log_path_;
  int saved_out_ = -1;
  int saved_err_ = -1;
  int saved_level_ = 0;
  off_t saved_limit_ = 0;
};
