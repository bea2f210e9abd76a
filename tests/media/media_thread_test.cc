// Media threads are joinable and woken through their descriptor; a thread that cannot start leaves nothing.
#include "media/media_thread.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>

namespace {

struct Body {
  MediaThread* thread;
  std::atomic<bool> returned{false};
  static void* Run(void* arg) {
    auto* self = static_cast<Body*>(arg);
    pollfd p{self->thread->WakeFd(), POLLIN, 0};
    while (poll(&p, 1, -1) <= 0) {
    }
    self->returned = true;
    return nullptr;
  }
};

TEST(MediaThread, StopWakesTheBodyAndReturnsAfterIt) {
  MediaThread t;
  Body body{&t};
  ASSERT_TRUE(t.Start(&Body::Run, &body));
  EXPECT_TRUE(t.Running());
  EXPECT_FALSE(t.Start(&Body::Run, &body));
  t.Stop();
  EXPECT_TRUE(body.returned);
  EXPECT_FALSE(t.Running());
  EXPECT_EQ(t.WakeFd(), -1);
  t.Stop();
}

TEST(MediaThread, AThreadThatCannotBeCreatedIsReportedAndLeavesNothing) {
  MediaThread t(size_t{1} << 44);  // a stack no machine grants
  Body body{&t};
  EXPECT_FALSE(t.Start(&Body::Run, &body));
  EXPECT_FALSE(t.Running());
  EXPECT_EQ(t.WakeFd(), -1);
}

}  // namespace
