// StateStore: this relay's registrations, calls and blocks kept in Redis, so that a restarted relay (or a
// standby started with its node name) carries on from them, and blocks shared with the relays of the
// cluster. The store has a thread of its own with two connections (commands, and the subscriber of the
// blocks channel) that no other thread touches: workers, readers and the reactor only queue changes
// (Put, Remove, Publish: a leaf lock, never a wait for Redis).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dos/dos_core.h"
#include "foundation/locks.h"

struct redisContext;

// One change waiting for the store: a record written with its lifetime, a record removed, or a message
// for the cluster's channel.
struct StoreWrite {
  enum Op { SET, DEL, PUBLISH } op = SET;
  std::string key;    // SET, DEL: the record's key; PUBLISH: the channel
  std::string value;  // SET: the record; PUBLISH: the message
  uint64_t ttl_ms = 0;
};

// The changes not yet sent, at most one per slot (a record's key): a newer change of the same slot replaces
// the pending one. Bounded: when full, the oldest pending change goes to make room and is counted. Not
// locked: its owner locks.
class StoreQueue {
 public:
  explicit StoreQueue(size_t capacity) : capacity_(capacity) {}
  // unbounded: a change of the full snapshot, which is never dropped (the state it copies is in memory
  // anyway). if_absent: only when the slot has nothing newer pending (a change sent back after a failure).
  void Push(const std::string& slot, StoreWrite w, bool unbounded = false, bool if_absent = false);
  // Up to max changes, oldest first, into out; how many.
  size_t Take(std::vector<std::pair<std::string, StoreWrite>>& out, size_t max);
  size_t size() const { return pending_.size(); }
  bool empty() const { return pending_.empty(); }
  uint64_t Dropped() const { return dropped_; }

 private:
  struct Pending {
    uint64_t seq;
    StoreWrite write;
  };
  size_t capacity_;
  uint64_t next_seq_ = 0;
  uint64_t dropped_ = 0;
  std::unordered_map<std::string, Pending> pending_;
  std::deque<std::pair<uint64_t, std::string>> order_;  // (seq, slot), oldest first; stale entries skipped
};

class StateStore {
 public:
  static constexpr size_t kQueueCapacity = 100000;
  static constexpr int kFirstBackoffMs = 500;
  static constexpr int kLastBackoffMs = 30000;
  static constexpr int kBatch = 256;   // changes pipelined at once
  static constexpr int kLingerMs = 5;  // how long a wake-up waits for more changes before it sends

  struct Target {
    std::string host;
    int port = 6379;
    int db = 0;
    std::string password;
    std::string cluster, node;
  };

  // Start-up, main thread.
  void Configure(Target t);
  bool Enabled() const { return enabled_; }
  // Whether changes are taken now (the thread runs and TERM has not come); any thread.
  bool Accepting() const { return accepting_.load(std::memory_order_acquire); }
  const Target& Where() const { return target_; }
  // "<cluster>:<node>:<kind>:<id>" and the blocks channel "<cluster>:blocks".
  std::string Key(const char* kind, const std::string& id) const;
  std::string Channel() const { return target_.cluster + ":blocks"; }

  // Start-up, main thread, before the thread runs: each of this node's records (own), then each block key
  // of the cluster's other nodes, with the milliseconds it has left (-1: no lifetime). False when the
  // store could not be read (the relay starts empty).
  bool ReadBack(const std::function<void(const std::string& key, const std::string& value, long long ttl_ms,
                                         bool own)>& f);
  // snapshot: asked for on each return of the store (and on the first connection when the read-back
  // failed), to write the whole state again; on_message: a message of the blocks channel, on the thread.
  bool Start(std::function<void()> snapshot, std::function<void(const std::string&)> on_message);
  // TERM: no more changes are taken; what is pending is sent within wait_ms; the thread ends.
  void Stop(int wait_ms);

  // Any thread; nothing once stopped or without a store.
  void Put(const std::string& key, const std::string& value, uint64_t ttl_ms, bool snapshot = false);
  void Remove(const std::string& key);
  // slot: what a newer message of the same subject replaces.
  void Publish(const std::string& slot, const std::string& message);

  // For the status dump.
  bool Connected() const { return connected_.load(std::memory_order_relaxed); }
  uint64_t Dropped() const;
  size_t Pending() const;

 private:
  static void* ThreadMain(void* self);
  void Loop();
  void Queue(const std::string& slot, StoreWrite w, bool unbounded);
  redisContext* Connect(std::string& error) const;
  bool ConnectBoth();
  void Disconnect();
  bool Flush(bool until_empty, int64_t deadline_ms);
  bool ReadMessages();
  void Wake();

  bool enabled_ = false;
  Target target_;
  std::function<void()> snapshot_;
  std::function<void(const std::string&)> on_message_;
  std::atomic<bool> accepting_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};
  bool read_back_ = false;  // the start-up read-back succeeded: the first connection needs no snapshot
  int wake_fd_ = -1;
  std::atomic<bool> wake_pending_{false};
  pthread_t thread_{};
  bool started_ = false;
  int64_t stop_deadline_ms_ = 0;  // written before stopping_

  mutable Mutex lock_;  // a leaf
  StoreQueue queue_{kQueueCapacity};
  uint64_t dropped_logged_ = 0;  // guarded by lock_
  int64_t dropped_second_ = 0;   // guarded by lock_

  // The thread's own.
  redisContext* commands_ = nullptr;
  redisContext* subscriber_ = nullptr;
  bool ever_connected_ = false;
  bool loss_logged_ = false;
  int backoff_ms_ = kFirstBackoffMs;
  int64_t next_attempt_ms_ = 0;
};

extern StateStore g_state_store;

// Start-up (state_store_wiring.cc), main thread. The hooks through which registrations, calls and blocks
// queue their changes (installed with the events' hooks, before the configuration is read; idle without a
// store).
void InstallStateStoreHooks();
void AddStateStoreHooks(DosCore::Hooks& dos);
// With a store in the configuration: reads this node's records back and applies them (registrations,
// calls with their media ports, blocks), then starts the store's thread. After the media threads start,
// before any reader.
void StartStateStore();
