// StateStore: the queue of changes and the store's thread, with its Redis connections (hiredis).
#include "core/state_store.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "foundation/log.h"

StateStore g_state_store;

namespace {

constexpr const char* kTag = "ostore";
constexpr int kTimeoutMs = 2000;  // connecting, and each command's answer

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timeval Timeval(int ms) { return timeval{ms / 1000, static_cast<suseconds_t>((ms % 1000) * 1000)}; }

// A reply that is not an error; the reply is freed.
bool ReplyOk(void* reply) {
  auto* r = static_cast<redisReply*>(reply);
  const bool ok = r != nullptr && r->type != REDIS_REPLY_ERROR;
  if (r != nullptr) freeReplyObject(r);
  return ok;
}

std::string ReplyError(redisContext* c, redisReply* r) {
  if (r != nullptr && r->type == REDIS_REPLY_ERROR) return std::string(r->str, r->len);
  return c != nullptr && c->err != 0 ? c->errstr : "no answer";
}

// The glob characters of a SCAN pattern taken literally (node and cluster names hold none, but the pattern
// must not depend on that).
std::string GlobLiteral(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

void StoreQueue::Push(const std::string& slot, StoreWrite w, bool unbounded, bool if_absent) {
  auto it = pending_.find(slot);
  if (it != pending_.end()) {
    if (if_absent) return;
    it->second.write = std::move(w);
    return;  // keeps its place: the slot's change is sent no later than before
  }
  if (!unbounded) {
    while (pending_.size() >= capacity_ && !order_.empty()) {
      const auto [seq, oldest] = order_.front();
      order_.pop_front();
      auto o = pending_.find(oldest);
      if (o == pending_.end() || o->second.seq != seq) continue;
      pending_.erase(o);
      ++dropped_;
    }
  }
  const uint64_t seq = ++next_seq_;
  pending_.emplace(slot, Pending{seq, std::move(w)});
  order_.emplace_back(seq, slot);
}

size_t StoreQueue::Take(std::vector<std::pair<std::string, StoreWrite>>& out, size_t max) {
  size_t taken = 0;
  while (taken < max && !order_.empty()) {
    auto [seq, slot] = std::move(order_.front());
    order_.pop_front();
    auto it = pending_.find(slot);
    if (it == pending_.end() || it->second.seq != seq) continue;
    out.emplace_back(std::move(slot), std::move(it->second.write));
    pending_.erase(it);
    ++taken;
  }
  return taken;
}

void StateStore::Configure(Target t) {
  target_ = std::move(t);
  enabled_ = !target_.host.empty();
}

std::string StateStore::Key(const char* kind, const std::string& id) const {
  return target_.cluster + ":" + target_.node + ":" + kind + ":" + id;
}

redisContext* StateStore::Connect(std::string& error) const {
  redisContext* c = redisConnectWithTimeout(target_.host.c_str(), target_.port, Timeval(kTimeoutMs));
  if (c == nullptr || c->err != 0) {
    error = c != nullptr ? c->errstr : "cannot allocate a context";
    if (c != nullptr) redisFree(c);
    return nullptr;
  }
  redisSetTimeout(c, Timeval(kTimeoutMs));
  // The reply of one set-up command; false (error set, reply freed) when it failed.
  auto accepted = [&](void* reply, const char* what) {
    auto* r = static_cast<redisReply*>(reply);
    const bool ok = r != nullptr && r->type != REDIS_REPLY_ERROR;
    if (!ok) error = std::string(what) + ": " + ReplyError(c, r);
    if (r != nullptr) freeReplyObject(r);
    return ok;
  };
  if ((!target_.password.empty() &&
       !accepted(redisCommand(c, "AUTH %b", target_.password.data(), target_.password.size()), "AUTH")) ||
      (target_.db != 0 && !accepted(redisCommand(c, "SELECT %d", target_.db), "SELECT"))) {
    redisFree(c);
    return nullptr;
  }
  return c;
}

namespace {

// Each key matching pattern, with its text and the milliseconds it has left; false on a failure (error).
bool Scan(redisContext* c, const std::string& pattern,
          const std::function<void(const std::string& key, const std::string& value, long long ttl_ms)>& f,
          std::string& error) {
  std::string cursor = "0";
  bool ok = true;
  do {
    auto* r = static_cast<redisReply*>(
        redisCommand(c, "SCAN %s MATCH %b COUNT 1000", cursor.c_str(), pattern.data(), pattern.size()));
    if (r == nullptr || r->type != REDIS_REPLY_ARRAY || r->elements != 2 ||
        r->element[0]->type != REDIS_REPLY_STRING || r->element[1]->type != REDIS_REPLY_ARRAY) {
      error = ReplyError(c, r);
      if (r != nullptr) freeReplyObject(r);
      return false;
    }
    cursor.assign(r->element[0]->str, r->element[0]->len);
    const redisReply* keys = r->element[1];
    for (size_t i = 0; i < keys->elements; ++i) {
      const redisReply* k = keys->element[i];
      if (k->type != REDIS_REPLY_STRING) continue;
      redisAppendCommand(c, "GET %b", k->str, k->len);
      redisAppendCommand(c, "PTTL %b", k->str, k->len);
    }
    for (size_t i = 0; i < keys->elements && ok; ++i) {
      const redisReply* k = keys->element[i];
      if (k->type != REDIS_REPLY_STRING) continue;
      void* value = nullptr;
      void* ttl = nullptr;
      if (redisGetReply(c, &value) != REDIS_OK || redisGetReply(c, &ttl) != REDIS_OK) {
        error = ReplyError(c, nullptr);
        ok = false;
      } else {
        auto* v = static_cast<redisReply*>(value);
        auto* t = static_cast<redisReply*>(ttl);
        const std::string key(k->str, k->len);
        // A key of another type than a string, or gone meanwhile, gives no text: skipped like garbage.
        const std::string text =
            v != nullptr && v->type == REDIS_REPLY_STRING ? std::string(v->str, v->len) : std::string();
        const long long left = t != nullptr && t->type == REDIS_REPLY_INTEGER ? t->integer : -1;
        if (!(v != nullptr && v->type == REDIS_REPLY_NIL)) f(key, text, left);
      }
      if (value != nullptr) freeReplyObject(value);
      if (ttl != nullptr) freeReplyObject(ttl);
    }
    freeReplyObject(r);
  } while (ok && cursor != "0");
  return ok;
}

}  // namespace

bool StateStore::ReadBack(const std::function<void(const std::string& key, const std::string& value,
                                                   long long ttl_ms, bool own)>& f) {
  std::string error;
  redisContext* c = Connect(error);
  if (c == nullptr) {
    Log(kTag, LEVEL_ALWAYS, "Warning: state store %s:%d cannot be read: %s - starting without its state\n",
        target_.host.c_str(), target_.port, error.c_str());
    return false;
  }
  const std::string own = target_.cluster + ":" + target_.node + ":";
  // This node's records, then the blocks the other relays of the cluster hold now.
  const bool ok =
      Scan(
          c, GlobLiteral(own) + "*",
          [&f](const std::string& key, const std::string& value, long long ttl) { f(key, value, ttl, true); },
          error) &&
      Scan(
          c, GlobLiteral(target_.cluster + ":") + "*:block:*",
          [&f, &own](const std::string& key, const std::string& value, long long ttl) {
            if (key.rfind(own, 0) != 0) f(key, value, ttl, false);
          },
          error);
  redisFree(c);
  if (!ok) {
    Log(kTag, LEVEL_ALWAYS, "Warning: state store %s:%d read back only in part: %s\n", target_.host.c_str(),
        target_.port, error.c_str());
    return false;
  }
  read_back_ = true;
  return true;
}

bool StateStore::Start(std::function<void()> snapshot, std::function<void(const std::string&)> on_message) {
  snapshot_ = std::move(snapshot);
  on_message_ = std::move(on_message);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) return false;
  accepting_.store(true, std::memory_order_release);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 0x80000);
  const int rc = pthread_create(&thread_, &attr, &StateStore::ThreadMain, this);
  pthread_attr_destroy(&attr);
  started_ = rc == 0;
  if (!started_) accepting_.store(false, std::memory_order_release);
  return started_;
}

void StateStore::Stop(int wait_ms) {
  if (!accepting_.exchange(false, std::memory_order_acq_rel) || !started_) return;
  stop_deadline_ms_ = NowMs() + wait_ms;
  stopping_.store(true, std::memory_order_release);
  Wake();
  pthread_join(thread_, nullptr);
  started_ = false;
  // wake_fd_ stays open: a media thread sharing a block may still be past its Accepting() check.
}

void StateStore::Wake() {
  if (wake_pending_.exchange(true, std::memory_order_acq_rel)) return;
  const uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) < 0) {
  }
}

void StateStore::Queue(const std::string& slot, StoreWrite w, bool unbounded) {
  if (!accepting_.load(std::memory_order_acquire)) return;
  uint64_t dropped = 0, unlogged = 0;
  {
    MutexGuard guard(lock_);
    queue_.Push(slot, std::move(w), unbounded);
    dropped = queue_.Dropped();
    if (dropped != dropped_logged_) {
      const int64_t second = NowMs() / 1000;
      if (second != dropped_second_) {
        unlogged = dropped - dropped_logged_;
        dropped_logged_ = dropped;
        dropped_second_ = second;
      }
    }
  }
  if (unlogged != 0)
    Log(kTag, LEVEL_ALWAYS,
        "Warning: state store queue full: %llu pending changes dropped, oldest first (%llu in all)\n",
        static_cast<unsigned long long>(unlogged), static_cast<unsigned long long>(dropped));
  Wake();
}

void StateStore::Put(const std::string& key, const std::string& value, uint64_t ttl_ms, bool snapshot) {
  Queue(key, StoreWrite{StoreWrite::SET, key, value, std::max<uint64_t>(ttl_ms, 1)}, snapshot);
}

void StateStore::Remove(const std::string& key) {
  Queue(key, StoreWrite{StoreWrite::DEL, key, {}, 0}, false);
}

void StateStore::Publish(const std::string& slot, const std::string& message) {
  Queue("\x01" + slot, StoreWrite{StoreWrite::PUBLISH, Channel(), message, 0}, false);
}

uint64_t StateStore::Dropped() const {
  MutexGuard guard(lock_);
  return queue_.Dropped();
}

size_t StateStore::Pending() const {
  MutexGuard guard(lock_);
  return queue_.size();
}

void* StateStore::ThreadMain(void* self) {
  pthread_setname_np(pthread_self(), "State Store");
  static_cast<StateStore*>(self)->Loop();
  return nullptr;
}

bool StateStore::ConnectBoth() {
  std::string error;
  commands_ = Connect(error);
  if (commands_ != nullptr) subscriber_ = Connect(error);
  if (subscriber_ != nullptr) {
    const std::string channel = Channel();
    auto* r =
        static_cast<redisReply*>(redisCommand(subscriber_, "SUBSCRIBE %b", channel.data(), channel.size()));
    if (r == nullptr || r->type != REDIS_REPLY_ARRAY) {
      error = "SUBSCRIBE: " + ReplyError(subscriber_, r);
      if (r != nullptr) freeReplyObject(r);
      redisFree(subscriber_);
      subscriber_ = nullptr;
    } else {
      freeReplyObject(r);
    }
  }
  if (subscriber_ == nullptr) {
    if (commands_ != nullptr) redisFree(commands_);
    commands_ = nullptr;
    if (!loss_logged_)
      Log(kTag, LEVEL_ALWAYS, "Warning: state store %s:%d unreachable: %s - going on from memory\n",
          target_.host.c_str(), target_.port, error.c_str());
    loss_logged_ = true;
    next_attempt_ms_ = NowMs() + backoff_ms_;
    backoff_ms_ = std::min(backoff_ms_ * 2, kLastBackoffMs);
    return false;
  }
  const bool first = !ever_connected_;
  ever_connected_ = true;
  loss_logged_ = false;
  backoff_ms_ = kFirstBackoffMs;
  connected_.store(true, std::memory_order_relaxed);
  if (first)
    Log(kTag, LEVEL_ALWAYS, "State store %s:%d connected: node %s of cluster %s\n", target_.host.c_str(),
        target_.port, target_.node.c_str(), target_.cluster.c_str());
  else
    Log(kTag, LEVEL_ALWAYS, "State store %s:%d is back: writing the whole state again\n",
        target_.host.c_str(), target_.port);
  if ((!first || !read_back_) && snapshot_) snapshot_();
  return true;
}

void StateStore::Disconnect() {
  if (commands_ != nullptr) redisFree(commands_);
  if (subscriber_ != nullptr) redisFree(subscriber_);
  commands_ = subscriber_ = nullptr;
  connected_.store(false, std::memory_order_relaxed);
  next_attempt_ms_ = NowMs() + backoff_ms_;
  backoff_ms_ = std::min(backoff_ms_ * 2, kLastBackoffMs);
}

// One pipelined batch after another; a failed batch goes back to the queue (unless a newer change of the
// same record came meanwhile) and the connection is dropped.
bool StateStore::Flush(bool until_empty, int64_t deadline_ms) {
  std::vector<std::pair<std::string, StoreWrite>> batch;
  do {
    batch.clear();
    {
      MutexGuard guard(lock_);
      queue_.Take(batch, kBatch);
    }
    if (batch.empty()) return true;
    for (const auto& [slot, w] : batch) {
      switch (w.op) {
        case StoreWrite::SET:
          redisAppendCommand(commands_, "SET %b %b PX %llu", w.key.data(), w.key.size(), w.value.data(),
                             w.value.size(), static_cast<unsigned long long>(w.ttl_ms));
          break;
        case StoreWrite::DEL:
          redisAppendCommand(commands_, "DEL %b", w.key.data(), w.key.size());
          break;
        case StoreWrite::PUBLISH:
          redisAppendCommand(commands_, "PUBLISH %b %b", w.key.data(), w.key.size(), w.value.data(),
                             w.value.size());
          break;
      }
    }
    size_t answered = 0;
    for (; answered < batch.size(); ++answered) {
      void* reply = nullptr;
      if (redisGetReply(commands_, &reply) != REDIS_OK) break;
      if (!ReplyOk(reply))
        Log(kTag, LEVEL_ERROR, "Error: state store refused a change of %s\n", batch[answered].first.c_str());
    }
    if (answered < batch.size()) {
      Log(kTag, LEVEL_ALWAYS, "Warning: state store %s:%d lost: %s - going on from memory\n",
          target_.host.c_str(), target_.port, commands_->errstr);
      loss_logged_ = true;
      {
        MutexGuard guard(lock_);
        for (size_t i = answered; i < batch.size(); ++i)
          queue_.Push(batch[i].first, std::move(batch[i].second), true, true);
      }
      Disconnect();
      return false;
    }
  } while (until_empty && NowMs() < deadline_ms);
  return true;
}

bool StateStore::ReadMessages() {
  if (redisBufferRead(subscriber_) != REDIS_OK) return false;
  void* reply = nullptr;
  while (redisGetReplyFromReader(subscriber_, &reply) == REDIS_OK && reply != nullptr) {
    auto* r = static_cast<redisReply*>(reply);
    if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 && r->element[0]->type == REDIS_REPLY_STRING &&
        std::strcmp(r->element[0]->str, "message") == 0 && r->element[2]->type == REDIS_REPLY_STRING &&
        on_message_)
      on_message_(std::string(r->element[2]->str, r->element[2]->len));
    freeReplyObject(r);
    reply = nullptr;
  }
  return subscriber_->err == 0;
}

void StateStore::Loop() {
  while (!stopping_.load(std::memory_order_acquire)) {
    const int64_t now = NowMs();
    if (commands_ == nullptr && now >= next_attempt_ms_) ConnectBoth();
    if (commands_ != nullptr) Flush(false, 0);
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {subscriber_ != nullptr ? subscriber_->fd : -1, POLLIN, 0}};
    int timeout = 1000;
    if (commands_ == nullptr)
      timeout = static_cast<int>(std::clamp<int64_t>(next_attempt_ms_ - NowMs(), 0, 1000));
    {
      MutexGuard guard(lock_);
      if (commands_ != nullptr && !queue_.empty()) timeout = 0;
    }
    if (poll(fds, 2, timeout) < 0) continue;
    if (fds[0].revents & POLLIN) {
      // Changes come one by one: a short wait gathers those that follow into one pipelined batch, and
      // meanwhile the senders skip the wake-up (wake_pending_ is still set).
      if (commands_ != nullptr && Pending() < static_cast<size_t>(kBatch)) {
        timespec linger{0, kLingerMs * 1000000L};
        nanosleep(&linger, nullptr);
      }
      uint64_t n = 0;
      wake_pending_.store(false, std::memory_order_release);
      if (::read(wake_fd_, &n, sizeof n) < 0) {
      }
    }
    if (subscriber_ != nullptr && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadMessages()) {
      Log(kTag, LEVEL_ALWAYS, "Warning: state store %s:%d lost: %s - going on from memory\n",
          target_.host.c_str(), target_.port, subscriber_->err != 0 ? subscriber_->errstr : "closed");
      loss_logged_ = true;
      Disconnect();
    }
  }
  // TERM: what is pending leaves within the deadline while the store is there.
  if (commands_ != nullptr) Flush(true, stop_deadline_ms_);
  if (commands_ != nullptr) redisFree(commands_);
  if (subscriber_ != nullptr) redisFree(subscriber_);
  commands_ = subscriber_ = nullptr;
  connected_.store(false, std::memory_order_relaxed);
}
