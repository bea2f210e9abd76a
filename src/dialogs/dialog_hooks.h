// What dialogs need from the parts of the daemon above them (the core's answers and name resolution, its
// slow-start switch and statistics) and from registrations. Installed once by start-up before any worker runs;
// read afterwards from worker threads without a lock.
#pragma once

#include <functional>
#include <string>

#include "config/domain_policy.h"
#include "foundation/inet_addr.h"
#include "sip/start_line.h"

class SIP;
class SIPPort_t;
class Dialog_t;

struct DialogHooks {
  // Answers a request in place with code and reason and sends it through port to `to`.
  std::function<void(SIP& msg, int code, const std::string& reason, const InetAddr& to, const SIPPort_t& port)>
      Bounce;
  // Resolves "host[:port]" into a; true when it resolved. Unset: InetAddr::set without timing.
  std::function<bool(InetAddr& a, const char* host, const char* tag)> Assign;
  // The core's slow-start state; unset means never on.
  std::function<bool()> SlowStart;
  std::function<void(bool on)> SetSlowStart;
  // Counts a relayed request in the per-method statistics.
  std::function<void(SIP_StartLine::Method_t method)> CountMethod;
  // Domain admission of a request whose options were not checked by the reader; may fill defect.
  // Unset: admitted with the options as they are.
  std::function<bool(SIP& msg, const InetAddr& from, std::string& defect, DomainOptions_t& options)> CheckDomain;
  // Whether a registration exists for a rewritten Contact; unset means none.
  std::function<bool(const std::string& ncnt)> HasRegister;
  // A 200 to a SUBSCRIBE from a client behind NAT keeps (or creates) its registration; the dialog is locked.
  std::function<void(Dialog_t& d, int expires)> KeepRegistrationAlive;
};
