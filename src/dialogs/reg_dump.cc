// The registrations' part of the status dump: one line per record, written on the reactor thread.
#include "config/fw_type.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

// Each record is locked while its strings are read: a refresh on a worker may be rewriting them.
void Registration::ForEach(const std::function<void(const Registration&)>& f) {
  ReadGuard guard(maps_lock_);
  for (auto& [ncnt, reg] : by_contact_) {
    ObjectGuard<Registration> locked(reg);
    f(*reg);
  }
}

void Registration::LogActive() {
  Log(nullptr, LEVEL_ALWAYS, "\n========================= Active Registrations =========================\n");
  size_t total = 0;
  {
    ReadGuard guard(maps_lock_);
    for (auto& [ncnt, reg] : by_contact_) {
      ObjectGuard<Registration> locked(reg);
      Log(nullptr, LEVEL_ALWAYS, "%s  ==> %s\t(%s)\n", ncnt.c_str(), reg->old_contact_.c_str(),
          NatType::Name(reg->mode_));
    }
    total = by_contact_.size();
  }
  Log(nullptr, LEVEL_ALWAYS, "Total: %zd\n", static_cast<ssize_t>(total));
}
