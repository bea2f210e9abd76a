#include "foundation/name_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "foundation/inet_addr.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "foundation/text.h"

namespace {

constexpr char kLogTag[] = "ostrel";

bool SystemLookup(const std::string& host, uint32_t& ip) {
  // Flags 0, not AI_ADDRCONFIG: a relay on loopback or a private network still resolves its servers.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  ip = ntohl(reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(res);
  return ip != 0;
}

struct Waiter {
  uint32_t source;
  std::function<void()> ready;
};

struct Entry {
  NameResolver::State state = NameResolver::State::PENDING;
  uint32_t ip = 0;
  uint64_t until = 0;  // PENDING: the time-out; otherwise the end of the entry's life
  std::vector<Waiter> waiters;
};

struct Query {
  std::string host;
  uint32_t source;
  uint64_t deadline;
};

}  // namespace

// Everything the threads share; a lookup thread left inside the library at Stop keeps it alive.
struct NameResolver::Shared {
  LookupFunction lookup;
  uint64_t timeout_ms;
  std::mutex lock;
  std::condition_variable wake;  // new query, stop, or (watch thread) a new deadline
  bool running = false;
  bool stopping = false;
  std::unordered_map<std::string, Entry> names;
  std::unordered_set<std::string> pending_names;
  std::deque<Query> queue;
  size_t pending = 0;  // queued or inside the library
  std::unordered_map<uint32_t, size_t> pending_by_source;
  size_t parked = 0;
  std::unordered_map<uint32_t, size_t> parked_by_source;
  std::vector<std::thread> lookup_threads;
  std::vector<char> busy;  // per lookup thread: inside the library
  std::thread watch_thread;

  void Release(uint32_t source, std::unordered_map<uint32_t, size_t>& by_source) {
    auto it = by_source.find(source);
    if (it != by_source.end() && --it->second == 0) by_source.erase(it);
  }

  // Ends a pending entry with its answer; the waiters to call once the lock is released. Lock held.
  std::vector<Waiter> Settle(const std::string& host, bool ok, uint32_t ip, uint64_t now) {
    auto it = names.find(host);
    if (it == names.end()) return {};
    Entry& e = it->second;
    if (e.state == State::FOUND && !ok) return {};  // a late failure never hides an answer
    e.state = ok ? State::FOUND : State::FAILED;
    e.ip = ok ? ip : 0;
    e.until = now + (ok ? kFoundLifeMs : kFailedLifeMs);
    pending_names.erase(host);
    std::vector<Waiter> waiters = std::move(e.waiters);
    e.waiters.clear();
    for (const Waiter& w : waiters) {
      --parked;
      Release(w.source, parked_by_source);
    }
    return waiters;
  }

  // Room for one more name: expired answers go first, then any settled one. Lock held.
  void MakeRoom(uint64_t now) {
    if (names.size() < kMaxNames) return;
    for (auto it = names.begin(); it != names.end();) {
      if (it->second.state != State::PENDING && it->second.until <= now)
        it = names.erase(it);
      else
        ++it;
    }
    for (auto it = names.begin(); names.size() >= kMaxNames && it != names.end();) {
      if (it->second.state != State::PENDING)
        it = names.erase(it);
      else
        ++it;
    }
  }

  static void Call(std::vector<Waiter>& waiters) {
    for (Waiter& w : waiters) w.ready();
  }

  void LookupLoop(size_t index) {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      wake.wait(guard, [&] { return stopping || !queue.empty(); });
      if (stopping) return;
      Query q = std::move(queue.front());
      queue.pop_front();
      uint64_t now = PollReactor::NowMs();
      if (now < q.deadline) {
        busy[index] = 1;
        guard.unlock();
        uint32_t ip = 0;
        const bool ok = lookup(q.host, ip);
        guard.lock();
        busy[index] = 0;
        now = PollReactor::NowMs();
        std::vector<Waiter> waiters = Settle(q.host, ok, ip, now);
        --pending;
        Release(q.source, pending_by_source);
        if (stopping) return;
        if (!waiters.empty()) {
          guard.unlock();
          Call(waiters);
          guard.lock();
        }
      } else {
        // The watch thread failed it already.
        --pending;
        Release(q.source, pending_by_source);
      }
    }
  }

  void WatchLoop() {
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
      const uint64_t now = PollReactor::NowMs();
      uint64_t next = 0;
      std::vector<std::string> expired;
      for (const std::string& host : pending_names) {
        auto entry = names.find(host);
        const uint64_t until = entry != names.end() ? entry->second.until : now;
        if (until <= now)
          expired.push_back(host);
        else if (next == 0 || until < next)
          next = until;
      }
      if (!expired.empty()) {
        std::vector<Waiter> waiters;
        for (const std::string& host : expired) {
          std::vector<Waiter> w = Settle(host, false, 0, now);
          std::move(w.begin(), w.end(), std::back_inserter(waiters));
        }
        guard.unlock();
        for (const std::string& host : expired)
          Log(kLogTag, LEVEL_ERROR, "Warning: No answer in %lu ms to resolve: %s !!!\n",
              static_cast<unsigned long>(timeout_ms), host.c_str());
        Call(waiters);
        guard.lock();
        continue;
      }
      if (next == 0)
        wake.wait(guard);
      else
        wake.wait_for(guard, std::chrono::milliseconds(next - now));
    }
  }
};

NameResolver& NameResolver::Instance() {
  static NameResolver resolver(SystemLookup);
  return resolver;
}

NameResolver::NameResolver(LookupFunction lookup, uint64_t timeout_ms) : shared_(std::make_shared<Shared>()) {
  shared_->lookup = std::move(lookup);
  shared_->timeout_ms = timeout_ms;
}

NameResolver::~NameResolver() { Stop(); }

void NameResolver::Start() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  if (shared_->running || shared_->stopping) return;  // once: a stopped resolver stays stopped
  shared_->running = true;
  shared_->busy.assign(kLookupThreads, 0);
  for (int i = 0; i < kLookupThreads; ++i)
    shared_->lookup_threads.emplace_back([s = shared_, i] { s->LookupLoop(static_cast<size_t>(i)); });
  shared_->watch_thread = std::thread([s = shared_] { s->WatchLoop(); });
}

void NameResolver::Stop() {
  std::vector<std::thread> threads;
  std::vector<char> busy;
  std::thread watch;
  std::unordered_map<std::string, Entry> names;
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (!shared_->running) return;
    shared_->running = false;
    shared_->stopping = true;
    threads = std::move(shared_->lookup_threads);
    shared_->lookup_threads.clear();
    busy = shared_->busy;
    watch = std::move(shared_->watch_thread);
    names = std::move(shared_->names);
    shared_->names.clear();
    shared_->pending_names.clear();
    shared_->queue.clear();
    shared_->parked = 0;
    shared_->parked_by_source.clear();
    shared_->wake.notify_all();
  }
  watch.join();
  for (size_t i = 0; i < threads.size(); ++i) {
    if (busy[i] != 0)
      threads[i].detach();
    else
      threads[i].join();
  }
}

NameResolver::Answer NameResolver::Lookup(const std::string& host, uint32_t source) {
  std::string key = host;
  ToLower(key);
  Shared& s = *shared_;
  const uint64_t now = PollReactor::NowMs();
  bool refused = false;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.names.find(key);
    if (it != s.names.end()) {
      const Entry& e = it->second;
      if (e.state == State::PENDING) return {State::PENDING, 0};
      if (now < e.until) return {e.state, e.ip};
      s.names.erase(it);
    }
    if (!s.running) return {State::FAILED, 0};
    auto by_source = s.pending_by_source.find(source);
    if (s.pending >= kMaxPending || (source != 0 && by_source != s.pending_by_source.end() &&
                                     by_source->second >= kMaxPendingPerSource)) {
      refused = true;
    } else {
      s.MakeRoom(now);
      Entry& e = s.names[key];
      e.state = State::PENDING;
      e.until = now + s.timeout_ms;
      s.pending_names.insert(key);
      s.queue.push_back(Query{key, source, e.until});
      ++s.pending;
      ++s.pending_by_source[source];
      s.wake.notify_all();
    }
  }
  if (refused) {
    Log(kLogTag, LEVEL_DEBUG, "Too many names pending (%s) - not resolved: %s\n",
        source != 0 ? InetAddress::IpText(source).c_str() : "relay", key.c_str());
    return {State::FAILED, 0};
  }
  return {State::PENDING, 0};
}

NameResolver::Answer NameResolver::Cached(const std::string& host) const {
  std::string key = host;
  ToLower(key);
  Shared& s = *shared_;
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.names.find(key);
  if (it == s.names.end()) return {State::FAILED, 0};
  const Entry& e = it->second;
  if (e.state != State::PENDING && PollReactor::NowMs() >= e.until) return {State::FAILED, 0};
  return {e.state, e.ip};
}

NameResolver::Answer NameResolver::Wait(const std::string& host, uint32_t source) {
  if (Answer a = Lookup(host, source); a.state != State::PENDING) return a;
  struct Signal {
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
  };
  auto signal = std::make_shared<Signal>();
  if (Park(host, source, [signal] {
        std::lock_guard<std::mutex> guard(signal->lock);
        signal->done = true;
        signal->done_cv.notify_all();
      })) {
    std::unique_lock<std::mutex> guard(signal->lock);
    signal->done_cv.wait_for(guard, std::chrono::milliseconds(shared_->timeout_ms + 100),
                             [&] { return signal->done; });
  }
  Answer a = Cached(host);
  if (a.state == State::PENDING) a.state = State::FAILED;
  return a;
}

bool NameResolver::Park(const std::string& host, uint32_t source, std::function<void()> ready) {
  std::string key = host;
  ToLower(key);
  Shared& s = *shared_;
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.names.find(key);
  if (it == s.names.end() || it->second.state != State::PENDING) return false;
  auto by_source = s.parked_by_source.find(source);
  if (s.parked >= kMaxParked ||
      (by_source != s.parked_by_source.end() && by_source->second >= kMaxParkedPerSource))
    return false;
  it->second.waiters.push_back(Waiter{source, std::move(ready)});
  ++s.parked;
  ++s.parked_by_source[source];
  return true;
}
