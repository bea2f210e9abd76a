// Thin owners of one UDP descriptor: open lazily, bind, set options, send and receive datagrams.
// A socket may be used from any thread; closing it while another thread is blocked on it is the caller's
// care.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>

#include "foundation/inet_addr.h"

class SocketBase {
 public:
  SocketBase() = default;
  virtual ~SocketBase() { close(); }
  SocketBase(const SocketBase&) = delete;
  SocketBase& operator=(const SocketBase&) = delete;

  void close();
  int GetHandle() const { return handle_.load(std::memory_order_acquire); }
  ssize_t recv(void* buf, size_t len, int flags);
  // true clears O_NONBLOCK, false sets it.
  bool Block(bool on);
  // Wakes a thread blocked in a receive on this socket (it sees an error or an empty read).
  void ShutdownReads();

 protected:
  std::atomic<int> handle_{-1};
};

template <class Derived>
class SocketT : public SocketBase {
 public:
  bool Open() {
    static_cast<Derived*>(this)->OpenSocket();
    return GetHandle() >= 0;
  }
  bool bind(const InetAddress& addr) {
    if (!Open()) return false;
    return ::bind(GetHandle(), addr.SocketAddress(), sizeof(sockaddr_in)) == 0;
  }
  bool SetOption(int level, int name, const void* value, unsigned len) {
    if (!Open()) return false;
    return ::setsockopt(GetHandle(), level, name, value, len) == 0;
  }
};

class SocketUDP : public SocketT<SocketUDP> {
 public:
  void OpenSocket();
  ssize_t recvfrom(void* buf, size_t len, InetAddress& from, int flags);
  ssize_t sendto(const void* buf, size_t len, const InetAddress& to, int flags) const;
  // Raises the receive buffer to the system's maximum.
  bool MaximiseReceiveBuffer();
  // Binds like bind(), failing as it would when the address is taken, but lets further sockets of this
  // process join the address with JoinShared() (SO_REUSEPORT).
  bool BindShared(const InetAddress& addr);
  // Whether this socket was bound with BindShared(); JoinShared() binds to the address of such a socket.
  bool Shared() const;
  bool JoinShared(const SocketUDP& first);
  // The address the socket is bound to (after bind with port 0, the chosen port).
  InetAddress LocalAddress() const;
};
