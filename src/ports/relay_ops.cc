#include "ports/relay_ops.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"

std::function<void(int code)> CountBounce;

void Bounce(SipMessage& msg, int code, const std::string& reason, const InetAddress& to,
            const SipPort& port) {
  msg.Convert(static_cast<SipStatus>(code), reason);
  if (code != 200) msg.Remove(SipHeaders::HID_CONTACT);
  msg.Remove(SipHeaders::HID_ROUTE);
  msg.Set(SipHeaders::HID_SERVER, g_config.agent_name);
  if (code > 299 && CountBounce) CountBounce(code);
  port.send(msg, to, 0, 0);
}

namespace {

std::string FromHost(const SipMessage& msg) {
  auto* from = msg.Header<FromHeader>(SipHeaders::HID_FROM);
  return from ? from->Host() : std::string();
}

std::string FromUser(const SipMessage& msg) {
  auto* from = msg.Header<FromHeader>(SipHeaders::HID_FROM);
  return from ? from->User() : std::string();
}

}  // namespace

bool NewOldContacts(SipMessage& msg, InetAddress& reply, std::string& ocnt, std::string& ncnt,
                    const Defects& defects, int level) {
  std::string domain = FromHost(msg);
  if (domain.empty()) domain = msg.URI().Host();
  std::string user;
  bool public_ip = false;
  auto* contact = msg.Header<ContactHeader>(SipHeaders::HID_CONTACT);
  if (contact != nullptr && !contact->Star()) {
    InetAddress host;
    if (InetAddress::IsIPv4(contact->Host().c_str()) && host.Set(0, contact->Host().c_str()) &&
        host.sin_addr.s_addr == reply.sin_addr.s_addr) {
      public_ip = true;
      Log("ostrel", level | LEVEL_DEBUG, "Cln is on Public IP!\n");
      auto* via = msg.Header<ViaHeader>(SipHeaders::HID_VIA);
      if (via != nullptr && via->Param("rport") == nullptr && !defects.Has(Defect::REPLY_TO_SOURCE_PORT))
        reply.Port(static_cast<unsigned short>(via->SPort()));
    }
    SipUri uri = *contact;
    uri.Remove("transport");
    uri.Remove("ob");
    ocnt.clear();
    uri.Assemble(ocnt);
    user = contact->User();
  } else {
    user = FromUser(msg);
  }
  ncnt = "sip:" + user + "*" + domain + "-" + reply.IpText() + "+" + std::to_string(reply.Port()) + "@" +
         g_config.server_ipaddr + ":" + std::to_string((g_config.second_port + 3) & 0xFFFF);
  return public_ip;
}

NameResolver::State CachedAddress(InetAddress& a, const std::string& hostport, bool start, uint32_t source) {
  a.reset();
  char host[1024] = {0};
  char port[16] = {0};
  in_addr literal{};
  // Literal addresses, and a lone port or service, never reach DNS.
  if (std::sscanf(hostport.c_str(), "%1023[^:]:%15[0-9]", host, port) != 2 ||
      inet_pton(AF_INET, host, &literal) == 1)
    return a.Set(hostport.c_str()) ? NameResolver::State::FOUND : NameResolver::State::FAILED;
  const unsigned long number = std::strtoul(port, nullptr, 10);
  if (number > 65535) return NameResolver::State::FAILED;
  NameResolver& resolver = NameResolver::Instance();
  const NameResolver::Answer answer = start ? resolver.Lookup(host, source) : resolver.Cached(host);
  if (answer.state != NameResolver::State::FOUND) return answer.state;
  a.Ip(answer.ip);
  a.Port(static_cast<unsigned short>(number));
  return NameResolver::State::FOUND;
}

void AwaitName(const std::string& host, uint32_t source) {
  in_addr literal{};
  if (host.empty() || inet_pton(AF_INET, host.c_str(), &literal) == 1) return;
  NameResolver::Instance().Wait(host, source);
}

void Assign(InetAddress& a, const char* host, const char* tag, uint32_t source) {
  const uint64_t began = PollReactor::NowMs();
  const NameResolver::State state = CachedAddress(a, host, true, source);
  const uint64_t took = PollReactor::NowMs() - began;
  if (InetAddress::IsIPv4(host)) return;
  const unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
  if (state == NameResolver::State::PENDING)
    Log(tag ? tag : "ostrel", LEVEL_DEBUG, "T:%lu Note: Name not resolved yet, lookup started: %s\n", tid,
        host);
  else if (took <= 100)
    Log(tag ? tag : "ostrel", LEVEL_TRACE, "T:%lu Note: It took ~%lu ms to resolve: %s !!!\n", tid,
        static_cast<unsigned long>(took), host);
  else
    Log(tag ? tag : "ostrel", LEVEL_ERROR, "T:%lu Warning: It took ~%lu ms to resolve: %s !!!\n", tid,
        static_cast<unsigned long>(took), host);
}

void PreProcessRoute(SipMessage& msg, int dir) {
  auto* first = msg.Header<RouteHeader>(SipHeaders::HID_ROUTE);
  if (first == nullptr) return;
  const bool from_client = dir == 1;
  InetAddress self;
  const unsigned short self_port =
      static_cast<unsigned short>(from_client ? g_config.main_port : (g_config.second_port + 3) & 0xFFFF);
  // The relay's own address is normally literal; a configured name comes from the cache like any other.
  CachedAddress(
      self,
      std::string(from_client ? g_config.myipaddr : g_config.server_ipaddr) + ":" + std::to_string(self_port),
      true, 0);
  self.Port(self_port);
  if (from_client && g_config.assume_no_obp) {
    auto* to = msg.Header<ToHeader>(SipHeaders::HID_TO);
    const bool opens = to != nullptr && to->Params().Param("tag") == nullptr;
    const bool single = first->Next() == nullptr && (msg.IsAck() || msg.Method() == SipStartLine::SUBSCRIBE);
    if (opens || single) {
      Log("ostrel", LEVEL_DEBUG, "Remove Initial 'Route:'\n");
      msg.Remove(SipHeaders::HID_ROUTE);
      return;
    }
  }
  // Names come from the cache only: the reader looked them up before (a name still pending is not us).
  auto designates_self = [&](const SipUri& uri) {
    InetAddress a;
    return CachedAddress(a, uri.Address(), false, 0) == NameResolver::State::FOUND && a == self;
  };
  if (designates_self(msg.URI()) && !designates_self(*first)) {
    std::unique_ptr<HeaderLine> last = msg.pop_back(SipHeaders::HID_ROUTE);
    if (auto* route = dynamic_cast<RouteHeader*>(last.get())) {
      msg.URI() = static_cast<const SipUri&>(*route);
      Log("ostrel", LEVEL_DEBUG, "Substitute Request-URI\n");
    }
  }
  while (auto* route = msg.Header<RouteHeader>(SipHeaders::HID_ROUTE)) {
    if (route->SPort() != self.Port()) break;
    InetAddress a;
    CachedAddress(a, route->Address(), false, 0);
    if (a == self) {
      msg.pop_front(SipHeaders::HID_ROUTE);
      Log("ostrel", LEVEL_DEBUG, "Remove 'Route:' to itself\n");
      continue;
    }
    Log("ostrel", LEVEL_DEBUG, "Resolved 'Route:' %s to %s\n", route->Address().c_str(), a.Text().c_str());
    break;
  }
}

bool ValidNewContact(const SipUri& uri) {
  if (uri.Host() != g_config.server_ipaddr || uri.Port() != ((g_config.second_port + 3) & 0xFFFF))
    return false;
  const std::string& user = uri.User();
  size_t star = user.find('*');
  if (star == std::string::npos) return false;
  size_t dash = user.rfind('-');
  if (dash == std::string::npos || dash < star) return false;
  size_t plus = user.find('+', dash);
  if (plus == std::string::npos) return false;
  for (size_t i = dash + 1; i < plus; ++i)
    if (!std::isdigit(static_cast<unsigned char>(user[i])) && user[i] != '.') return false;
  return true;
}

bool GotFromOstrel(const ViaHeader* via) {
  if (via == nullptr) return false;
  const char* branch = via->Param("branch");
  return branch != nullptr && std::strncmp(branch, kRelayBranch, kRelayBranchLen) == 0;
}

bool GotFromOstrel(const SipMessage& msg) {
  return GotFromOstrel(msg.Header<ViaHeader>(SipHeaders::HID_VIA));
}

unsigned RelayBranchNumber(const ViaHeader* via) {
  if (!GotFromOstrel(via)) return 0;
  const char* digits = via->Param("branch") + kRelayBranchLen;
  uint64_t n = 0;
  size_t i = 0;
  for (; std::isdigit(static_cast<unsigned char>(digits[i])) && i < 11; ++i)
    n = n * 10 + static_cast<uint64_t>(digits[i] - '0');
  if (i == 0 || n < 65537 || n > 0x7FFFFFFF) return 0;
  return static_cast<unsigned>(n);
}

namespace {

// The Content-Type's boundary parameter, quotes removed; empty when absent.
std::string Boundary(const std::string& type) {
  std::string lower = type;
  ToLower(lower);
  size_t at = lower.find("boundary=");
  if (at == std::string::npos) return {};
  std::string b = type.substr(at + 9);
  b = b.substr(0, b.find(';'));
  LRTrim(b);
  if (b.size() >= 2 && b.front() == '"' && b.back() == '"') b = b.substr(1, b.size() - 2);
  return b;
}

}  // namespace

void FixMultiBody(SipMessage& msg) {
  auto* type = msg.Header<ContentTypeHeader>(SipHeaders::HID_CONTENT_TYPE);
  if (type == nullptr || strncasecmp(type->Value().c_str(), "multipart", 9) != 0) return;
  const std::string boundary = Boundary(type->Value());
  if (boundary.empty()) return;
  const std::string body = msg.Body();
  const std::string delim = "\r\n--" + boundary;
  size_t pos = body.rfind("--" + boundary, 0) == 0 ? 0 : body.find(delim);
  while (pos != std::string::npos) {
    pos = body.find(boundary, pos);
    if (pos == std::string::npos) return;
    pos += boundary.size();
    if (body.compare(pos, 2, "--") == 0) return;
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    const char* p = body.c_str() + pos;
    SkipCRLF(p);
    pos = static_cast<size_t>(p - body.c_str());
    size_t next = body.find(delim, pos);
    size_t part_end = next == std::string::npos ? body.size() : next;
    bool is_sdp = false;
    // Header lines of the part, up to the empty line.
    while (pos < part_end) {
      size_t eol = body.find_first_of("\r\n", pos);
      if (eol == std::string::npos || eol > part_end) eol = part_end;
      if (eol == pos) break;
      std::string line = body.substr(pos, eol - pos);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon), value = line.substr(colon + 1);
        LRTrim(name);
        LRTrim(value);
        if (strcasecmp(name.c_str(), "Content-Type") == 0 &&
            strcasecmp(value.c_str(), "application/sdp") == 0)
          is_sdp = true;
      }
      const char* q = body.c_str() + eol;
      SkipCRLF(q);
      pos = static_cast<size_t>(q - body.c_str());
    }
    const char* q = body.c_str() + pos;
    SkipCRLF(q);
    pos = static_cast<size_t>(q - body.c_str());
    if (is_sdp && part_end > pos) {
      msg.Body(body.substr(pos, part_end - pos));
      msg.Set(SipHeaders::HID_CONTENT_TYPE, "application/sdp");
      return;
    }
    pos = next;
  }
}
