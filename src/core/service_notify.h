// Tells a supervising systemd (a Type=notify unit) where the daemon's life stands: ready, re-reading,
// stopping, alive. Reactor thread only. Without NOTIFY_SOCKET in the environment nothing is sent.
#pragma once

#include "foundation/reactor.h"

namespace service {

// The ports are bound and the threads run.
void Ready();
// Around a HUP re-read of the configuration: whether the file was taken or the one in force kept.
void Reloading();
void Reloaded(bool taken);
void Stopping();
// With WatchdogSec set on the unit: a reactor timer at half the interval says the reactor still turns,
// so a hung reactor gets the daemon restarted. Nothing without a watchdog.
void StartWatchdog(PollReactor& reactor);

}  // namespace service
