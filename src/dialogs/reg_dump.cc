// The registrations' part of the status dump: one line per record, written on the reactor thread.
#include "config/fw_type.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

// Each record is locked while its strings are read: a refresh on a worker may be rewriting them.
void Registration::LogActive() {
  Log(nullptr, LEVEL_ALWAYS, "\n========================= Active Registrations =========================\n");
  size_t total = 0;
  {
    ReadGuard guard(RegsLock);
    for (auto& [ncnt, reg] : RegsCnts) {
      ObjectGuard<Registration> locked(reg);
      Log(nullptr, LEVEL_ALWAYS, "%s  ==> %s\t(%s)\n", ncnt.c_str(), reg->old_contact_.c_str(), NatType::FWTypeStr(reg->mode_));
    }
    total = RegsCnts.size();
  }
  Log(nullptr, LEVEL_ALWAYS, "Total: %zd\n", static_cast<ssize_t>(total));
}
