#include "ports/socket.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>

void SocketBase::close() {
  int fd = handle_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

ssize_t SocketBase::recv(void* buf, size_t len, int flags) { return ::recv(GetHandle(), buf, len, flags); }

bool SocketBase::Block(bool on) {
  int fd = GetHandle();
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

void SocketBase::ShutdownReads() {
  int fd = GetHandle();
  if (fd >= 0) ::shutdown(fd, SHUT_RD);
}

void SocketUDP::OpenSocket() {
  if (GetHandle() >= 0) return;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int expected = -1;
  if (fd >= 0 && !handle_.compare_exchange_strong(expected, fd)) ::close(fd);
}

ssize_t SocketUDP::recvfrom(void* buf, size_t len, InetAddress& from, int flags) {
  socklen_t alen = sizeof(sockaddr_in);
  return ::recvfrom(GetHandle(), buf, len, flags, from.SocketAddress(), &alen);
}

ssize_t SocketUDP::sendto(const void* buf, size_t len, const InetAddress& to, int flags) const {
  return ::sendto(GetHandle(), buf, len, flags, to.SocketAddress(), sizeof(sockaddr_in));
}

bool SocketUDP::MaximiseReceiveBuffer() {
  int big = INT_MAX;  // the system caps it at its maximum
  return SetOption(SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
}

bool SocketUDP::BindShared(const InetAddress& addr) {
  // A plain socket first: an address someone else holds (even with SO_REUSEPORT, as a second daemon of
  // the same user would) refuses the bind exactly as before.
  {
    SocketUDP probe;
    if (!probe.bind(addr)) return false;
  }
  const int on = 1;
  return SetOption(SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) && bind(addr);
}

bool SocketUDP::Shared() const {
  int on = 0;
  socklen_t len = sizeof on;
  return getsockopt(GetHandle(), SOL_SOCKET, SO_REUSEPORT, &on, &len) == 0 && on != 0;
}

bool SocketUDP::JoinShared(const SocketUDP& first) {
  const int on = 1;
  return SetOption(SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) && bind(first.LocalAddress());
}

InetAddress SocketUDP::LocalAddress() const {
  InetAddress a;
  socklen_t alen = sizeof(sockaddr_in);
  getsockname(GetHandle(), a.SocketAddress(), &alen);
  return a;
}
