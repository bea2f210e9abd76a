// InetAddress: an IPv4 socket address with text forms and a 64-bit key used to index peers in maps.
// A value type with no shared state: safe on any thread; Set() may block in the system resolver for names,
// so the roads of a message use it for literal addresses only (names go through NameResolver).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

class InetAddress : public sockaddr_in {
 public:
  union PackedKey {
    uint32_t a[2];
    uint64_t b;
  };

  InetAddress() { reset(); }
  explicit InetAddress(unsigned short port) {
    reset();
    Port(port);
  }
  explicit InetAddress(const char* s) {
    reset();
    Set(s);
  }
  InetAddress(unsigned short port, const char* host) {
    reset();
    Set(port, host);
  }

  void reset();
  // "host:port", "host" is taken as a port or service when alone (0.0.0.0 then); names go to the resolver.
  bool Set(const char* s);
  bool Set(unsigned short port, const char* host);

  unsigned short Port() const { return ntohs(sin_port); }
  void Port(unsigned short port) { sin_port = htons(port); }
  uint32_t Ip() const { return ntohl(sin_addr.s_addr); }
  void Ip(uint32_t host_order) { sin_addr.s_addr = htonl(host_order); }
  bool empty() const { return sin_port == 0 && sin_addr.s_addr == 0; }

  bool operator==(const InetAddress& o) const {
    return sin_port == o.sin_port && sin_addr.s_addr == o.sin_addr.s_addr;
  }
  bool operator!=(const InetAddress& o) const { return !(*this == o); }

  PackedKey Key() const {
    PackedKey k;
    k.a[0] = sin_addr.s_addr;
    k.a[1] = sin_port;
    return k;
  }
  void SetKey(PackedKey k) {
    sin_addr.s_addr = k.a[0];
    sin_port = static_cast<in_port_t>(k.a[1]);
  }

  sockaddr_in* GetAddress() { return this; }
  const sockaddr_in* GetAddress() const { return this; }
  sockaddr* SocketAddress() { return reinterpret_cast<sockaddr*>(this); }
  const sockaddr* SocketAddress() const { return reinterpret_cast<const sockaddr*>(this); }

  std::string Text() const;
  std::string IpText() const;
  static std::string IpText(unsigned ip);
  static std::string KeyAsText(PackedKey k);
  static bool IsIPv4(const char* s);
};
