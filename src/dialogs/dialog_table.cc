#include "dialogs/dialog_table.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>

#include "dialogs/dialog.h"
#include "foundation/log.h"

DialogTable* DialogTable::instance_m = nullptr;

namespace {
constexpr int32_t kFirstNumber = 0x10000;
constexpr int32_t kLastNumber = 0x7FFFFFFF;
}  // namespace

DialogTable::DialogTable() {
  if (instance_m == nullptr) instance_m = this;
}

DialogTable::~DialogTable() {
  if (instance_m == this) instance_m = nullptr;
}

TGuard<Dialog_t> DialogTable::GetDialog(int no) const {
  Read_Guard_Mutex guard(DlgLock);
  auto it = PDialogs.find(static_cast<unsigned>(no));
  return TGuard<Dialog_t>(it == PDialogs.end() ? nullptr : it->second);
}

TGuard<Dialog_t> DialogTable::GetDialog(const std::string& key) const {
  Read_Guard_Mutex guard(DlgLock);
  auto it = Dialogs.find(key);
  return TGuard<Dialog_t>(it == Dialogs.end() ? nullptr : it->second);
}

// DlgLock held for writing. Numbers wrap to 65537 and skip those still in use.
unsigned DialogTable::NextNumber() {
  for (;;) {
    if (GlobalNo_m == kLastNumber) GlobalNo_m = kFirstNumber;
    ++GlobalNo_m;
    if (PDialogs.find(static_cast<unsigned>(GlobalNo_m)) == PDialogs.end()) return static_cast<unsigned>(GlobalNo_m);
  }
}

// DlgLock held for writing.
bool DialogTable::EnterDialog(Dialog_t* d) {
  auto [it, inserted] = Dialogs.emplace(d->key_m, d);
  if (!inserted) return false;
  d->UniqNo_m = NextNumber();
  PDialogs[d->UniqNo_m] = d;
  return true;
}

// DlgLock held for writing: every entry that leads to d goes, so no lookup can reach freed memory.
void DialogTable::EraseDialog(Dialog_t* d) {
  auto erase_key = [&](const std::string& key) {
    auto it = Dialogs.find(key);
    if (it != Dialogs.end() && it->second == d) Dialogs.erase(it);
  };
  auto erase_num = [&](unsigned no) {
    auto it = PDialogs.find(no);
    if (it != PDialogs.end() && it->second == d) PDialogs.erase(it);
  };
  erase_key(d->key_m);
  erase_num(d->UniqNo_m);
  for (const auto& k : d->ExtraKeys_m) erase_key(k);
  for (unsigned n : d->ExtraNums_m) erase_num(n);
}

int32_t DialogTable::GlobalNo() const {
  Read_Guard_Mutex guard(DlgLock);
  return GlobalNo_m;
}

void DialogTable::DestroyAll() {
  Write_Guard_Mutex guard(DlgLock);
  while (!Dialogs.empty()) delete Dialogs.begin()->second;  // each erases its own entries
  PDialogs.clear();
}

size_t DialogTable::DialogCount() const {
  Read_Guard_Mutex guard(DlgLock);
  return Dialogs.size();
}

size_t DialogTable::NumberCount() const {
  Read_Guard_Mutex guard(DlgLock);
  return PDialogs.size();
}

void DialogTable::Post(KeyMsg m) {
  Guard_Mutex guard(KqLock);
  KQ.push_back(m);
  KqLock.signal();
}

void DialogTable::AddKey(int uno, int no) { Post({KeyMsg::AddNum, uno, static_cast<uint64_t>(no)}); }
void DialogTable::RemoveKey(int no, int uno) { Post({KeyMsg::RemNum, no, static_cast<uint64_t>(uno)}); }
void DialogTable::AddNKey(int uno) { Post({KeyMsg::AddStr, uno, 0}); }
void DialogTable::UpdKey(int uno, const InetAddr& addr) { Post({KeyMsg::UpdCall, uno, addr.key().b}); }
void DialogTable::ClearReg(int uno) { Post({KeyMsg::ClrReg, uno, 0}); }

bool DialogTable::AddAlias(unsigned no, const std::string& key) {
  Write_Guard_Mutex guard(DlgLock);
  auto owner = PDialogs.find(no);
  if (owner == PDialogs.end()) return false;
  Dialog_t* d = owner->second;
  auto [it, inserted] = Dialogs.emplace(key, d);
  if (!inserted) return it->second == d;
  d->ExtraKeys_m.push_back(key);
  return true;
}

void DialogTable::Apply(const KeyMsg& m) {
  switch (m.km_type) {
    case KeyMsg::UpdCall: {
      if (TGuard<Dialog_t> d = GetDialog(m.uno)) {
        InetAddr a;
        InetAddr::key_t k;
        k.b = m.addNo;
        a.setkey(k);
        d->ClnSipAddr(a);
      }
      return;
    }
    case KeyMsg::ClrReg:
      if (TGuard<Dialog_t> d = GetDialog(m.uno)) d->Register(nullptr);
      return;
    default: break;
  }
  Write_Guard_Mutex guard(DlgLock);
  switch (m.km_type) {
    case KeyMsg::AddNum: {
      auto owner = PDialogs.find(static_cast<unsigned>(m.uno));
      if (owner == PDialogs.end()) return;
      Dialog_t* d = owner->second;
      unsigned no = static_cast<unsigned>(m.addNo);
      PDialogs[no] = d;
      if (std::find(d->ExtraNums_m.begin(), d->ExtraNums_m.end(), no) == d->ExtraNums_m.end())
        d->ExtraNums_m.push_back(no);
      return;
    }
    case KeyMsg::AddStr: {
      auto owner = PDialogs.find(static_cast<unsigned>(m.uno));
      if (owner == PDialogs.end()) return;
      Dialog_t* d = owner->second;
      Dialogs[d->key_m] = d;
      if (std::find(d->ExtraKeys_m.begin(), d->ExtraKeys_m.end(), d->key_m) == d->ExtraKeys_m.end())
        d->ExtraKeys_m.push_back(d->key_m);
      return;
    }
    case KeyMsg::RemNum: {
      auto it = PDialogs.find(static_cast<unsigned>(m.uno));
      if (it == PDialogs.end() || it->second->UniqNo_m != static_cast<unsigned>(m.addNo)) return;
      Dialog_t* d = it->second;
      PDialogs.erase(it);
      d->ExtraNums_m.erase(std::remove(d->ExtraNums_m.begin(), d->ExtraNums_m.end(), static_cast<unsigned>(m.uno)),
                           d->ExtraNums_m.end());
      return;
    }
    default: return;
  }
}

void DialogTable::DrainKeyQueue() {
  for (;;) {
    KeyMsg m;
    {
      Guard_Mutex guard(KqLock);
      if (KQ.empty()) return;
      m = KQ.front();
      KQ.pop_front();
    }
    Apply(m);
  }
}

void DialogTable::KeyManageLoop() {
  Guard_Mutex guard(KqLock);
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
  Log("ostrel", LOG_ALWAYS, "Start Key Manager Loop\n");
  static_cast<DialogTable*>(table)->KeyManageLoop();
  Log("ostrel", LOG_ALWAYS, "Stop Key Manager Loop\n");
  return nullptr;
}

void DialogTable::StopKeyManager() {
  Guard_Mutex guard(KqLock);
  key_stop_m.store(true, std::memory_order_release);
  KqLock.broadcast();
}

void DialogTable::Destroy(TGuard<Dialog_t> d) {
  if (!d) return;
  unsigned no = d->UniqNo();
  d.reset();
  Destroy(no);
}

void DialogTable::Destroy(unsigned no) {
  for (unsigned k = 0;; ++k) {
    if (k > 0) {
      sched_yield();
      if (k % 1000 == 1) Log(static_cast<int>(no), LOG_DEBUG, "Attempt to Destroy(%u) - Prevent dead lock. Yield!\n", k / 1000);
    }
    Write_Guard_Mutex guard(DlgLock);
    auto it = PDialogs.find(no);
    if (it == PDialogs.end()) return;
    Dialog_t* d = it->second;
    if (d->trylock() != 0) continue;
    d->unlock();
    delete d;
    return;
  }
}
