// The work queue: readers queue parsed, accepted datagrams; a growing and retiring pool of worker threads
// (or, in single-thread mode, the reactor thread) processes them. Items of one dialog (one ordering key)
// run one at a time in the order they were queued; items of other dialogs run side by side.
// PutQueue is called by reader threads; Work by workers or the reactor; Start/Stop by the main thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "dialogs/messages.h"  // QueueItem
#include "foundation/locks.h"
#include "foundation/reactor.h"

struct QueueMessage {
  enum QueueMessageType : uint8_t { QM_INTERNAL = 0, QM_EXTERNAL = 1 };
  std::unique_ptr<QueueItem> item;
  QueueMessageType type = QM_INTERNAL;
  // Items with the same non-zero key (a hash of the Call-ID) are processed one after the other in queue
  // order; 0 orders the item with nothing.
  uint64_t key = 0;
};

// Counters for the statistics event; written by workers and readers, read and reset by the statistics sender.
struct QueueStats {
  std::atomic<size_t> max_queue{0};
  std::atomic<unsigned> max_workers{0};
  std::atomic<uint64_t> ext_done{0};
  std::atomic<uint64_t> int_done{0};
  std::atomic<uint64_t> ext_longest_ms{0};
  std::atomic<uint64_t> int_longest_ms{0};
  std::atomic<uint64_t> dropped{0};
};

class WorkQueue : public InputCB {
 public:
  WorkQueue() = default;
  ~WorkQueue() override;

  // Multi-thread mode: min workers, and the maximum (0 gives 32 x min). Returns 0 or the pthread error.
  int StartQueueThreads(unsigned min, unsigned max);
  // Single-thread mode: each item sends notify(1) to reactor, whose custom input runs the queue.
  void UseReactor(PollReactor* reactor) { reactor_ = reactor; }

  // Takes ownership. A queue ten times longer than the worker count refuses the item (it is freed).
  // run_here: the caller, a reader thread that holds no lock, processes the item itself when nothing is
  // queued and no worker runs its dialog: no hand-over to a worker and no wake-up for it.
  void PutQueue(QueueMessage m, bool run_here = false);

  // The worker body: processes items until the queue is empty (single-thread mode) or until stopped; a
  // worker beyond the minimum retires after a second without work.
  void OnInput(int) override;
  static void* ReadQueueLoop(void* queue);

  // Wakes waiting workers so they see the stop; waits at most wait_ms for running workers to end.
  void StopWorkers(int wait_ms);

  bool Multithreaded() const { return multithreaded_.load(std::memory_order_acquire); }
  unsigned Workers() const { return workers_current_.load(std::memory_order_acquire); }
  size_t Length() const;
  QueueStats& Stats() { return stats_; }

 protected:
  virtual void Process(QueueMessage m) = 0;
  // Called after each processed item, outside every queue lock (the statistics event slot check).
  virtual void AfterItem() {}

 private:
  bool StartWorker();
  void NoteDrop(size_t n);
  // Under queue_lock_: whether a worker is processing an item of this key; the index of the first item at
  // or after from that no running key holds back (queue_.size() when there is none).
  bool KeyRunning(uint64_t key) const;
  size_t NextRunnable(size_t from) const;
  void ReleaseKey(uint64_t key);
  // Processes one taken item with its statistics, outside every queue lock.
  void RunItem(QueueMessage m);

  std::deque<QueueMessage> queue_;  // guarded by queue_lock_
  // Keys of the items being processed, and the workers waiting for work; guarded by queue_lock_. At most
  // one entry per worker or reader, so a linear search beats a hashed set that allocates per entry.
  std::vector<uint64_t> running_keys_;
  unsigned idle_ = 0;
  mutable ConditionMutex queue_lock_;
  Mutex workers_lock_;  // guards worker growth and retirement decisions
  std::atomic<unsigned> workers_min_{0};
  std::atomic<unsigned> workers_max_{0};
  std::atomic<unsigned> workers_current_{0};
  std::atomic<unsigned> running_{0};  // worker threads that have not yet returned
  std::atomic<bool> multithreaded_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<uint64_t> last_drop_log_ms_{0};
  std::atomic<uint64_t> drops_since_log_{0};
  PollReactor* reactor_ = nullptr;
  QueueStats stats_;
};
