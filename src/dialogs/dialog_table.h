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

#include "foundation/inet_addr.h"
#include "foundation/locks.h"

class Dialog;

class DialogTable {
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
  ObjectGuard<Dialog> GetDialog(const std::string& key) const;

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
  // Applies every pending key message on the calling thread (single-thread tests and shutdown).
  void DrainKeyQueue();

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

  std::deque<KeyMessage> key_queue_;  // guarded by key_queue_lock_
  ConditionMutex key_queue_lock_;
  std::atomic<bool> key_stop_{false};
  int32_t next_number_ = 0x10000;  // guarded by table_lock_ (write)

  static DialogTable* instance_;
};
