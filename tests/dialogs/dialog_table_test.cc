// The dialog table under concurrent lookups, destruction and key messages, and its fault rules.
#include "dialogs/dialog_table.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dialogs/dialog.h"

namespace {

// Creates a dialog and releases the lock its creator holds.
Dialog* make(const std::string& key) {
  auto* d = new Dialog(key);
  if (d->Entered()) d->unlock();
  return d;
}

TEST(DialogTable, NumbersStartAt65537AndDuplicateKeysAreRefused) {
  DialogTable table;
  Dialog* a = make("call-a");
  Dialog* b = make("call-b");
  EXPECT_EQ(a->Number(), 65537u);
  EXPECT_EQ(b->Number(), 65538u);
  EXPECT_EQ(a->NumberText(), "65537");
  auto* dup = new Dialog("call-a");
  EXPECT_FALSE(dup->Entered());
  delete dup;
  EXPECT_TRUE(table.GetDialog("call-a"));
  EXPECT_EQ(table.DialogCount(), 2u);
  table.Destroy(a->Number());
  table.Destroy(b->Number());
  table.Destroy(12345u);  // not in the table: returns at once
  EXPECT_EQ(table.DialogCount(), 0u);
  EXPECT_EQ(table.NumberCount(), 0u);
}

// What a source holds goes down with each end of a dialog, and a source holding nothing has no entry.
TEST(DialogTable, SourceLoadsFollowEachDialogToItsEnd) {
  DialogTable table;
  const uint32_t ip = 0x0A000001, other = 0x0A000002;
  SourceLimits limits;
  limits.dialogs_per_ip = 3;
  limits.unanswered_calls_per_ip = 2;
  limits.max_dialogs = 4;
  std::vector<Dialog*> calls;
  for (const char* key : {"c1", "c2"}) {
    calls.push_back(make(key));
    EXPECT_EQ(table.AdmitSource(*calls.back(), ip, true, limits), SourceCap::NONE);
  }
  Dialog* c3 = make("c3");
  EXPECT_EQ(table.AdmitSource(*c3, ip, true, limits), SourceCap::UNANSWERED_CALLS_PER_IP);
  table.Destroy(c3->Number());
  Dialog* m1 = make("m1");
  EXPECT_EQ(table.AdmitSource(*m1, ip, false, limits), SourceCap::NONE);
  Dialog* m2 = make("m2");
  EXPECT_EQ(table.AdmitSource(*m2, ip, false, limits), SourceCap::DIALOGS_PER_IP);
  table.Destroy(m2->Number());

  EXPECT_TRUE(table.AdmitAnchored(*calls[0], 1));
  EXPECT_TRUE(table.AdmitAnchored(*calls[0], 1)) << "counted once";
  EXPECT_FALSE(table.AdmitAnchored(*calls[1], 1));
  table.ReleaseUnanswered(*calls[0]);  // answered
  table.ReleaseUnanswered(*calls[0]);
  const SourceLoad load = table.LoadOf(ip);
  EXPECT_EQ(load.dialogs, 3u);
  EXPECT_EQ(load.unanswered, 1u);
  EXPECT_EQ(load.anchored, 1u);

  Dialog* o1 = make("o1");
  EXPECT_EQ(table.AdmitSource(*o1, other, false, limits), SourceCap::NONE);
  Dialog* o2 = make("o2");
  EXPECT_EQ(table.AdmitSource(*o2, other, false, limits), SourceCap::MAX_DIALOGS) << "5 in the table";
  table.Destroy(o2->Number());
  table.Destroy(o1->Number());
  EXPECT_EQ(table.SourceCount(), 1u);

  table.ReleaseAnchored(*calls[0]);
  for (Dialog* d : calls) table.Destroy(d->Number());  // unanswered or not, the destruction releases all
  table.Destroy(m1->Number());
  EXPECT_EQ(table.SourceCount(), 0u);
  EXPECT_EQ(table.LoadOf(ip).dialogs, 0u);
}

TEST(DialogTable, DestroyErasesSecondKeysAndDescriptors) {
  DialogTable table;
  Dialog* call = make("first-key");
  const unsigned no = call->Number();
  table.AddKey(static_cast<int>(no), 17);  // its media descriptor
  table.DrainKeyQueue();
  EXPECT_TRUE(table.GetDialog(17));
  table.Destroy(no);
  EXPECT_FALSE(table.GetDialog(17)) << "a descriptor entry must not outlive its call";
  EXPECT_EQ(table.NumberCount(), 0u);
}

TEST(DialogTable, RemoveKeyOnlyForTheDialogThatPostedIt) {
  DialogTable table;
  Dialog* old_call = make("old");
  Dialog* new_call = make("new");
  table.AddKey(static_cast<int>(old_call->Number()), 21);
  table.DrainKeyQueue();
  table.AddKey(static_cast<int>(new_call->Number()), 21);  // descriptor 21 reused by the new call
  table.DrainKeyQueue();
  table.RemoveKey(21, static_cast<int>(old_call->Number()));  // the old call's late removal
  table.RemoveKey(99, static_cast<int>(old_call->Number()));  // never added: nothing changes
  table.DrainKeyQueue();
  {
    ObjectGuard<Dialog> d = table.GetDialog(21);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Number(), new_call->Number());
  }
  table.Destroy(old_call->Number());
  table.Destroy(new_call->Number());
}

TEST(DialogTable, UpdKeyReachesTheLockedDialog) {
  DialogTable table;
  Dialog* d = make("moved");
  table.UpdateKey(static_cast<int>(d->Number()), InetAddress("127.0.0.9:5099"));
  table.UpdateKey(999999, InetAddress("127.0.0.9:1"));  // gone: ignored
  table.DrainKeyQueue();
  EXPECT_EQ(table.GetDialog("moved")->ClientSipAddress().Text(), "127.0.0.9:5099");
  table.Destroy(d->Number());
}

TEST(DialogTable, DestroyWaitsForTheHolder) {
  DialogTable table;
  Dialog* d = make("held");
  const unsigned no = d->Number();
  ObjectGuard<Dialog> held = table.GetDialog(no);
  std::atomic<bool> destroyed{false};
  std::thread other([&] {
    table.Destroy(no);
    destroyed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(destroyed.load());
  held.reset();
  other.join();
  EXPECT_TRUE(destroyed.load());
  EXPECT_FALSE(table.GetDialog(no));
}

TEST(DialogTable, ConcurrentLookupsDestroysAndKeyMessages) {
  DialogTable table;
  pthread_t manager;
  ASSERT_EQ(pthread_create(&manager, nullptr, &DialogTable::KeyManagerLoop, &table), 0);
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Dialog* d = make("k" + std::to_string(t) + "-" + std::to_string(i));
        const int no = static_cast<int>(d->Number());
        const int fd = 100 + t;
        table.AddKey(no, fd);
        {
          ObjectGuard<Dialog> g = table.GetDialog(no);
          if (g)
            table.UpdateKey(no, InetAddress("127.0.0.1:5060"));  // posting while holding the lock is allowed
        }
        if (ObjectGuard<Dialog> g = table.GetDialog(fd)) g->ClientSipAddress();
        table.RemoveKey(fd, no);
        table.Destroy(static_cast<unsigned>(no));
      }
    });
  }
  for (auto& th : threads) th.join();
  table.StopKeyManager();
  pthread_join(manager, nullptr);
  table.DrainKeyQueue();
  EXPECT_EQ(table.DialogCount(), 0u);
  EXPECT_EQ(table.NumberCount(), 0u);
}

}  // namespace

// A worker's key messages wait for it to hold no dialog, then it applies them itself; a thread that must
// see the keys posted before it (holding no dialog) applies what is pending instead of waiting for the
// key manager, which is not running here.
TEST(DialogTable, KeysOfAWorkerAreAppliedByItAndAWaiterAppliesThePendingOnes) {
  DialogTable table;
  Dialog* call = make("early-key");
  table.AddKey(static_cast<int>(call->Number()), 31);
  EXPECT_TRUE(table.WaitKeysApplied(10));
  EXPECT_TRUE(table.GetDialog(31)) << "the key posted before the wait is in the table after it";

  DialogTable::DeferKeys(true);
  table.AddKey(static_cast<int>(call->Number()), 32);
  DialogTable::DeferKeys(false);
  EXPECT_FALSE(table.GetDialog(32)) << "held until the worker holds no dialog";
  table.ApplyOwnKeys();
  EXPECT_TRUE(table.GetDialog(32));
  table.Destroy(call->Number());
}
