#include "foundation/reactor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

PollReactor* PollReactor::instance_m = nullptr;

namespace {

uint64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Taken during static initialisation, before main.
const uint64_t g_start_ms = monotonic_ms();
const time_t g_epoch = time(nullptr);

}  // namespace

uint64_t PollReactor::curr_ms() { return monotonic_ms() - g_start_ms; }

time_t PollReactor::epoch() { return g_epoch; }

PollReactor::PollReactor() : owner_m(pthread_self()) {
  pollarr_m.resize(64);
  _setpipe();
  if (instance_m == nullptr) instance_m = this;
}

PollReactor::~PollReactor() {
  _cleanup();
  if (instance_m == this) instance_m = nullptr;
}

void PollReactor::_setpipe() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // The system raises a too large value to its maximum: bursts of notifications must not be lost.
  int big = INT_MAX;
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  pipefd_m[0] = fds[0];
  pipefd_m[1] = fds[1];
}

void PollReactor::_cleanup() {
  Guard_Mutex guard(Locker_m);
  TQueue_m.clear();
  TIndex_m.clear();
  FD_m.clear();
  for (auto& fd : pipefd_m) {
    int old = fd.exchange(-1);
    if (old >= 0) close(old);
  }
}

void PollReactor::sig_handler(int signo) {
  PollReactor* r = instance_m;
  if (r == nullptr) return;
  int saved = errno;
  signed char byte = static_cast<signed char>(-(signo & 255));
  ssize_t rc = write(r->pipefd_m[1].load(std::memory_order_relaxed), &byte, 1);
  (void)rc;
  errno = saved;
}

void PollReactor::notify(signed char value) {
  // The loop's own thread posts to itself without a system call: the value is handed to the receiver
  // at the end of the current cycle, and the next poll does not wait while one is pending.
  if (value > 0 && is_owner()) {
    posted_m.push_back(value);
    return;
  }
  ssize_t rc = write(pipefd_m[1].load(std::memory_order_relaxed), &value, 1);
  (void)rc;  // a full pair loses the byte; a lost wake-up only delays the loop
}

// Owner thread, without Locker_m. A receiver may post again while it runs: those are handed over too.
void PollReactor::run_posted() {
  while (!posted_m.empty()) {
    std::vector<signed char> batch;
    batch.swap(posted_m);
    for (signed char value : batch)
      if (custom_m) custom_m->input_cb(value);
  }
}

uint64_t PollReactor::timer_set(TimerCB* cb, int msec, const void* data, int period) {
  const uint64_t now = curr_ms();
  const uint64_t fire = msec < 0 ? now : now + static_cast<uint64_t>(msec);
  auto timer = std::make_unique<TimerN>(TimerN{0, cb, data, fire, period > 0 ? static_cast<uint64_t>(period) : 0});
  Guard_Mutex guard(Locker_m);
  const bool earliest = TQueue_m.empty() || fire < TQueue_m.begin()->first;
  const uint64_t id = next_id_m++;
  timer->id_m = id;
  // upper_bound keeps insertion order among equal fire times.
  auto it = TQueue_m.emplace_hint(TQueue_m.upper_bound(fire), fire, std::move(timer));
  TIndex_m.emplace(id, it);
  if (earliest && !is_owner()) wake();
  return id;
}

int PollReactor::timer_cancel(uint64_t id) {
  if (id == kNoTimer) return 0;
  Guard_Mutex guard(Locker_m);
  auto found = TIndex_m.find(id);
  if (found == TIndex_m.end()) return 0;
  TQueue_m.erase(found->second);
  TIndex_m.erase(found);
  return 1;
}

void PollReactor::register_fd(int fd, InputCB* in, ErrorCB* err, OutputCB* out) {
  Guard_Mutex guard(Locker_m);
  FD_m[fd].set(in, err, out);
  if (!is_owner()) wake();
}

void PollReactor::unregister_fd(int fd) {
  Guard_Mutex guard(Locker_m);
  FD_m.erase(fd);
  if (!is_owner()) wake();
}

void PollReactor::register_signal(SignalCB* cb, int signo) {
  {
    Guard_Mutex guard(Locker_m);
    SG_m[signo] = cb;
  }
  struct sigaction sa {};
  sa.sa_handler = &PollReactor::sig_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(signo, &sa, nullptr);
}

void PollReactor::unregister_signal(int signo) {
  {
    Guard_Mutex guard(Locker_m);
    SG_m.erase(signo);
  }
  signal(signo, SIG_DFL);
}

void PollReactor::block_signals(const std::vector<int>& signals, bool block) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void PollReactor::run() {
  owner_m = pthread_self();
  Guard_Mutex guard(Locker_m);
  while (loop_m) run_once(false);
}

void PollReactor::stop() {
  loop_m = false;
  if (!is_owner()) wake();
}

void PollReactor::reset() {
  _cleanup();
  Guard_Mutex guard(Locker_m);
  _setpipe();
  owner_m = pthread_self();
  notify(0);
}

// Expects Locker_m held.
size_t PollReactor::build_poll_array() {
  const size_t needed = FD_m.size() + 1;
  if (pollarr_m.size() < needed) pollarr_m.resize((needed / 32 + 1) * 32);
  pollarr_m[0] = pollfd{pipefd_m[0].load(), POLLIN | POLLPRI, 0};
  size_t i = 1;
  for (const auto& [fd, cbs] : FD_m) {
    short events = 0;
    if (cbs.i_cb) events |= POLLIN | POLLPRI;
    if (cbs.o_cb) events |= POLLOUT;
    pollarr_m[i++] = pollfd{fd, events, 0};
  }
  return i;
}

// Expects Locker_m held.
int PollReactor::poll_timeout() {
  if (TQueue_m.empty()) return -1;
  const int64_t wait = static_cast<int64_t>(TQueue_m.begin()->first) - static_cast<int64_t>(curr_ms());
  if (wait < 0) return 0;
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

void PollReactor::run_once(bool lock) {
  if (lock) Locker_m.lock();
  const size_t count = build_poll_array();
  const int timeout = posted_m.empty() ? poll_timeout() : 0;
  Locker_m.unlock();
  const int ready = poll(pollarr_m.data(), count, timeout);
  const int err = errno;
  Locker_m.lock();
  if (ready > 0) {
    Locker_m.unlock();
    dispatch_fds(ready);
    Locker_m.lock();
  }
  if (ready >= 0 || err == EINTR) dispatch_timers();
  if (!posted_m.empty()) {
    Locker_m.unlock();
    run_posted();
    Locker_m.lock();
  }
  if (lock) Locker_m.unlock();
}

// Runs without Locker_m; takes it only to look each descriptor up again.
void PollReactor::dispatch_fds(int ready) {
  int handled = 0;
  if (pollarr_m[0].revents != 0) {
    _itself();
    if (++handled >= ready) return;
  }
  for (size_t i = 1; handled < ready && i < pollarr_m.size(); ++i) {
    const pollfd p = pollarr_m[i];
    if (p.revents == 0) continue;
    ++handled;
    FilesCB cbs;
    bool known;
    {
      Guard_Mutex guard(Locker_m);
      auto it = FD_m.find(p.fd);
      known = it != FD_m.end();
      if (known) cbs = it->second;
    }
    if (known) {
      if (p.revents & (POLLIN | POLLPRI)) {
        if (cbs.i_cb) cbs.i_cb->input_cb(p.fd);
      } else if (p.revents & POLLERR) {
        if (cbs.e_cb) cbs.e_cb->error_cb(p.fd);
      } else if (p.revents & POLLOUT) {
        if (cbs.o_cb) cbs.o_cb->output_cb(p.fd);
      }
    }
    if (p.revents & POLLNVAL) unregister_fd(p.fd);
  }
}

// Expects Locker_m held; releases it around every callback.
void PollReactor::dispatch_timers() {
  while (!TQueue_m.empty()) {
    auto first = TQueue_m.begin();
    if (first->first > curr_ms()) break;
    std::unique_ptr<TimerN> timer = std::move(first->second);
    TQueue_m.erase(first);
    TimerCB* cb = timer->cb_m;
    const void* data = timer->data_m;
    if (timer->rtime_m > 0) {
      // The next fire time counts from the scheduled time, so a late timer catches up period by period.
      timer->ftime_m += timer->rtime_m;
      const uint64_t id = timer->id_m;
      const uint64_t next = timer->ftime_m;
      TIndex_m[id] = TQueue_m.emplace_hint(TQueue_m.upper_bound(next), next, std::move(timer));
    } else {
      TIndex_m.erase(timer->id_m);
    }
    Locker_m.unlock();
    cb->timer_cb(data);
    Locker_m.lock();
  }
}

void PollReactor::_itself() {
  signed char b;
  while (read(pipefd_m[0].load(), &b, 1) == 1) {
    if (b == 0) continue;
    if (b > 0) {
      if (custom_m) custom_m->input_cb(b);
      continue;
    }
    SignalCB* receiver = nullptr;
    {
      Guard_Mutex guard(Locker_m);
      auto it = SG_m.find(-b);
      if (it != SG_m.end()) receiver = it->second;
    }
    if (receiver) receiver->signal_cb(-b);
  }
}
