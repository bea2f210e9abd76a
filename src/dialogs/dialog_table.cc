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
  ReadGuard guard(table_lock_);
  auto it = dialogs_by_number_.find(static_cast<unsigned>(no));
  return ObjectGuard<Dialog>(it == dialogs_by_number_.end() ? nullptr : it->second);
}

ObjectGuard<Dialog> DialogTable::GetDialog(const std::string& key) const {
  ReadGuard guard(table_lock_);
  auto it = dialogs_by_key_.find(key);
  return ObjectGuard<Dialog>(it == dialogs_by_key_.end() ? nullptr : it->second);
}

// table_lock_ held for writing. Numbers wrap to 65537 and skip those still in use.
unsigned DialogTable::NextNumber() {
  for (;;) {
    if (next_number_ == kLastNumber) next_number_ = kFirstNumber;
    ++next_number_;
    if (dialogs_by_number_.find(static_cast<unsigned>(next_number_)) == dialogs_by_number_.end())
      return static_cast<unsigned>(next_number_);
  }
}

// table_lock_ held for writing.
bool DialogTable::EnterDialog(Dialog* d) {
  auto [it, inserted] = dialogs_by_key_.emplace(d->key_, d);
  if (!inserted) return false;
  d->number_ = NextNumber();
  dialogs_by_number_[d->number_] = d;
  return true;
}

// table_lock_ held for writing: every entry that leads to d goes, so no lookup can reach freed memory.
void DialogTable::EraseDialog(Dialog* d) {
  auto erase_key = [&](const std::string& key) {
    auto it = dialogs_by_key_.find(key);
    if (it != dialogs_by_key_.end() && it->second == d) dialogs_by_key_.erase(it);
  };
  auto erase_num = [&](unsigned no) {
    auto it = dialogs_by_number_.find(no);
    if (it != dialogs_by_number_.end() && it->second == d) dialogs_by_number_.erase(it);
  };
  erase_key(d->key_);
  erase_num(d->number_);
  for (const auto& k : d->extra_keys_) erase_key(k);
  for (unsigned n : d->extra_numbers_) erase_num(n);
}

int32_t DialogTable::GlobalNo() const {
  ReadGuard guard(table_lock_);
  return next_number_;
}

void DialogTable::DestroyAll() {
  WriteGuard guard(table_lock_);
  while (!dialogs_by_key_.empty()) delete dialogs_by_key_.begin()->second;  // each erases its own entries
  dialogs_by_number_.clear();
}

size_t DialogTable::DialogCount() const {
  ReadGuard guard(table_lock_);
  return dialogs_by_key_.size();
}

size_t DialogTable::NumberCount() const {
  ReadGuard guard(table_lock_);
  return dialogs_by_number_.size();
}

void DialogTable::Post(KeyMessage m) {
  MutexGuard guard(key_queue_lock_);
  key_queue_.push_back(m);
  key_queue_lock_.Signal();
}

void DialogTable::AddKey(int uno, int no) { Post({KeyMessage::ADD_NUMBER, uno, static_cast<uint64_t>(no)}); }
void DialogTable::RemoveKey(int no, int uno) {
  Post({KeyMessage::REMOVE_NUMBER, no, static_cast<uint64_t>(uno)});
}
void DialogTable::AddNKey(int uno) { Post({KeyMessage::ADD_KEY, uno, 0}); }
void DialogTable::UpdateKey(int uno, const InetAddress& addr) {
  Post({KeyMessage::UPDATE_CALL, uno, addr.Key().b});
}
void DialogTable::ClearRegistration(int uno) { Post({KeyMessage::CLEAR_REGISTRATION, uno, 0}); }

bool DialogTable::AddAlias(unsigned no, const std::string& key) {
  WriteGuard guard(table_lock_);
  auto owner = dialogs_by_number_.find(no);
  if (owner == dialogs_by_number_.end()) return false;
  Dialog* d = owner->second;
  auto [it, inserted] = dialogs_by_key_.emplace(key, d);
  if (!inserted) return it->second == d;
  d->extra_keys_.push_back(key);
  return true;
}

void DialogTable::Apply(const KeyMessage& m) {
  switch (m.km_type) {
    case KeyMessage::UPDATE_CALL: {
      if (ObjectGuard<Dialog> d = GetDialog(m.uno)) {
        InetAddress a;
        InetAddress::PackedKey k;
        k.b = m.value;
        a.SetKey(k);
        d->ClientSipAddress(a);
      }
      return;
    }
    case KeyMessage::CLEAR_REGISTRATION:
      if (ObjectGuard<Dialog> d = GetDialog(m.uno)) d->Register(nullptr);
      return;
    default:
      break;
  }
  WriteGuard guard(table_lock_);
  switch (m.km_type) {
    case KeyMessage::ADD_NUMBER: {
      auto owner = dialogs_by_number_.find(static_cast<unsigned>(m.uno));
      if (owner == dialogs_by_number_.end()) return;
      Dialog* d = owner->second;
      unsigned no = static_cast<unsigned>(m.value);
      dialogs_by_number_[no] = d;
      if (std::find(d->extra_numbers_.begin(), d->extra_numbers_.end(), no) == d->extra_numbers_.end())
        d->extra_numbers_.push_back(no);
      return;
    }
    case KeyMessage::ADD_KEY: {
      auto owner = dialogs_by_number_.find(static_cast<unsigned>(m.uno));
      if (owner == dialogs_by_number_.end()) return;
      Dialog* d = owner->second;
      dialogs_by_key_[d->key_] = d;
      if (std::find(d->extra_keys_.begin(), d->extra_keys_.end(), d->key_) == d->extra_keys_.end())
        d->extra_keys_.push_back(d->key_);
      return;
    }
    case KeyMessage::REMOVE_NUMBER: {
      auto it = dialogs_by_number_.find(static_cast<unsigned>(m.uno));
      if (it == dialogs_by_number_.end() || it->second->number_ != static_cast<unsigned>(m.value)) return;
      Dialog* d = it->second;
      dialogs_by_number_.erase(it);
      d->extra_numbers_.erase(
          std::remove(d->extra_numbers_.begin(), d->extra_numbers_.end(), static_cast<unsigned>(m.uno)),
          d->extra_numbers_.end());
      return;
    }
    default:
      return;
  }
}

void DialogTable::DrainKeyQueue() {
  for (;;) {
    KeyMessage m;
    {
      MutexGuard guard(key_queue_lock_);
      if (key_queue_.empty()) return;
      m = key_queue_.front();
      key_queue_.pop_front();
    }
    Apply(m);
  }
}

void DialogTable::KeyManageLoop() {
  MutexGuard guard(key_queue_lock_);
  while (!key_stop_.load(std::memory_order_acquire)) {
    while (!key_queue_.empty()) {
      KeyMessage m = key_queue_.front();
      key_queue_.pop_front();
      guard.unlock();
      Apply(m);
      guard.lock();
    }
    if (key_stop_.load(std::memory_order_acquire)) break;
    key_queue_lock_.wait();
  }
}

void* DialogTable::KeyManagerLoop(void* table) {
  prctl(PR_SET_NAME, "Manage Keys");
  Log("ostrel", LEVEL_ALWAYS, "Start Key Manager Loop\n");
  static_cast<DialogTable*>(table)->KeyManageLoop();
  Log("ostrel", LEVEL_ALWAYS, "Stop Key Manager Loop\n");
  return nullptr;
}

void DialogTable::StopKeyManager() {
  MutexGuard guard(key_queue_lock_);
  key_stop_.store(true, std::memory_order_release);
  key_queue_lock_.Broadcast();
}

void DialogTable::Destroy(ObjectGuard<Dialog> d) {
  if (!d) return;
  unsigned no = d->Number();
  d.reset();
  Destroy(no);
}

void DialogTable::Destroy(unsigned no) {
  for (unsigned k = 0;; ++k) {
    if (k > 0) {
      sched_yield();
      if (k % 1000 == 1)
        Log(static_cast<int>(no), LEVEL_DEBUG, "Attempt to Destroy(%u) - Prevent dead lock. Yield!\n",
            k / 1000);
    }
    WriteGuard guard(table_lock_);
    auto it = dialogs_by_number_.find(no);
    if (it == dialogs_by_number_.end()) return;
    Dialog* d = it->second;
    if (d->trylock() != 0) continue;
    d->unlock();
    delete d;
    return;
  }
}
