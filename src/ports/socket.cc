#include "ports/socket.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>

void SocketBase::close() {
  int fd = handle_m.exchange(-1);
  if (fd >= 0) ::close(fd);
}

ssize_t SocketBase::recv(void* buf, size_t len, int flags) { return ::recv(get_handle(), buf, len, flags); }

bool SocketBase::block(bool on) {
  int fd = get_handle();
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

void SocketBase::shutdown_reads() {
  int fd = get_handle();
  if (fd >= 0) ::shutdown(fd, SHUT_RD);
}

void SocketUDP::_open() {
  if (get_handle() >= 0) return;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int expected = -1;
  if (fd >= 0 && !handle_m.compare_exchange_strong(expected, fd)) ::close(fd);
}

ssize_t SocketUDP::recvfrom(void* buf, size_t len, InetAddr& from, int flags) {
  socklen_t alen = sizeof(sockaddr_in);
  return ::recvfrom(get_handle(), buf, len, flags, from.sa(), &alen);
}

ssize_t SocketUDP::sendto(const void* buf, size_t len, const InetAddr& to, int flags) const {
  return ::sendto(get_handle(), buf, len, flags, to.sa(), sizeof(sockaddr_in));
}

bool SocketUDP::maximise_rcvbuf() {
  int big = INT_MAX;  // the system caps it at its maximum
  return set_option(SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
}

InetAddr SocketUDP::local_addr() const {
  InetAddr a;
  socklen_t alen = sizeof(sockaddr_in);
  getsockname(get_handle(), a.sa(), &alen);
  return a;
}
