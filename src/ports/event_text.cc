#include "ports/event_text.h"

#include <cstdio>

#include "foundation/inet_addr.h"
#include "foundation/text.h"

namespace events {
namespace {

constexpr int kTypes = 12;
constexpr const char* kNames[kTypes] = {"",          "INVITE",    "TIMEOUT",   "CANCEL",    "REJECT", "TALK",
                                        "CLN_AUDIO", "SRV_AUDIO", "CLN_VIDEO", "SRV_VIDEO", "BYE",    "DTOR"};
enum {
  E_NOP,
  E_INVITE,
  E_TIMEOUT,
  E_CANCEL,
  E_REJECT,
  E_TALK,
  E_CLN_AUDIO,
  E_SRV_AUDIO,
  E_CLN_VIDEO,
  E_SRV_VIDEO,
  E_BYE,
  E_DTOR
};

std::string Line(const char* name, const std::string& value) {
  return std::string(name) + ": " + value + "\n";
}

template <class Map, class KeyText>
std::string Pairs(const Map& m, KeyText key) {
  std::string s;
  for (const auto& [k, v] : m) {
    if (!s.empty()) s += ",";
    s += key(k) + ":" + std::to_string(v);
  }
  return s;
}

}  // namespace

void RegistrationAddresses(const std::string& addrs, const std::string& contact_hostport,
                           const std::string& ext_ip, unsigned ext_port, std::string& int_ip,
                           std::string& ext_out) {
  const std::vector<std::string> parts = addrs.empty() ? std::vector<std::string>() : Split(addrs, ',');
  int_ip = parts.size() > 1 ? parts[1] : contact_hostport;
  if (!parts.empty())
    ext_out = parts[0];
  else
    ext_out = ext_port != 0 ? ext_ip + ":" + std::to_string(ext_port) : ext_ip;
}

std::string RegistrationText(const RegistrationEvent& e) {
  std::string s = Line("Event", e.registered ? "REG" : "UNREG");
  s += Line("Domain", e.domain) + Line("Line", e.user) + Line("AOR", e.ncont);
  if (e.registered) {
    s += Line("CallID", e.callid);
    if (!e.agent.empty()) s += Line("Agent", e.agent);
  }
  s += Line("IntIP", e.int_ip) + Line("ExtIP", e.ext_ip);
  return s;
}

std::string FailText(const FailEvent& e) {
  std::string s = Line("Event", "FAILD") + Line("Domain", e.domain);
  if (!e.user.empty()) s += Line("Line", e.user);
  if (!e.callid.empty()) s += Line("CallID", e.callid);
  if (!e.agent.empty()) s += Line("Agent", e.agent);
  if (!e.int_ip.empty()) s += Line("IntIP", e.int_ip);
  s += Line("ExtIP", e.ext_ip);
  if (!e.reason.empty()) s += Line("Reason", e.reason);
  return s;
}

const char* EventName(int type) { return type >= 0 && type < kTypes ? kNames[type] : ""; }

std::string CallText(const CallEvent& e) {
  if (e.type <= E_NOP || e.type >= kTypes) return {};
  std::string s =
      Line("Event", kNames[e.type]) + Line("UniqNo", std::to_string(e.uniq)) + Line("Domain", e.domain);
  switch (e.type) {
    case E_INVITE:
      s += Line("Direction", e.from_client ? "CLN" : "SRV") + Line("From", e.from) + Line("To", e.to);
      break;
    case E_CANCEL:
    case E_BYE:
      s += e.extra.empty() ? Line("Extra", "Timeout") : Line("Direction", e.extra);
      break;
    case E_REJECT:
      if (!e.extra.empty()) s += Line("Extra", e.extra);
      break;
    case E_TALK:
      s += Line("FMode", std::string(1, e.fmode));
      break;
    case E_CLN_AUDIO:
    case E_SRV_AUDIO:
    case E_CLN_VIDEO:
    case E_SRV_VIDEO:
      s += Line("From", e.extra);
      break;
    default:
      break;
  }
  if ((e.type == E_BYE || e.type == E_DTOR) && !e.client_media.empty())
    s += Line("CLNMedia", e.client_media) + Line("SRVMedia", e.server_media);
  return s;
}

std::string ActiveText(const ActiveEvent& e) {
  return Line("Event", "ACTIVE") + Line("Started", std::to_string(e.started)) +
         Line("Regs", std::to_string(e.regs)) + Line("Dialogs", std::to_string(e.dialogs)) +
         Line("Calls", std::to_string(e.calls)) + Line("Full", std::to_string(e.full)) +
         Line("Extra", e.extra);
}

std::string StatLogLine(int hour, int min, int sec, unsigned regs, unsigned calls) {
  char line[64];
  std::snprintf(line, sizeof line, "%02u:%02u:%02u Regs: %u\tCalls: %u\n", static_cast<unsigned>(hour),
                static_cast<unsigned>(min), static_cast<unsigned>(sec), regs, calls);
  return line;
}

std::string StatText(const StatEvent& e) {
  std::string s = Line("Event", "STAT");
  s += Line("MaxQueueSize", std::to_string(e.max_queue) + "," + std::to_string(e.max_threads));
  s += Line("ExtProc", std::to_string(e.ext_done) + "," + std::to_string(e.ext_longest));
  s += Line("IntProc", std::to_string(e.int_done) + "," + std::to_string(e.int_longest));
  if (!e.methods.empty()) s += Line("Method", Pairs(e.methods, [](const std::string& k) { return k; }));
  if (!e.bounces.empty()) s += Line("Bounce", Pairs(e.bounces, [](int k) { return std::to_string(k); }));
  if (!e.dos.empty()) s += Line("Dos", Pairs(e.dos, [](char k) { return std::string(1, k); }));
  if (!e.bad_events.empty())
    s += Line("BadEvent", Pairs(e.bad_events, [](const std::string& k) { return k; }));
  return s;
}

std::string BlockText(bool on, uint32_t ip, int port) {
  std::string s = Line("Event", on ? "BLOCK" : "UNBLOCK") + Line("IP", InetAddress::IpText(ip));
  if (port != 0) s += Line("Port", std::to_string(port));
  return s;
}

std::string DdosText(bool on) { return Line("Event", "DDOS") + Line("Shield", on ? "On" : "Off"); }

std::string StopText() { return Line("Event", "STOP"); }

std::string SelfLine(const std::string& myip, int port) {
  return Line("Self", myip + ":" + std::to_string(port));
}

}  // namespace events
