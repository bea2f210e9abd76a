// This node's role in an HA pair, and the answer to the peer's request for our calls.
// SetSlave: any thread; Share: the reactor thread.
#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "dialogs/call.h"
#include "foundation/log.h"

bool OstrelCore::SetSlave(bool slave) {
  if (is_slave_.exchange(slave, std::memory_order_acq_rel) == slave) return false;
  // The names are re-read only on the reactor thread; the log keeps each name it was given alive.
  ReadGuard guard(g_config.lock);
  g_log_block.SetAppName(slave ? g_config.app_slave : g_config.app_master);
  Log("ostrel", LEVEL_ALWAYS, "HA role: %s\n", slave ? "slave" : "master");
  return true;
}

// table_lock_ for reading, then each call through its guard.
int OstrelCore::ForEachCall(const std::function<void(const Call&)>& f) {
  int n = 0;
  ReadGuard guard(table_lock_);
  for (auto& [no, dialog] : dialogs_by_number_) {
    if (no < 65536 || !dialog->IsCall()) continue;
    ObjectGuard<Dialog> d(dialog);
    const auto* call = static_cast<const Call*>(static_cast<Dialog*>(d));
    if (!call->WithinDialog()) continue;
    f(*call);
    ++n;
  }
  return n;
}

void OstrelCore::Share() {
  const int shared = ForEachCall([](const Call& call) { g_events_port.HaCallStart(call); });
  Log("ostrel", LEVEL_ALWAYS, "Share Calls(%d) info with peer.\n", shared);
}
