#include "media/media_engine.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "foundation/log.h"
#include "foundation/reactor.h"
#include "media/uring_io.h"

namespace {

// Events taken from the kernel per wait: enough for a round of every socket of a busy thread.
constexpr int kEventsPerWait = 256;
// The epoll data of the wake-up descriptor; a session's descriptor carries (id << 4) | slot, ids start at 1.
constexpr uint64_t kWakeData = 0;
constexpr int kSlotBits = 4;

// A media thread needs one batch of packets (on the heap) and a log line.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackSize = 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kStackSize = 1024 * 1024;
#else
constexpr size_t kStackSize = 256 * 1024;
#endif
#else
constexpr size_t kStackSize = 256 * 1024;
#endif

std::atomic<uint64_t> g_next_session_id{1};

}  // namespace

// Datagrams received in one system call (epoll), with room for an in-place transform's trailer in each.
struct PacketBatch {
  static constexpr int kSize = 16;
  mmsghdr headers[kSize];
  iovec vectors[kSize];
  sockaddr_in sources[kSize];
  uint8_t buffers[kSize][rtp::kPacketBuffer];
};

MediaLoop::MediaLoop(int index) : index_(index), batch_(std::make_unique<PacketBatch>()) {}

MediaLoop::~MediaLoop() { Stop(); }

bool MediaLoop::Start(bool prefer_uring) {
  prefer_uring_ = prefer_uring;
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bool ok = epoll_fd_ >= 0 && wake_fd_ >= 0;
  if (ok) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeData;
    ok = epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) == 0;
  }
  if (ok) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    ok =
        pthread_attr_setstacksize(&attr, kStackSize) == 0 && pthread_create(&thread_, &attr, &Run, this) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!ok) {
    Log("ostrel", LEVEL_ERROR, "Error: Cannot start media thread %d: %s\n", index_, std::strerror(errno));
    if (epoll_fd_ >= 0) close(epoll_fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
    epoll_fd_ = wake_fd_ = -1;
    return false;
  }
  running_ = true;
  return true;
}

void MediaLoop::Stop() {
  if (!running_) return;
  Post(Request{Request::STOP, 0, nullptr});
  pthread_join(thread_, nullptr);
  running_ = false;
  close(epoll_fd_);
  close(wake_fd_);
  epoll_fd_ = wake_fd_ = -1;
}

void MediaLoop::Post(Request request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  uint64_t one = 1;
  ssize_t rc = write(wake_fd_, &one, sizeof one);
  (void)rc;  // an eventfd write fails only on counter overflow, and then it is readable anyway
}

SessionHandle MediaLoop::Attach(std::unique_ptr<MediaSession> session) {
  const uint64_t id = g_next_session_id.fetch_add(1, std::memory_order_relaxed);
  load_.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Number 0 is a job of the engine's own (ringback), not a call.
    if (session->Number() != 0) numbers_.emplace_back(id, session->Number());
  }
  Post(Request{Request::ATTACH, id, std::move(session)});
  return SessionHandle{this, id};
}

void MediaLoop::Detach(uint64_t id) {
  if (OnLoopThread()) {
    DetachNow(id);
    return;
  }
  DetachWaiter waiter;
  Request request{Request::DETACH, id, nullptr};
  request.waiter = &waiter;
  Post(std::move(request));
  std::unique_lock<std::mutex> lock(mutex_);
  detached_.wait(lock, [&] { return waiter.done; });
}

void MediaLoop::Wake(uint64_t id) { Post(Request{Request::WAKE, id, nullptr}); }

void MediaLoop::Acknowledge(DetachWaiter* waiter) {
  if (waiter == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  waiter->done = true;
  detached_.notify_all();
}

bool MediaLoop::OnLoopThread() const { return thread_id_.load(std::memory_order_relaxed) == gettid(); }

std::vector<unsigned> MediaLoop::Numbers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<unsigned> out;
  out.reserve(numbers_.size());
  for (const auto& n : numbers_) out.push_back(n.second);
  return out;
}

bool MediaLoop::Watch(int fd, int slot) {
  if (fd < 0 || slot < 0 || slot >= (1 << kSlotBits)) return false;
  auto it = entries_.find(current_);
  if (it == entries_.end()) return false;
  const uint64_t data = (current_ << kSlotBits) | static_cast<uint64_t>(slot);
  if (uring_) {
    uring_->ArmReceive(fd, data);
  } else {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLPRI;
    ev.data.u64 = data;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  }
  it->second.watched.push_back(Watched{fd, slot, uring_ != nullptr});
  return true;
}

void MediaLoop::Send(int fd, const uint8_t* pkt, size_t len, const InetAddress& to) {
  if (uring_ && uring_->SendFromCurrent(fd, pkt, len, to)) return;
  sendto(fd, pkt, len, MSG_DONTWAIT, to.SocketAddress(), sizeof(sockaddr_in));
}

void MediaLoop::SetTimer(uint64_t due_ms) {
  auto it = entries_.find(current_);
  if (it == entries_.end()) return;
  Entry& e = it->second;
  if (e.timer_due != 0) timers_.erase({e.timer_due, current_});
  e.timer_due = due_ms;
  if (due_ms != 0) timers_.emplace(due_ms, current_);
}

void* MediaLoop::Run(void* arg) {
  auto* loop = static_cast<MediaLoop*>(arg);
  loop->thread_id_.store(gettid(), std::memory_order_relaxed);
  pthread_setname_np(pthread_self(), "RTP Relay");
  // The ring belongs to the thread that submits to it, so it is made here.
  if (loop->prefer_uring_) {
    std::string why;
    loop->uring_ = UringIo::Create(loop->wake_fd_, why);
    if (!loop->uring_ && loop->index_ == 0)
      Log("ostrel", LEVEL_ERROR, "Media threads use epoll: io_uring is not available (%s)\n", why.c_str());
  }
  loop->uses_uring_.store(loop->uring_ != nullptr, std::memory_order_release);
  Log("ostrel", LEVEL_DEBUG, "Media thread %d uses %s\n", loop->index_, loop->IoName());
  loop->Loop();
  loop->uring_.reset();
  return nullptr;
}

void MediaLoop::Loop() {
  while (!stopping_) {
    const uint64_t now = PollReactor::NowMs();
    if (uring_) {
      UringRound(now);
    } else {
      EpollRound(now);
    }
    RunTimers(PollReactor::NowMs());
    current_ = 0;
    retired_.clear();
  }
  // Whatever is still attached leaves with the loop, and nobody is left waiting for it.
  while (!entries_.empty()) DetachNow(entries_.begin()->first);
  for (auto& d : draining_) Acknowledge(d.second.second);
  draining_.clear();
  retired_.clear();
}

void MediaLoop::EpollRound(uint64_t now) {
  epoll_event events[kEventsPerWait];
  const int n = epoll_wait(epoll_fd_, events, kEventsPerWait, WaitTimeout(now));
  if (n < 0 && errno != EINTR) {
    Log("ostrel", LEVEL_ERROR, "Error: media thread %d poll: %s\n", index_, std::strerror(errno));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // never spin on a failing wait
  }
  bool woken = false;
  for (int k = 0; k < n; ++k) {
    if (events[k].data.u64 == kWakeData) {
      woken = true;
    } else {
      Readable(events[k].data.u64);
    }
  }
  if (woken && !TakeRequests()) stopping_ = true;
}

void MediaLoop::UringRound(uint64_t now) {
  bool woken = false;
  uint64_t arrival_us = 0;
  uring_->Round(WaitTimeout(now), [&](uint64_t user_data, int res, unsigned flags, UringIo::Datagram* d) {
    if (user_data == UringIo::kWakeUp) {
      woken = true;
      return;
    }
    if ((user_data & UringIo::kTagMask) != UringIo::kRecv) return;
    const uint64_t data = user_data & ~UringIo::kTagMask;
    if (d != nullptr && !d->truncated) {
      if (arrival_us == 0) arrival_us = PollReactor::NowUs();
      Deliver(data, d->data, d->length, d->source, arrival_us);
    }
    if ((flags & IORING_CQE_F_MORE) == 0) ReceiveEnded(data, res);
  });
  if (woken && !TakeRequests()) stopping_ = true;
}

// Epoll: what the socket holds is read with one system call and handed over packet by packet. A socket of
// a session detached earlier in this round finds no entry and is skipped.
void MediaLoop::Readable(uint64_t data) {
  auto it = entries_.find(data >> kSlotBits);
  if (it == entries_.end()) return;
  const int slot = static_cast<int>(data & ((1u << kSlotBits) - 1));
  int fd = -1;
  for (const Watched& w : it->second.watched) {
    if (w.slot == slot) fd = w.fd;
  }
  if (fd < 0) return;
  PacketBatch& b = *batch_;
  for (int k = 0; k < PacketBatch::kSize; ++k) {
    b.vectors[k] = {b.buffers[k], rtp::kMaxReceive};
    b.headers[k].msg_hdr = msghdr{};
    b.headers[k].msg_hdr.msg_name = &b.sources[k];
    b.headers[k].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    b.headers[k].msg_hdr.msg_iov = &b.vectors[k];
    b.headers[k].msg_hdr.msg_iovlen = 1;
  }
  const int n = recvmmsg(fd, b.headers, PacketBatch::kSize, MSG_DONTWAIT, nullptr);
  const uint64_t now_us = PollReactor::NowUs();
  for (int k = 0; k < n; ++k) {
    // A cut packet would be relayed corrupted, so it is dropped.
    if ((b.headers[k].msg_hdr.msg_flags & MSG_TRUNC) != 0) continue;
    InetAddress src;
    std::memcpy(src.SocketAddress(), &b.sources[k], sizeof(sockaddr_in));
    Deliver(data, b.buffers[k], b.headers[k].msg_len, src, now_us);
  }
}

void MediaLoop::Deliver(uint64_t data, uint8_t* pkt, size_t len, const InetAddress& src, uint64_t now_us) {
  const uint64_t id = data >> kSlotBits;
  auto it = entries_.find(id);
  if (it == entries_.end() || len == 0) return;
  current_ = id;
  it->second.session->OnPacket(*this, static_cast<int>(data & ((1u << kSlotBits) - 1)), pkt, len, src,
                               now_us);
}

void MediaLoop::ReceiveEnded(uint64_t data, int res) {
  const uint64_t id = data >> kSlotBits;
  const int slot = static_cast<int>(data & ((1u << kSlotBits) - 1));
  auto drain = draining_.find(id);
  if (drain != draining_.end()) {
    if (--drain->second.first <= 0) {
      Acknowledge(drain->second.second);
      draining_.erase(drain);
    }
    return;
  }
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  for (Watched& w : it->second.watched) {
    if (w.slot != slot || !w.armed) continue;
    // Out of buffers is a burst the ring will absorb again; anything else would only fail once more.
    if (res == -ENOBUFS || res >= 0) {
      uring_->ArmReceive(w.fd, data);
    } else {
      w.armed = false;
      Log("ostrel", LEVEL_ERROR, "Error: media thread %d receive on %d: %s\n", index_, w.fd,
          std::strerror(-res));
    }
  }
}

void MediaLoop::RunTimers(uint64_t now) {
  while (!timers_.empty() && timers_.begin()->first <= now) {
    const uint64_t id = timers_.begin()->second;
    timers_.erase(timers_.begin());
    auto it = entries_.find(id);
    if (it == entries_.end()) continue;
    it->second.timer_due = 0;
    current_ = id;
    it->second.session->OnTimer(*this, now);
  }
}

void MediaLoop::WakeNow(uint64_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  Entry& e = it->second;
  if (e.timer_due != 0) timers_.erase({e.timer_due, id});
  e.timer_due = 1;  // long past: RunTimers takes it this round
  timers_.emplace(e.timer_due, id);
}

int MediaLoop::WaitTimeout(uint64_t now) const {
  if (timers_.empty()) return -1;
  const uint64_t due = timers_.begin()->first;
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 60000));
}

bool MediaLoop::TakeRequests() {
  uint64_t count;
  ssize_t rc = read(wake_fd_, &count, sizeof count);
  (void)rc;  // nothing to read only means another round took the requests already
  std::vector<Request> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(requests_);
  }
  bool go_on = true;
  for (Request& r : taken) {
    switch (r.kind) {
      case Request::ATTACH:
        AttachNow(r.id, std::move(r.session));
        break;
      case Request::DETACH:
        DetachNow(r.id, r.waiter);
        break;
      case Request::WAKE:
        WakeNow(r.id);
        break;
      case Request::STOP:
        go_on = false;
        break;
    }
  }
  current_ = 0;
  retired_.clear();
  return go_on;
}

void MediaLoop::AttachNow(uint64_t id, std::unique_ptr<MediaSession> session) {
  Entry& e = entries_[id];
  e.session = std::move(session);
  current_ = id;
  e.session->OnAttach(*this);
}

// Epoll: the descriptors leave the set at once. io_uring: their receives are cancelled and the waiter is
// acknowledged when the last of them has ended, so that no receive outlives the caller's sockets.
void MediaLoop::DetachNow(uint64_t id, DetachWaiter* waiter) {
  auto it = entries_.find(id);
  if (it == entries_.end()) {
    DropPendingAttach(id);  // attached and detached again by a callback of this thread, within one round
    Acknowledge(waiter);
    return;
  }
  const uint64_t saved = current_;
  current_ = id;
  it->second.session->OnDetach(*this);
  current_ = saved;
  int armed = 0;
  for (const Watched& w : it->second.watched) {
    if (uring_ == nullptr) {
      epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, w.fd, nullptr);
    } else if (w.armed) {
      uring_->CancelReceive((id << kSlotBits) | static_cast<uint64_t>(w.slot));
      ++armed;
    }
  }
  if (it->second.timer_due != 0) timers_.erase({it->second.timer_due, id});
  retired_.push_back(std::move(it->second.session));
  entries_.erase(it);
  load_.fetch_sub(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto n = numbers_.begin(); n != numbers_.end(); ++n) {
      if (n->first == id) {
        numbers_.erase(n);
        break;
      }
    }
  }
  if (armed > 0) {
    draining_[id] = {armed, waiter};
  } else {
    Acknowledge(waiter);
  }
}

void MediaLoop::DropPendingAttach(uint64_t id) {
  std::unique_ptr<MediaSession> session;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto r = requests_.begin(); r != requests_.end(); ++r) {
    if (r->kind == Request::ATTACH && r->id == id) {
      session = std::move(r->session);
      requests_.erase(r);
      break;
    }
  }
  if (!session) return;
  load_.fetch_sub(1, std::memory_order_relaxed);
  for (auto n = numbers_.begin(); n != numbers_.end(); ++n) {
    if (n->first == id) {
      numbers_.erase(n);
      break;
    }
  }
  retired_.push_back(std::move(session));
}

MediaEngine& MediaEngine::Instance() {
  // Never destroyed: calls ending during exit may still detach from it.
  static MediaEngine* engine = new MediaEngine;
  return *engine;
}

bool MediaEngine::Start(int threads) {
  std::lock_guard<std::mutex> lock(start_mutex_);
  if (started_.load(std::memory_order_relaxed)) return true;
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const char* io = std::getenv("OSTREL_MEDIA_IO");
  const bool prefer_uring = io == nullptr || std::strcmp(io, "epoll") != 0;
  for (int i = 0; i < threads; ++i) {
    auto loop = std::make_unique<MediaLoop>(i);
    if (loop->Start(prefer_uring)) loops_.push_back(std::move(loop));
  }
  if (loops_.empty()) return false;
  Log("ostrel", LEVEL_DEBUG, "Media threads: %d\n", static_cast<int>(loops_.size()));
  started_.store(true, std::memory_order_release);
  return true;
}

void MediaEngine::EnsureStarted() {
  if (!Started()) Start(0);
}

SessionHandle MediaEngine::Attach(std::unique_ptr<MediaSession> session) {
  EnsureStarted();
  if (!Started()) return {};
  MediaLoop* best = loops_.front().get();
  for (auto& loop : loops_) {
    if (loop->Load() < best->Load()) best = loop.get();
  }
  return best->Attach(std::move(session));
}

std::string MediaEngine::DumpText() const {
  if (!started_.load(std::memory_order_acquire)) return "Media threads: not started\n";
  std::string s;
  for (const auto& loop : loops_) {
    const std::vector<unsigned> numbers = loop->Numbers();
    s += "Media thread " + std::to_string(loop->Index()) + ": " + std::to_string(numbers.size()) + " calls";
    for (size_t i = 0; i < numbers.size(); ++i) s += (i == 0 ? ": " : ", ") + std::to_string(numbers[i]);
    s += "\n";
  }
  return s;
}

MediaTraffic MediaLoop::Traffic() const {
  MediaTraffic t;
  t.client_packets = traffic_[0].load(std::memory_order_relaxed);
  t.client_bytes = traffic_[1].load(std::memory_order_relaxed);
  t.server_packets = traffic_[2].load(std::memory_order_relaxed);
  t.server_bytes = traffic_[3].load(std::memory_order_relaxed);
  return t;
}

MediaTraffic MediaEngine::Traffic() const {
  MediaTraffic sum;
  if (!Started()) return sum;
  for (const auto& loop : loops_) {
    const MediaTraffic t = loop->Traffic();
    sum.client_packets += t.client_packets;
    sum.client_bytes += t.client_bytes;
    sum.server_packets += t.server_packets;
    sum.server_bytes += t.server_bytes;
  }
  return sum;
}
