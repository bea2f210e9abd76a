#include "core/work_queue.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

#include "foundation/log.h"

namespace {

constexpr size_t kWorkerStack = 0x80000;
constexpr int kRetireIdleMs = 1000;

timespec RealtimeIn(int ms) {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  t.tv_sec += ms / 1000 + t.tv_nsec / 1000000000L;
  t.tv_nsec %= 1000000000L;
  return t;
}

template <class T>
void RaiseTo(std::atomic<T>& slot, T value) {
  T seen = slot.load(std::memory_order_relaxed);
  while (seen < value && !slot.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Asked once per thread: the trace lines of every queue item name it.
unsigned long KernelThreadId() {
  thread_local const unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
  return tid;
}

}  // namespace

WorkQueue::~WorkQueue() { StopWorkers(1000); }

size_t WorkQueue::Length() const {
  MutexGuard guard(queue_lock_);
  return queue_.size();
}

bool WorkQueue::StartWorker() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  running_.fetch_add(1);
  int rc = pthread_create(&tid, &attr, &WorkQueue::ReadQueueLoop, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    running_.fetch_sub(1);
    errno = rc;
    return false;
  }
  return true;
}

int WorkQueue::StartQueueThreads(unsigned min, unsigned max) {
  multithreaded_ = true;
  workers_min_ = min;
  workers_max_ = max != 0 ? max : min * 32;
  workers_current_ = 0;
  for (unsigned i = 0; i < min; ++i) {
    if (!StartWorker()) return errno;
    workers_current_.fetch_add(1);
  }
  return 0;
}

void WorkQueue::NoteDrop(size_t n) {
  stats_.dropped.fetch_add(1, std::memory_order_relaxed);
  drops_since_log_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t now = PollReactor::NowMs();
  uint64_t last = last_drop_log_ms_.load(std::memory_order_relaxed);
  if (now - last < 1000 && last != 0) return;
  if (!last_drop_log_ms_.compare_exchange_strong(last, now == 0 ? 1 : now)) return;
  Log("ostrel", LEVEL_ALWAYS, "Too many blocks in Q: %zd => dropping new messages (%lu dropped)\n", n,
      static_cast<unsigned long>(drops_since_log_.exchange(0)));
}

void WorkQueue::PutQueue(QueueMessage m, bool run_here) {
  const bool multi = Multithreaded();
  size_t n;
  {
    MutexGuard guard(queue_lock_);
    n = queue_.size() + 1;
    // An overload refuses new work instead of ending the process with every call and registration in it.
    if (multi && n >= 10u * workers_current_.load()) {
      guard.unlock();
      NoteDrop(n);
      return;
    }
    // Nothing waits before it and its dialog runs nowhere: the reader runs it at once, in order, as a
    // worker would. Items of its dialog queued meanwhile wait for it like for a worker.
    if (multi && run_here && queue_.empty() && (m.key == 0 || !KeyRunning(m.key))) {
      const uint64_t key = m.key;
      if (key != 0) running_keys_.push_back(key);
      guard.unlock();
      RunItem(std::move(m));
      guard.lock();
      ReleaseKey(key);
      if (idle_ > 0 && NextRunnable(0) < queue_.size()) queue_lock_.Signal();
      return;
    }
    // A waiting worker is woken only for an item it may take: one whose dialog is running now waits
    // for the worker running it, which takes it next.
    if (multi && idle_ > 0 && (m.key == 0 || !KeyRunning(m.key))) queue_lock_.Signal();
    queue_.push_back(std::move(m));
  }
  if (!multi) {
    if (reactor_) reactor_->Notify(1);
  } else {
    RaiseTo(stats_.max_queue, n);
    RaiseTo(stats_.max_workers, workers_current_.load());
  }
  Log("ostrel", n <= 9 ? LEVEL_TRACE : LEVEL_DEBUG, "PutQueue() - Number of blocks in Q: %zd\n", n);
  if (!multi) return;
  bool grow = false;
  {
    MutexGuard guard(workers_lock_);
    const unsigned cur = workers_current_.load();
    if (n >= 4u * cur && workers_max_.load() >= cur) {
      workers_current_.fetch_add(1);
      grow = true;
    }
  }
  if (grow && !StartWorker()) {
    Log("ostrel", LEVEL_ERROR, "ERROR: PutQueue() Cannot created thread: %s\n", strerror(errno));
    workers_current_.fetch_sub(1);
  }
}

bool WorkQueue::KeyRunning(uint64_t key) const {
  for (uint64_t running : running_keys_)
    if (running == key) return true;
  return false;
}

void WorkQueue::ReleaseKey(uint64_t key) {
  if (key == 0) return;
  for (uint64_t& running : running_keys_) {
    if (running != key) continue;
    running = running_keys_.back();
    running_keys_.pop_back();
    return;
  }
}

void WorkQueue::RunItem(QueueMessage m) {
  const uint64_t began = PollReactor::NowMs();
  const bool ext = m.type == QueueMessage::QM_EXTERNAL;
  Process(std::move(m));
  const uint64_t took = PollReactor::NowMs() - began;
  (ext ? stats_.ext_done : stats_.int_done).fetch_add(1, std::memory_order_relaxed);
  RaiseTo(ext ? stats_.ext_longest_ms : stats_.int_longest_ms, took);
  Log("ostrel", LEVEL_TRACE, "GetQueue(%lu) - Done.\n", KernelThreadId());
  AfterItem();
}

size_t WorkQueue::NextRunnable(size_t from) const {
  for (size_t i = from; i < queue_.size(); ++i)
    if (queue_[i].key == 0 || !KeyRunning(queue_[i].key)) return i;
  return queue_.size();
}

// A worker takes the first item whose dialog no other worker is running, so two messages of one dialog
// never run at once and run in the order their readers queued them; the dialog's lock alone would let
// whichever worker came first go first. The queue is at most ten times the workers long, so the scan is
// short, and it usually stops at the first item.
void WorkQueue::OnInput(int) {
  const bool multi = Multithreaded();
  MutexGuard guard(queue_lock_);
  while (!stopped_.load(std::memory_order_acquire)) {
    for (size_t at = NextRunnable(0); at < queue_.size(); at = NextRunnable(0)) {
      QueueMessage m = std::move(queue_[at]);
      queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(at));
      const uint64_t key = m.key;
      if (key != 0) running_keys_.push_back(key);
      const size_t left = queue_.size();
      // Items before `at` are held back by running keys; one after it that may run goes to a waiting worker.
      if (idle_ > 0 && NextRunnable(at) < queue_.size()) queue_lock_.Signal();
      guard.unlock();
      Log("ostrel", LEVEL_TRACE, "GetQueue(%lu) - Number of blocks in Q: %zd\n", KernelThreadId(), left);
      RunItem(std::move(m));
      guard.lock();
      // The dialog's next item, if one is queued, is now the first runnable one of its key: this worker
      // takes it (or another runnable item) at the top of the loop.
      ReleaseKey(key);
    }
    if (!multi) break;
    if (stopped_.load(std::memory_order_acquire)) break;
    // A worker beyond the minimum retires only after a second without work: readers hand over a batch at
    // a time, and retiring at each empty queue would start and end threads many times a second.
    bool surplus;
    {
      MutexGuard threads(workers_lock_);
      surplus = workers_current_.load() > workers_min_.load();
    }
    ++idle_;
    const int rc = surplus ? queue_lock_.WaitUntil(RealtimeIn(kRetireIdleMs)) : queue_lock_.wait();
    --idle_;
    if (rc == ETIMEDOUT && NextRunnable(0) == queue_.size()) {
      MutexGuard threads(workers_lock_);
      if (workers_current_.load() > workers_min_.load()) {
        workers_current_.fetch_sub(1);
        break;
      }
    }
  }
}

void* WorkQueue::ReadQueueLoop(void* queue) {
  auto* q = static_cast<WorkQueue*>(queue);
  prctl(PR_SET_NAME, "Queue Process");
  Log("ostrel", LEVEL_ALWAYS, "Start Queue processing Loop\n");
  q->OnInput(0);
  Log("ostrel", LEVEL_ALWAYS, "Stop Queue processing Loop\n");
  q->running_.fetch_sub(1, std::memory_order_acq_rel);
  return nullptr;
}

void WorkQueue::StopWorkers(int wait_ms) {
  {
    MutexGuard guard(queue_lock_);
    stopped_.store(true, std::memory_order_release);
    queue_lock_.Broadcast();
  }
  for (int waited = 0; running_.load(std::memory_order_acquire) > 0 && waited < wait_ms; waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
