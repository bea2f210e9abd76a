// The HA peer's records applied to this node: registrations taken over or removed, calls carried on or
// ended, and our calls shared on request. Reactor thread.
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

bool KnownNatType(unsigned type) { return std::strcmp(FWType::FWTypeStr(static_cast<FWType::Mode_t>(type)), "<WRONG>") != 0; }

TGuard<Register_t> EnterRegistration(const RegRecord& r) {
  if (TGuard<Register_t> reg = Register_t::GetRegister(r.ncont)) return reg;
  std::string user, domain;
  const size_t at = r.user_domain.find('@');
  if (at != std::string::npos && r.user_domain.find('@', at + 1) == std::string::npos) {
    user = r.user_domain.substr(0, at);
    domain = r.user_domain.substr(at + 1);
  }
  auto* created = new Register_t(r.ncont, r.ocont, r.callid, user, domain);
  if (!created->Entered()) {  // entered by a worker meanwhile
    delete created;
    return Register_t::GetRegister(r.ncont);
  }
  TGuard<Register_t> reg;
  reg.set(created);
  return reg;
}

void ApplyReg(const RegRecord& r) {
  if (!KnownNatType(r.nat_type)) return;
  Core.SetSlave(true);
  TGuard<Register_t> reg = EnterRegistration(r);
  if (!reg) return;
  const unsigned f = r.flags;
  reg->param(r.hole, r.fuser, r.defect, r.exp_rtp_ip, static_cast<int>(r.expires_in), r.reg_tm, r.log_level,
             f & kFDomain, f & kPubl, f & kIndr, f & kChain, f & kRSRTP, f & kPrsn, f & kTrnsc);
  reg->DDNAT((f & kDDNAT) != 0);
  if (!r.unreg_server.empty()) reg->URegParam(r.unreg_server, r.to_tag);
  FWType::Mode_t mode = FWType::UNKNOWN;
  Cfg.GetSubTimout(r.exp_rtp_ip, mode, nullptr, nullptr);
  reg->Mode(mode != FWType::UNKNOWN ? mode : static_cast<FWType::Mode_t>(r.nat_type));
  Register_t::Refresh(kTag, LOG_DEBUG, reg, r.callid, r.ocont);
}

void ApplyUnReg(const std::string& ncont) {
  TGuard<Register_t> reg = Register_t::GetRegister(ncont);
  if (!reg) return;
  if (reg->Expiration() + Cfg.rgstr_timout > time(nullptr)) {
    if (reg->IsMaster()) {
      Log(kTag, LOG_TRACE, "Current registration is fresher\n");
      return;
    }
    Log(kTag, LOG_TRACE, "Force Current registration removal from Master\n");
  }
  Register_t::Destroy(std::move(reg));
}

void ApplyCallEnd(const std::string& key) {
  TGuard<Dialog_t> d = Core.GetDialog(key);
  if (!d) return;
  d->State(Dialog_t::Blank);
  Core.Destroy(std::move(d));
}

// The key the call had before its dialog was known: a client's call was first found without the To tag.
std::string OriginalKey(const std::string& key) {
  if (key.empty() || key[0] != 'C') return key;
  const size_t amp = key.rfind('&');
  return amp == std::string::npos ? key : key.substr(0, amp);
}

// A new call from the peer, locked. Its second key enters the table after the call's lock is released
// (lock order: DlgLock before a dialog), and the call is locked again by its number.
TGuard<Dialog_t> NewCall(const CallRecord& r) {
  auto* call = new Call_t(r.key, r.defect);
  if (!call->Entered()) {
    delete call;
    return {};
  }
  TGuard<Dialog_t> d;
  d.set(call);
  const std::string okey = OriginalKey(r.key);
  call->OKey(okey);
  call->ApplyReplica(r, true);
  const unsigned no = call->UniqNo();
  d.reset();
  if (okey != r.key && !Core.AddAlias(no, okey)) Log(kTag, LOG_DEBUG, "Warning: key %s is taken\n", okey.c_str());
  return Core.GetDialog(static_cast<int>(no));
}

void ApplyCall(const CallRecord& r) {
  TGuard<Dialog_t> d = Core.GetDialog(r.key);
  if (!d) {
    d = NewCall(r);
    if (!d) return;
  } else if (!d->IsCall()) {
    return;
  } else {
    static_cast<Call_t*>(static_cast<Dialog_t*>(d))->ApplyReplica(r, false);
  }
  if (!d->IsCall()) return;  // the number was reused meanwhile
  static_cast<Call_t*>(static_cast<Dialog_t*>(d))->TakeOverMedia(r);
}

}  // namespace

void Apply(const Record& r) {
  switch (r.kind) {
    case Record::Request: Core.Share(); break;
    case Record::Reg: ApplyReg(r.reg); break;
    case Record::UnReg: ApplyUnReg(r.key); break;
    case Record::Call: ApplyCall(r.call); break;
    case Record::CallEnd: ApplyCallEnd(r.key); break;
    case Record::Unknown: Log(kTag, LOG_ERROR, "Error: Unknown command received: %c\n", r.command); break;
  }
}

}  // namespace ha
