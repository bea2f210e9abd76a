// PollReactor: the daemon's single event loop (descriptors, millisecond timers, signals, notifications).
// The owner thread runs the loop and every callback; all other operations are safe from any thread.
#pragma once

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "foundation/locks.h"

class TimerCB {
 public:
  virtual void OnTimer(const void* data) = 0;
  virtual ~TimerCB() = default;
};
class InputCB {
 public:
  virtual void OnInput(int fd) = 0;
  virtual ~InputCB() = default;
};
class ErrorCB {
 public:
  virtual void OnError(int fd) = 0;
  virtual ~ErrorCB() = default;
};
class OutputCB {
 public:
  virtual void OnOutput(int fd) = 0;
  virtual ~OutputCB() = default;
};
class SignalCB {
 public:
  virtual void OnSignal(int signo) = 0;
  virtual ~SignalCB() = default;
};

class PollReactor {
 public:
  // Identifier value meaning "no timer", everywhere.
  static constexpr uint64_t kNoTimer = ~uint64_t{0};

  PollReactor();
  virtual ~PollReactor();
  PollReactor(const PollReactor&) = delete;
  PollReactor& operator=(const PollReactor&) = delete;

  // Milliseconds since start-up on a clock that never steps (a wall-clock change moves no timer).
  static uint64_t NowMs();
  // The same clock in microseconds (NowMs is NowUs / 1000).
  static uint64_t NowUs();
  // Wall-clock second taken at start-up.
  static time_t Epoch();

  // Identifiers are never reused, so a stale identifier can only miss, never cancel someone else's timer.
  uint64_t SetTimer(TimerCB* cb, int msec, const void* data, int period = 0);
  int CancelTimer(uint64_t id);

  void RegisterDescriptor(int fd, InputCB* in, ErrorCB* err = nullptr, OutputCB* out = nullptr);
  void UnregisterDescriptor(int fd);
  void RegisterSignal(SignalCB* cb, int signo);
  void UnregisterSignal(int signo);
  void SetCustom(InputCB* cb) { custom_ = cb; }
  // A positive value reaches the custom receiver on the loop (in the same cycle when the loop itself
  // posts it); 0 only wakes the loop.
  void Notify(signed char value);

  void Run();
  void RunOnce(bool lock);
  void Stop();
  void reset();

  pthread_t Owner() const { return owner_.load(std::memory_order_acquire); }
  static PollReactor* Instance() { return instance_; }
  bool Running() const { return looping_; }

  // Blocks (or unblocks) the given signals in the calling thread; threads created afterwards inherit it.
  static void BlockSignals(const std::vector<int>& signals, bool block);

 private:
  struct TimerN {
    uint64_t id_;
    TimerCB* callback_;
    const void* data_;
    uint64_t fire_time_;
    uint64_t repeat_ms_;
  };
  struct FilesCB {
    InputCB* i_cb = nullptr;
    ErrorCB* e_cb = nullptr;
    OutputCB* o_cb = nullptr;
    void Set(InputCB* i, ErrorCB* e, OutputCB* o) {
      i_cb = i;
      e_cb = e;
      o_cb = o;
    }
  };
  using TimerQueue = std::multimap<uint64_t, std::unique_ptr<TimerN>>;
  using DescriptorMap = std::map<int, FilesCB>;
  using SignalMap = std::map<int, SignalCB*>;

  static void SignalHandler(int signo);
  void DrainWakePipe();
  void OpenWakePipe();
  void CloseWakePipe();
  bool IsOwner() const { return pthread_equal(owner_.load(std::memory_order_acquire), pthread_self()) != 0; }
  void Wake() { Notify(0); }
  size_t BuildPollArray();
  int PollTimeout();
  void DispatchDescriptors(int ready);
  void DispatchTimers();
  void RunPosted();

  TimerQueue timer_queue_;
  std::unordered_map<uint64_t, TimerQueue::iterator> timer_index_;  // pending timers by identifier
  uint64_t next_id_ = 1;
  DescriptorMap descriptors_;
  SignalMap signals_;
  RecursiveMutex lock_;           // guards the maps and the poll array
  std::atomic<pthread_t> owner_;  // replaced by Run() and reset(), read by every caller
  std::atomic<int> pipe_[2] = {-1, -1};
  std::vector<pollfd> poll_array_;
  std::atomic<bool> looping_{true};
  InputCB* custom_ = nullptr;
  std::vector<signed char> posted_;  // notifications the owner thread posted to itself (owner only)

  static PollReactor* instance_;
};
