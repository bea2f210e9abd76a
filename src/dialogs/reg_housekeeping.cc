// The registrations housekeeping removes. Reactor thread (periodic timer) or a worker turning master.
#include "dialogs/registration.h"

// Each record is locked while its times are read: a refresh on a worker may be writing them.
std::vector<std::string> Register_t::Stale(time_t now) {
  std::vector<std::string> stale;
  Read_Guard_Mutex guard(RegsLock);
  for (auto& [ncnt, reg] : RegsCnts) {
    TGuard<Register_t> locked(reg);
    const bool expired = reg->Expiration_m < now;
    const bool silent = reg->Mastr_m && reg->LastUpdate_m != 0 && now - reg->LastUpdate_m > 2 * reg->RegTm_m &&
                        (!reg->Publ_m || reg->Prsn_m);
    if (expired || silent) stale.push_back(ncnt);
  }
  return stale;
}
