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
