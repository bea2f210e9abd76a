#include "dialogs/dialog_table.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>

#include "dialogs/dialog.h"
#include "foundation/log.h"

DialogTable* DialogTable::instance_ = nullptr;

namespace {
constexpr int32_t kFirstNumber = 0x10000;
constexpr int32_t kLastNumber = 0x7FFFFFFF;
}  // namespace

DialogTable::DialogTable() {
  if (instance_ == nullptr) instance_ = this;
}

DialogTable::~DialogTable() {
  if (instance_ == this) instance_ = nullptr;
}

ObjectGuard<Dialog> DialogTable::GetDialog(int no) const {
  ReadGuard guard(DlgLock);
  auto it = PDialogs.find(static_cast<unsigned>(no));
  return ObjectGuard<Dialog>(it == PDialogs.end() ? nullptr : it->second);
}

ObjectGuard<Dialog> DialogTable::GetDialog(const std::string& key) const {
  ReadGuard guard(DlgLock);
  auto it = Dialogs.find(key);
  return ObjectGuard<Dialog>(it == Dialogs.end() ? nullptr : it->second);
}

// DlgLock held for writing. Numbers wrap to 65537 and skip those still in use.
unsigned DialogTable::NextNumber() {
  for (;;) {
    if (next_number_ == kLastNumber) next_number_ = kFirstNumber;
    ++next_number_;
    if (PDialogs.find(static_cast<unsigned>(next_number_)) == PDialogs.end()) return static_cast<unsigned>(next_number_);
  }
}

// DlgLock held for writing.
bool DialogTable::EnterDialog(Dialog* d) {
  auto [it, inserted] = Dialogs.emplace(d->key_, d);
  if (!inserted) return false;
  d->number_ = NextNumber();
  PDialogs[d->number_] = d;
  return true;
}

// DlgLock held for writing: every entry that leads to d goes, so no lookup can reach freed memory.
void DialogTable::EraseDialog(Dialog* d) {
  auto erase_key = [&](const std::string& key) {
    auto it = Dialogs.find(key);
    if (it != Dialogs.end() && it->second == d) Dialogs.erase(it);
  };
  auto erase_num = [&](unsigned no) {
    auto it = PDialogs.find(no);
    if (it != PDialogs.end() && it->second == d) PDialogs.erase(it);
  };
  erase_key(d->key_);
  erase_num(d->number_);
  for (const auto& k : d->extra_keys_) erase_key(k);
  for (unsigned n : d->extra_numbers_) erase_num(n);
}

int32_t DialogTable::GlobalNo() const {
  ReadGuard guard(DlgLock);
  return next_number_;
}

void DialogTable::DestroyAll() {
  WriteGuard guard(DlgLock);
  while (!Dialogs.empty()) delete Dialogs.begin()->second;  // each erases its own entries
  PDialogs.clear();
}

size_t DialogTable::DialogCount() const {
  ReadGuard guard(DlgLock);
  return Dialogs.size();
}

size_t DialogTable::NumberCount() const {
  ReadGuard guard(DlgLock);
  return PDialogs.size();
}

void DialogTable::Post(KeyMsg m) {
  MutexGuard guard(KqLock);
  KQ.push_back(m);
  KqLock.signal();
}

void DialogTable::AddKey(int uno, int no) { Post({KeyMsg::ADD_NUMBER, uno, static_cast<uint64_t>(no)}); }
void DialogTable::RemoveKey(int no, int uno) { Post({KeyMsg::REMOVE_NUMBER, no, static_cast<uint64_t>(uno)}); }
void DialogTable::AddNKey(int uno) { Post({KeyMsg::ADD_KEY, uno, 0}); }
void DialogTable::UpdKey(int uno, const InetAddress& addr) { Post({KeyMsg::UPDATE_CALL, uno, addr.key().b}); }
void DialogTable::ClearReg(int uno) { Post({KeyMsg::CLEAR_REGISTRATION, uno, 0}); }

bool DialogTable::AddAlias(unsigned no, const std::string& key) {
  WriteGuard guard(DlgLock);
  auto owner = PDialogs.find(no);
  if (owner == PDialogs.end()) return false;
  Dialog* d = owner->second;
  auto [it, inserted] = Dialogs.emplace(key, d);
  if (!inserted) return it->second == d;
  d->extra_keys_.push_back(key);
  return true;
}

void DialogTable::Apply(const KeyMsg& m) {
  switch (m.km_type) {
    case KeyMsg::UPDATE_CALL: {
      if (ObjectGuard<Dialog> d = GetDialog(m.uno)) {
        InetAddress a;
        InetAddress::key_t k;
        k.b = m.addNo;
        a.setkey(k);
        d->ClnSipAddr(a);
      }
      return;
    }
    case KeyMsg::CLEAR_REGISTRATION:
      if (ObjectGuard<Dialog> d = GetDialog(m.uno)) d->Register(nullptr);
      return;
    default: break;
  }
  WriteGuard guard(DlgLock);
  switch (m.km_type) {
    case KeyMsg::ADD_NUMBER: {
      auto owner = PDialogs.find(static_cast<unsigned>(m.uno));
      if (owner == PDialogs.end()) return;
      Dialog* d = owner->second;
      unsigned no = static_cast<unsigned>(m.addNo);
      PDialogs[no] = d;
      if (std::find(d->extra_numbers_.begin(), d->extra_numbers_.end(), no) == d->extra_numbers_.end())
        d->extra_numbers_.push_back(no);
      return;
    }
    case KeyMsg::ADD_KEY: {
      auto owner = PDialogs.find(static_cast<unsigned>(m.uno));
      if (owner == PDialogs.end()) return;
      Dialog* d = owner->second;
      Dialogs[d->key_] = d;
      if (std::find(d->extra_keys_.begin(), d->extra_keys_.end(), d->key_) == d->extra_keys_.end())
        d->extra_keys_.push_back(d->key_);
      return;
    }
    case KeyMsg::REMOVE_NUMBER: {
      auto it = PDialogs.find(static_cast<unsigned>(m.uno));
      if (it == PDialogs.end() || it->second->number_ != static_cast<unsigned>(m.addNo)) return;
      Dialog* d = it->second;
      PDialogs.erase(it);
      d->extra_numbers_.erase(std::remove(d->extra_numbers_.begin(), d->extra_numbers_.end(), static_cast<unsigned>(m.uno)),
                           d->extra_numbers_.end());
      return;
    }
    default: return;
  }
}

void DialogTable::DrainKeyQueue() {
  for (;;) {
    KeyMsg m;
    {
      MutexGuard guard(KqLock);
      if (KQ.empty()) return;
      m = KQ.front();
      KQ.pop_front();
    }
    Apply(m);
  }
}

void DialogTable::KeyManageLoop() {
  MutexGuard guard(KqLock);
  while (!key_stop_m.load(std::memory_order_acquire)) {
    while (!KQ.empty()) {
      KeyMsg m = KQ.front();
      KQ.pop_front();
      guard.unlock();
      Apply(m);
      guard.lock();
    }
    if (key_stop_m.load(std::memory_order_acquire)) break;
    KqLock.wait();
  }
}

void* DialogTable::KeyMngLoop(void* table) {
  prctl(PR_SET_NAME, "Manage Keys");
  Log("ostrel", LEVEL_ALWAYS, "Start Key Manager Loop\n");
  static_cast<DialogTable*>(table)->KeyManageLoop();
  Log("ostrel", LEVEL_ALWAYS, "Stop Key Manager Loop\n");
  return nullptr;
}

void DialogTable::StopKeyManager() {
  MutexGuard guard(KqLock);
  key_stop_m.store(true, std::memory_order_release);
  KqLock.broadcast();
}

void DialogTable::Destroy(ObjectGuard<Dialog> d) {
  if (!d) return;
  unsigned no = d->UniqNo();
  d.reset();
  Destroy(no);
}

void DialogTable::Destroy(unsigned no) {
  for (unsigned k = 0;; ++k) {
    if (k > 0) {
      sched_yield();
      if (k % 1000 == 1) Log(static_cast<int>(no), LEVEL_DEBUG, "Attempt to Destroy(%u) - Prevent dead lock. Yield!\n", k / 1000);
    }
    WriteGuard guard(DlgLock);
    auto it = PDialogs.find(no);
    if (it == PDialogs.end()) return;
    Dialog* d = it->second;
    if (d->trylock() != 0) continue;
    d->unlock();
    delete d;
    return;
  }
}
