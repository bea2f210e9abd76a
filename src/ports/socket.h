// Thin owners of one UDP descriptor: open lazily, bind, set options, send and receive datagrams.
// A socket may be used from any thread; closing it while another thread is blocked on it is the caller's care.
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
  int get_handle() const { return handle_m.load(std::memory_order_acquire); }
  ssize_t recv(void* buf, size_t len, int flags);
  // true clears O_NONBLOCK, false sets it.
  bool block(bool on);
  // Wakes a thread blocked in a receive on this socket (it sees an error or an empty read).
  void shutdown_reads();

 protected:
  std::atomic<int> handle_m{-1};
};

template <class Derived>
class SocketT : public SocketBase {
 public:
  bool open() {
    static_cast<Derived*>(this)->_open();
    return get_handle() >= 0;
  }
  bool bind(const InetAddr& addr) {
    if (!open()) return false;
    return ::bind(get_handle(), addr.sa(), sizeof(sockaddr_in)) == 0;
  }
  bool set_option(int level, int name, const void* value, unsigned len) {
    if (!open()) return false;
    return ::setsockopt(get_handle(), level, name, value, len) == 0;
  }
};

class SocketUDP : public SocketT<SocketUDP> {
 public:
  void _open();
  ssize_t recvfrom(void* buf, size_t len, InetAddr& from, int flags);
  ssize_t sendto(const void* buf, size_t len, const InetAddr& to, int flags) const;
  // Raises the receive buffer to the system's maximum.
  bool maximise_rcvbuf();
  // The address the socket is bound to (after bind with port 0, the chosen port).
  InetAddr local_addr() const;
};
