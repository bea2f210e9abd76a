#include "media/rtp_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>

#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
#include "foundation/log.h"

int RtpPort::next_port_ = 0;
Mutex RtpPort::port_lock_;

namespace {

// The first even port of the range; pairs never start on an odd port.
int FirstPort() { return (g_config.range_low + 1) & ~1; }

// An RTCP port at or above the top of the range is outside it.
bool PairFits(int port) { return port >= FirstPort() && port + 1 < g_config.range_high; }

// The configured side address is a dotted address (checked at start-up); empty binds every address.
InetAddress BindAddress(const char* ip, int port) {
  InetAddress a(static_cast<unsigned short>(port));
  if (ip != nullptr && *ip != '\0') inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

}  // namespace

void RtpPort::ResetPortSearch() {
  MutexGuard guard(port_lock_);
  next_port_ = 0;
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

// The search starts above the last port handed out and goes round the range once; that last port is tried
// last, so a range whose only free pair is the one released most recently still yields it.
int RtpPort::Open() {
  if (GetHandle() >= 0) return GetHandle();
  rtcp.close();
  int real_error = 0;
  int port;
  {
    MutexGuard guard(port_lock_);
    if (!PairFits(next_port_)) next_port_ = FirstPort();
    const int start = next_port_;
    port = start;
    for (;;) {
      port += 2;
      if (!PairFits(port)) port = FirstPort();
      if (BindPair(port, real_error) == 0) break;
      if (port == start) {
        Log(static_cast<int>(number_), LEVEL_ERROR,
            "Error: Cannot open port in range [%d-%d]. Err: %d - %s !!!\n", g_config.range_low,
            g_config.range_high, real_error, std::strerror(real_error));
        return -1;
      }
    }
    next_port_ = port;
  }
  local_port_.store(port, std::memory_order_release);
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
  if (fd >= 0) Log(static_cast<int>(number_), LEVEL_DEBUG, "Closing port: %d handle %d\n", port, fd);
}

void RtpPort::Register(ProbeSink* call) {
  if (Open() < 0 || registered_) return;
  PollReactor* reactor = PollReactor::Instance();
  DialogTable* table = DialogTable::Instance();
  if (reactor == nullptr || table == nullptr) return;
  probe_ = call;
  registered_ = true;
  const int fd = GetHandle();
  table->AddKey(static_cast<int>(number_), fd);
  reactor->RegisterDescriptor(fd, this);
  Log(static_cast<int>(number_), LEVEL_DEBUG, "Register port: %d with handle %d\n", LPort(), fd);
}

void RtpPort::Unregister() {
  if (!registered_) return;
  registered_ = false;
  const int fd = GetHandle();
  if (PollReactor* reactor = PollReactor::Instance()) reactor->UnregisterDescriptor(fd);
  if (DialogTable* table = DialogTable::Instance()) table->RemoveKey(fd, static_cast<int>(number_));
  Log(static_cast<int>(number_), LEVEL_DEBUG, "Removing from reactor port: %d with handle: %d\n", LPort(),
      fd);
}

// The datagram is read even when no call claims the handle: left unread it would wake the reactor forever.
void RtpPort::OnInput(int fd) {
  uint8_t buf[4096];
  InetAddress from;
  DialogTable* table = DialogTable::Instance();
  ObjectGuard<Dialog> call = table ? table->GetDialog(fd) : ObjectGuard<Dialog>();
  const ssize_t n = recvfrom(buf, sizeof buf, from, MSG_DONTWAIT);
  if (!call || call->Number() != number_) {
    Log("ostrel", LEVEL_ERROR, "Warning: mUDP: Handle %d for unregistered port\n", fd);
    return;
  }
  if (n < 0 || !registered_ || probe_ == nullptr) return;
  probe_->ProbePacket(*this, from);
}

bool ClientRtpPort::SetSrtp(std::unique_ptr<SrtpHook> ctx) {
  if (srtp_) return false;
  srtp_ = std::move(ctx);
  srtp_pointer_.store(srtp_.get(), std::memory_order_release);
  return true;
}

const char* ClientRtpPort::LocalIP() const { return g_config.private_ipaddr; }

const char* ServerRtpPort::LocalIP() const { return g_config.intern_ipaddr; }
