#include "foundation/reactor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

PollReactor* PollReactor::instance_ = nullptr;

namespace {

uint64_t MonotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// Taken during static initialisation, before main.
const uint64_t g_start_us = MonotonicUs();
const time_t g_epoch = time(nullptr);

}  // namespace

uint64_t PollReactor::NowUs() { return MonotonicUs() - g_start_us; }

uint64_t PollReactor::NowMs() { return NowUs() / 1000; }

time_t PollReactor::Epoch() { return g_epoch; }

PollReactor::PollReactor() : owner_(pthread_self()) {
  poll_array_.resize(64);
  OpenWakePipe();
  if (instance_ == nullptr) instance_ = this;
}

PollReactor::~PollReactor() {
  CloseWakePipe();
  if (instance_ == this) instance_ = nullptr;
}

void PollReactor::OpenWakePipe() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // The system raises a too large value to its maximum: bursts of notifications must not be lost.
  int big = INT_MAX;
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  pipe_[0] = fds[0];
  pipe_[1] = fds[1];
}

void PollReactor::CloseWakePipe() {
  MutexGuard guard(lock_);
  timer_queue_.clear();
  timer_index_.clear();
  descriptors_.clear();
  for (auto& fd : pipe_) {
    int old = fd.exchange(-1);
    if (old >= 0) close(old);
  }
}

void PollReactor::SignalHandler(int signo) {
  PollReactor* r = instance_;
  if (r == nullptr) return;
  int saved = errno;
  signed char byte = static_cast<signed char>(-(signo & 255));
  ssize_t rc = write(r->pipe_[1].load(std::memory_order_relaxed), &byte, 1);
  (void)rc;
  errno = saved;
}

void PollReactor::Notify(signed char value) {
  // The loop's own thread posts to itself without a system call: the value is handed to the receiver
  // at the end of the current cycle, and the next poll does not wait while one is pending.
  if (value > 0 && IsOwner()) {
    posted_.push_back(value);
    return;
  }
  ssize_t rc = write(pipe_[1].load(std::memory_order_relaxed), &value, 1);
  (void)rc;  // a full pair loses the byte; a lost wake-up only delays the loop
}

// Owner thread, without lock_. A receiver may post again while it runs: those are handed over too.
void PollReactor::RunPosted() {
  while (!posted_.empty()) {
    std::vector<signed char> batch;
    batch.swap(posted_);
    for (signed char value : batch)
      if (custom_) custom_->OnInput(value);
  }
}

uint64_t PollReactor::SetTimer(TimerCB* cb, int msec, const void* data, int period) {
  const uint64_t now = NowMs();
  const uint64_t fire = msec < 0 ? now : now + static_cast<uint64_t>(msec);
  auto timer =
      std::make_unique<TimerN>(TimerN{0, cb, data, fire, period > 0 ? static_cast<uint64_t>(period) : 0});
  MutexGuard guard(lock_);
  const bool earliest = timer_queue_.empty() || fire < timer_queue_.begin()->first;
  const uint64_t id = next_id_++;
  timer->id_ = id;
  // upper_bound keeps insertion order among equal fire times.
  auto it = timer_queue_.emplace_hint(timer_queue_.upper_bound(fire), fire, std::move(timer));
  timer_index_.emplace(id, it);
  if (earliest && !IsOwner()) Wake();
  return id;
}

int PollReactor::CancelTimer(uint64_t id) {
  if (id == kNoTimer) return 0;
  MutexGuard guard(lock_);
  auto found = timer_index_.find(id);
  if (found == timer_index_.end()) return 0;
  timer_queue_.erase(found->second);
  timer_index_.erase(found);
  return 1;
}

void PollReactor::RegisterDescriptor(int fd, InputCB* in, ErrorCB* err, OutputCB* out) {
  MutexGuard guard(lock_);
  descriptors_[fd].Set(in, err, out);
  if (!IsOwner()) Wake();
}

void PollReactor::UnregisterDescriptor(int fd) {
  MutexGuard guard(lock_);
  descriptors_.erase(fd);
  if (!IsOwner()) Wake();
}

void PollReactor::RegisterSignal(SignalCB* cb, int signo) {
  {
    MutexGuard guard(lock_);
    signals_[signo] = cb;
  }
  struct sigaction sa {};
  sa.sa_handler = &PollReactor::SignalHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(signo, &sa, nullptr);
}

void PollReactor::UnregisterSignal(int signo) {
  {
    MutexGuard guard(lock_);
    signals_.erase(signo);
  }
  signal(signo, SIG_DFL);
}

void PollReactor::BlockSignals(const std::vector<int>& signals, bool block) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void PollReactor::Run() {
  owner_ = pthread_self();
  MutexGuard guard(lock_);
  while (looping_) RunOnce(false);
}

void PollReactor::Stop() {
  looping_ = false;
  if (!IsOwner()) Wake();
}

void PollReactor::reset() {
  CloseWakePipe();
  MutexGuard guard(lock_);
  OpenWakePipe();
  owner_ = pthread_self();
  Notify(0);
}

// Expects lock_ held.
size_t PollReactor::BuildPollArray() {
  const size_t needed = descriptors_.size() + 1;
  if (poll_array_.size() < needed) poll_array_.resize((needed / 32 + 1) * 32);
  poll_array_[0] = pollfd{pipe_[0].load(), POLLIN | POLLPRI, 0};
  size_t i = 1;
  for (const auto& [fd, cbs] : descriptors_) {
    short events = 0;
    if (cbs.i_cb) events |= POLLIN | POLLPRI;
    if (cbs.o_cb) events |= POLLOUT;
    poll_array_[i++] = pollfd{fd, events, 0};
  }
  return i;
}

// Expects lock_ held.
int PollReactor::PollTimeout() {
  if (timer_queue_.empty()) return -1;
  const int64_t wait = static_cast<int64_t>(timer_queue_.begin()->first) - static_cast<int64_t>(NowMs());
  if (wait < 0) return 0;
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

void PollReactor::RunOnce(bool lock) {
  if (lock) lock_.lock();
  const size_t count = BuildPollArray();
  const int timeout = posted_.empty() ? PollTimeout() : 0;
  lock_.unlock();
  const int ready = poll(poll_array_.data(), count, timeout);
  const int err = errno;
  lock_.lock();
  if (ready > 0) {
    lock_.unlock();
    DispatchDescriptors(ready);
    lock_.lock();
  }
  if (ready >= 0 || err == EINTR) DispatchTimers();
  if (!posted_.empty()) {
    lock_.unlock();
    RunPosted();
    lock_.lock();
  }
  if (lock) lock_.unlock();
}

// Runs without lock_; takes it only to look each descriptor up again.
void PollReactor::DispatchDescriptors(int ready) {
  int handled = 0;
  if (poll_array_[0].revents != 0) {
    DrainWakePipe();
    if (++handled >= ready) return;
  }
  for (size_t i = 1; handled < ready && i < poll_array_.size(); ++i) {
    const pollfd p = poll_array_[i];
    if (p.revents == 0) continue;
    ++handled;
    FilesCB cbs;
    bool known;
    {
      MutexGuard guard(lock_);
      auto it = descriptors_.find(p.fd);
      known = it != descriptors_.end();
      if (known) cbs = it->second;
    }
    if (known) {
      if (p.revents & (POLLIN | POLLPRI)) {
        if (cbs.i_cb) cbs.i_cb->OnInput(p.fd);
      } else if (p.revents & POLLERR) {
        if (cbs.e_cb) cbs.e_cb->OnError(p.fd);
      } else if (p.revents & POLLOUT) {
        if (cbs.o_cb) cbs.o_cb->OnOutput(p.fd);
      }
    }
    if (p.revents & POLLNVAL) UnregisterDescriptor(p.fd);
  }
}

// Expects lock_ held; releases it around every callback.
void PollReactor::DispatchTimers() {
  while (!timer_queue_.empty()) {
    auto first = timer_queue_.begin();
    if (first->first > NowMs()) break;
    std::unique_ptr<TimerN> timer = std::move(first->second);
    timer_queue_.erase(first);
    TimerCB* cb = timer->callback_;
    const void* data = timer->data_;
    if (timer->repeat_ms_ > 0) {
      // The next fire time counts from the scheduled time, so a late timer catches up period by period.
      timer->fire_time_ += timer->repeat_ms_;
      const uint64_t id = timer->id_;
      const uint64_t next = timer->fire_time_;
      timer_index_[id] = timer_queue_.emplace_hint(timer_queue_.upper_bound(next), next, std::move(timer));
    } else {
      timer_index_.erase(timer->id_);
    }
    lock_.unlock();
    cb->OnTimer(data);
    lock_.lock();
  }
}

void PollReactor::DrainWakePipe() {
  signed char b;
  while (read(pipe_[0].load(), &b, 1) == 1) {
    if (b == 0) continue;
    if (b > 0) {
      if (custom_) custom_->OnInput(b);
      continue;
    }
    SignalCB* receiver = nullptr;
    {
      MutexGuard guard(lock_);
      auto it = signals_.find(-b);
      if (it != signals_.end()) receiver = it->second;
    }
    if (receiver) receiver->OnSignal(-b);
  }
}
