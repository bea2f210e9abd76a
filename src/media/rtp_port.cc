#include "media/rtp_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "config/config.h"
#include "foundation/log.h"

Mutex RtpPort::port_lock_;
std::atomic<int> RtpPort::open_pairs_[2] = {};

namespace {

// The first even port of the range; pairs never start on an odd port.
int FirstPort() { return (g_config.range_low + 1) & ~1; }

// How many pairs the range holds; an RTCP port at or above the top of the range is outside it.
int PairCount() {
  const int span = g_config.range_high - 1 - FirstPort();
  return span > 0 ? (span + 1) / 2 : 0;
}

// Where a search starts: a pair drawn at random, so that the pairs handed out tell nothing about the next
// ones. One generator per process, seeded from the system's entropy; port_lock_ held.
int RandomPair(int count) {
  static std::mt19937_64 generator = [] {
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy(),
                       entropy(), entropy(), entropy(), entropy()};
    return std::mt19937_64(seed);
  }();
  return std::uniform_int_distribution<int>(0, count - 1)(generator);
}

// The configured side address is a dotted address (checked at start-up); empty binds every address.
InetAddress BindAddress(const char* ip, int port) {
  InetAddress a(static_cast<unsigned short>(port));
  if (ip != nullptr && *ip != '\0') inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

}  // namespace

int RtpPort::RangePairs() { return PairCount(); }

void RtpPort::CountOpen() {
  if (counted_side_ >= 0) return;
  counted_side_ = ClientSide() ? 0 : 1;
  open_pairs_[counted_side_].fetch_add(1, std::memory_order_relaxed);
}

// Also from the destructor, where ClientSide() can no longer be asked: hence the side kept at opening.
void RtpPort::CountClosed() {
  if (counted_side_ < 0) return;
  open_pairs_[counted_side_].fetch_sub(1, std::memory_order_relaxed);
  counted_side_ = -1;
}

int RtpPort::BindPair(int port, int& real_error) {
  if (!rtcp.bind(BindAddress(LocalIP(), port + 1))) {
    if (errno != EADDRINUSE) real_error = errno;
    rtcp.close();
    return -1;
  }
  if (!bind(BindAddress(LocalIP(), port))) {
    if (errno != EADDRINUSE) real_error = errno;
    rtcp.close();
    SocketUDP::close();
    return -1;
  }
  return 0;
}

void RtpPort::SetOptions() {
  const int size = kSocketBuffer;  // the kernel caps it at its own maximum
  const int tos = g_config.tos;
  for (SocketUDP* s : {static_cast<SocketUDP*>(this), &rtcp}) {
    s->Block(false);
    s->SetOption(SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    s->SetOption(SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  SetOption(IPPROTO_IP, IP_TOS, &tos, sizeof tos);
}

// The search starts at a random pair and goes round the range once, so a range whose only free pair is one
// just released still yields it.
int RtpPort::Open() {
  if (GetHandle() >= 0) return GetHandle();
  rtcp.close();
  int real_error = 0;
  int port = -1;
  {
    MutexGuard guard(port_lock_);
    const int count = PairCount();
    const int start = count > 0 ? RandomPair(count) : 0;
    for (int i = 0; i < count && port < 0; ++i) {
      const int candidate = FirstPort() + 2 * ((start + i) % count);
      if (BindPair(candidate, real_error) == 0) port = candidate;
    }
  }
  if (port < 0) {
    Log(static_cast<int>(number_), LEVEL_ERROR,
        "Error: Cannot open port in range [%d-%d]. Err: %d - %s !!!\n", g_config.range_low,
        g_config.range_high, real_error, std::strerror(real_error));
    return -1;
  }
  local_port_.store(port, std::memory_order_release);
  CountOpen();
  SetOptions();
  Log(static_cast<int>(number_), LEVEL_DEBUG, "Open RTP port: %d handle %d\n", port, GetHandle());
  return GetHandle();
}

int RtpPort::Open(int port) {
  if (port < 1 || port > 65534) return -1;
  if (GetHandle() >= 0) {
    if (LPort() == port) return GetHandle();
    close();
  }
  rtcp.close();
  if (!bind(BindAddress(LocalIP(), port))) {
    SocketUDP::close();
    Log(static_cast<int>(number_), LEVEL_ERROR, "Error: Cannot Open RTP port: %d\n", port);
    return -1;
  }
  if (!rtcp.bind(BindAddress(LocalIP(), port + 1))) rtcp.close();
  local_port_.store(port, std::memory_order_release);
  CountOpen();
  SetOptions();
  Log(static_cast<int>(number_), LEVEL_DEBUG, "Open RTP port: %d\n", port);
  return GetHandle();
}

void RtpPort::close() {
  Unregister();
  const int fd = GetHandle();
  const int port = LPort();
  rtcp.close();
  SocketUDP::close();
  local_port_.store(-1, std::memory_order_release);
  CountClosed();
  if (fd >= 0) Log(static_cast<int>(number_), LEVEL_DEBUG, "Closing port: %d handle %d\n", port, fd);
}

// What the reactor holds for a pair in probe mode. A worker may unregister the pair and destroy its call
// while the reactor is about to call this: so it is not the pair itself, it touches the pair only under the
// call's lock once the table confirmed that the call still holds the handle, and it is deleted on the reactor
// thread, after any callback in progress.
class ProbeInput : public InputCB {
 public:
  ProbeInput(RtpPort* pair, unsigned number) : pair_(pair), number_(number) {}

  // The datagram is read even when no call claims the handle: left unread it would wake the reactor forever.
  void OnInput(int fd) override {
    ProbeCalls* calls = ProbeCalls::Instance();
    RtpPort* pair = pair_;
    if (calls != nullptr && calls->DeliverLocked(fd, number_, [pair, fd] { pair->ProbeReceive(fd); })) return;
    uint8_t buf[64];
    ssize_t rc = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    (void)rc;
    Log("ostrel", LEVEL_ERROR, "Warning: mUDP: Handle %d for unregistered port\n", fd);
  }

  // Any thread, after the reactor let go of the handle.
  static void Retire(ProbeInput* input) {
    PollReactor* r = PollReactor::Instance();
    if (r == nullptr || !r->Running() || pthread_equal(r->Owner(), pthread_self())) {
      delete input;
      return;
    }
    r->SetTimer(&graveyard_, 0, input);
  }

 private:
  struct Graveyard : TimerCB {
    void OnTimer(const void* data) override { delete static_cast<const ProbeInput*>(data); }
  };
  static inline Graveyard graveyard_;

  RtpPort* const pair_;
  const unsigned number_;
};

void RtpPort::Register(ProbeSink* call) {
  if (Open() < 0 || registered_) return;
  PollReactor* reactor = PollReactor::Instance();
  ProbeCalls* calls = ProbeCalls::Instance();
  if (reactor == nullptr || calls == nullptr) return;
  probe_ = call;
  registered_ = true;
  const int fd = GetHandle();
  calls->AddProbeHandle(number_, fd);
  probe_input_ = new ProbeInput(this, number_);
  reactor->RegisterDescriptor(fd, probe_input_);
  Log(static_cast<int>(number_), LEVEL_DEBUG, "Register port: %d with handle %d\n", LPort(), fd);
}

void RtpPort::Unregister() {
  if (!registered_) return;
  registered_ = false;
  const int fd = GetHandle();
  if (PollReactor* reactor = PollReactor::Instance()) reactor->UnregisterDescriptor(fd);
  ProbeInput::Retire(probe_input_);
  probe_input_ = nullptr;
  if (ProbeCalls* calls = ProbeCalls::Instance()) calls->RemoveProbeHandle(number_, fd);
  Log(static_cast<int>(number_), LEVEL_DEBUG, "Removing from reactor port: %d with handle: %d\n", LPort(),
      fd);
}

void RtpPort::ProbeReceive(int fd) {
  if (!registered_ || GetHandle() != fd) return;
  uint8_t buf[4096];
  InetAddress from;
  const ssize_t n = recvfrom(buf, sizeof buf, from, MSG_DONTWAIT);
  if (n >= 0 && probe_ != nullptr) probe_->ProbePacket(*this, from);
}

bool ClientRtpPort::SetSrtp(std::unique_ptr<SrtpHook> ctx) {
  if (srtp_) return false;
  srtp_ = std::move(ctx);
  srtp_pointer_.store(srtp_.get(), std::memory_order_release);
  return true;
}

const char* ClientRtpPort::LocalIP() const { return g_config.private_ipaddr; }

const char* ServerRtpPort::LocalIP() const { return g_config.intern_ipaddr; }
