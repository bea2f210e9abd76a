#include "ports/sip_port.h"

#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/log.h"
#include "foundation/log_gate.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/message.h"
#include "sip/sdp/sdp_media_rtp.h"

PortTraffic g_port_traffic[kSipPortKinds];
ExternalPort g_external_port;
InternalPort g_internal_port;
AlternatePort g_alternate_port;

namespace {

// Headers that cost bytes and nothing a phone needs.
constexpr const char* kDroppedWhenLarge[] = {"Data",  "X-Reference", "X-Peer",       "X-Attest",
                                             "Allow", "Subject",     "Allow-Events", "P-Preferred-Identity"};

void DropDisplayNames(SipMessage& msg, SipHeaders::HeadId id) {
  for (HeaderLine* line = msg.Header(id); line != nullptr; line = line->Next()) {
    if (auto* na = dynamic_cast<SipNameAddress*>(line)) na->FullName("");
  }
}

// The first two RTP descriptions of an SDP body keep only what a phone needs to answer.
void ShrinkSdp(SipMessage& msg) {
  auto* type = msg.Header<ContentTypeHeader>(SipHeaders::HID_CONTENT_TYPE);
  if (type == nullptr || strcasecmp(type->Value().c_str(), "application/sdp") != 0) return;
  Sdp* sdp = msg.GetSDP();
  if (sdp == nullptr) return;
  size_t n = 0;
  for (const auto& media : sdp->Medias()) {
    if (n++ == 2) break;
    if (SdpRtpMedia* rtp = media->AsRTP()) rtp->Brief();
  }
  sdp->MarkDirty();
}

void Shrink(SipMessage& msg) {
  for (const char* name : kDroppedWhenLarge) msg.Remove(std::string_view(name));
  msg.Remove(SipHeaders::HID_USER_AGENT);
  msg.Remove(SipHeaders::HID_SERVER);
  msg.Remove(SipHeaders::HID_ALLOW_EVENTS);
  msg.Parse(SipHeaders::HID_SUPPORTED);
  msg.Parse(SipHeaders::HID_SESSION_EXPIRES);
  msg.Parse(SipHeaders::HID_EVENT);
  msg.Parse(SipHeaders::HID_REFERRED_BY);
  DropDisplayNames(msg, SipHeaders::HID_TO);
  DropDisplayNames(msg, SipHeaders::HID_REFERRED_BY);
  DropDisplayNames(msg, SipHeaders::HID_CONTACT);
  ShrinkSdp(msg);
}

std::string FirstLine(const std::string& text) {
  size_t end = text.find_first_of("\r\n");
  return text.substr(0, end);
}

}  // namespace

int SipPort::send(SipMessage& msg, const InetAddress& to, int threshold, int level) const {
  std::string text = msg.Assemble(true);
  if (text.size() > kShrinkAbove && Shrinks()) {
    Shrink(msg);
    text = msg.Assemble(false);
  }
  // The dumps are off in normal running: their address text and first-line copy are built only when wanted.
  const bool full = LogWanted(level | LEVEL_FULL, threshold);
  const bool brief = LogWanted(level | LEVEL_SHORT, threshold);
  if (full || brief) {
    const std::string dest = to.Text();
    if (full)
      Log("", level | LEVEL_FULL, threshold, "--%c--> %s\n%s\n", DirectionMark(), dest.c_str(), text.c_str());
    if (brief)
      Log("", level | LEVEL_SHORT, threshold, "--%c--> %s\n%s\n", DirectionMark(), dest.c_str(),
          FirstLine(text).c_str());
  }
  const int sent = static_cast<int>(sendto(text.data(), text.size(), to, 0));
  if (sent >= 0) TrafficOf(Kind()).Sent();
  return sent;
}

// The buffers of one recvmmsg: a SIP datagram never needs more than kMaxDatagram, so kBatch of them cost
// a quarter of a megabyte per reader, made once.
struct ExternalPort::ReadBatch {
  char data[kBatch][kMaxDatagram + 1];
  iovec iov[kBatch];
  mmsghdr headers[kBatch];
  sockaddr_in from[kBatch];
};

ExternalPort::ExternalPort() = default;
ExternalPort::~ExternalPort() = default;

int ExternalPort::ReadAndHand(int sock, ReadBatch& b, int flags) {
  for (unsigned i = 0; i < kBatch; ++i) {
    b.iov[i] = iovec{b.data[i], kMaxDatagram};
    b.headers[i] = mmsghdr{};
    b.headers[i].msg_hdr.msg_name = &b.from[i];
    b.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    b.headers[i].msg_hdr.msg_iov = &b.iov[i];
    b.headers[i].msg_hdr.msg_iovlen = 1;
  }
  const int n = recvmmsg(sock, b.headers, kBatch, flags, nullptr);
  for (int i = 0; i < n; ++i) {
    Datagram d{nullptr, 0, InetAddress()};
    d.on_reader = (flags & MSG_DONTWAIT) == 0;
    TrafficOf(Kind()).Received();
    std::memcpy(d.from.SocketAddress(), &b.from[i], sizeof(sockaddr_in));
    if (b.headers[i].msg_hdr.msg_flags & MSG_TRUNC) {
      // A cut message would be relayed as if whole: drop it.
      Log("ostrel", LEVEL_ERROR, "Datagram from %s longer than %zu bytes dropped\n", d.from.Text().c_str(),
          kMaxDatagram);
      continue;
    }
    const size_t len = b.headers[i].msg_len;
    if (len == 0) continue;
    b.data[i][len] = '\0';
    d.data = b.data[i];
    d.len = len;
    if (handler_) handler_(d);
  }
  return n;
}

void ExternalPort::OnInput(int fd) {
  if (fd == 0) {
    ReadSocket(GetHandle());
    return;
  }
  if (!reactor_batch_) reactor_batch_ = std::make_unique<ReadBatch>();
  ReadAndHand(GetHandle(), *reactor_batch_, MSG_DONTWAIT);
}

// One system call per wake-up: the first datagram is waited for, the others that came meanwhile are taken
// with it.
void ExternalPort::ReadSocket(int sock) {
  auto batch = std::make_unique<ReadBatch>();
  while (!stopping_.load(std::memory_order_acquire)) {
    if (ReadAndHand(sock, *batch, MSG_WAITFORONE) > 0) continue;
    if (stopping_.load(std::memory_order_acquire) || GetHandle() < 0 || errno == EBADF) return;
  }
}

void ExternalPort::OnTimer(const void* data) {
  if (timer_handler_) timer_handler_(data);
}

// Readers sharing one socket would lose the order of a source's datagrams: one reader takes a 180, another
// the 200 right after it, and the second may queue its message first. With a socket per reader, joined on
// the port's address with SO_REUSEPORT, the kernel hands every datagram of one source address and port to
// the same socket, so one reader takes them all, one after the other. That costs nothing per datagram, unlike
// numbering datagrams as they are read and queueing them by number, which would make every reader wait for
// the slowest. Sending still goes through the port's own socket, which belongs to the group.
void* ExternalPort::ReadLoop(void* port) {
  auto* p = static_cast<ExternalPort*>(port);
  prctl(PR_SET_NAME, p->thread_name_);
  Log("ostrel", LEVEL_ALWAYS, "%s", p->banner_);
  const unsigned i = p->next_reader_.fetch_add(1, std::memory_order_relaxed);
  const bool own = i == 0 || i > p->reader_sockets_.size();
  p->ReadSocket(own ? p->GetHandle() : p->reader_sockets_[i - 1]->GetHandle());
  return nullptr;
}

int ExternalPort::StartReaders(unsigned n, const char* name, const char* banner) {
  thread_name_ = name;
  banner_ = banner;
  if (Shared()) {
    for (unsigned i = 1; i < n; ++i) {
      auto sock = std::make_unique<SocketUDP>();
      sock->MaximiseReceiveBuffer();
      if (!sock->JoinShared(*this)) return errno != 0 ? errno : EADDRINUSE;
      reader_sockets_.push_back(std::move(sock));
    }
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 0x80000);
  int rc = 0;
  for (unsigned i = 0; i < n && rc == 0; ++i) {
    pthread_t t;
    rc = pthread_create(&t, &attr, &ExternalPort::ReadLoop, this);
    if (rc == 0) readers_.push_back(t);
  }
  pthread_attr_destroy(&attr);
  return rc;
}

void ExternalPort::StopReaders() {
  stopping_.store(true, std::memory_order_release);
  ShutdownReads();
  for (auto& sock : reader_sockets_) sock->ShutdownReads();
  for (pthread_t t : readers_) pthread_join(t, nullptr);
  readers_.clear();
  reader_sockets_.clear();
}
