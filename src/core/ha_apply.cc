// The HA peer's records applied to this node: registrations taken over or removed, calls carried on or
// ended, and our calls shared on request; and the same records read back from the state store at start-up.
// Reactor thread (the main thread before the reactor runs).
#include <cstring>

#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "dialogs/call.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

namespace ha {
namespace {

constexpr const char* kTag = "oslave";

bool KnownNatType(unsigned type) {
  return std::strcmp(NatType::Name(static_cast<NatType::Mode>(type)), "<WRONG>") != 0;
}

ObjectGuard<Registration> EnterRegistration(const RegistrationRecord& r) {
  if (ObjectGuard<Registration> reg = Registration::GetRegister(r.ncont)) return reg;
  std::string user, domain;
  const size_t at = r.user_domain.find('@');
  if (at != std::string::npos && r.user_domain.find('@', at + 1) == std::string::npos) {
    user = r.user_domain.substr(0, at);
    domain = r.user_domain.substr(at + 1);
  }
  auto* created = new Registration(r.ncont, r.ocont, r.callid, user, domain);
  if (!created->Entered()) {  // entered by a worker meanwhile
    delete created;
    return Registration::GetRegister(r.ncont);
  }
  ObjectGuard<Registration> reg;
  reg.Set(created);
  return reg;
}

void EnterRecord(const RegistrationRecord& r) {
  ObjectGuard<Registration> reg = EnterRegistration(r);
  if (!reg) return;
  const unsigned f = r.flags;
  reg->Param(r.hole, r.full_user, r.defects, r.exp_rtp_ip, static_cast<int>(r.expires_in), r.reg_tm,
             r.log_level, f & FULL_DOMAIN, f & PUBLIC_IP, f & INDIRECT, f & CHAINED, f & SRTP_ALLOWED,
             f & PERSISTENT, f & TRANSCODING);
  reg->DoubleNat((f & DOUBLE_NAT) != 0);
  if (!r.unreg_server.empty()) reg->SetUnregisterTarget(r.unreg_server, r.to_tag);
  NatType::Mode mode = NatType::UNKNOWN;
  g_config.GetSubscribeTimeout(r.exp_rtp_ip, mode, nullptr, nullptr);
  reg->Mode(mode != NatType::UNKNOWN ? mode : static_cast<NatType::Mode>(r.nat_type));
  Registration::Refresh(kTag, LEVEL_DEBUG, reg, r.callid, r.ocont);
}

void ApplyRegistration(const RegistrationRecord& r) {
  if (!KnownNatType(r.nat_type)) return;
  g_core.SetSlave(true);
  EnterRecord(r);
}

void ApplyUnregistration(const std::string& ncont) {
  ObjectGuard<Registration> reg = Registration::GetRegister(ncont);
  if (!reg) return;
  if (reg->Expiration() + g_config.register_timeout > time(nullptr)) {
    if (reg->IsMaster()) {
      Log(kTag, LEVEL_TRACE, "Current registration is fresher\n");
      return;
    }
    Log(kTag, LEVEL_TRACE, "Force Current registration removal from Master\n");
  }
  Registration::Destroy(std::move(reg));
}

void ApplyCallEnd(const std::string& key) {
  ObjectGuard<Dialog> d = g_core.GetDialog(key);
  if (!d) return;
  d->State(DialogState::BLANK);
  g_core.Destroy(std::move(d));
}

// The key the call had before its dialog was known: a client's call was first found without the To tag.
std::string OriginalKey(const std::string& key) {
  if (key.empty() || key[0] != 'C') return key;
  const size_t amp = key.rfind('&');
  return amp == std::string::npos ? key : key.substr(0, amp);
}

// A new call from the peer, locked. Its second key enters the table after the call's lock is released
// (lock order: table_lock_ before a dialog), and the call is locked again by its number.
ObjectGuard<Dialog> NewCall(const CallRecord& r) {
  auto* call = new Call(r.key, r.defects);
  if (!call->Entered()) {
    delete call;
    return {};
  }
  ObjectGuard<Dialog> d;
  d.Set(call);
  const std::string okey = OriginalKey(r.key);
  call->OriginalKey(okey);
  call->ApplyReplica(r, true);
  const unsigned no = call->Number();
  d.reset();
  if (okey != r.key && !g_core.AddAlias(no, okey))
    Log(kTag, LEVEL_DEBUG, "Warning: key %s is taken\n", okey.c_str());
  return g_core.GetDialog(static_cast<int>(no));
}

// The call, locked, or nothing.
ObjectGuard<Dialog> ApplyCall(const CallRecord& r) {
  ObjectGuard<Dialog> d = g_core.GetDialog(r.key);
  if (!d) {
    d = NewCall(r);
    if (!d) return d;
  } else if (!d->IsCall()) {
    return {};
  } else {
    static_cast<Call*>(static_cast<Dialog*>(d))->ApplyReplica(r, false);
  }
  if (!d->IsCall()) return {};  // the number was reused meanwhile
  static_cast<Call*>(static_cast<Dialog*>(d))->TakeOverMedia(r);
  return d;
}

}  // namespace

bool Restore(const Record& r) {
  switch (r.kind) {
    case Record::REGISTER:
      if (!KnownNatType(r.reg.nat_type)) return false;
      EnterRecord(r.reg);
      return true;
    case Record::CALL:
      if (ObjectGuard<Dialog> d = ApplyCall(r.call)) {
        static_cast<Call*>(static_cast<Dialog*>(d))->Resume();
        return true;
      }
      return false;
    default:
      return false;
  }
}

void Apply(const Record& r) {
  switch (r.kind) {
    case Record::REQUEST:
      g_core.Share();
      break;
    case Record::REGISTER:
      ApplyRegistration(r.reg);
      break;
    case Record::UNREGISTER:
      ApplyUnregistration(r.key);
      break;
    case Record::CALL:
      ApplyCall(r.call);
      break;
    case Record::CALL_END:
      ApplyCallEnd(r.key);
      break;
    case Record::UNKNOWN:
      Log(kTag, LEVEL_ERROR, "Error: Unknown command received: %c\n", r.command);
      break;
  }
}

}  // namespace ha
