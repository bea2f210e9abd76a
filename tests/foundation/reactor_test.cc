// The reactor seen by its users: timer order, wake-ups from other threads, cancel, signals, descriptors.
#include "foundation/reactor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Recorder : TimerCB, InputCB, SignalCB, ErrorCB {
  std::vector<intptr_t> timers;
  std::vector<int> inputs;
  std::vector<int> signals;
  std::vector<int> errors;
  std::function<void(intptr_t)> on_timer;
  void OnTimer(const void* data) override {
    timers.push_back(reinterpret_cast<intptr_t>(data));
    if (on_timer) on_timer(reinterpret_cast<intptr_t>(data));
  }
  void OnInput(int fd) override { inputs.push_back(fd); }
  void OnSignal(int signo) override { signals.push_back(signo); }
  void OnError(int fd) override { errors.push_back(fd); }
};

const void* tag(intptr_t v) { return reinterpret_cast<const void*>(v); }

void spin_until(PollReactor& r, const std::function<bool()>& done, int max_cycles = 200) {
  for (int i = 0; i < max_cycles && !done(); ++i) r.RunOnce(true);
}

TEST(ReactorTimers, EarlierTimersFireFirstAndEqualOnesInTheOrderSet) {
  PollReactor r;
  Recorder rec;
  r.SetTimer(&rec, 30, tag(9));
  for (intptr_t i = 1; i <= 5; ++i) r.SetTimer(&rec, 0, tag(i));
  spin_until(r, [&] { return rec.timers.size() == 6; });
  EXPECT_EQ(rec.timers, (std::vector<intptr_t>{1, 2, 3, 4, 5, 9}));
}

TEST(ReactorTimers, CancelMatchesOneLiveTimerOnce) {
  PollReactor r;
  Recorder rec;
  EXPECT_EQ(r.CancelTimer(PollReactor::kNoTimer), 0);
  uint64_t fired = r.SetTimer(&rec, 0, tag(1));
  spin_until(r, [&] { return rec.timers.size() == 1; });
  uint64_t id = r.SetTimer(&rec, 10, tag(2));
  r.SetTimer(&rec, 20, tag(3));
  EXPECT_NE(id, fired);
  EXPECT_EQ(r.CancelTimer(fired), 0) << "the fired timer's identifier cancelled another timer";
  EXPECT_EQ(r.CancelTimer(id), 1);
  EXPECT_EQ(r.CancelTimer(id), 0) << "a cancelled identifier must never match again";
  spin_until(r, [&] { return rec.timers.size() == 2; });
  EXPECT_EQ(rec.timers, (std::vector<intptr_t>{1, 3}));
}

TEST(ReactorTimers, CancelInsideItsOwnCallback) {
  PollReactor r;
  Recorder rec;
  uint64_t periodic = r.SetTimer(&rec, 0, tag(7), 5);
  uint64_t one_shot = r.SetTimer(&rec, 0, tag(1));
  std::vector<int> results;
  rec.on_timer = [&](intptr_t t) { results.push_back(r.CancelTimer(t == 7 ? periodic : one_shot)); };
  spin_until(r, [&] { return rec.timers.size() >= 2; });
  r.SetTimer(&rec, 40, tag(8));
  spin_until(r, [&] { return rec.timers.size() >= 3; });
  EXPECT_EQ(rec.timers, (std::vector<intptr_t>{7, 1, 8}))
      << "a periodic timer cancelled in its callback stops";
  EXPECT_EQ(results, (std::vector<int>{1, 0, 0})) << "a one-shot timer is already gone in its callback";
}

TEST(ReactorTimers, LatePeriodicTimerCatchesUpOncePerMissedPeriod) {
  PollReactor r;
  Recorder rec;
  const uint64_t set_at = PollReactor::NowMs();
  r.SetTimer(&rec, 0, tag(1), 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(55));
  const uint64_t late = PollReactor::NowMs() - set_at;
  r.RunOnce(true);
  const uint64_t after = PollReactor::NowMs() - set_at;
  // Due at 0, 10, 20, ...: every period that passed fires in this one cycle.
  EXPECT_GE(rec.timers.size(), late / 10 + 1);
  EXPECT_LE(rec.timers.size(), after / 10 + 1);
}

TEST(ReactorWakeUp, TimerFromAnotherThreadWakesALongPoll) {
  PollReactor r;
  Recorder rec;
  r.SetTimer(&rec, 60000, tag(1));
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    r.SetTimer(&rec, 0, tag(2));
  });
  auto began = std::chrono::steady_clock::now();
  spin_until(
      r, [&] { return !rec.timers.empty(); }, 5);
  other.join();
  EXPECT_EQ(rec.timers, (std::vector<intptr_t>{2}));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
}

TEST(ReactorWakeUp, StopFromAnotherThreadEndsRun) {
  PollReactor r;
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    r.Stop();
  });
  r.Run();  // waits without a time-out: only the wake-up byte can end it
  other.join();
  EXPECT_FALSE(r.Running());
}

TEST(ReactorWakeUp, CancelFromAnotherThreadWhileLoopRuns) {
  PollReactor r;
  Recorder rec;
  std::atomic<int> cancelled{0};
  std::vector<uint64_t> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(r.SetTimer(&rec, 1 + i % 20, tag(i)));
  std::thread other([&] {
    for (size_t i = 0; i < ids.size(); i += 2) cancelled += r.CancelTimer(ids[i]);
  });
  spin_until(
      r, [&] { return rec.timers.size() + cancelled.load() >= 200; }, 500);
  other.join();
  spin_until(
      r, [&] { return rec.timers.size() + cancelled.load() >= 200; }, 500);
  EXPECT_EQ(rec.timers.size() + cancelled.load(), 200u) << "every timer either fired or was cancelled, once";
}

TEST(ReactorNotify, CustomInputAndZeroByte) {
  PollReactor r;
  Recorder rec;
  r.Notify(1);  // no receiver yet: dropped
  r.Notify(0);
  r.RunOnce(true);
  EXPECT_TRUE(rec.inputs.empty());
  r.SetCustom(&rec);
  r.Notify(3);
  r.Notify(1);
  r.RunOnce(true);
  EXPECT_EQ(rec.inputs, (std::vector<int>{3, 1}));
}

// The loop's own thread posting to itself (the single-thread work queue) is served within the cycle,
// including what a receiver posts while it runs, and a timer callback's post does not wait for the next
// descriptor to become ready.
TEST(ReactorNotify, OwnPostsServedInTheSameCycle) {
  PollReactor r;
  struct Reposting : InputCB {
    PollReactor* r = nullptr;
    std::vector<int> inputs;
    void OnInput(int value) override {
      inputs.push_back(value);
      if (value == 2) r->Notify(5);
    }
  } rec;
  rec.r = &r;
  r.SetCustom(&rec);
  r.Notify(2);
  r.RunOnce(true);
  EXPECT_EQ(rec.inputs, (std::vector<int>{2, 5}));

  Recorder timer;
  timer.on_timer = [&](intptr_t) { r.Notify(7); };
  r.SetTimer(&timer, 0, tag(1));
  r.RunOnce(true);
  EXPECT_EQ(rec.inputs, (std::vector<int>{2, 5, 7}));
}

TEST(ReactorSignals, SignalArrivesOnTheLoopBeforeTimersOfThatCycle) {
  PollReactor r;
  Recorder rec;
  r.RegisterSignal(&rec, SIGUSR2);
  raise(SIGUSR2);
  r.RunOnce(true);
  EXPECT_EQ(rec.signals, (std::vector<int>{SIGUSR2}));
  r.UnregisterSignal(SIGUSR2);
}

TEST(ReactorDescriptors, InputWinsOverErrorAndRemovedDescriptorGetsNothing) {
  PollReactor r;
  Recorder rec;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
  r.RegisterDescriptor(sv[0], &rec, &rec);
  ASSERT_EQ(write(sv[1], "x", 1), 1);
  r.RunOnce(true);
  EXPECT_EQ(rec.inputs, (std::vector<int>{sv[0]}));
  EXPECT_TRUE(rec.errors.empty());
  char b;
  ASSERT_EQ(read(sv[0], &b, 1), 1);
  r.UnregisterDescriptor(sv[0]);
  ASSERT_EQ(write(sv[1], "y", 1), 1);
  r.SetTimer(&rec, 20, tag(1));
  spin_until(r, [&] { return !rec.timers.empty(); });
  EXPECT_EQ(rec.inputs.size(), 1u);
  close(sv[0]);
  close(sv[1]);
}

TEST(ReactorDescriptors, InvalidDescriptorIsRemovedAfterItsCycle) {
  PollReactor r;
  Recorder rec;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
  r.RegisterDescriptor(sv[0], &rec);
  close(sv[0]);
  r.RunOnce(true);  // POLLNVAL: unregistered
  r.SetTimer(&rec, 10, tag(1));
  spin_until(r, [&] { return !rec.timers.empty(); });
  EXPECT_TRUE(rec.inputs.empty());
  close(sv[1]);
}

}  // namespace
