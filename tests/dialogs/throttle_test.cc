// The registration throttle: what is admitted per second, the one log line of a second, slow start, and
// the count under concurrent workers.
#include "dialogs/throttle.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

using ::testing::HasSubstr;

// The throttle with a clock of the test's own: second 100, 101, ...
TEST(RegThrottle, OnlyTheFirstExcessOfASecondIsLoggedAndSlowStartEndsAfterACleanSecond) {
  LogFile log;
  RegisterThrottle t;
  std::vector<bool> slow;
  auto set = [&](bool on) { slow.push_back(on); };
  EXPECT_TRUE(t.Admit(100, 2, false, true, set));
  EXPECT_TRUE(t.Admit(100, 2, false, true, set));
  EXPECT_FALSE(t.Admit(100, 2, false, true, set));
  EXPECT_FALSE(t.Admit(100, 2, false, true, set));
  EXPECT_EQ(log.count("Throttle DOWN! (Slow)\n"), 1u);
  EXPECT_THAT(log.text(), HasSubstr("[>>>==>] "));
  EXPECT_EQ(slow, std::vector<bool>{true});

  EXPECT_TRUE(t.Admit(101, 2, false, true, set));  // a new second: counting starts again
  EXPECT_TRUE(t.Admit(102, 2, false, true, set));  // second 101 had no excess
  EXPECT_EQ(slow, (std::vector<bool>{true, false}));
  EXPECT_EQ(log.count("Throttle DOWN!"), 1u);
}

TEST(RegThrottle, TheLineNamesTheReasonAndAZeroLimitThrottlesNothing) {
  LogFile log;
  RegisterThrottle t;
  std::function<void(bool)> none;
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(t.Admit(200, 0, false, false, none));
  t.Admit(201, 1, true, true, none);  // arms the warning
  EXPECT_FALSE(t.Admit(202, 1, true, true, none) && t.Admit(202, 1, true, true, none));
  t.Admit(203, 1, false, false, none);
  EXPECT_FALSE(t.Admit(204, 1, false, false, none) && t.Admit(204, 1, false, false, none));
  EXPECT_EQ(log.count("Throttle DOWN! (DDOS)\n"), 1u);
  EXPECT_EQ(log.count("Throttle DOWN! (Regular)\n"), 1u);
}

TEST(RegThrottle, ConcurrentWorkersAdmitExactlyTheLimitOfASecond) {
  RegisterThrottle t;
  std::function<void(bool)> none;
  t.Admit(300, 0, false, false, none);  // second 300 begins
  std::atomic<int> admitted{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < 250; ++i)
        if (t.Admit(300, 100, false, false, none)) ++admitted;
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(admitted.load(), 100);
}

}  // namespace
}  // namespace relaytest
