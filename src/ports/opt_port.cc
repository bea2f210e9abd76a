#include "ports/opt_port.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <cerrno>

#include "config/config.h"
#include "foundation/log.h"

std::function<void(int uno)> OptPort_t::OnICMP;

namespace {

constexpr int kIcmpDestUnreachable = 3;

bool OnReactorThread(const PollReactor* r) { return r != nullptr && pthread_equal(r->owner(), pthread_self()); }

// Deletes the ports handed to it; its timers carry the port as data.
struct Graveyard : TimerCB {
  void timer_cb(const void* data) override { delete static_cast<OptPort_t*>(const_cast<void*>(data)); }
};
Graveyard graveyard;

}  // namespace

OptPort_t::OptPort_t(int uno) : Uno_m(uno) {
  InetAddr local;
  if (Cfg.second_ipaddr[0] == '\0' || !local.set(0, Cfg.second_ipaddr) || !bind(local)) {
    Log(uno, LOG_ERROR, "Error: Cannot open Opt port on %s\n", Cfg.second_ipaddr);
    close();
    return;
  }
  const int on = 1;
  set_option(IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  block(false);
}

std::unique_ptr<OptPort_t> OptPort_t::Open(int uno) {
  auto port = std::make_unique<OptPort_t>(uno);
  port->Enroll();
  return port;
}

void OptPort_t::Enroll() {
  PollReactor* r = PollReactor::instance();
  if (!usable() || registered_m || r == nullptr) return;
  registered_m = true;
  r->register_fd(get_handle(), this, this);
  Log(Uno_m, LOG_DEBUG, "Register Opt port with handle %d\n", get_handle());
}

OptPort_t::~OptPort_t() {
  if (registered_m) {
    Log(Uno_m, LOG_DEBUG, "Removing from reactor Opt port with handle: %d\n", get_handle());
    if (PollReactor* r = PollReactor::instance()) r->unregister_fd(get_handle());
  }
}

void OptPort_t::Retire(std::unique_ptr<OptPort_t> port) {
  if (!port) return;
  PollReactor* r = PollReactor::instance();
  if (r == nullptr || !r->running() || OnReactorThread(r)) return;  // unique_ptr deletes it here
  r->timer_set(&graveyard, 0, port.release());
}

void OptPort_t::error_cb(int fd) {
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
    Log(Uno_m, LOG_DEBUG, "ICMP Response from Client. Received: %d, Ignored\n", static_cast<int>(n));
    return;
  }
  for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
    const auto* ee = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    if (ee->ee_errno != ECONNREFUSED || ee->ee_origin != SO_EE_ORIGIN_ICMP || ee->ee_type != kIcmpDestUnreachable)
      continue;
    Log(Uno_m, LOG_DEBUG, "ICMP Response from Client. Received: %d. Considered!\n", static_cast<int>(n));
    if (OnICMP) OnICMP(Uno_m);
    return;
  }
}

void OptPort_t::input_cb(int fd) {
  char buf[kMaxDatagram];
  InetAddr from;
  if (recvfrom(buf, sizeof buf, from, MSG_DONTWAIT) >= 0)
    Log(Uno_m, LOG_DEBUG, "Datagram from %s on the Opt port dropped\n", from.Str().c_str());
}
