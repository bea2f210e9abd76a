// MediaEngine: a fixed pool of media threads, each running one event loop over the sockets of many calls
// (io_uring where the kernel offers it, epoll otherwise). A call's packet handler (a MediaSession) is pinned
// to the least loaded thread when it starts and stays there. Attach and Detach: any thread (Detach waits for
// the media thread); a session's callbacks: its media thread only, so a session needs no lock for its own
// state.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/inet_addr.h"
#include "media/rtp_header.h"

class MediaLoop;
class UringIo;
struct PacketBatch;

// A call's packet handler: the descriptors it reads, an optional timer, and what it does with both.
class MediaSession {
 public:
  virtual ~MediaSession() = default;
  // Media thread, once: watch the session's descriptors with loop.Watch.
  virtual void OnAttach(MediaLoop& loop) = 0;
  // Media thread: a datagram arrived on the descriptor watched as `slot`. pkt holds len bytes (at most
  // rtp::kMaxReceive; longer datagrams are dropped before) and room for rtp::kMaxTrailer more; it is valid
  // until the call returns, and MediaLoop::Send may send it on from where it lies. now_us: when the loop
  // took it (PollReactor::NowUs; one reading serves a round's datagrams).
  virtual void OnPacket(MediaLoop& loop, int slot, uint8_t* pkt, size_t len, const InetAddress& src,
                        uint64_t now_us) = 0;
  // Media thread: the time set with loop.SetTimer has come (the timer is then cleared).
  virtual void OnTimer(MediaLoop& loop, uint64_t now_ms) {}
  // Media thread, once: the session leaves its thread; afterwards nothing of it runs again.
  virtual void OnDetach(MediaLoop& loop) {}
  // The call's number, for the status dump (0: a job of the engine's own, not listed).
  virtual unsigned Number() const = 0;
};

// Where a session runs: its media thread and its slot there. Empty when not attached.
struct SessionHandle {
  MediaLoop* loop = nullptr;
  uint64_t id = 0;
  explicit operator bool() const { return loop != nullptr; }
};

// Packets and bytes a media thread accepted from the two sides of its calls (before any SRTP or transcoding).
struct MediaTraffic {
  uint64_t client_packets = 0;
  uint64_t client_bytes = 0;
  uint64_t server_packets = 0;
  uint64_t server_bytes = 0;
};

// One media thread and its event loop: the sessions pinned to it, their descriptors and timers.
class MediaLoop {
 public:
  explicit MediaLoop(int index);
  ~MediaLoop();
  MediaLoop(const MediaLoop&) = delete;
  MediaLoop& operator=(const MediaLoop&) = delete;

  // prefer_uring: use io_uring when the kernel offers it (decided on the thread itself).
  bool Start(bool prefer_uring);
  // Ends the loop and joins the thread; sessions still attached are detached first.
  void Stop();

  // Any thread: the session runs on this loop from now on (its OnAttach comes first).
  SessionHandle Attach(std::unique_ptr<MediaSession> session);
  // Any thread: the session leaves; on return nothing of it runs any more and its descriptors are no longer
  // watched, so they may be closed at once. On the loop's own thread it takes effect at once too.
  void Detach(uint64_t id);
  // Any thread: the session's OnTimer runs at the loop's next round, as if its timer had come.
  void Wake(uint64_t id);

  // Media thread, within a session's callbacks: watch fd as the session's `slot` (0 to 15); false when the
  // kernel refuses it.
  bool Watch(int fd, int slot);
  // Media thread: call the session's OnTimer at due_ms (PollReactor::NowMs scale); 0 cancels.
  void SetTimer(uint64_t due_ms);
  // Media thread: the session whose callback runs now.
  uint64_t Current() const { return current_; }
  // Media thread: sends len bytes of pkt from fd to `to` (from the buffer it arrived in when that is where
  // pkt lies).
  void Send(int fd, const uint8_t* pkt, size_t len, const InetAddress& to);

  // Media thread: a packet of len bytes accepted from the client side or the server side of a call.
  // Written by the loop's own thread alone, so a plain load and store suffice (no locked add per packet).
  void CountAccepted(bool from_client, size_t len) {
    Bump(from_client ? traffic_[0] : traffic_[2], 1);
    Bump(from_client ? traffic_[1] : traffic_[3], len);
  }
  // Any thread: packets and bytes accepted from each side since the loop started.
  MediaTraffic Traffic() const;

  // Any thread: sessions attached (or about to be), for picking the least loaded loop.
  int Load() const { return load_.load(std::memory_order_relaxed); }
  int Index() const { return index_; }
  // The thread's identifiers for log lines (pthread and kernel).
  unsigned long ThreadId() const { return static_cast<unsigned long>(thread_); }
  unsigned long KernelId() const {
    return static_cast<unsigned long>(thread_id_.load(std::memory_order_relaxed));
  }
  // Any thread: the call numbers this loop serves, in the order they came.
  std::vector<unsigned> Numbers() const;
  // Any thread, once started: "io_uring" or "epoll".
  const char* IoName() const { return uses_uring_.load(std::memory_order_acquire) ? "io_uring" : "epoll"; }
  bool OnLoopThread() const;

 private:
  struct Watched {
    int fd;
    int slot;
    bool armed;  // io_uring: a receive is armed on it
  };
  struct Entry {
    std::unique_ptr<MediaSession> session;
    std::vector<Watched> watched;  // taken out of the loop on detach
    uint64_t timer_due = 0;
  };
  // A Detach caller waits on this until the loop sets done (under mutex_).
  struct DetachWaiter {
    bool done = false;
  };
  struct Request {
    enum Kind { ATTACH, DETACH, WAKE, STOP } kind;
    uint64_t id;
    std::unique_ptr<MediaSession> session;  // ATTACH only
    DetachWaiter* waiter = nullptr;         // DETACH only
  };

  static void Bump(std::atomic<uint64_t>& c, uint64_t n) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  static void* Run(void* arg);
  void Loop();
  void EpollRound(uint64_t now);
  void UringRound(uint64_t now);
  void Readable(uint64_t data);
  void Deliver(uint64_t data, uint8_t* pkt, size_t len, const InetAddress& src, uint64_t now_us);
  // io_uring: a receive ended (cancelled, or out of buffers); re-armed unless its session left.
  void ReceiveEnded(uint64_t data, int res);
  void Acknowledge(DetachWaiter* waiter);
  void RunTimers(uint64_t now);
  int WaitTimeout(uint64_t now) const;
  void Post(Request request);
  // Loop thread: the requests posted since the last round; false once the loop is to end.
  bool TakeRequests();
  void AttachNow(uint64_t id, std::unique_ptr<MediaSession> session);
  // waiter: acknowledged once nothing of the session is left in the kernel (null: nobody waits).
  void DetachNow(uint64_t id, DetachWaiter* waiter = nullptr);
  void DropPendingAttach(uint64_t id);
  void WakeNow(uint64_t id);

  const int index_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  pthread_t thread_{};
  std::atomic<pid_t> thread_id_{0};
  bool running_ = false;
  std::atomic<int> load_{0};
  // Client packets, client bytes, server packets, server bytes (CountAccepted).
  std::atomic<uint64_t> traffic_[4] = {};
  bool prefer_uring_ = true;
  std::atomic<bool> uses_uring_{false};
  std::unique_ptr<PacketBatch> batch_;
  std::unique_ptr<UringIo> uring_;

  // Loop thread only.
  std::unordered_map<uint64_t, Entry> entries_;
  std::set<std::pair<uint64_t, uint64_t>> timers_;  // (due, id)
  uint64_t current_ = 0;
  // Sessions detached from within a callback: destroyed once the round's events are dispatched.
  std::vector<std::unique_ptr<MediaSession>> retired_;
  // io_uring: receives still to end per detached session, and who waits for them.
  std::unordered_map<uint64_t, std::pair<int, DetachWaiter*>> draining_;
  bool stopping_ = false;

  // Guards the queue, the numbers served and the detach acknowledgements.
  mutable std::mutex mutex_;
  std::condition_variable detached_;
  std::vector<Request> requests_;
  std::vector<std::pair<uint64_t, unsigned>> numbers_;  // (id, call number) of the sessions served
};

// The pool. Started once from the configuration's `media_threads`; started with one thread per core on
// first use when nobody started it (tests, tools). The environment variable OSTREL_MEDIA_IO=epoll keeps the
// media threads on epoll even where io_uring works.
class MediaEngine {
 public:
  static MediaEngine& Instance();

  // Start-up: `threads` media threads (0: one per core). false when none could be started.
  bool Start(int threads);
  bool Started() const { return started_.load(std::memory_order_acquire); }

  // Any thread: pins the session to the least loaded media thread.
  SessionHandle Attach(std::unique_ptr<MediaSession> session);

  int ThreadCount() const { return static_cast<int>(loops_.size()); }
  MediaLoop& Loop(int i) { return *loops_[static_cast<size_t>(i)]; }
  // One line per media thread: its index, its load and the numbers of the calls it serves.
  std::string DumpText() const;
  // Any thread: the accepted packets and bytes of every media thread, added up.
  MediaTraffic Traffic() const;

 private:
  MediaEngine() = default;
  void EnsureStarted();

  std::mutex start_mutex_;
  std::atomic<bool> started_{false};
  std::vector<std::unique_ptr<MediaLoop>> loops_;  // fixed once started
};
