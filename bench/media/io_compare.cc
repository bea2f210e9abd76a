// Relay I/O only, two ways: epoll + recvmmsg/sendto/sendmmsg (what the media threads do) against io_uring
// (multishot recvmsg into a provided-buffer ring, sendmsg SQEs submitted in batches). No Ostrel code: N
// calls, two relay sockets each (A faces the phone, B the server), a forked load generator sending 50
// packets/s per call each way, and one relay thread forwarding A_i -> (from B_i) -> server and B_i -> (from
// A_i) -> phone. The relay's CPU (getrusage of its process, user+sys; the generator is another process) is
// divided by the packets it forwarded inside the measuring window; loss compares what the generator sent with
// what reached the sinks.
//
// Usage: io_compare --mode epoll|uring [--calls N] [--seconds S] [--warmup S] [--pps P] [--size BYTES]
//                   [--tick-us US] [--buffers 2^k] [--uring-setup defer|coop|plain]
//        io_compare --probe      (kernel, io_uring_queue_init results, buffer ring and opcode support)
#include <arpa/inet.h>
#include <liburing.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef LIBURING_PKG_VERSION
#define LIBURING_PKG_VERSION "?"
#endif

namespace {

struct Options {
  std::string mode = "epoll";
  std::string uring_setup = "defer";
  int calls = 500;
  double seconds = 8;
  double warmup = 1;
  int pps = 50;
  int size = 172;
  int tick_us = 1000;
  int buffers = 8192;
  bool probe = false;
};

// Phone-side and server-side generator sockets; call i talks through pair i % kPeers.
constexpr int kPeers = 8;
constexpr int kBatch = 16;  // recvmmsg per ready socket, as the media threads do
constexpr int kEventsPerWait = 256;
constexpr size_t kBufSize = 2048;           // per received packet, io_uring buffers included
constexpr unsigned kMaxBufEntries = 32768;  // the kernel's limit for one provided-buffer ring
constexpr unsigned kSqEntries = 4096;
constexpr unsigned kCqEntries = 65536;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void SleepUntil(int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "io_compare: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

int BoundUdp(sockaddr_in* addr, int rcvbuf_force) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  if (rcvbuf_force > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf_force, sizeof rcvbuf_force) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf_force, sizeof rcvbuf_force);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Die("bind");
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *addr = a;
  return fd;
}

double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

long Switches() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

// ---- topology ------------------------------------------------------------------------------------------

struct Topology {
  int calls = 0;
  std::vector<int> a_fd, b_fd;  // relay sockets
  std::vector<sockaddr_in> a_addr, b_addr;
  int phone_fd[kPeers], server_fd[kPeers];  // generator / sink sockets (the child keeps them)
  sockaddr_in phone_addr[kPeers], server_addr[kPeers];
  // Relay socket index s: s < calls is A_s, else B_(s - calls).
  int Fd(int s) const { return s < calls ? a_fd[s] : b_fd[s - calls]; }
  int OutFd(int s) const { return s < calls ? b_fd[s] : a_fd[s - calls]; }
  const sockaddr_in* Dest(int s) const {
    return s < calls ? &server_addr[s % kPeers] : &phone_addr[(s - calls) % kPeers];
  }
};

Topology MakeTopology(int calls) {
  Topology t;
  t.calls = calls;
  t.a_fd.resize(calls);
  t.b_fd.resize(calls);
  t.a_addr.resize(calls);
  t.b_addr.resize(calls);
  for (int i = 0; i < calls; ++i) {
    t.a_fd[i] = BoundUdp(&t.a_addr[i], 0);
    t.b_fd[i] = BoundUdp(&t.b_addr[i], 0);
  }
  for (int k = 0; k < kPeers; ++k) {
    t.phone_fd[k] = BoundUdp(&t.phone_addr[k], 8 << 20);
    t.server_fd[k] = BoundUdp(&t.server_addr[k], 8 << 20);
  }
  return t;
}

// ---- load generator (child process) ---------------------------------------------------------------------

struct GenReport {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t late_ticks = 0;
};

uint64_t Drain(int fd, mmsghdr* h, int n) {
  uint64_t got = 0;
  for (;;) {
    const int r = recvmmsg(fd, h, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    if (r <= 0) return got;
    got += static_cast<uint64_t>(r);
    if (r < n) return got;
  }
}

// Each call's packets go out every 1000/pps ms; calls are spread over the ticks of that period (1 ms unless
// --tick-us says otherwise), and each tick sends its calls' packets with one sendmmsg per generator socket.
// Coarser ticks mean burstier arrivals, which favour batching in both relays.
GenReport Generate(const Topology& t, const Options& o, int64_t start, int64_t stop, int64_t drain_until) {
  const int64_t tick_ns = int64_t{o.tick_us} * 1000;
  const int slots = std::max(1, 1'000'000 / (o.pps * o.tick_us));
  std::vector<char> payload(static_cast<size_t>(o.size), 0);
  payload[0] = char(0x80);
  payload[1] = 0;  // PCMU
  iovec iov{payload.data(), payload.size()};
  // per [slot][peer][side]: the messages of that tick
  std::vector<std::vector<mmsghdr>> batches(static_cast<size_t>(slots * kPeers * 2));
  for (int i = 0; i < t.calls; ++i) {
    for (int side = 0; side < 2; ++side) {
      mmsghdr m{};
      m.msg_hdr.msg_name = const_cast<sockaddr_in*>(side == 0 ? &t.a_addr[i] : &t.b_addr[i]);
      m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
      m.msg_hdr.msg_iov = &iov;
      m.msg_hdr.msg_iovlen = 1;
      batches[static_cast<size_t>(((i % slots) * kPeers + i % kPeers) * 2 + side)].push_back(m);
    }
  }
  std::vector<char> scratch(64 * kBufSize);
  std::vector<iovec> riov(64);
  std::vector<mmsghdr> rh(64);
  for (int k = 0; k < 64; ++k) {
    riov[k] = {scratch.data() + k * kBufSize, kBufSize};
    rh[k].msg_hdr.msg_iov = &riov[k];
    rh[k].msg_hdr.msg_iovlen = 1;
  }
  GenReport r;
  int64_t tick = 0;
  int64_t next = start;
  int64_t last_drain = 0;
  for (;;) {
    const int64_t now = NowNs();
    if (now >= drain_until) break;
    if (now < stop) {
      if (now - next > 2 * tick_ns) ++r.late_ticks;
      for (; next <= now; next += tick_ns, ++tick) {
        const int slot = static_cast<int>(tick % slots);
        for (int k = 0; k < kPeers; ++k) {
          for (int side = 0; side < 2; ++side) {
            auto& b = batches[static_cast<size_t>((slot * kPeers + k) * 2 + side)];
            size_t off = 0;
            while (off < b.size()) {
              const int fd = side == 0 ? t.phone_fd[k] : t.server_fd[k];
              const int n = sendmmsg(fd, b.data() + off,
                                     static_cast<unsigned>(std::min<size_t>(b.size() - off, 1024)), 0);
              if (n <= 0) break;
              off += static_cast<size_t>(n);
              r.sent += static_cast<uint64_t>(n);
            }
          }
        }
      }
    } else {
      next = now + tick_ns;
    }
    if (now - last_drain >= 1'000'000) {  // the sinks hold megabytes: once a millisecond is plenty
      last_drain = now;
      for (int k = 0; k < kPeers; ++k) {
        r.received += Drain(t.phone_fd[k], rh.data(), 64);
        r.received += Drain(t.server_fd[k], rh.data(), 64);
      }
    }
    SleepUntil(std::min(next, drain_until));
  }
  return r;
}

// ---- relay: shared accounting ---------------------------------------------------------------------------

struct RelayStats {
  uint64_t received = 0;
  uint64_t forwarded = 0;
  uint64_t send_errors = 0;
  uint64_t syscalls = 0;
  uint64_t enobufs = 0;
  uint64_t rearms = 0;
  uint64_t recv_errors = 0;
};

struct Window {
  int64_t begin, end;
  bool open = false, closed = false;
  double cpu0 = 0, cpu1 = 0, tcpu0 = 0, tcpu1 = 0;
  uint64_t fwd0 = 0, fwd1 = 0, sys0 = 0, sys1 = 0;
  long cs0 = 0, cs1 = 0;
  void Check(int64_t now, const RelayStats& s) {
    if (!open && now >= begin) {
      open = true;
      cpu0 = CpuSeconds(RUSAGE_SELF);
      tcpu0 = CpuSeconds(RUSAGE_THREAD);
      fwd0 = s.forwarded;
      sys0 = s.syscalls;
      cs0 = Switches();
      begin = now;
    }
    if (open && !closed && now >= end) {
      closed = true;
      cpu1 = CpuSeconds(RUSAGE_SELF);
      tcpu1 = CpuSeconds(RUSAGE_THREAD);
      fwd1 = s.forwarded;
      sys1 = s.syscalls;
      cs1 = Switches();
      end = now;
    }
  }
};

// ---- relay: epoll + recvmmsg + sendto/sendmmsg ----------------------------------------------------------

void RelayEpoll(const Topology& t, int64_t stop, Window& w, RelayStats& s) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) Die("epoll_create1");
  for (int i = 0; i < 2 * t.calls; ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, t.Fd(i), &ev) != 0) Die("epoll_ctl");
  }
  static char bufs[kBatch][kBufSize];
  iovec iov[kBatch];
  mmsghdr in[kBatch]{}, out[kBatch]{};
  for (int k = 0; k < kBatch; ++k) {
    iov[k] = {bufs[k], kBufSize};
    in[k].msg_hdr.msg_iov = &iov[k];
    in[k].msg_hdr.msg_iovlen = 1;
  }
  iovec oiov[kBatch];
  epoll_event events[kEventsPerWait];
  for (;;) {
    const int64_t now = NowNs();
    w.Check(now, s);
    if (now >= stop) break;
    const int n = epoll_wait(ep, events, kEventsPerWait, 10);
    ++s.syscalls;
    for (int e = 0; e < n; ++e) {
      const int idx = static_cast<int>(events[e].data.u32);
      const int m = recvmmsg(t.Fd(idx), in, kBatch, MSG_DONTWAIT, nullptr);
      ++s.syscalls;
      if (m <= 0) continue;
      s.received += static_cast<uint64_t>(m);
      const sockaddr_in* dest = t.Dest(idx);
      if (m == 1) {
        ++s.syscalls;
        if (sendto(t.OutFd(idx), bufs[0], in[0].msg_len, MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(dest), sizeof *dest) >= 0)
          ++s.forwarded;
        else
          ++s.send_errors;
        continue;
      }
      for (int k = 0; k < m; ++k) {
        oiov[k] = {bufs[k], in[k].msg_len};
        out[k].msg_hdr = {};
        out[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(dest);
        out[k].msg_hdr.msg_namelen = sizeof *dest;
        out[k].msg_hdr.msg_iov = &oiov[k];
        out[k].msg_hdr.msg_iovlen = 1;
      }
      ++s.syscalls;
      const int sent = sendmmsg(t.OutFd(idx), out, static_cast<unsigned>(m), MSG_DONTWAIT);
      if (sent > 0) s.forwarded += static_cast<uint64_t>(sent);
      s.send_errors += static_cast<uint64_t>(m - std::max(sent, 0));
    }
  }
  close(ep);
}

// ---- relay: io_uring ------------------------------------------------------------------------------------

constexpr uint64_t kRecvTag = 1ull << 62;
constexpr uint64_t kSendTag = 2ull << 62;
constexpr uint64_t kTagMask = 3ull << 62;

struct Uring {
  io_uring ring{};
  io_uring_buf_ring* br = nullptr;
  char* bufs = nullptr;
  int mask = 0;
  int pending_returns = 0;
  msghdr recv_template{};
  struct SendSlot {
    msghdr msg;
    iovec iov;
  };
  std::vector<SendSlot> slots = std::vector<SendSlot>(kMaxBufEntries);
  std::vector<char> armed;
};

int UringInit(io_uring* ring, const std::string& setup) {
  io_uring_params p{};
  p.flags = IORING_SETUP_CQSIZE;
  p.cq_entries = kCqEntries;
  // defer: completions are only produced inside io_uring_enter (kernel 6.1+); coop: no interrupt to run them
  // (5.19+); plain: the kernel interrupts the thread to run them as packets arrive.
  if (setup == "defer") p.flags |= IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  if (setup == "coop") p.flags |= IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN;
  return io_uring_queue_init_params(kSqEntries, ring, &p);
}

// liburing 2.3 has no io_uring_setup_buf_ring: map the ring ourselves and register it.
int SetupBufRing(io_uring* ring, io_uring_buf_ring** out, unsigned entries, int bgid) {
  const size_t len = entries * sizeof(io_uring_buf);
  void* mem = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (mem == MAP_FAILED) return -errno;
  auto* br = static_cast<io_uring_buf_ring*>(mem);
  io_uring_buf_ring_init(br);
  io_uring_buf_reg reg{};
  reg.ring_addr = reinterpret_cast<uintptr_t>(br);
  reg.ring_entries = entries;
  reg.bgid = static_cast<uint16_t>(bgid);
  const int r = io_uring_register_buf_ring(ring, &reg, 0);
  if (r != 0) {
    munmap(mem, len);
    return r;
  }
  *out = br;
  return 0;
}

io_uring_sqe* GetSqe(Uring& u, RelayStats& s) {
  io_uring_sqe* sqe = io_uring_get_sqe(&u.ring);
  if (sqe == nullptr) {
    io_uring_submit(&u.ring);  // the SQ is full mid-round: flush it and carry on
    ++s.syscalls;
    sqe = io_uring_get_sqe(&u.ring);
    if (sqe == nullptr) Die("io_uring_get_sqe");
  }
  return sqe;
}

void Arm(Uring& u, int idx, int fd, RelayStats& s) {
  io_uring_sqe* sqe = GetSqe(u, s);
  io_uring_prep_recvmsg_multishot(sqe, fd, &u.recv_template, 0);
  sqe->flags |= IOSQE_BUFFER_SELECT;
  sqe->buf_group = 0;
  io_uring_sqe_set_data64(sqe, kRecvTag | static_cast<uint64_t>(idx));
  u.armed[static_cast<size_t>(idx)] = 1;
}

void ReturnBuffer(Uring& u, unsigned bid) {
  io_uring_buf_ring_add(u.br, u.bufs + size_t{bid} * kBufSize, kBufSize, static_cast<unsigned short>(bid),
                        u.mask, u.pending_returns++);
}

void RelayUring(const Topology& t, const Options& o, int64_t stop, Window& w, RelayStats& s) {
  Uring u;
  int r = UringInit(&u.ring, o.uring_setup);
  if (r < 0) {
    std::printf("mode=uring calls=%d unavailable io_uring_queue_init=%s\n", t.calls, std::strerror(-r));
    std::exit(2);
  }
  const unsigned entries = static_cast<unsigned>(o.buffers);
  r = SetupBufRing(&u.ring, &u.br, entries, 0);
  if (r < 0) {
    std::printf("mode=uring calls=%d unavailable register_buf_ring=%s\n", t.calls, std::strerror(-r));
    std::exit(2);
  }
  u.mask = io_uring_buf_ring_mask(entries);
  u.bufs = static_cast<char*>(aligned_alloc(4096, size_t{entries} * kBufSize));
  for (unsigned b = 0; b < entries; ++b) ReturnBuffer(u, b);
  io_uring_buf_ring_advance(u.br, u.pending_returns);
  u.pending_returns = 0;
  u.recv_template.msg_namelen = sizeof(sockaddr_in);
  u.armed.assign(static_cast<size_t>(2 * t.calls), 0);
  for (int i = 0; i < 2 * t.calls; ++i) Arm(u, i, t.Fd(i), s);

  io_uring_cqe* cqes[1024];
  for (;;) {
    const int64_t now = NowNs();
    w.Check(now, s);
    if (now >= stop) break;
    // One enter per round: submits the sends and re-arms of the last round, and waits for completions. A
    // round takes at most one batch of completions, so that sends go out (and their buffers come back)
    // promptly: without DEFER_TASKRUN completions keep arriving while a round runs, and draining the queue to
    // empty before submitting starves the buffer ring (ENOBUFS).
    __kernel_timespec ts{0, 10'000'000};
    io_uring_cqe* first = nullptr;
    io_uring_submit_and_wait_timeout(&u.ring, &first, 1, &ts, nullptr);
    ++s.syscalls;
    {
      const unsigned n = io_uring_peek_batch_cqe(&u.ring, cqes, 1024);
      for (unsigned c = 0; c < n; ++c) {
        const io_uring_cqe* cqe = cqes[c];
        const uint64_t data = cqe->user_data;
        if ((data & kTagMask) == kSendTag) {
          if (cqe->res >= 0)
            ++s.forwarded;
          else
            ++s.send_errors;
          ReturnBuffer(u, static_cast<unsigned>(data & 0xffff));
          continue;
        }
        const int idx = static_cast<int>(data & ~kTagMask);
        const bool more = (cqe->flags & IORING_CQE_F_MORE) != 0;
        if (!more) u.armed[static_cast<size_t>(idx)] = 0;
        if (cqe->res < 0) {
          if (cqe->res == -ENOBUFS)
            ++s.enobufs;
          else
            ++s.recv_errors;
        } else if (cqe->flags & IORING_CQE_F_BUFFER) {
          const unsigned bid = cqe->flags >> IORING_CQE_BUFFER_SHIFT;
          char* buf = u.bufs + size_t{bid} * kBufSize;
          io_uring_recvmsg_out* rm = io_uring_recvmsg_validate(buf, cqe->res, &u.recv_template);
          if (rm == nullptr) {
            ReturnBuffer(u, bid);
          } else {
            ++s.received;
            auto& slot = u.slots[bid];
            slot.iov = {io_uring_recvmsg_payload(rm, &u.recv_template),
                        io_uring_recvmsg_payload_length(rm, cqe->res, &u.recv_template)};
            slot.msg = {};
            slot.msg.msg_name = const_cast<sockaddr_in*>(t.Dest(idx));
            slot.msg.msg_namelen = sizeof(sockaddr_in);
            slot.msg.msg_iov = &slot.iov;
            slot.msg.msg_iovlen = 1;
            io_uring_sqe* sqe = GetSqe(u, s);
            io_uring_prep_sendmsg(sqe, t.OutFd(idx), &slot.msg, MSG_DONTWAIT);
            io_uring_sqe_set_data64(sqe, kSendTag | bid);
          }
        }
        if (!more) {
          ++s.rearms;
          Arm(u, idx, t.Fd(idx), s);
        }
      }
      io_uring_cq_advance(&u.ring, n);
      if (u.pending_returns > 0) {
        io_uring_buf_ring_advance(u.br, u.pending_returns);
        u.pending_returns = 0;
      }
    }
  }
  io_uring_queue_exit(&u.ring);
}

// ---- probe ----------------------------------------------------------------------------------------------

void Probe() {
  utsname un{};
  uname(&un);
  std::printf("kernel=%s liburing=%s\n", un.release, LIBURING_PKG_VERSION);
  FILE* f = std::fopen("/proc/sys/kernel/io_uring_disabled", "r");
  if (f != nullptr) {
    int v = -1;
    if (std::fscanf(f, "%d", &v) == 1) std::printf("io_uring_disabled=%d\n", v);
    std::fclose(f);
  }
  for (const char* setup : {"plain", "coop", "defer"}) {
    io_uring ring{};
    const int r = UringInit(&ring, setup);
    std::printf("io_uring_queue_init(%s)=%d%s%s", setup, r, r < 0 ? " " : "", r < 0 ? std::strerror(-r) : "");
    if (r == 0) {
      std::printf(" features=0x%x ext_arg=%s nodrop=%s", ring.features,
                  (ring.features & IORING_FEAT_EXT_ARG) ? "yes" : "no",
                  (ring.features & IORING_FEAT_NODROP) ? "yes" : "no");
      io_uring_buf_ring* br = nullptr;
      const int b = SetupBufRing(&ring, &br, 64, 0);
      std::printf(" buf_ring=%s", b == 0 ? "ok" : std::strerror(-b));
      io_uring_probe* p = io_uring_get_probe_ring(&ring);
      if (p != nullptr) {
        std::printf(" recvmsg=%s sendmsg=%s", io_uring_opcode_supported(p, IORING_OP_RECVMSG) ? "yes" : "no",
                    io_uring_opcode_supported(p, IORING_OP_SENDMSG) ? "yes" : "no");
        io_uring_free_probe(p);
      }
      io_uring_queue_exit(&ring);
    }
    std::printf("\n");
  }
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "io_compare: %s needs a value\n", a.c_str());
        std::exit(64);
      }
      return argv[++i];
    };
    if (a == "--mode")
      o.mode = next();
    else if (a == "--calls")
      o.calls = std::atoi(next());
    else if (a == "--seconds")
      o.seconds = std::atof(next());
    else if (a == "--warmup")
      o.warmup = std::atof(next());
    else if (a == "--pps")
      o.pps = std::atoi(next());
    else if (a == "--size")
      o.size = std::atoi(next());
    else if (a == "--buffers")
      o.buffers = std::atoi(next());
    else if (a == "--tick-us")
      o.tick_us = std::atoi(next());
    else if (a == "--uring-setup")
      o.uring_setup = next();
    else if (a == "--probe")
      o.probe = true;
    else {
      std::fprintf(stderr, "io_compare: unknown argument %s\n", a.c_str());
      std::exit(64);
    }
  }
  if ((o.mode != "epoll" && o.mode != "uring") || o.calls <= 0 || o.pps <= 0 || o.tick_us <= 0 ||
      o.buffers < 64 || o.buffers > int{kMaxBufEntries} || (o.buffers & (o.buffers - 1)) != 0 ||
      o.tick_us * o.pps > 1'000'000 || o.size < 12 || o.size > int{kBufSize} - 64 ||
      (o.uring_setup != "defer" && o.uring_setup != "coop" && o.uring_setup != "plain")) {
    std::fprintf(stderr, "io_compare: bad arguments\n");
    std::exit(64);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  if (o.probe) {
    Probe();
    return 0;
  }
  rlimit nofile{};
  getrlimit(RLIMIT_NOFILE, &nofile);
  nofile.rlim_cur = nofile.rlim_max;
  setrlimit(RLIMIT_NOFILE, &nofile);

  Topology t = MakeTopology(o.calls);
  int pipefd[2];
  if (pipe(pipefd) != 0) Die("pipe");
  const int64_t start = NowNs() + 200'000'000;
  const int64_t measure_from = start + static_cast<int64_t>(o.warmup * 1e9);
  const int64_t stop_sending = measure_from + static_cast<int64_t>(o.seconds * 1e9);
  const int64_t relay_stop = stop_sending + 300'000'000;
  const int64_t drain_until = relay_stop + 300'000'000;

  const pid_t child = fork();
  if (child < 0) Die("fork");
  if (child == 0) {
    close(pipefd[0]);
    for (int i = 0; i < o.calls; ++i) {
      close(t.a_fd[i]);
      close(t.b_fd[i]);
    }
    const GenReport r = Generate(t, o, start, stop_sending, drain_until);
    if (write(pipefd[1], &r, sizeof r) != sizeof r) _exit(1);
    _exit(0);
  }
  close(pipefd[1]);
  for (int k = 0; k < kPeers; ++k) {
    close(t.phone_fd[k]);
    close(t.server_fd[k]);
  }

  Window w;
  w.begin = measure_from;
  w.end = stop_sending;
  RelayStats s;
  if (o.mode == "epoll")
    RelayEpoll(t, relay_stop, w, s);
  else
    RelayUring(t, o, relay_stop, w, s);

  GenReport g;
  if (read(pipefd[0], &g, sizeof g) != sizeof g) Die("generator report");
  int status = 0;
  waitpid(child, &status, 0);
  if (!w.closed) {
    std::fprintf(stderr, "io_compare: the measuring window never closed\n");
    return 1;
  }
  const double secs = double(w.end - w.begin) / 1e9;
  const double fwd = double(w.fwd1 - w.fwd0);
  const double cpu = w.cpu1 - w.cpu0;
  const double loss = g.sent > 0 ? 100.0 * (double(g.sent) - double(g.received)) / double(g.sent) : 0;
  std::printf(
      "mode=%s%s calls=%d tick_us=%d secs=%.1f sent=%llu relay_rx=%llu forwarded=%llu delivered=%llu "
      "loss_pct=%.3f cpu_us_per_pkt=%.3f thread_us_per_pkt=%.3f core_pct=%.1f syscalls_per_pkt=%.3f "
      "cs_per_pkt=%.3f pps=%.0f send_err=%llu enobufs=%llu rearms=%llu recv_err=%llu gen_late_ticks=%llu\n",
      o.mode.c_str(), o.mode == "uring" ? ("-" + o.uring_setup).c_str() : "", o.calls, o.tick_us, secs,
      (unsigned long long)g.sent, (unsigned long long)s.received, (unsigned long long)s.forwarded,
      (unsigned long long)g.received, loss, fwd > 0 ? 1e6 * cpu / fwd : 0.0,
      fwd > 0 ? 1e6 * (w.tcpu1 - w.tcpu0) / fwd : 0.0, 100.0 * cpu / secs,
      fwd > 0 ? double(w.sys1 - w.sys0) / fwd : 0.0, fwd > 0 ? double(w.cs1 - w.cs0) / fwd : 0.0, fwd / secs,
      (unsigned long long)s.send_errors, (unsigned long long)s.enobufs, (unsigned long long)s.rearms,
      (unsigned long long)s.recv_errors, (unsigned long long)g.late_ticks);
  return 0;
}
