#include "foundation/inet_addr.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

void InetAddress::reset() {
  std::memset(static_cast<sockaddr_in*>(this), 0, sizeof(sockaddr_in));
  sin_family = AF_INET;
}

bool InetAddress::Set(const char* s) {
  if (s == nullptr) return false;
  char host[1024] = {0};
  char port[16] = {0};
  int items = std::sscanf(s, "%1023[^:]:%15[0-9]", host, port);
  const char* node = host;
  const char* service = port;
  if (items == 1) {
    node = "0.0.0.0";
    service = host;
  } else if (items != 2) {
    return false;
  }
  // Literal addresses and numeric ports need no resolver (getaddrinfo costs microseconds per message).
  in_addr literal{};
  char* end = nullptr;
  const unsigned long numeric_port = std::strtoul(service, &end, 10);
  if (*service != '\0' && *end == '\0' && numeric_port <= 65535 && inet_pton(AF_INET, node, &literal) == 1) {
    sin_addr = literal;
    sin_port = htons(static_cast<uint16_t>(numeric_port));
    return !empty();
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  // Digits and dots are a number, never a name to ask DNS for (a Contact host "1.2.3.4.5" would be).
  if (IsIPv4(node)) hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(node, service, &hints, &res) != 0 || res == nullptr) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  sin_addr = in->sin_addr;
  sin_port = in->sin_port;
  freeaddrinfo(res);
  return !empty();
}

bool InetAddress::Set(unsigned short port, const char* host) {
  if (host == nullptr) return false;
  std::string text = std::string(host) + ":" + std::to_string(port);
  return Set(text.c_str());
}

std::string InetAddress::Text() const { return KeyAsText(Key()); }

std::string InetAddress::IpText() const { return IpText(Ip()); }

std::string InetAddress::IpText(unsigned ip) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (ip >> 24) & 255, (ip >> 16) & 255, (ip >> 8) & 255,
                ip & 255);
  return buf;
}

std::string InetAddress::KeyAsText(PackedKey k) {
  const auto* b = reinterpret_cast<const unsigned char*>(&k.a[0]);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
                static_cast<unsigned>(ntohs(static_cast<uint16_t>(k.a[1]))));
  return buf;
}

bool InetAddress::IsIPv4(const char* s) {
  if (s == nullptr) return false;
  for (; *s != '\0' && *s != ':'; ++s) {
    if (!((*s >= '0' && *s <= '9') || *s == '.')) return false;
  }
  return true;
}
