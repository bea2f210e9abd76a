// This node's role in an HA pair, and the answer to the peer's request for our calls.
// SetSlave: any thread; Share: the reactor thread.
#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "dialogs/call.h"
#include "foundation/log.h"

bool OstrelCore::SetSlave(bool slave) {
  if (IsSlave_m.exchange(slave, std::memory_order_acq_rel) == slave) return false;
  // The names are re-read only on the reactor thread; the log keeps each name it was given alive.
  Read_Guard_Mutex guard(Cfg.Lock);
  GLogBlock.SetAppName(slave ? Cfg.SAppSlave : Cfg.SAppMaster);
  Log("ostrel", LOG_ALWAYS, "HA role: %s\n", slave ? "slave" : "master");
  return true;
}

// DlgLock for reading, then each call through its guard.
void OstrelCore::Share() {
  int shared = 0;
  {
    Read_Guard_Mutex guard(DlgLock);
    for (auto& [no, dialog] : PDialogs) {
      if (no < 65536 || !dialog->IsCall()) continue;
      TGuard<Dialog_t> d(dialog);
      const auto* call = static_cast<const Call_t*>(static_cast<Dialog_t*>(d));
      if (!call->WithinDlg()) continue;
      EvntPort.ha_CallStart(*call);
      ++shared;
    }
  }
  Log("ostrel", LOG_ALWAYS, "Share Calls(%d) info with peer.\n", shared);
}
