// Work queue growth, retirement and overload refusal with workers held busy, the order of one dialog's
// items among several workers, and single-thread mode.
#include "core/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Item : QueueItem {
  int n;
  explicit Item(int v) : n(v) {}
};

// Workers block in Process until the gate opens, so queue lengths are under the test's control.
class GatedQueue : public WorkQueue {
 public:
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  int busy = 0;
  int done = 0;

  void Process(QueueMessage) override {
    std::unique_lock<std::mutex> lock(m);
    ++busy;
    cv.notify_all();
    cv.wait(lock, [&] { return open; });
    --busy;
    ++done;
    cv.notify_all();
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }
  bool WaitBusy(int n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return busy == n; });
  }
  bool WaitDone(int n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return done == n; });
  }
  int puts = 0;
  void Put(int v) {
    ++puts;
    PutQueue(QueueMessage{std::make_unique<Item>(v), QueueMessage::QM_EXTERNAL});
  }
};

bool eventually(const std::function<bool()>& cond) {
  for (int i = 0; i < 2000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return cond();
}

TEST(WorkQueueThreads, GrowsPastTheMaximumByOneThenRefusesAtTenTimesTheWorkers) {
  GatedQueue q;
  ASSERT_EQ(q.StartQueueThreads(4, 4), 0);
  for (int i = 0; i < 4; ++i) q.Put(i);
  ASSERT_TRUE(q.WaitBusy(4));
  EXPECT_EQ(q.Workers(), 4u);

  for (int i = 0; i < 15; ++i) q.Put(i);
  EXPECT_EQ(q.Workers(), 4u) << "15 waiting items are below 4 x 4";
  q.Put(15);  // 16 waiting: a fifth worker, one more than the maximum
  EXPECT_EQ(q.Workers(), 5u);
  ASSERT_TRUE(q.WaitBusy(5));

  while (q.Length() < 20) q.Put(0);
  EXPECT_EQ(q.Workers(), 5u) << "no worker beyond maximum + 1";
  while (q.Length() < 49) q.Put(0);
  EXPECT_EQ(q.Stats().dropped.load(), 0u);
  q.Put(0);  // 50 = 10 x 5: refused, not queued, and the process lives on
  EXPECT_EQ(q.Length(), 49u);
  EXPECT_EQ(q.Stats().dropped.load(), 1u);

  q.Open();
  ASSERT_TRUE(q.WaitDone(q.puts - 1));
  EXPECT_TRUE(eventually([&] { return q.Workers() == 4u; }))
      << "the extra worker retires when the queue drains";
  q.StopWorkers(2000);
}

TEST(WorkQueueThreads, DefaultMaximumKeepsPaceWithTheQueue) {
  GatedQueue q;
  ASSERT_EQ(q.StartQueueThreads(2, 0), 0);
  q.Put(0);
  q.Put(0);
  ASSERT_TRUE(q.WaitBusy(2));
  for (int i = 0; i < 200; ++i) q.Put(0);
  EXPECT_EQ(q.Stats().dropped.load(), 0u)
      << "with room to grow, the queue never reaches ten times the workers";
  EXPECT_GT(q.Workers(), 20u);
  q.Open();
  ASSERT_TRUE(q.WaitDone(202));
  EXPECT_TRUE(eventually([&] { return q.Workers() == 2u; }));
  q.StopWorkers(2000);
}

// Each item runs until the test releases it by number; the queue's key is the item's dialog.
class KeyedQueue : public WorkQueue {
 public:
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> started;
  std::vector<int> finished;
  std::set<int> released;

  void Process(QueueMessage msg) override {
    const int n = static_cast<Item*>(msg.item.get())->n;
    std::unique_lock<std::mutex> lock(m);
    started.push_back(n);
    cv.notify_all();
    cv.wait(lock, [&] { return released.count(n) != 0; });
    finished.push_back(n);
    cv.notify_all();
  }
  void Put(int n, uint64_t key) {
    PutQueue(QueueMessage{std::make_unique<Item>(n), QueueMessage::QM_INTERNAL, key});
  }
  void Release(int n) {
    std::lock_guard<std::mutex> lock(m);
    released.insert(n);
    cv.notify_all();
  }
  bool WaitStarted(size_t count) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return started.size() >= count; });
  }
  bool WaitFinished(size_t count) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return finished.size() >= count; });
  }
  std::vector<int> Started() {
    std::lock_guard<std::mutex> lock(m);
    return started;
  }
};

TEST(WorkQueueThreads, ItemsOfOneDialogRunOneAtATimeInQueueOrderOthersAlongside) {
  KeyedQueue q;
  ASSERT_EQ(q.StartQueueThreads(3, 3), 0);
  q.Put(1, 7);
  q.Put(2, 7);  // the same dialog as 1: waits for it although a worker is free
  q.Put(3, 9);
  ASSERT_TRUE(q.WaitStarted(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong start of 2
  // 1 and 3 start on two workers at once, in either order.
  auto started = q.Started();
  std::sort(started.begin(), started.end());
  EXPECT_EQ(started, (std::vector<int>{1, 3})) << "another dialog's item runs beside 1, not 2";
  EXPECT_EQ(q.Length(), 1u);

  q.Release(3);
  ASSERT_TRUE(q.WaitFinished(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(q.Length(), 1u) << "the worker that finished 3 must not take 2 while 1 runs";

  q.Release(1);
  ASSERT_TRUE(q.WaitStarted(3));
  started = q.Started();
  ASSERT_EQ(started.size(), 3u);
  EXPECT_EQ(started.back(), 2) << "2 starts only after 1 ended";
  q.Release(2);
  ASSERT_TRUE(q.WaitFinished(3));
  q.StopWorkers(2000);
}

// Many items of a few dialogs and some without a key through four workers: a dialog's items never overlap
// and run in the order they were queued.
class OrderCheckingQueue : public WorkQueue {
 public:
  std::mutex m;
  std::map<uint64_t, int> running;
  std::map<uint64_t, int> last;
  int overlaps = 0;
  int out_of_order = 0;
  std::atomic<int> done{0};

  void Process(QueueMessage msg) override {
    const int n = static_cast<Item*>(msg.item.get())->n;
    if (msg.key != 0) {
      std::lock_guard<std::mutex> lock(m);
      if (running[msg.key]++ != 0) ++overlaps;
      if (last.count(msg.key) != 0 && last[msg.key] > n) ++out_of_order;
      last[msg.key] = n;
    }
    std::this_thread::yield();
    if (msg.key != 0) {
      std::lock_guard<std::mutex> lock(m);
      --running[msg.key];
    }
    done.fetch_add(1);
  }
};

TEST(WorkQueueThreads, ManyDialogsThroughFourWorkersKeepEachDialogsOrder) {
  OrderCheckingQueue q;
  ASSERT_EQ(q.StartQueueThreads(4, 4), 0);
  constexpr int kItems = 2000;
  for (int i = 0; i < kItems; ++i) {
    while (q.Length() > 20) std::this_thread::yield();
    q.PutQueue(
        QueueMessage{std::make_unique<Item>(i), QueueMessage::QM_EXTERNAL, static_cast<uint64_t>(i % 5)});
  }
  ASSERT_TRUE(eventually([&] { return q.done.load() == kItems; }));
  q.StopWorkers(2000);
  std::lock_guard<std::mutex> lock(q.m);
  EXPECT_EQ(q.overlaps, 0);
  EXPECT_EQ(q.out_of_order, 0);
  EXPECT_EQ(q.Stats().dropped.load(), 0u);
}

class CountingQueue : public WorkQueue {
 public:
  int processed = 0;
  void Process(QueueMessage m) override {
    ASSERT_NE(m.item, nullptr);
    ++processed;
  }
};

TEST(WorkQueueSingleThread, EachItemNotifiesAndTheReactorDrainsTheQueue) {
  PollReactor reactor;
  CountingQueue q;
  q.UseReactor(&reactor);
  reactor.SetCustom(&q);
  for (int i = 0; i < 5; ++i) q.PutQueue(QueueMessage{std::make_unique<Item>(i), QueueMessage::QM_INTERNAL});
  EXPECT_EQ(q.Workers(), 0u);
  EXPECT_EQ(q.Length(), 5u);
  reactor.RunOnce(true);
  EXPECT_EQ(q.processed, 5);
  EXPECT_EQ(q.Length(), 0u);
  EXPECT_EQ(q.Stats().int_done.load(), 5u);
}

}  // namespace
