// The process-wide dialog table: dialogs by key and by number (media descriptors below 65536 lead to calls),
// and the key manager that applies table changes posted by threads holding a dialog's lock.
// Any thread may look up, post key messages or destroy; only the key manager thread runs KeyManageLoop.
//
// Lock order: table_lock_ before a dialog's lock_, never after. A thread holding a dialog's lock never waits
// for table_lock_ in write mode: it posts a key message, and Destroy only tries the dialog's lock and backs
// off.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "dialogs/source_limits.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "media/rtp_port.h"

class Dialog;

class DialogTable : public ProbeCalls {
 public:
  using DialogsByKey = std::map<std::string, Dialog*>;
  using DialogsByNumber = std::map<unsigned, Dialog*>;

  struct KeyMessage {
    enum KeyMessageType : uint8_t {
      ADD_NUMBER = 0,
      ADD_KEY = 1,
      REMOVE_NUMBER = 2,
      UPDATE_CALL = 3,
      CLEAR_REGISTRATION = 4
    };
    KeyMessageType km_type;
    int uno;
    uint64_t value;
  };

  DialogTable();
  virtual ~DialogTable();
  DialogTable(const DialogTable&) = delete;
  DialogTable& operator=(const DialogTable&) = delete;

  // The table dialogs enter when they are created (the core's, or a test's).
  static DialogTable* Instance() { return instance_; }

  ObjectGuard<Dialog> GetDialog(int no) const;
  // A probe pair's socket leads to its call through the key manager's number entries.
  void AddProbeHandle(unsigned number, int fd) override { AddKey(static_cast<int>(number), fd); }
  void RemoveProbeHandle(unsigned number, int fd) override { RemoveKey(fd, static_cast<int>(number)); }
  bool DeliverLocked(int fd, unsigned number, const std::function<void()>& deliver) override;
  ObjectGuard<Dialog> GetDialog(const std::string& key) const;
  // For a thread that holds asking's lock: the dialog under key, locked into out only when its lock is free
  // at once, so that a second dialog is never waited for while one is held (two calls naming each other
  // would wait forever). The table's read lock is only tried, backing off with sched_yield.
  enum class TryLookup { FOUND, NONE, SELF, BUSY };
  TryLookup TryGetDialog(const std::string& key, const Dialog& asking, ObjectGuard<Dialog>& out) const;

  void AddKey(int uno, int no);
  // Erases dialogs_by_number_[no] only while it still leads to dialog uno (a descriptor may have been reused
  // since).
  void RemoveKey(int no, int uno);
  void AddNKey(int uno);
  void UpdateKey(int uno, const InetAddress& addr);
  void ClearRegistration(int uno);
  // Enters dialog no under a further key, now, under the write lock: the caller holds no dialog's lock.
  // False when the dialog is gone or the key names another dialog.
  bool AddAlias(unsigned no, const std::string& key);

  void KeyManageLoop();
  static void* KeyManagerLoop(void* table);
  // Ends KeyManageLoop after the messages already queued.
  void StopKeyManager();

  void Destroy(ObjectGuard<Dialog> d);
  void Destroy(unsigned no);

  // The last dialog number given.
  int32_t GlobalNo() const;
  // At exit, after every worker stopped: deletes the dialogs still in the table.
  void DestroyAll();

  size_t DialogCount() const;
  size_t NumberCount() const;

  // --- What each source address holds (SourceLoad), kept here so that every end of a dialog releases it:
  // a dialog's own flags say what it is counted in, and its destruction (EraseDialog) releases the rest.
  // The caller holds the dialog's lock; loads_lock_ is a leaf.
  // A dialog a client at ip opened, and for a call its unanswered INVITE: NONE when admitted (counted),
  // else the limit it would pass (nothing counted).
  SourceCap AdmitSource(Dialog& d, uint32_t ip, bool call, const SourceLimits& limits);
  // An admitted call about to open its ports; false when its source holds limit anchored calls already. A
  // call counted already, or not admitted by source, passes.
  bool AdmitAnchored(Dialog& d, unsigned limit);
  // The call got its final answer, or ends.
  void ReleaseUnanswered(Dialog& d);
  // The call closed its ports.
  void ReleaseAnchored(Dialog& d);
  SourceLoad LoadOf(uint32_t ip) const;
  // Source addresses holding anything.
  size_t SourceCount() const;
  // Applies every pending key message on the calling thread, which holds no dialog's lock (the key
  // manager, a worker after its item, single-thread tests and shutdown).
  void DrainKeyQueue();
  // While on, the calling thread's key messages only join the queue: it applies them itself with
  // ApplyOwnKeys() once it holds no dialog, instead of waking the key manager for each. A worker turns it on
  // for the time of one queue item.
  static void DeferKeys(bool on);
  // Applies the pending key messages when the calling thread deferred any since its last call.
  void ApplyOwnKeys();
  // Waits, at most max_ms, until the key messages posted before the call are applied; true when they are.
  // For a thread that holds no dialog: a request whose dialog was just answered on another worker may
  // arrive before the dialog's new key is in the table.
  bool WaitKeysApplied(int max_ms);

  mutable ReadWriteMutex table_lock_;

 protected:
  friend class Dialog;
  // Dialog's side, called with table_lock_ held for writing.
  bool EnterDialog(Dialog* d);  // false: duplicated key
  void EraseDialog(Dialog* d);
  unsigned NextNumber();

  DialogsByKey dialogs_by_key_;        // guarded by table_lock_
  DialogsByNumber dialogs_by_number_;  // guarded by table_lock_

 private:
  void Post(KeyMessage m);
  void Apply(const KeyMessage& m);
  // Takes d out of one count of its source when the flag says it is in it; takes loads_lock_.
  void Release(Dialog& d, bool Dialog::*counted, unsigned SourceLoad::*count);
  // loads_lock_ held: the entry of ip goes when it holds nothing.
  void Forget(std::unordered_map<uint32_t, SourceLoad>::iterator it);

  mutable Mutex loads_lock_;
  std::unordered_map<uint32_t, SourceLoad> loads_;  // guarded by loads_lock_
  size_t dialogs_in_table_ = 0;                     // guarded by loads_lock_

  std::vector<KeyMessage> key_queue_;  // guarded by key_queue_lock_
  ConditionMutex key_queue_lock_;
  // One applier at a time takes the whole queue, so messages are applied in the order they were posted.
  // Taken before table_lock_ and any dialog's lock, by a thread that holds none of them.
  Mutex apply_lock_;
  std::vector<KeyMessage> applying_;  // guarded by apply_lock_; its capacity is kept
  uint64_t keys_posted_ = 0;          // guarded by key_queue_lock_
  uint64_t keys_applied_ = 0;         // guarded by key_queue_lock_
  int key_waiters_ = 0;               // guarded by key_queue_lock_
  std::atomic<bool> key_stop_{false};
  int32_t next_number_ = 0x10000;  // guarded by table_lock_ (write)

  static DialogTable* instance_;
};
