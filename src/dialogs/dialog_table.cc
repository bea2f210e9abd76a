#include "dialogs/dialog_table.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "dialogs/dialog.h"
#include "foundation/log.h"

DialogTable* DialogTable::instance_ = nullptr;

namespace {
constexpr int32_t kFirstNumber = 0x10000;
constexpr int32_t kLastNumber = 0x7FFFFFFF;
}  // namespace

DialogTable::DialogTable() {
  if (instance_ == nullptr) {
    instance_ = this;
    ProbeCalls::SetInstance(this);
  }
}

DialogTable::~DialogTable() {
  if (instance_ == this) {
    instance_ = nullptr;
    ProbeCalls::SetInstance(nullptr);
  }
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

DialogTable::TryLookup DialogTable::TryGetDialog(const std::string& key, const Dialog& asking,
                                                 ObjectGuard<Dialog>& out) const {
  for (unsigned k = 0; table_lock_.TryReadLock() != 0; ++k) {
    if (k % 1000 == 1)
      Log(static_cast<int>(asking.Number()), LEVEL_DEBUG, "Attempt(%u) to lock Dialog List. Yield!\n",
          k / 1000);
    sched_yield();
  }
  ReadGuard guard(table_lock_, MutexGuard::WAS_LOCKED);
  auto it = dialogs_by_key_.find(key);
  if (it == dialogs_by_key_.end()) return TryLookup::NONE;
  Dialog* d = it->second;
  if (d == &asking) return TryLookup::SELF;
  if (d->trylock() != 0) return TryLookup::BUSY;
  out.Set(d);
  return TryLookup::FOUND;
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
  MutexGuard loads(loads_lock_);
  ++dialogs_in_table_;
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
  MutexGuard loads(loads_lock_);
  --dialogs_in_table_;
  if (d->counted_ip_ == 0) return;
  auto it = loads_.find(d->counted_ip_);
  if (it != loads_.end()) {
    --it->second.dialogs;
    if (d->counted_unanswered_) --it->second.unanswered;
    if (d->counted_anchored_) --it->second.anchored;
    Forget(it);
  }
  d->counted_ip_ = 0;
  d->counted_unanswered_ = d->counted_anchored_ = false;
}

void DialogTable::Forget(std::unordered_map<uint32_t, SourceLoad>::iterator it) {
  if (it->second.Empty()) loads_.erase(it);
}

SourceCap DialogTable::AdmitSource(Dialog& d, uint32_t ip, bool call, const SourceLimits& limits) {
  MutexGuard loads(loads_lock_);
  if (d.counted_ip_ != 0 || ip == 0) return SourceCap::NONE;
  // The dialog is in the table already: the total includes it.
  if (limits.max_dialogs != 0 && dialogs_in_table_ > limits.max_dialogs) return SourceCap::MAX_DIALOGS;
  auto it = loads_.find(ip);
  const SourceLoad held = it != loads_.end() ? it->second : SourceLoad();
  if (limits.dialogs_per_ip != 0 && held.dialogs >= limits.dialogs_per_ip) return SourceCap::DIALOGS_PER_IP;
  if (call && limits.unanswered_calls_per_ip != 0 && held.unanswered >= limits.unanswered_calls_per_ip)
    return SourceCap::UNANSWERED_CALLS_PER_IP;
  SourceLoad& load = loads_[ip];
  ++load.dialogs;
  if (call) ++load.unanswered;
  d.counted_ip_ = ip;
  d.counted_unanswered_ = call;
  return SourceCap::NONE;
}

bool DialogTable::AdmitAnchored(Dialog& d, unsigned limit) {
  MutexGuard loads(loads_lock_);
  if (d.counted_ip_ == 0 || d.counted_anchored_) return true;
  SourceLoad& load = loads_[d.counted_ip_];
  if (limit != 0 && load.anchored >= limit) return false;
  ++load.anchored;
  d.counted_anchored_ = true;
  return true;
}

void DialogTable::ReleaseUnanswered(Dialog& d) {
  Release(d, &Dialog::counted_unanswered_, &SourceLoad::unanswered);
}

void DialogTable::ReleaseAnchored(Dialog& d) {
  Release(d, &Dialog::counted_anchored_, &SourceLoad::anchored);
}

void DialogTable::Release(Dialog& d, bool Dialog::*counted, unsigned SourceLoad::*count) {
  MutexGuard loads(loads_lock_);
  if (!(d.*counted)) return;
  d.*counted = false;
  auto it = loads_.find(d.counted_ip_);
  if (it == loads_.end()) return;
  --(it->second.*count);
  Forget(it);
}

SourceLoad DialogTable::LoadOf(uint32_t ip) const {
  MutexGuard loads(loads_lock_);
  auto it = loads_.find(ip);
  return it != loads_.end() ? it->second : SourceLoad();
}

size_t DialogTable::SourceCount() const {
  MutexGuard loads(loads_lock_);
  return loads_.size();
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

namespace {
thread_local bool t_defer_keys = false;
thread_local unsigned t_deferred_keys = 0;
}  // namespace

void DialogTable::DeferKeys(bool on) { t_defer_keys = on; }

void DialogTable::ApplyOwnKeys() {
  if (t_deferred_keys == 0) return;
  t_deferred_keys = 0;
  DrainKeyQueue();
}

void DialogTable::Post(KeyMessage m) {
  MutexGuard guard(key_queue_lock_);
  key_queue_.push_back(m);
  ++keys_posted_;
  if (t_defer_keys) {
    ++t_deferred_keys;
    return;
  }
  // The one condition also wakes the key manager: with waiters present, every sleeper must hear it.
  if (key_waiters_ > 0) {
    key_queue_lock_.Broadcast();
  } else {
    key_queue_lock_.Signal();
  }
}

bool DialogTable::WaitKeysApplied(int max_ms) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += static_cast<long>(max_ms % 1000) * 1000000L;
  deadline.tv_sec += max_ms / 1000 + deadline.tv_nsec / 1000000000L;
  deadline.tv_nsec %= 1000000000L;
  // What was posted so far, deferred messages of workers still in their items included, is applied here
  // unless another applier has it in hand.
  DrainKeyQueue();
  MutexGuard guard(key_queue_lock_);
  const uint64_t target = keys_posted_;
  ++key_waiters_;
  while (keys_applied_ < target && key_queue_lock_.WaitUntil(deadline) != ETIMEDOUT) {
  }
  --key_waiters_;
  return keys_applied_ >= target;
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
  MutexGuard applying(apply_lock_);
  {
    MutexGuard guard(key_queue_lock_);
    if (key_queue_.empty()) return;
    applying_.swap(key_queue_);
  }
  for (const KeyMessage& m : applying_) Apply(m);
  MutexGuard guard(key_queue_lock_);
  keys_applied_ += applying_.size();
  applying_.clear();
  if (key_waiters_ > 0) key_queue_lock_.Broadcast();
}

// One wake-up applies everything queued meanwhile.
void DialogTable::KeyManageLoop() {
  for (;;) {
    {
      MutexGuard guard(key_queue_lock_);
      while (key_queue_.empty() && !key_stop_.load(std::memory_order_acquire)) key_queue_lock_.wait();
    }
    DrainKeyQueue();
    if (key_stop_.load(std::memory_order_acquire)) return;
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

bool DialogTable::DeliverLocked(int fd, unsigned number, const std::function<void()>& deliver) {
  ObjectGuard<Dialog> call = GetDialog(fd);
  if (!call || call->Number() != number) return false;
  deliver();
  return true;
}
