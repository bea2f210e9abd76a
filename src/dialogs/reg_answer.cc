// The server's answer to a relayed REGISTER: refusals counted against the client, and a 200 that creates,
// refreshes or removes the client's registration record before it is relayed with the client's own Contact
// and the client's (much shorter) registration interval.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>

#include "config/config.h"
#include "dialogs/reg_dialog.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "sip/headers/cseq.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"

namespace {

using HID = SIP_HeadIds;

constexpr int kNotOurs = -2;
constexpr int kUnknown = -1;

bool StartsWithDigit(const char* s) { return s != nullptr && std::isdigit(static_cast<unsigned char>(*s)); }

std::string BareUri(const SIP_URI& uri) {
  SIP_URI bare = uri;
  bare.PClear();
  bare.OHClear();
  std::string text;
  bare.assemble(text);
  return text;
}

// Spreads the records' expiries so that a restart of many clients does not expire them all at once.
int Jitter(int expiry) {
  thread_local std::minstd_rand rng{std::random_device{}()};
  const int j = static_cast<int>(rng() % 600);
  return expiry < j ? 0 : j;
}

// The "X-Hole"-style extension header's value, removed from the message; empty without it.
std::string TakeHeader(SIP& msg, std::string_view name, bool* present = nullptr) {
  const char* value = msg.Header(name);
  if (present != nullptr) *present = value != nullptr;
  if (value == nullptr) return {};
  std::string text = value;
  msg.remove(name);
  return text;
}

FWType::Mode_t Combine(uint32_t bits) { return static_cast<FWType::Mode_t>(bits); }

}  // namespace

void RegDialog_t::HandleSrvMsg(State_t) {
  if (!msg_m) return;
  SIP& msg = *msg_m;
  auto* cseq = msg.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  if (!msg.IS_Response() || cseq == nullptr || cseq->Method() != SIP::REGISTER) {
    DLog(LOG_ERROR, "Error: RegDialog_t::HandleSrvMsg() Unexpected message\n");
    return;
  }
  const int status = msg.Status();
  if (status == 403 || status == 404) {
    DCore.report(frm_m, DOSCore::DOS_H, UniqNo_m);
    const std::string reason = TakeHeader(msg, "X-Reason");
    if (events.event_reason) events.event_reason(*this, reason);
    Pass(FROM_SRV);
    return;
  }
  if (status != 200 || (PublicIP_m && !Prsn_m)) {
    Pass(FROM_SRV);
    return;
  }
  HandleOk();
}

// Our Contact among the 200's gets the client's own URI back; every Contact loses its parameters.
int RegDialog_t::GrantedExpiry() {
  SIP& msg = *msg_m;
  int expiry = kUnknown;
  bool ours = false;
  SIP_URI own;
  const bool have_own = own.parser(OrgContact_m, true);
  for (SIP_HeadLine* line = msg.Header(HID::HID_Contact); line != nullptr; line = line->Next()) {
    auto* c = dynamic_cast<SIP_Head_Contact*>(line);
    if (c == nullptr || c->Star()) continue;
    if (!ours && BareUri(*c) == NewContact_m) {
      ours = true;
      if (const char* e = c->Params().Param("expires"); StartsWithDigit(e)) expiry = std::atoi(e);
      if (have_own) static_cast<SIP_URI&>(*c) = own;
    }
    c->Params().PClear();
  }
  if (expiry == kUnknown) {
    auto* header = msg.Header<SIP_Head_Expires>(HID::HID_Expires);
    expiry = header != nullptr ? header->Value() : 3600;
  }
  return ours ? expiry : kNotOurs;
}

// The record of NewContact_m, created when there is none. A creation that loses the race against another
// thread looks the winner up again, a bounded number of times.
TGuard<Register_t> RegDialog_t::EnterRecord(const std::string& user, bool& existed) {
  auto* callid = msg_m->Header<SIP_Head_Call_ID>(HID::HID_Call_ID);
  const std::string call = callid != nullptr ? callid->Value() : std::string();
  for (int attempt = 0; attempt < kEnterAttempts; ++attempt) {
    TGuard<Register_t> reg = Register_t::GetRegister(NewContact_m);
    if (reg) {
      existed = true;
      return reg;
    }
    auto* created = new Register_t(NewContact_m, OrgContact_m, call, user, Domain_m);
    if (!created->Entered()) {
      DLog(LOG_ERROR, "Warning: Cannot create Registration with existing NewContact\n");
      delete created;
      continue;
    }
    reg.set(created);
    existed = false;
    DLog(LOG_TRACE, "New Reg: %s => %s", NewContact_m.c_str(), OrgContact_m.c_str());
    if (Mode_m != FWType::UNKNOWN && reg->Mode() == FWType::UNKNOWN) {
      DLog(LOG_DEBUG, "Reported FW type: %s\n", FWType::FWTypeStr(Mode_m));
      reg->Mode(Mode_m);
    }
    return reg;
  }
  return {};
}

void RegDialog_t::HandleOk() {
  SIP& msg = *msg_m;
  if (!PCnt_m && Cfg.CheckDefect(msg, 0).find('v') != std::string::npos) Cfg.ForcePCntDomain(Domain_m);
  auto* to = msg.Header<SIP_Head_To>(HID::HID_To);
  const std::string user = to != nullptr ? to->User() : std::string();
  const int expiry = GrantedExpiry();

  if (expiry == kNotOurs || expiry == 0 || Unreg_m) {
    if (expiry != kNotOurs) {
      msg.remove(HID::HID_Contact);
      msg.set(HID::HID_Expires, "0");
    }
    Register_t::Destroy(NewContact_m);
    Pass(FROM_SRV);
    return;
  }
  if (expiry < 0) {
    Pass(FROM_SRV);
    return;
  }
  const int jitter = Jitter(expiry);
  bool existed = false;
  TGuard<Register_t> reg = EnterRecord(user, existed);
  if (!reg) {
    DLog(LOG_ERROR, "Warning: Registration not kept: its contact is taken\n");
    Pass(FROM_SRV);
    return;
  }
  StoreInRecord(*reg, expiry, jitter);
  if (existed) {
    auto* callid = msg.Header<SIP_Head_Call_ID>(HID::HID_Call_ID);
    Register_t::Refresh(UniqChr(), LOG_DEBUG | LOG_REG_REGUL, reg, callid ? callid->Value() : std::string(),
                        OrgContact_m);
  }
  reg.reset();
  Pass(FROM_SRV);
}

// The record locked by the caller takes what this REGISTER and its 200 tell about the client.
void RegDialog_t::StoreInRecord(Register_t& reg, int expiry, int jitter) {
  SIP& msg = *msg_m;
  bool xsrtp = false;
  TakeHeader(msg, "X-SRTP", &xsrtp);
  const bool srtp = SRTP_m != 0 || xsrtp;

  FWType::Mode_t subnet = FWType::UNKNOWN;
  const int reg_tm = Cfg.GetSubTimout(ClnRtpIP_m, subnet, nullptr, &Defect_m);
  if (subnet != FWType::UNKNOWN && PublicIP_m) {
    PublicIP_m = false;
    DLog(LOG_DEBUG, "Reset trigger Public for Sticky FW Type: %s", FWType::FWTypeStr(subnet));
  }
  bool bare = false;
  TakeHeader(msg, "X-BareSDP", &bare);
  if (bare) Defect_m += 'X';

  reg.param(ClnSipAddr_m, FUser_m, Defect_m, ClnRtpIP_m, (expiry - jitter) + Cfg.rgstr_timout, reg_tm, LogLevel_m,
            FDomn_m, PublicIP_m, Indirect_m, Chained_m, srtp, Prsn_m, Transc_m != 0);

  if (XUnReg_m) {
    auto* to = msg.Header<SIP_Head_To>(HID::HID_To);
    const char* tag = to != nullptr ? to->Params().Param("tag") : nullptr;
    reg.URegParam(SrvSipAddr_m, tag != nullptr ? tag : "");
    if (tag != nullptr) to->Params().Param("tag", "regs-" + std::to_string(reg.Number()));
  }

  const std::string relay = TakeHeader(msg, "X-RtpRelay");
  const uint32_t kept = subnet & FWType::PREFIXES & ~uint32_t{FWType::STICKY | FWType::PRXFRCD};
  uint32_t type = FWType::UNKNOWN;
  bool ddnat = false;
  if (strcasecmp(relay.c_str(), "true") == 0 || strcasecmp(relay.c_str(), "relay+ddnat") == 0)
    type = kept | FWType::PRXFRCD | FWType::OPAQUE;
  else if (strcasecmp(relay.c_str(), "lb") == 0)
    type = (kept & ~uint32_t{FWType::LB}) | FWType::PRXFRCD | FWType::LB | FWType::OPAQUE;
  if (strcasecmp(relay.c_str(), "ddnat") == 0 || strcasecmp(relay.c_str(), "relay+ddnat") == 0) ddnat = true;
  if (type != FWType::UNKNOWN || (reg.Mode() & FWType::PRXFRCD) != 0) reg.Mode(Combine(type));
  reg.DDNAT(ddnat);

  if (events.ha_Reg) events.ha_Reg(reg);
  if (events.event_reg) events.event_reg(1, reg, UAgent_m, ExtSPort_m, RecvdHole_m);
  DLog(LOG_TRACE, "Reg Param: %ld", static_cast<long>(reg.Expiration()));
  if (Prsn_m) reg.ScheduleRegTimer(2 * reg_tm);
  msg.set(HID::HID_Expires, std::to_string(std::min(expiry, reg_tm)));
}
