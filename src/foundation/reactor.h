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
  virtual void timer_cb(const void* data) = 0;
  virtual ~TimerCB() = default;
};
class InputCB {
 public:
  virtual void input_cb(int fd) = 0;
  virtual ~InputCB() = default;
};
class ErrorCB {
 public:
  virtual void error_cb(int fd) = 0;
  virtual ~ErrorCB() = default;
};
class OutputCB {
 public:
  virtual void output_cb(int fd) = 0;
  virtual ~OutputCB() = default;
};
class SignalCB {
 public:
  virtual void signal_cb(int signo) = 0;
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
  static uint64_t curr_ms();
  // Wall-clock second taken at start-up.
  static time_t epoch();

  // Identifiers are never reused, so a stale identifier can only miss, never cancel someone else's timer.
  uint64_t timer_set(TimerCB* cb, int msec, const void* data, int period = 0);
  int timer_cancel(uint64_t id);

  void register_fd(int fd, InputCB* in, ErrorCB* err = nullptr, OutputCB* out = nullptr);
  void unregister_fd(int fd);
  void register_signal(SignalCB* cb, int signo);
  void unregister_signal(int signo);
  void set_custom(InputCB* cb) { custom_m = cb; }
  // A positive value reaches the custom receiver on the loop (in the same cycle when the loop itself
  // posts it); 0 only wakes the loop.
  void notify(signed char value);

  void run();
  void run_once(bool lock);
  void stop();
  void reset();

  pthread_t owner() const { return owner_m.load(std::memory_order_acquire); }
  static PollReactor* instance() { return instance_m; }
  bool running() const { return loop_m; }

  // Blocks (or unblocks) the given signals in the calling thread; threads created afterwards inherit it.
  static void block_signals(const std::vector<int>& signals, bool block);

 private:
  struct TimerN {
    uint64_t id_m;
    TimerCB* cb_m;
    const void* data_m;
    uint64_t ftime_m;
    uint64_t rtime_m;
  };
  struct FilesCB {
    InputCB* i_cb = nullptr;
    ErrorCB* e_cb = nullptr;
    OutputCB* o_cb = nullptr;
    void set(InputCB* i, ErrorCB* e, OutputCB* o) {
      i_cb = i;
      e_cb = e;
      o_cb = o;
    }
  };
  using TQ_Map_t = std::multimap<uint64_t, std::unique_ptr<TimerN>>;
  using FD_Map_t = std::map<int, FilesCB>;
  using SG_Map_t = std::map<int, SignalCB*>;

  static void sig_handler(int signo);
  void _itself();
  void _setpipe();
  void _cleanup();
  bool is_owner() const { return pthread_equal(owner_m.load(std::memory_order_acquire), pthread_self()) != 0; }
  void wake() { notify(0); }
  size_t build_poll_array();
  int poll_timeout();
  void dispatch_fds(int ready);
  void dispatch_timers();
  void run_posted();

  TQ_Map_t TQueue_m;
  std::unordered_map<uint64_t, TQ_Map_t::iterator> TIndex_m;  // pending timers by identifier
  uint64_t next_id_m = 1;
  FD_Map_t FD_m;
  SG_Map_t SG_m;
  Recursive_Mutex Locker_m;  // guards the maps and the poll array
  std::atomic<pthread_t> owner_m;  // replaced by run() and reset(), read by every caller
  std::atomic<int> pipefd_m[2] = {-1, -1};
  std::vector<pollfd> pollarr_m;
  std::atomic<bool> loop_m{true};
  InputCB* custom_m = nullptr;
  std::vector<signed char> posted_m;  // notifications the owner thread posted to itself (owner only)

  static PollReactor* instance_m;
};
