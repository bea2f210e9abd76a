#include "media/relay.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "media/client_guard.h"
#include "media/foreign_tally.h"
#include "media/rtcp_text.h"
#include "media/rtp_header.h"

namespace {

struct StreamInfo {
  const char* label;
  RelayEvent event;
};

// Socket i is pair i / 2 (client audio, server audio, client video, server video); odd sockets are RTCP.
// Packets go out through the pair of the other side: pair (i / 2) ^ 1.
constexpr StreamInfo kStreams[8] = {
    {"CLN Audio Stream", E_CLN_AUDIO}, {"CLN Audio RTCP  ", E_NOP},       {"SRV Audio Stream", E_SRV_AUDIO},
    {"SRV Audio RTCP  ", E_NOP},       {"CLN Video Stream", E_CLN_VIDEO}, {"CLN Video RTCP  ", E_NOP},
    {"SRV Video Stream", E_SRV_VIDEO}, {"SRV Video RTCP  ", E_NOP},
};

// Packets read from one socket per wait round. Voice arrives one packet per wake-up, so reading until the
// socket is empty would cost an extra failing receive per packet; a backlog is read on the next rounds.
constexpr int kBurst = 1;
// The eight sockets and the wake-up descriptor.
constexpr int kMaxWatched = 9;

bool IsRtcp(int index) { return (index & 1) != 0; }

}  // namespace

void RelayObserver::ForeignPackets(const InetAddress& src, unsigned count, unsigned uniq) {
  g_dos.Report(src, DosCore::DOS_R, uniq, count);
}

// The relay thread's own state: sockets, last sources, the client guard and the foreign tally.
class RelayLoop {
 public:
  explicit RelayLoop(RelayThread& relay);
  ~RelayLoop();
  RelayLoop(const RelayLoop&) = delete;
  RelayLoop& operator=(const RelayLoop&) = delete;
  void Run();

 private:
  bool LogOn(int level) const;
  RtpPort& Pair(int index) const { return *relay_.pairs_[index / 2]; }
  RtpPort& Opposite(int index) const { return *relay_.pairs_[(index / 2) ^ 1]; }
  void Drain(int index);
  void Handle(int index, int len, const InetAddress& src, uint64_t now);
  bool FromServer(int index, const InetAddress& src);
  bool FromClient(int index, int& len, bool& rtcp, const InetAddress& src, uint64_t now);
  void Forward(int index, int len, bool rtcp);
  void Track(int index, int len, const InetAddress& src);
  void FlushForeign(uint64_t now, bool force);

  RelayThread& relay_;
  const int uniq_;
  const int threshold_;
  ClientGuard guard_;
  ForeignTally tally_;
  int socket_count_;
  // An epoll set registered once: a wait costs no per-socket set-up, unlike poll.
  int epoll_fd_ = -1;
  InetAddress last_src_[8];
  uint32_t last_ssrc_[8] = {};
  uint8_t buffer_[rtp::kPacketBuffer];
};

RelayLoop::RelayLoop(RelayThread& relay)
    : relay_(relay),
      uniq_(static_cast<int>(relay.number_)),
      threshold_(relay.setup_.log_threshold),
      guard_(relay.setup_.orig_ip) {
  const bool video =
      relay.setup_.video && relay.pairs_[2]->GetHandle() >= 0 && relay.pairs_[3]->GetHandle() >= 0;
  socket_count_ = video ? 8 : 4;
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) return;
  for (int i = 0; i <= socket_count_; ++i) {
    epoll_event ev{};
    ev.events = i < socket_count_ ? (EPOLLIN | EPOLLPRI) : EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    const int fd = i == socket_count_ ? relay.thread_.WakeFd()
                   : IsRtcp(i)        ? Pair(i).GetRtcpHandle()
                                      : Pair(i).GetHandle();
    // A socket that cannot be watched is a closed one (-1); its stream is simply not relayed.
    if (fd >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0)
      Log(uniq_, LEVEL_ERROR, threshold_, "Error: RTP Relay cannot watch socket %d: %s\n", fd,
          std::strerror(errno));
  }
}

RelayLoop::~RelayLoop() {
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

bool RelayLoop::LogOn(int level) const {
  const int mask = threshold_ != 0 ? threshold_ : g_log_block.level.load(std::memory_order_relaxed);
  return (level & mask) == level;
}

void RelayLoop::Run() {
  if (epoll_fd_ < 0) {
    Log(uniq_, LEVEL_ERROR, threshold_, "Error: RTP Relay epoll: %s\n", std::strerror(errno));
    return;
  }
  epoll_event events[kMaxWatched];
  for (;;) {
    const int n = epoll_wait(epoll_fd_, events, kMaxWatched, tally_.DueIn(PollReactor::NowMs()));
    if (n < 0 && errno != EINTR) {
      Log(uniq_, LEVEL_ERROR, threshold_, "Error: RTP Relay poll: %s\n", std::strerror(errno));
      break;
    }
    // The sockets are served in their table order, whatever order the kernel reports them in.
    uint32_t ready = 0;
    for (int k = 0; k < n; ++k) ready |= 1u << events[k].data.u32;
    if (ready & (1u << socket_count_)) break;
    for (int i = 0; ready != 0 && i < socket_count_; ++i) {
      if (ready & (1u << i)) Drain(i);
    }
    FlushForeign(PollReactor::NowMs(), false);
  }
  FlushForeign(PollReactor::NowMs(), true);
}

void RelayLoop::Drain(int index) {
  RtpPort& in = Pair(index);
  for (int k = 0; k < kBurst; ++k) {
    InetAddress src;
    // MSG_TRUNC gives the datagram's real length: a cut packet would be relayed corrupted, so it is dropped.
    const int n = IsRtcp(index) ? in.RtcpReceive(buffer_, rtp::kMaxReceive, src, MSG_TRUNC)
                                : static_cast<int>(in.recvfrom(buffer_, rtp::kMaxReceive, src, MSG_TRUNC));
    if (n < 0) return;  // drained, or an error the next poll reports again
    if (n > 0 && static_cast<size_t>(n) <= rtp::kMaxReceive) Handle(index, n, src, PollReactor::NowMs());
  }
}

void RelayLoop::Handle(int index, int len, const InetAddress& src, uint64_t now) {
  bool rtcp = IsRtcp(index);
  const bool from_client = (index / 2) % 2 == 0;
  if (from_client ? !FromClient(index, len, rtcp, src, now) : !FromServer(index, src)) return;
  Forward(index, len, rtcp);
  Track(index, len, src);
}

// A non-symmetric server side sends from the address of its SDP once the dialog stands; a symmetric one is
// followed wherever its packets come from.
bool RelayLoop::FromServer(int index, const InetAddress& src) {
  RtpPort& in = Pair(index);
  const InetAddress known = IsRtcp(index) ? in.RtcpDestination() : in.RtpDestination();
  if (!relay_.setup_.symmetric) {
    if (known.Ip() != 0 && src != known && relay_.established_.load(std::memory_order_acquire)) return false;
  }
  relay_.server_ticks_.fetch_add(1, std::memory_order_relaxed);
  if (relay_.setup_.symmetric) IsRtcp(index) ? in.RtcpDestination(src) : in.RtpDestination(src);
  return true;
}

bool RelayLoop::FromClient(int index, int& len, bool& rtcp, const InetAddress& src, uint64_t now) {
  RtpPort& in = Pair(index);
  const uint32_t src_ip = src.Ip();
  if (!relay_.setup_.accept_any) {
    const uint32_t cur_ip = (IsRtcp(index) ? in.RtcpDestination() : in.RtpDestination()).Ip();
    const ClientGuard::Verdict v =
        guard_.Check(src_ip, cur_ip, index == 0, buffer_, static_cast<size_t>(len), now);
    if (v != ClientGuard::ACCEPT) {
      tally_.Count(src, now);
      if (v == ClientGuard::FOREIGN) return false;
      Log(uniq_, LEVEL_DEBUG, threshold_, "Switch to Another RTP Stream from: %s\n", src.Text().c_str());
    }
  }
  if (guard_.Accepted(src_ip, index == 0, buffer_, static_cast<size_t>(len), now)) {
    Log(uniq_, LEVEL_DEBUG, threshold_, "Restore Original RTP Stream from: %s\n", src.Text().c_str());
  }
  relay_.client_ticks_.fetch_add(1, std::memory_order_relaxed);
  IsRtcp(index) ? in.RtcpDestination(src) : in.RtpDestination(src);
  SrtpHook* srtp = static_cast<ClientRtpPort&>(in).Srtp();
  if (srtp != nullptr && relay_.srtp_.load(std::memory_order_acquire)) {
    srtp->RTPDecrypt(buffer_, len, rtcp);
    if (len <= 0) return false;
  }
  return true;
}

void RelayLoop::Forward(int index, int len, bool rtcp) {
  if (rtcp && LogOn(LEVEL_DEBUG)) {
    Log(uniq_, LEVEL_DEBUG, threshold_, "Got %s%s\n", kStreams[index].label,
        DescribeRTCP(buffer_, static_cast<size_t>(len)).c_str());
  }
  RtpPort& out = Opposite(index);
  if (out.ClientSide() && relay_.srtp_.load(std::memory_order_acquire)) {
    if (SrtpHook* srtp = static_cast<ClientRtpPort&>(out).Srtp()) srtp->RTPEncrypt(buffer_, len, rtcp);
  }
  if (len <= 0) return;
  if ((rtcp ? out.RtcpDestination() : out.RtpDestination()).Port() == 0) return;  // nowhere to send yet
  if (rtcp) {
    out.RtcpSend(buffer_, static_cast<size_t>(len));
  } else {
    out.RtpSend(buffer_, static_cast<size_t>(len));
  }
}

void RelayLoop::Track(int index, int len, const InetAddress& src) {
  const bool rtcp = IsRtcp(index);
  const uint32_t ssrc = rtcp ? 0 : rtp::Ssrc(buffer_, static_cast<size_t>(len));
  if (src == last_src_[index] && ssrc == last_ssrc_[index]) return;
  last_src_[index] = src;
  last_ssrc_[index] = ssrc;
  char ssrc_text[24] = "";
  if (!rtcp) std::snprintf(ssrc_text, sizeof ssrc_text, " SSRC:0x%X", ssrc);
  const std::string text = src.Text();
  Log(uniq_, LEVEL_DEBUG, threshold_, "Got %s%s from: %s\n", kStreams[index].label, ssrc_text, text.c_str());
  if (relay_.observer_ != nullptr) relay_.observer_->StreamSeen(kStreams[index].event, text);
}

void RelayLoop::FlushForeign(uint64_t now, bool force) {
  RelayObserver* obs = relay_.observer_;
  const unsigned uniq = relay_.number_;
  const unsigned others = tally_.Flush(
      now,
      [obs, uniq](const InetAddress& src, unsigned count) {
        if (obs != nullptr) {
          obs->ForeignPackets(src, count, uniq);
        } else {
          g_dos.Report(src, DosCore::DOS_R, uniq, count);
        }
      },
      force);
  if (others != 0)
    Log(uniq_, LEVEL_DEBUG, threshold_, "Foreign RTP from too many sources: %u packets\n", others);
}

RelayThread::RelayThread(ClientRtpPort& cln_rtp, ServerRtpPort& srv_rtp, ClientRtpPort& cln_video,
                         ServerRtpPort& srv_video)
    : pairs_{&cln_rtp, &srv_rtp, &cln_video, &srv_video}, number_(cln_rtp.Number()) {}

bool RelayThread::Start(const RelaySetup& setup, RelayObserver* observer) {
  if (Running() || pairs_[0]->GetHandle() < 0 || pairs_[1]->GetHandle() < 0) return false;
  setup_ = setup;
  observer_ = observer;
  return thread_.Start(&RelayThread::RelayStreams, this);
}

void RelayThread::Stop() {
  if (!Running()) return;
  const unsigned long id = static_cast<unsigned long>(thread_.Id());
  thread_.Stop();
  Log(static_cast<int>(number_), LEVEL_DEBUG, setup_.log_threshold, "Terminating thread: %lu\n", id);
}

void* RelayThread::RelayStreams(void* arg) {
  auto& relay = *static_cast<RelayThread*>(arg);
  pthread_setname_np(pthread_self(), "RTP Relay");
  Log(static_cast<int>(relay.number_), LEVEL_DEBUG, relay.setup_.log_threshold, "Start Thread: %lu (%lu)\n",
      static_cast<unsigned long>(pthread_self()), static_cast<unsigned long>(gettid()));
  RelayLoop loop(relay);
  loop.Run();
  return nullptr;
}
