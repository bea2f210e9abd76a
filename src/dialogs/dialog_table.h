// The process-wide dialog table: dialogs by key and by number (media descriptors below 65536 lead to calls),
// and the key manager that applies table changes posted by threads holding a dialog's lock.
// Any thread may look up, post key messages or destroy; only the key manager thread runs KeyManageLoop.
//
// Lock order: DlgLock before a dialog's Lock_m, never after. A thread holding a dialog's lock never waits for
// DlgLock in write mode: it posts a key message, and Destroy only tries the dialog's lock and backs off.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "foundation/inet_addr.h"
#include "foundation/locks.h"

class Dialog_t;

class DialogTable {
 public:
  using Dialogs_t = std::map<std::string, Dialog_t*>;
  using PDialogs_t = std::map<unsigned, Dialog_t*>;

  struct KeyMsg {
    enum KMType : uint8_t { AddNum = 0, AddStr = 1, RemNum = 2, UpdCall = 3, ClrReg = 4 };
    KMType km_type;
    int uno;
    uint64_t addNo;
  };

  DialogTable();
  virtual ~DialogTable();
  DialogTable(const DialogTable&) = delete;
  DialogTable& operator=(const DialogTable&) = delete;

  // The table dialogs enter when they are created (the core's, or a test's).
  static DialogTable* Instance() { return instance_m; }

  TGuard<Dialog_t> GetDialog(int no) const;
  TGuard<Dialog_t> GetDialog(const std::string& key) const;

  void AddKey(int uno, int no);
  // Erases PDialogs[no] only while it still leads to dialog uno (a descriptor may have been reused since).
  void RemoveKey(int no, int uno);
  void AddNKey(int uno);
  void UpdKey(int uno, const InetAddr& addr);
  void ClearReg(int uno);
  // Enters dialog no under a further key, now, under the write lock: the caller holds no dialog's lock.
  // False when the dialog is gone or the key names another dialog.
  bool AddAlias(unsigned no, const std::string& key);

  void KeyManageLoop();
  static void* KeyMngLoop(void* table);
  // Ends KeyManageLoop after the messages already queued.
  void StopKeyManager();

  void Destroy(TGuard<Dialog_t> d);
  void Destroy(unsigned no);

  // The last dialog number given.
  int32_t GlobalNo() const;
  // At exit, after every worker stopped: deletes the dialogs still in the table.
  void DestroyAll();

  size_t DialogCount() const;
  size_t NumberCount() const;
  // Applies every pending key message on the calling thread (single-thread tests and shutdown).
  void DrainKeyQueue();

  mutable RW_Mutex DlgLock;

 protected:
  friend class Dialog_t;
  // Dialog_t's side, called with DlgLock held for writing.
  bool EnterDialog(Dialog_t* d);  // false: duplicated key
  void EraseDialog(Dialog_t* d);
  unsigned NextNumber();

  Dialogs_t Dialogs;    // guarded by DlgLock
  PDialogs_t PDialogs;  // guarded by DlgLock

 private:
  void Post(KeyMsg m);
  void Apply(const KeyMsg& m);

  std::deque<KeyMsg> KQ;  // guarded by KqLock
  Cond_Mutex KqLock;
  std::atomic<bool> key_stop_m{false};
  int32_t GlobalNo_m = 0x10000;  // guarded by DlgLock (write)

  static DialogTable* instance_m;
};
