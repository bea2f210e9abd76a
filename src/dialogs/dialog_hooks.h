// What dialogs need from the core above them (its slow-start switch and the per-method statistics), and the
// few seams the dialog unit tests replace (answers, name resolution, domain admission, registrations), which
// start-up points at the real functions. Installed once before any worker runs; read afterwards from worker
// threads without a lock.
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
      bounce;
  // Resolves "host[:port]" into a without waiting for DNS (a name missing from the cache is looked up,
  // charged to source, and fails now); true when it resolved. Unset: the name cache without timing.
  std::function<bool(InetAddress& a, const char* host, const char* tag, uint32_t source)> assign;
  // The core's slow-start state; unset means never on.
  std::function<bool()> slow_start;
  std::function<void(bool on)> set_slow_start;
  // Counts a relayed request in the per-method statistics.
  std::function<void(SipStartLine::RequestMethod method)> count_method;
  // Domain admission of a request whose options were not checked by the reader; may fill defect.
  // Unset: admitted with the options as they are.
  std::function<bool(SipMessage& msg, const InetAddress& from, std::string& defect, DomainOptions& options)>
      check_domain;
  // Whether a registration exists for a rewritten Contact; unset means none.
  std::function<bool(const std::string& ncnt)> has_register;
  // A 200 to a SUBSCRIBE from a client behind NAT keeps (or creates) its registration; the dialog is locked.
  std::function<void(Dialog& d, int expires)> keep_registration_alive;
};
