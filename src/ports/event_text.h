// The texts of the event datagrams the relay sends to its events collector, built from plain values so
// that every format can be checked without sockets or dialogs. Pure functions: safe on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace events {

// REG (registered) and UNREG (removed).
struct RegistrationEvent {
  bool registered = true;
  std::string domain, user, ncont, callid, agent;
  std::string int_ip, ext_ip;  // already chosen (see RegistrationAddresses)
};
// "IntIP: " and "ExtIP: " from the comma-separated address list the registration learnt, else from the
// record's own contact host:port and external address (with the client's port when not 0).
void RegistrationAddresses(const std::string& addrs, const std::string& contact_hostport,
                           const std::string& ext_ip, unsigned ext_port, std::string& int_ip,
                           std::string& ext_out);
std::string RegistrationText(const RegistrationEvent& e);

// FAILD: a registration the server refused; empty values leave their lines out (Domain always written).
struct FailEvent {
  std::string domain, user, callid, agent, int_ip, ext_ip, reason;
};
std::string FailText(const FailEvent& e);

// A call's events: name as printed, the call's number and domain, the extra text of the event.
struct CallEvent {
  int type = 0;  // Call::CallEventType
  unsigned uniq = 0;
  std::string domain;
  std::string extra;
  // INVITE only.
  bool from_client = true;
  std::string from, to;
  // TALK only.
  char fmode = '-';
  // BYE and DTOR of an anchored call: the quality of the audio from each side (empty: not anchored).
  std::string client_media, server_media;
};
const char* EventName(int type);
// Empty for E_NOP and unknown types.
std::string CallText(const CallEvent& e);

struct ActiveEvent {
  long started = 0;
  unsigned regs = 0, dialogs = 0, calls = 0, full = 0;
  std::string extra;
};
std::string ActiveText(const ActiveEvent& e);
// The statistics log line: "hh:mm:ss Regs: n\tCalls: n\n".
std::string StatLogLine(int hour, int min, int sec, unsigned regs, unsigned calls);

struct StatEvent {
  uint64_t max_queue = 0, max_threads = 0;
  uint64_t ext_done = 0, ext_longest = 0, int_done = 0, int_longest = 0;
  std::map<std::string, unsigned> methods;
  std::map<int, unsigned> bounces;
  std::map<char, unsigned> dos;
  std::map<std::string, unsigned> bad_events;
};
std::string StatText(const StatEvent& e);

// ip in host order.
std::string BlockText(bool on, uint32_t ip, int port);
std::string DdosText(bool on);
std::string StopText();
std::string SelfLine(const std::string& myip, int port);

}  // namespace events
