// The core's signal actions that need no running daemon: CHLD reaps every finished child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "core/core.h"

namespace {

TEST(CoreSignals, ChldReapsEveryFinishedChild) {
  pid_t a = fork();
  if (a == 0) _exit(0);
  pid_t b = fork();
  if (b == 0) _exit(3);
  usleep(100000);
  g_core.OnSignal(SIGCHLD);
  errno = 0;
  EXPECT_EQ(waitpid(a, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(waitpid(b, nullptr, WNOHANG), -1);
}

}  // namespace
