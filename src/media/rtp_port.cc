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

int mUDP_t::statPort = 0;
Mutex mUDP_t::RTPLock;

namespace {

// The first even port of the range; pairs never start on an odd port.
int FirstPort() { return (Cfg.lRange + 1) & ~1; }

// An RTCP port at or above the top of the range is outside it.
bool PairFits(int port) { return port >= FirstPort() && port + 1 < Cfg.hRange; }

// The configured side address is a dotted address (checked at start-up); empty binds every address.
InetAddr BindAddr(const char* ip, int port) {
  InetAddr a(static_cast<unsigned short>(port));
  if (ip != nullptr && *ip != '\0') inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

}  // namespace

void mUDP_t::ResetPortSearch() {
  Guard_Mutex guard(RTPLock);
  statPort = 0;
}

int mUDP_t::BindPair(int port, int& real_error) {
  if (!rtcp.bind(BindAddr(LocalIP(), port + 1))) {
    if (errno != EADDRINUSE) real_error = errno;
    rtcp.close();
    return -1;
  }
  if (!bind(BindAddr(LocalIP(), port))) {
    if (errno != EADDRINUSE) real_error = errno;
    rtcp.close();
    SocketUDP::close();
    return -1;
  }
  return 0;
}

void mUDP_t::SetOptions() {
  const int size = kSocketBuffer;  // the kernel caps it at its own maximum
  const int tos = Cfg.TOS;
  for (SocketUDP* s : {static_cast<SocketUDP*>(this), &rtcp}) {
    s->block(false);
    s->set_option(SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    s->set_option(SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  set_option(IPPROTO_IP, IP_TOS, &tos, sizeof tos);
}

// The search starts above the last port handed out and goes round the range once; that last port is tried
// last, so a range whose only free pair is the one released most recently still yields it.
int mUDP_t::open() {
  if (get_handle() >= 0) return get_handle();
  rtcp.close();
  int real_error = 0;
  int port;
  {
    Guard_Mutex guard(RTPLock);
    if (!PairFits(statPort)) statPort = FirstPort();
    const int start = statPort;
    port = start;
    for (;;) {
      port += 2;
      if (!PairFits(port)) port = FirstPort();
      if (BindPair(port, real_error) == 0) break;
      if (port == start) {
        Log(static_cast<int>(UniqNo_m), LOG_ERROR, "Error: Cannot open port in range [%d-%d]. Err: %d - %s !!!\n",
            Cfg.lRange, Cfg.hRange, real_error, std::strerror(real_error));
        return -1;
      }
    }
    statPort = port;
  }
  lport_m.store(port, std::memory_order_release);
  SetOptions();
  Log(static_cast<int>(UniqNo_m), LOG_DEBUG, "Open RTP port: %d handle %d\n", port, get_handle());
  return get_handle();
}

int mUDP_t::open(int port) {
  if (port < 1 || port > 65534) return -1;
  if (get_handle() >= 0) {
    if (LPort() == port) return get_handle();
    close();
  }
  rtcp.close();
  if (!bind(BindAddr(LocalIP(), port))) {
    SocketUDP::close();
    Log(static_cast<int>(UniqNo_m), LOG_ERROR, "Error: Cannot Open RTP port: %d\n", port);
    return -1;
  }
  if (!rtcp.bind(BindAddr(LocalIP(), port + 1))) rtcp.close();
  lport_m.store(port, std::memory_order_release);
  SetOptions();
  Log(static_cast<int>(UniqNo_m), LOG_DEBUG, "Open RTP port: %d\n", port);
  return get_handle();
}

void mUDP_t::close() {
  unregister();
  const int fd = get_handle();
  const int port = LPort();
  rtcp.close();
  SocketUDP::close();
  lport_m.store(-1, std::memory_order_release);
  if (fd >= 0) Log(static_cast<int>(UniqNo_m), LOG_DEBUG, "Closing port: %d handle %d\n", port, fd);
}

void mUDP_t::doregister(ProbeSink* call) {
  if (open() < 0 || registered_m) return;
  PollReactor* reactor = PollReactor::instance();
  DialogTable* table = DialogTable::Instance();
  if (reactor == nullptr || table == nullptr) return;
  probe_m = call;
  registered_m = true;
  const int fd = get_handle();
  table->AddKey(static_cast<int>(UniqNo_m), fd);
  reactor->register_fd(fd, this);
  Log(static_cast<int>(UniqNo_m), LOG_DEBUG, "Register port: %d with handle %d\n", LPort(), fd);
}

void mUDP_t::unregister() {
  if (!registered_m) return;
  registered_m = false;
  const int fd = get_handle();
  if (PollReactor* reactor = PollReactor::instance()) reactor->unregister_fd(fd);
  if (DialogTable* table = DialogTable::Instance()) table->RemoveKey(fd, static_cast<int>(UniqNo_m));
  Log(static_cast<int>(UniqNo_m), LOG_DEBUG, "Removing from reactor port: %d with handle: %d\n", LPort(), fd);
}

// The datagram is read even when no call claims the handle: left unread it would wake the reactor forever.
void mUDP_t::input_cb(int fd) {
  uint8_t buf[4096];
  InetAddr from;
  DialogTable* table = DialogTable::Instance();
  TGuard<Dialog_t> call = table ? table->GetDialog(fd) : TGuard<Dialog_t>();
  const ssize_t n = recvfrom(buf, sizeof buf, from, MSG_DONTWAIT);
  if (!call || call->UniqNo() != UniqNo_m) {
    Log("ostrel", LOG_ERROR, "Warning: mUDP: Handle %d for unregistered port\n", fd);
    return;
  }
  if (n < 0 || !registered_m || probe_m == nullptr) return;
  probe_m->ProbePacket(*this, from);
}

bool mcUDP_t::SetSrtp(std::unique_ptr<SrtpHook> ctx) {
  if (pSRTP_m) return false;
  pSRTP_m = std::move(ctx);
  srtp_ptr_m.store(pSRTP_m.get(), std::memory_order_release);
  return true;
}

const char* mcUDP_t::LocalIP() const { return Cfg.private_ipaddr; }

const char* msUDP_t::LocalIP() const { return Cfg.intern_ipaddr; }
