// The alternate port's intake (answers to NAT probes, CHALLENGE and OPTIONS asked of the relay there) and
// the probe timers of calls. Installed and registered by start-up; the callbacks run on the reactor thread.
#pragma once

#include "ports/sip_port.h"

namespace intake {

// One datagram of the alternate port: screened like a client's, then answered or handed to its call.
void AltDatagram(Datagram& d);
// The T_OPTIONS and T_MEDIA timers of calls.
void AltPortTimer(const void* cookie);

// Handlers of the alternate port, the probe ports' ICMP and the zero-media answer timer.
void InstallNatProbes();
// The alternate port joins the reactor once it is bound.
void RegisterAltPort();

}  // namespace intake
