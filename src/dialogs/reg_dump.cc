// The registrations' part of the status dump: one line per record, written on the reactor thread.
#include "config/fw_type.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

// Each record is locked while its strings are read: a refresh on a worker may be rewriting them.
void Register_t::LogActive() {
  Log(nullptr, LOG_ALWAYS, "\n========================= Active Registrations =========================\n");
  size_t total = 0;
  {
    Read_Guard_Mutex guard(RegsLock);
    for (auto& [ncnt, reg] : RegsCnts) {
      TGuard<Register_t> locked(reg);
      Log(nullptr, LOG_ALWAYS, "%s  ==> %s\t(%s)\n", ncnt.c_str(), reg->OCont_m.c_str(), FWType::FWTypeStr(reg->Mode_m));
    }
    total = RegsCnts.size();
  }
  Log(nullptr, LOG_ALWAYS, "Total: %zd\n", static_cast<ssize_t>(total));
}
