// The state store's queue of changes: a newer change of a record replaces the pending one in its place, a
// full queue drops the oldest and counts it, the full snapshot is never dropped, and a change sent back after
// a failure never overwrites a newer one. With the thread: changes queued from many threads while the store
// is unreachable, and a stop that does not wait for it.
#include "core/state_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

StoreWrite Set(const std::string& value) { return StoreWrite{StoreWrite::SET, "k", value, 1000}; }

std::vector<std::string> TakeAll(StoreQueue& q) {
  std::vector<std::pair<std::string, StoreWrite>> out;
  q.Take(out, 1000);
  std::vector<std::string> seen;
  for (auto& [slot, w] : out) seen.push_back(slot + "=" + w.value);
  return seen;
}

TEST(StoreQueue, CoalescesByRecordDropsTheOldestWhenFull) {
  StoreQueue q(3);
  q.Push("a", Set("1"));
  q.Push("b", Set("1"));
  q.Push("a", Set("2"));  // replaces a's pending change, keeps its place
  q.Push("c", Set("1"));
  EXPECT_EQ(q.size(), 3u);
  q.Push("d", Set("1"));  // full: a, the oldest, goes
  EXPECT_EQ(q.Dropped(), 1u);
  q.Push("e", Set("1"), /*unbounded=*/true);  // a snapshot's change: nothing goes
  EXPECT_EQ(q.Dropped(), 1u);
  q.Push("b", Set("old"), false, /*if_absent=*/true);  // sent back after a failure: b has a newer one
  q.Push("f", Set("1"), true, true);
  EXPECT_EQ(TakeAll(q), (std::vector<std::string>{"b=1", "c=1", "d=1", "e=1", "f=1"}));
  EXPECT_TRUE(q.empty());
}

TEST(StateStoreThread, ChangesFromManyThreadsWhileTheStoreIsUnreachable) {
  StateStore store;
  StateStore::Target t;
  t.host = "127.0.0.1";
  t.port = 1;  // nothing listens: every connection is refused at once
  t.cluster = "test";
  t.node = "n";
  store.Configure(t);
  ASSERT_TRUE(store.Start([] {}, [](const std::string&) {}));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&store, i] {
      for (int n = 0; n < 2000; ++n) {
        store.Put(store.Key("reg", std::to_string(n % 50)), "R|" + std::to_string(i), 1000);
        if (n % 7 == 0) store.Remove(store.Key("call", std::to_string(n % 30)));
        if (n % 100 == 0) store.Publish("1.2.3.4:0", "K|n|1.2.3.4:0|10");
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_FALSE(store.Connected());
  EXPECT_LE(store.Pending(), 50u + 30u + 1u);  // one pending change per record
  const auto start = std::chrono::steady_clock::now();
  store.Stop(200);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  store.Put("late", "x", 10);  // after the stop: not taken
  EXPECT_LE(store.Pending(), 81u);
}

}  // namespace
