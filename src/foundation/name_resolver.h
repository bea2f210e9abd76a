// NameResolver: host names to IPv4 addresses off the hot path. A reader or a worker never waits for DNS:
// it asks the cache (Lookup: found, failed or pending). A miss queues a lookup that one of a few lookup
// threads runs in the system resolver (getaddrinfo), and a watch thread fails every lookup not answered
// within the time-out, even while the library call is still stuck in it. A message that needs a pending
// name is parked with Park(): its callback runs once, on a resolver thread, when the answer or the
// time-out arrives, and the message then goes its normal way with what the cache holds.
//
// Bounds (an attacker chooses the names): the cache holds at most kMaxNames names, an answer lives
// kFoundLifeMs, a failure kFailedLifeMs; at most kMaxPending lookups are queued or in the library at a
// time, and kMaxPendingPerSource of them for one source address (the relay's own, source 0, has only the
// total bound; counted until the library call returns,
// so one source cannot hold every lookup thread); at most kMaxParked messages wait, kMaxParkedPerSource of
// one source. A lookup over a bound fails at once.
//
// Threads: Start() and Stop() from the reactor only (Start after the signals are blocked, so that the
// resolver's threads never take one). Lookup, Cached and Park from any thread: they take the resolver's
// own lock, a leaf (nothing else is taken under it; callbacks and logging run without it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class NameResolver {
 public:
  enum class State { FOUND, FAILED, PENDING };
  struct Answer {
    State state = State::FAILED;
    uint32_t ip = 0;  // host order, FOUND only
  };
  // The library call: true and ip (host order) when host has an IPv4 address. Runs on a lookup thread.
  using LookupFunction = std::function<bool(const std::string& host, uint32_t& ip)>;

  static constexpr int kLookupThreads = 4;
  static constexpr uint64_t kTimeoutMs = 2000;
  static constexpr uint64_t kFoundLifeMs = 60000;
  static constexpr uint64_t kFailedLifeMs = 10000;
  static constexpr size_t kMaxNames = 4096;
  static constexpr size_t kMaxPending = 64;
  static constexpr size_t kMaxPendingPerSource = 2;
  static constexpr size_t kMaxParked = 256;
  static constexpr size_t kMaxParkedPerSource = 16;

  // The daemon's resolver, on getaddrinfo.
  static NameResolver& Instance();
  explicit NameResolver(LookupFunction lookup, uint64_t timeout_ms = kTimeoutMs);
  ~NameResolver();
  NameResolver(const NameResolver&) = delete;
  NameResolver& operator=(const NameResolver&) = delete;

  // Starts the threads, once: a stopped resolver stays stopped (and answers FAILED).
  void Start();
  // Joins the watch thread and the idle lookup threads; a lookup thread still inside the library is left
  // to finish on its own (it holds the shared state, not this object). Parked callbacks are dropped.
  void Stop();

  // The cached answer for host (a name, not a literal address); a miss starts a lookup charged to source
  // (host-order IPv4, 0 for the relay's own) and answers PENDING, or FAILED when a bound is reached or
  // the resolver is not running.
  Answer Lookup(const std::string& host, uint32_t source);
  // The cached answer without starting anything: a miss is FAILED.
  Answer Cached(const std::string& host) const;
  // Lookup, and while the answer is pending, waits for it (at most the time-out): for the one road that
  // still waits for DNS under a dialog's lock, the targets of a domain's SRV records, asked right after its
  // SRV query. Never on a reader. PENDING never comes back (FAILED instead).
  Answer Wait(const std::string& host, uint32_t source);
  // ready runs once, on a resolver thread, when host's pending lookup ends. False (ready never runs) when
  // host is not pending any more or a parking bound is reached.
  bool Park(const std::string& host, uint32_t source, std::function<void()> ready);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};
