#include "core/work_queue.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "foundation/log.h"

namespace {

constexpr size_t kWorkerStack = 0x80000;

template <class T>
void raise_to(std::atomic<T>& slot, T value) {
  T seen = slot.load(std::memory_order_relaxed);
  while (seen < value && !slot.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Asked once per thread: the trace lines of every queue item name it.
unsigned long kernel_tid() {
  thread_local const unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
  return tid;
}

}  // namespace

WorkQueue::~WorkQueue() { StopWorkers(1000); }

size_t WorkQueue::Length() const {
  Guard_Mutex guard(MqLock);
  return MQ.size();
}

bool WorkQueue::StartWorker() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  Running_m.fetch_add(1);
  int rc = pthread_create(&tid, &attr, &WorkQueue::ReadQueueLoop, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    Running_m.fetch_sub(1);
    errno = rc;
    return false;
  }
  return true;
}

int WorkQueue::StartQueueThreads(unsigned min, unsigned max) {
  MultiThr_m = true;
  NThrMin_m = min;
  NThrMax_m = max != 0 ? max : min * 32;
  NThrCur_m = 0;
  for (unsigned i = 0; i < min; ++i) {
    if (!StartWorker()) return errno;
    NThrCur_m.fetch_add(1);
  }
  return 0;
}

void WorkQueue::NoteDrop(size_t n) {
  stats_m.dropped.fetch_add(1, std::memory_order_relaxed);
  drops_since_log_m.fetch_add(1, std::memory_order_relaxed);
  const uint64_t now = PollReactor::curr_ms();
  uint64_t last = last_drop_log_ms_m.load(std::memory_order_relaxed);
  if (now - last < 1000 && last != 0) return;
  if (!last_drop_log_ms_m.compare_exchange_strong(last, now == 0 ? 1 : now)) return;
  Log("ostrel", LOG_ALWAYS, "Too many blocks in Q: %zd => dropping new messages (%lu dropped)\n", n,
      static_cast<unsigned long>(drops_since_log_m.exchange(0)));
}

void WorkQueue::PutQueue(QueueMsg m) {
  const bool multi = MultiThr();
  size_t n;
  {
    Guard_Mutex guard(MqLock);
    n = MQ.size() + 1;
    // An overload refuses new work instead of ending the process with every call and registration in it.
    if (multi && n >= 10u * NThrCur_m.load()) {
      guard.unlock();
      NoteDrop(n);
      return;
    }
    MQ.push_back(std::move(m));
    if (multi && NThrCur_m.load() >= n) MqLock.signal();
  }
  if (!multi) {
    if (reactor_m) reactor_m->notify(1);
  } else {
    raise_to(stats_m.max_queue, n);
    raise_to(stats_m.max_workers, NThrCur_m.load());
  }
  Log("ostrel", n <= 9 ? LOG_TRACE : LOG_DEBUG, "PutQueue() - Number of blocks in Q: %zd\n", n);
  if (!multi) return;
  bool grow = false;
  {
    Guard_Mutex guard(NThrLock);
    const unsigned cur = NThrCur_m.load();
    if (n >= 4u * cur && NThrMax_m.load() >= cur) {
      NThrCur_m.fetch_add(1);
      grow = true;
    }
  }
  if (grow && !StartWorker()) {
    Log("ostrel", LOG_ERROR, "ERROR: PutQueue() Cannot created thread: %s\n", strerror(errno));
    NThrCur_m.fetch_sub(1);
  }
}

void WorkQueue::input_cb(int) {
  const bool multi = MultiThr();
  Guard_Mutex guard(MqLock);
  while (!Stopped_m.load(std::memory_order_acquire)) {
    while (!MQ.empty()) {
      QueueMsg m = std::move(MQ.front());
      MQ.pop_front();
      const size_t left = MQ.size();
      guard.unlock();
      Log("ostrel", LOG_TRACE, "GetQueue(%lu) - Number of blocks in Q: %zd\n", kernel_tid(), left);
      const uint64_t began = PollReactor::curr_ms();
      const bool ext = m.qmtype == QueueMsg::QM_Ext;
      Process(std::move(m));
      const uint64_t took = PollReactor::curr_ms() - began;
      (ext ? stats_m.ext_done : stats_m.int_done).fetch_add(1, std::memory_order_relaxed);
      raise_to(ext ? stats_m.ext_longest_ms : stats_m.int_longest_ms, took);
      Log("ostrel", LOG_TRACE, "GetQueue(%lu) - Done.\n", kernel_tid());
      AfterItem();
      guard.lock();
    }
    if (!multi) break;
    {
      Guard_Mutex threads(NThrLock);
      if (NThrCur_m.load() > NThrMin_m.load()) {
        NThrCur_m.fetch_sub(1);
        break;
      }
    }
    if (Stopped_m.load(std::memory_order_acquire)) break;
    MqLock.wait();
  }
}

void* WorkQueue::ReadQueueLoop(void* queue) {
  auto* q = static_cast<WorkQueue*>(queue);
  prctl(PR_SET_NAME, "Queue Process");
  Log("ostrel", LOG_ALWAYS, "Start Queue processing Loop\n");
  q->input_cb(0);
  Log("ostrel", LOG_ALWAYS, "Stop Queue processing Loop\n");
  q->Running_m.fetch_sub(1, std::memory_order_acq_rel);
  return nullptr;
}

void WorkQueue::StopWorkers(int wait_ms) {
  {
    Guard_Mutex guard(MqLock);
    Stopped_m.store(true, std::memory_order_release);
    MqLock.broadcast();
  }
  for (int waited = 0; Running_m.load(std::memory_order_acquire) > 0 && waited < wait_ms; waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
