#include "ports/opt_port.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <cerrno>

#include "config/config.h"
#include "foundation/log.h"

std::function<void(int uno)> ProbePort::OnICMP;

namespace {

constexpr int kIcmpDestUnreachable = 3;

bool OnReactorThread(const PollReactor* r) {
  return r != nullptr && pthread_equal(r->Owner(), pthread_self());
}

// Deletes the ports handed to it; its timers carry the port as data.
struct Graveyard : TimerCB {
  void OnTimer(const void* data) override { delete static_cast<ProbePort*>(const_cast<void*>(data)); }
};
Graveyard g_graveyard;

}  // namespace

ProbePort::ProbePort(int uno) : number_(uno) {
  InetAddress local;
  if (g_config.second_ipaddr[0] == '\0' || !local.Set(0, g_config.second_ipaddr) || !bind(local)) {
    Log(uno, LEVEL_ERROR, "Error: Cannot open Opt port on %s\n", g_config.second_ipaddr);
    close();
    return;
  }
  const int on = 1;
  SetOption(IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  Block(false);
}

std::unique_ptr<ProbePort> ProbePort::Open(int uno) {
  auto port = std::make_unique<ProbePort>(uno);
  port->Enroll();
  return port;
}

void ProbePort::Enroll() {
  PollReactor* r = PollReactor::Instance();
  if (!Usable() || registered_ || r == nullptr) return;
  registered_ = true;
  r->RegisterDescriptor(GetHandle(), this, this);
  Log(number_, LEVEL_DEBUG, "Register Opt port with handle %d\n", GetHandle());
}

ProbePort::~ProbePort() {
  if (registered_) {
    Log(number_, LEVEL_DEBUG, "Removing from reactor Opt port with handle: %d\n", GetHandle());
    if (PollReactor* r = PollReactor::Instance()) r->UnregisterDescriptor(GetHandle());
  }
}

void ProbePort::Retire(std::unique_ptr<ProbePort> port) {
  if (!port) return;
  PollReactor* r = PollReactor::Instance();
  if (r == nullptr || !r->Running() || OnReactorThread(r)) return;  // unique_ptr deletes it here
  r->SetTimer(&g_graveyard, 0, port.release());
}

void ProbePort::OnError(int fd) {
  char data[512];
  char control[512];
  iovec iov{data, sizeof data};
  msghdr mh{};
  sockaddr_in from{};
  mh.msg_name = &from;
  mh.msg_namelen = sizeof from;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &mh, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) {
    Log(number_, LEVEL_DEBUG, "ICMP Response from Client. Received: %d, Ignored\n", static_cast<int>(n));
    return;
  }
  for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
    const auto* ee = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    if (ee->ee_errno != ECONNREFUSED || ee->ee_origin != SO_EE_ORIGIN_ICMP ||
        ee->ee_type != kIcmpDestUnreachable)
      continue;
    Log(number_, LEVEL_DEBUG, "ICMP Response from Client. Received: %d. Considered!\n", static_cast<int>(n));
    if (OnICMP) OnICMP(number_);
    return;
  }
}

void ProbePort::OnInput(int fd) {
  char buf[kMaxDatagram];
  InetAddress from;
  if (recvfrom(buf, sizeof buf, from, MSG_DONTWAIT) < 0) return;
  TrafficOf(SipPortKind::SECOND).Received();
  Log(number_, LEVEL_DEBUG, "Datagram from %s on the Opt port dropped\n", from.Text().c_str());
}
