#include "dialogs/registration.h"

#include "config/config.h"
#include "dialogs/dialog.h"
#include "foundation/log.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/message.h"

std::map<std::string, Register_t*> Register_t::RegsCnts;
std::map<std::string, Register_t*> Register_t::RegsCUsr;
std::map<uint32_t, Register_t*> Register_t::RegsNum;
RW_Mutex Register_t::RegsLock;
Register_t::RegTimeout_t Register_t::RegExp;
uint32_t Register_t::NextNumber_m = 0;
Register_t::Hooks Register_t::hooks;

namespace {

// Timer cookies carry the record's number and the generation of its timer.
const void* Cookie(uint32_t number, uint32_t generation) {
  return reinterpret_cast<const void*>((uint64_t{generation} << 32) | number);
}

}  // namespace

Register_t::Register_t(const std::string& ncnt, const std::string& ocnt, const std::string& callid,
                       const std::string& user, const std::string& domain)
    : NCont_m(ncnt), OCont_m(ocnt), CallID_m(callid), Usr_m(user), Domain_m(domain) {
  std::vector<uint32_t> moved;
  {
    Write_Guard_Mutex guard(RegsLock);
    if (!RegsCnts.emplace(NCont_m, this).second) {
      NCont_m.clear();
      Usr_m.clear();
      return;
    }
    do {
      Number_m = ++NextNumber_m;
    } while (Number_m == 0 || RegsNum.count(Number_m));
    RegsNum[Number_m] = this;
    lock();
    if (!Usr_m.empty()) {
      Register_t*& slot = RegsCUsr[CallID_m + Domain_m + Usr_m];
      if (slot != nullptr && slot != this) {
        Register_t* other = slot;
        other->lock();
        RCalls_m.insert(other->RCalls_m.begin(), other->RCalls_m.end());
        moved.assign(other->RCalls_m.begin(), other->RCalls_m.end());
        other->RCalls_m.clear();
        other->Usr_m.clear();
        other->unlock();
      }
      slot = this;
    }
  }
  for (uint32_t uno : moved) Log(static_cast<int>(uno), LOG_DEBUG, "Warning: Move Call to the new Registration\n");
}

// The caller holds RegsLock for writing (or the record never entered the maps).
Register_t::~Register_t() {
  if (NCont_m.empty()) return;
  Log("ostrel", LOG_DEBUG | LOG_REG_REGUL, "Remove registration: %s (%zu %zu)\n", NCont_m.c_str(),
      static_cast<size_t>(LastUpdate_m), static_cast<size_t>(Expiration_m));
  RegsCnts.erase(NCont_m);
  RegsNum.erase(Number_m);
  if (!Usr_m.empty()) {
    auto it = RegsCUsr.find(CallID_m + Domain_m + Usr_m);
    if (it != RegsCUsr.end() && it->second == this) RegsCUsr.erase(it);
  }
  CancelRegTimer();
  if (hooks.clear_call)
    for (uint32_t uno : RCalls_m) hooks.clear_call(uno);
  if (!Usr_m.empty() && hooks.removed) hooks.removed(*this);
}

TGuard<Register_t> Register_t::GetRegister(const std::string& ncnt) {
  Read_Guard_Mutex guard(RegsLock);
  auto it = RegsCnts.find(ncnt);
  return TGuard<Register_t>(it == RegsCnts.end() ? nullptr : it->second);
}

TGuard<Register_t> Register_t::GetRegister(const std::string& callid, const std::string& domain, const std::string& user) {
  Read_Guard_Mutex guard(RegsLock);
  auto it = RegsCUsr.find(callid + domain + user);
  return TGuard<Register_t>(it == RegsCUsr.end() ? nullptr : it->second);
}

bool Register_t::HasRegister(const std::string& ncnt) {
  Read_Guard_Mutex guard(RegsLock);
  return RegsCnts.count(ncnt) > 0;
}

size_t Register_t::Count() {
  Read_Guard_Mutex guard(RegsLock);
  return RegsCnts.size();
}

void Register_t::Destroy(TGuard<Register_t> reg) {
  if (!reg) return;
  std::string ncnt = reg->NCont_m;
  reg.reset();
  Destroy(ncnt);
}

void Register_t::Destroy(const std::string& ncnt) {
  Write_Guard_Mutex guard(RegsLock);
  auto it = RegsCnts.find(ncnt);
  if (it == RegsCnts.end()) return;
  Register_t* reg = it->second;
  reg->lock();  // waits for any holder; nobody can find it again while RegsLock is held
  reg->unlock();
  delete reg;
}

void Register_t::DestroyAll() {
  Write_Guard_Mutex guard(RegsLock);
  hooks = {};
  while (!RegsCnts.empty()) delete RegsCnts.begin()->second;
}

void Register_t::CleanUp() {
  {
    Read_Guard_Mutex guard(RegsLock);
    const time_t now = time(nullptr);
    for (auto& [ncnt, reg] : RegsCnts) {
      reg->lock();
      reg->Expiration_m = now + 2 * reg->RegTm_m - 1;
      reg->unlock();
    }
  }
  Log("ostrel", LOG_ALWAYS, "CleanUp ALL Registrations ...\n");
}

void Register_t::param(const InetAddr& hole, const std::string& fuser, const std::string& defect, uint32_t exp_rtp_ip,
                       int lifetime, int reg_tm, int log_level, bool fdomain, bool publ, bool indr, bool chain,
                       bool srtp, bool prsn, bool trnsc) {
  LastUpdate_m = time(nullptr);
  Expiration_m = LastUpdate_m + lifetime;
  Hole_m = hole;
  FUser_m = fuser;
  Defect_m = defect;
  ExpRtpIP_m = exp_rtp_ip;
  RegTm_m = reg_tm;
  LogLevel_m = log_level;
  FDomain_m = fdomain;
  Publ_m = publ;
  Indr_m = indr;
  Chain_m = chain;
  RSRTP_m = srtp;
  Prsn_m = prsn;
  Trnsc_m = trnsc;
}

void Register_t::URegParam(const InetAddr& server, const std::string& ttag) {
  SrvSipAddr_m = server;
  TTag_m = ttag;
}

void Register_t::UpdateCalls(const InetAddr& addr, unsigned except) {
  if (!hooks.update_call) return;
  for (uint32_t uno : RCalls_m)
    if (uno != except) hooks.update_call(uno, addr);
}

void Register_t::ScheduleRegTimer(int seconds) {
  if (TimerID_m != PollReactor::kNoTimer) {
    Log("ostrel", LOG_ALWAYS, "Note: Reg Timer is set already %s - Cancel it\n", NCont_m.c_str());
    CancelRegTimer();
  }
  if (seconds < 2 * Cfg.rgstr_timout) seconds = 2 * Cfg.rgstr_timout;
  Mastr_m = true;
  ++TimerGen_m;
  if (PollReactor* r = PollReactor::instance()) TimerID_m = r->timer_set(&RegExp, seconds * 1000, Cookie(Number_m, TimerGen_m));
  if (hooks.set_master) hooks.set_master();
}

void Register_t::CancelRegTimer() {
  if (TimerID_m != PollReactor::kNoTimer)
    if (PollReactor* r = PollReactor::instance()) r->timer_cancel(TimerID_m);
  TimerID_m = PollReactor::kNoTimer;
  ++TimerGen_m;  // a callback already on its way is stale
}

void Register_t::RegTimeout_t::timer_cb(const void* cookie) {
  const uint64_t v = reinterpret_cast<uint64_t>(cookie);
  Register_t::Expired(static_cast<uint32_t>(v & 0xFFFFFFFFu), static_cast<uint32_t>(v >> 32));
}

void Register_t::Expired(uint32_t number, uint32_t generation) {
  TGuard<Register_t> reg;
  {
    Read_Guard_Mutex guard(RegsLock);
    auto it = RegsNum.find(number);
    if (it == RegsNum.end()) return;
    reg = TGuard<Register_t>(it->second);
  }
  // A timer replaced (or cancelled by a cache hit) after it was due does nothing.
  if (reg->TimerGen_m != generation) return;
  Log("ostrel", LOG_REG_REGUL, "Internal Registration expired\n");
  reg->TimerID_m = PollReactor::kNoTimer;
  if (hooks.is_slave && hooks.is_slave()) {
    Log("oslave", LOG_ALWAYS, "Do not remove registration!");
    return;
  }
  const long left = static_cast<long>(reg->Expiration_m - time(nullptr));
  if (reg->XUnReg() && left > 5) reg->SendInternalUnregister(left);
  Destroy(std::move(reg));
}

void Register_t::SendInternalUnregister(long time_left) {
  const std::string n = std::to_string(Number_m);
  const std::string uri = "sip:" + Usr_m + "@" + Domain_m;
  std::string text = "REGISTER sip:" + Domain_m + " SIP/2.0\r\n";
  text += "Via: SIP/2.0/UDP " + std::string(Cfg.server_ipaddr) + ":" + std::to_string((Cfg.SecondPort + 3) & 0xFFFF) +
          ";branch=z9hG4bK-reg-ostrel-" + n + "\r\n";
  text += "From: <" + uri + ">;tag=regs-" + n + "\r\n";
  text += "To: <" + uri + ">" + (TTag_m.empty() ? "" : ";tag=" + TTag_m) + "\r\n";
  text += "Call-ID: " + Usr_m + "-" + n + "@" + Cfg.myipaddr + "\r\n";
  text += "CSeq: 1 REGISTER\r\nContact: <" + NCont_m + ">\r\nExpires: 0\r\n";
  text += "User-Agent: " + Cfg.AgentName + "\r\nX-TimeLeft: " + std::to_string(time_left) + "\r\n";
  text += "Content-Length: 0\r\n\r\n";
  SIP msg;
  if (msg.parser(text) && hooks.send_to_server) hooks.send_to_server(msg, SrvSipAddr_m);
}

void Register_t::Refresh(const char* tag, int level, TGuard<Register_t>& reg, const std::string& callid,
                         const std::string& ocnt) {
  if (reg->CallID_m.empty()) {
    reg->CallID_m = callid;
    return;
  }
  reg->OCont_m = ocnt;
  if (callid == reg->CallID_m) return;
  const std::string ncnt = reg->NCont_m;
  reg.reset();
  Write_Guard_Mutex guard(RegsLock);
  auto it = RegsCnts.find(ncnt);
  if (it == RegsCnts.end()) return;
  Register_t* r = it->second;
  r->lock();
  if (r->CallID_m != callid) {
    const std::string old = r->CallID_m;
    if (!r->Usr_m.empty()) {
      auto key = RegsCUsr.find(r->CallID_m + r->Domain_m + r->Usr_m);
      if (key != RegsCUsr.end() && key->second == r) RegsCUsr.erase(key);
    }
    r->CallID_m = callid;
    SIP_URI own;
    if (own.parser(ocnt, true)) r->Usr_m = own.User();
    if (!r->Usr_m.empty()) RegsCUsr[r->CallID_m + r->Domain_m + r->Usr_m] = r;
    Log(tag, level, "Reg: Changed Call-ID: '%s' => '%s'\n", old.c_str(), callid.c_str());
  }
  reg.set(r);
}

bool Register_t::IsHitCache(SIP& msg, const std::string& ncnt, const std::string& fuser, int& level) {
  TGuard<Register_t> reg = GetRegister(ncnt);
  Log("ostrel", LOG_TRACE | LOG_REG_CACHE, level, "Reg: %s => %p %ld", ncnt.c_str(), static_cast<void*>(reg),
      reg ? static_cast<long>(reg->Expiration_m) : 0L);
  if (!reg) return false;
  if (reg->LogLevel_m != 0) level = reg->LogLevel_m;
  const time_t now = time(nullptr);
  auto* callid = msg.Header<SIP_Head_Call_ID>(SIP_Header::HID_Call_ID);
  const bool hit = now < reg->Expiration_m - 2 * reg->RegTm_m && fuser == reg->FUser_m && callid != nullptr &&
                   callid->Value() == reg->CallID_m;
  if (!hit) return false;
  // Only a hit touches the presence timer: a miss goes to the server, whose answer reschedules it.
  reg->CancelRegTimer();
  reg->LastUpdate_m = now;
  if (reg->Prsn_m) reg->ScheduleRegTimer(2 * reg->RegTm_m);
  for (SIP_HeadLine* line = msg.Header(SIP_Header::HID_Contact); line != nullptr; line = line->Next())
    if (auto* c = dynamic_cast<SIP_Head_Contact*>(line)) c->Params().PClear();
  if (auto* to = msg.Header<SIP_Head_To>(SIP_Header::HID_To); to && to->Params().Param("tag") == nullptr)
    to->Params().Param("tag", std::to_string(now) + "-1");
  const int reg_tm = reg->RegTm_m;
  reg.reset();
  // Convert drops the Expires of a request; the answer carries the client's registration time instead.
  msg.Convert(200, "OK");
  msg.set(SIP_Header::HID_Server, Cfg.AgentName);
  msg.set(SIP_Header::HID_Expires, std::to_string(reg_tm));
  msg.remove(SIP_Header::HID_Route);
  return true;
}

void Register_t::KeepAliveFromSubscribe(Dialog_t& d) {
  TGuard<Register_t> reg = GetRegister(d.NewContact());
  if (!reg) {
    Log(d.UniqChr(), LOG_DEBUG, "Create Short Registration from SUBSCRIBE rsp.\n");
    const SIP* msg = d.GetMSG();
    auto* callid = msg ? msg->Header<SIP_Head_Call_ID>(SIP_Header::HID_Call_ID) : nullptr;
    auto* created = new Register_t(d.NewContact(), d.OrgContact(), callid ? callid->Value() : std::string(), "",
                                   d.Domain());
    if (!created->Entered()) {
      delete created;
      return;
    }
    reg.set(created);
    FWType::Mode_t mode = FWType::UNKNOWN;
    std::string defect = d.Defect();
    const int t = Cfg.GetSubTimout(d.ClnRtpIP(), mode, nullptr, &defect);
    d.Defect(defect);
    reg->param(d.ClnSipAddr(), "", defect, d.ClnRtpIP(), 2 * t - 1, t, d.LogLevel(), false, d.PublicIP(),
               d.Indirect(), d.Chained(), d.SRTP() != 0, d.Prsn(), d.Transc() != 0);
  }
  const time_t now = time(nullptr);
  if (reg->Expiration() < now + reg->RegTm()) {
    reg->Expiration(now + 2 * reg->RegTm() - 1);
    Log(d.UniqChr(), LOG_DEBUG, "Extend Registration by SUBSCRIBE rsp.\n");
  }
}

RegValues_t Register_t::Values() const {
  RegValues_t v;
  v.NewContact = NCont_m;
  v.OldContact = OCont_m;
  v.Domain = Domain_m;
  v.Defect = Defect_m;
  v.Hole = Hole_m;
  v.RtpIP = ExpRtpIP_m;
  v.PublicIP = Publ_m;
  v.Indirect = Indr_m;
  v.Chained = Chain_m;
  v.Prsn = Prsn_m;
  v.Transc = Trnsc_m;
  v.SRTP = RSRTP_m;
  v.LogLevel = LogLevel_m;
  return v;
}
