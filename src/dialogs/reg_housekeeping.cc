// The registrations housekeeping removes. Reactor thread (periodic timer) or a worker turning master.
#include "dialogs/registration.h"

// Each record is locked while its times are read: a refresh on a worker may be writing them.
std::vector<std::string> Registration::Stale(time_t now) {
  std::vector<std::string> stale;
  ReadGuard guard(maps_lock_);
  for (auto& [ncnt, reg] : by_contact_) {
    ObjectGuard<Registration> locked(reg);
    const bool expired = reg->expiration_ < now;
    const bool silent = reg->master_ && reg->last_update_ != 0 &&
                        now - reg->last_update_ > 2 * reg->registration_time_ &&
                        (!reg->public_ip_ || reg->persistent_);
    if (expired || silent) stale.push_back(ncnt);
  }
  return stale;
}
