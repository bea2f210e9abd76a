// What dialogs need from the parts of the daemon above them (the core's answers and name resolution, its
// slow-start switch and statistics) and from registrations. Installed once by start-up before any worker
// runs; read afterwards from worker threads without a lock.
#pragma once

#include <functional>
#include <string>

#include "config/domain_policy.h"
#include "foundation/inet_addr.h"
#include "sip/start_line.h"

class SipMessage;
class SipPort;
class Dialog;

struct DialogHooks {
  // Answers a request in place with code and reason and sends it through port to `to`.
  std::function<void(SipMessage& msg, int code, const std::string& reason, const InetAddress& to,
                     const SipPort& port)>
      Bounce;
  // Resolves "host[:port]" into a; true when it resolved. Unset: InetAddress::set without timing.
  std::function<bool(InetAddress& a, const char* host, const char* tag)> Assign;
  // The core's slow-start state; unset means never on.
  std::function<bool()> SlowStart;
  std::function<void(bool on)> SetSlowStart;
  // Counts a relayed request in the per-method statistics.
  std::function<void(SipStartLine::RequestMethod method)> CountMethod;
  // Domain admission of a request whose options were not checked by the reader; may fill defect.
  // Unset: admitted with the options as they are.
  std::function<bool(SipMessage& msg, const InetAddress& from, std::string& defect, DomainOptions& options)>
      CheckDomain;
  // Whether a registration exists for a rewritten Contact; unset means none.
  std::function<bool(const std::string& ncnt)> HasRegister;
  // A 200 to a SUBSCRIBE from a client behind NAT keeps (or creates) its registration; the dialog is locked.
  std::function<void(Dialog& d, int expires)> KeepRegistrationAlive;
};
