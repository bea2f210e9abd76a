// The name resolver seen by its callers: a lookup stuck in the library fails at the time-out and wakes its
// parked messages, a late answer still lands in the cache, Stop does not wait for a stuck library call,
// and the pending and parking bounds refuse at once.
#include "foundation/name_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using State = NameResolver::State;
using Clock = std::chrono::steady_clock;

// A library that answers "ok.test" at once and holds every other name until released.
struct Gate {
  std::mutex lock;
  std::condition_variable open_cv;
  bool open = false;
  void Open() {
    std::lock_guard<std::mutex> guard(lock);
    open = true;
    open_cv.notify_all();
  }
};

NameResolver::LookupFunction Library(std::shared_ptr<Gate> gate) {
  return [gate](const std::string& host, uint32_t& ip) {
    if (host != "ok.test") {
      std::unique_lock<std::mutex> guard(gate->lock);
      gate->open_cv.wait(guard, [&] { return gate->open; });
    }
    ip = 0x0A000001;
    return true;
  };
}

bool WaitFor(const std::function<bool()>& done, int ms = 2000) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return done();
}

TEST(NameResolver, AStuckLookupFailsAtTheTimeOutAndALateAnswerStillCounts) {
  auto gate = std::make_shared<Gate>();
  NameResolver r(Library(gate), 100);
  EXPECT_EQ(r.Lookup("slow.test", 1).state, State::FAILED);  // not started: nothing is asked
  r.Start();
  EXPECT_EQ(r.Lookup("ok.test", 1).state, State::PENDING);
  ASSERT_TRUE(WaitFor([&] { return r.Cached("OK.test").state == State::FOUND; }));
  EXPECT_EQ(r.Lookup("ok.test", 1).ip, 0x0A000001u);

  const auto began = Clock::now();
  EXPECT_EQ(r.Lookup("slow.test", 1).state, State::PENDING);
  std::atomic<bool> woken{false};
  ASSERT_TRUE(r.Park("slow.test", 1, [&] { woken = true; }));
  ASSERT_TRUE(WaitFor([&] { return woken.load(); }));
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(100));
  EXPECT_EQ(r.Cached("slow.test").state, State::FAILED);
  EXPECT_FALSE(r.Park("slow.test", 1, [] {}));  // settled: nothing to wait for

  gate->Open();
  EXPECT_TRUE(WaitFor([&] { return r.Cached("slow.test").state == State::FOUND; }));
}

TEST(NameResolver, StopLeavesALookupStuckInTheLibraryBehind) {
  auto gate = std::make_shared<Gate>();
  {
    NameResolver r(Library(gate), 100);
    r.Start();
    EXPECT_EQ(r.Lookup("stuck.test", 1).state, State::PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto began = Clock::now();
    r.Stop();
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(500));
    EXPECT_EQ(r.Lookup("ok.test", 1).state, State::FAILED);
  }
  gate->Open();  // the detached thread ends on its own, holding the state it shares
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(NameResolver, BoundsRefuseAtOnce) {
  auto gate = std::make_shared<Gate>();
  NameResolver r(Library(gate), 60000);
  r.Start();
  // Per source: the third name of one source is refused, another source is not.
  EXPECT_EQ(r.Lookup("a1.test", 7).state, State::PENDING);
  EXPECT_EQ(r.Lookup("a2.test", 7).state, State::PENDING);
  EXPECT_EQ(r.Lookup("a3.test", 7).state, State::FAILED);
  EXPECT_EQ(r.Lookup("a1.test", 7).state, State::PENDING);  // a name already pending costs nothing
  // In total, sources together; the relay's own (source 0) has only this bound.
  size_t pending = 2;
  for (uint32_t source = 100; pending < NameResolver::kMaxPending; ++source, ++pending)
    ASSERT_EQ(r.Lookup("b" + std::to_string(source) + ".test", source).state, State::PENDING);
  EXPECT_EQ(r.Lookup("c.test", 0).state, State::FAILED);
  // Parking: per source, then in total.
  size_t parked = 0;
  for (; parked < NameResolver::kMaxParkedPerSource; ++parked) ASSERT_TRUE(r.Park("a1.test", 7, [] {}));
  EXPECT_FALSE(r.Park("a1.test", 7, [] {}));
  for (uint32_t source = 1000; parked < NameResolver::kMaxParked; ++source)
    for (size_t i = 0; i < NameResolver::kMaxParkedPerSource && parked < NameResolver::kMaxParked;
         ++i, ++parked)
      ASSERT_TRUE(r.Park("a1.test", source, [] {}));
  EXPECT_FALSE(r.Park("a1.test", 9999, [] {}));
  gate->Open();
  r.Stop();
}

}  // namespace
