#include "core/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

#include "foundation/log.h"

namespace service {
namespace {

class Watchdog : public TimerCB {
 public:
  void OnTimer(const void*) override { sd_notify(0, "WATCHDOG=1"); }
};

Watchdog g_watchdog;

}  // namespace

void Ready() { sd_notify(0, "READY=1\nSTATUS=Relaying"); }

void Reloading() { sd_notify(0, "RELOADING=1\nSTATUS=Re-reading the configuration"); }

void Reloaded(bool taken) {
  sd_notify(
      0, taken ? "READY=1\nSTATUS=Relaying; configuration re-read and taken"
               : "READY=1\nSTATUS=Relaying; the re-read configuration has errors, the one in force is kept");
}

void Stopping() { sd_notify(0, "STOPPING=1\nSTATUS=Stopping"); }

void StartWatchdog(PollReactor& reactor) {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  const int half_ms = static_cast<int>(usec / 2000 > 0 ? usec / 2000 : 1);
  reactor.SetTimer(&g_watchdog, half_ms, nullptr, half_ms);
  Log("ostrel", LEVEL_ALWAYS, "systemd watchdog: alive every %d ms\n", half_ms);
}

}  // namespace service
