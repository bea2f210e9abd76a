#include "dialogs/registration.h"

#include "config/config.h"
#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
#include "foundation/log.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/message.h"

std::map<std::string, Registration*> Registration::by_contact_;
std::map<std::string, Registration*> Registration::by_user_;
std::map<uint32_t, Registration*> Registration::by_number_;
ReadWriteMutex Registration::maps_lock_;
Registration::RegistrationTimeout Registration::expiry_timer_;
uint32_t Registration::next_number_ = 0;
Registration::Hooks Registration::hooks;
bool Registration::tearing_down_ = false;

// The calls of a record are told through the dialog table's key manager, until the process tears down.
DialogTable* Registration::KeyTable() { return tearing_down_ ? nullptr : DialogTable::Instance(); }

namespace {

// Timer cookies carry the record's number and the generation of its timer.
const void* Cookie(uint32_t number, uint32_t generation) {
  return reinterpret_cast<const void*>((uint64_t{generation} << 32) | number);
}

}  // namespace

Registration::Registration(const std::string& ncnt, const std::string& ocnt, const std::string& callid,
                           const std::string& user, const std::string& domain)
    : new_contact_(ncnt), old_contact_(ocnt), call_id_(callid), user_(user), domain_(domain) {
  std::vector<uint32_t> moved;
  {
    WriteGuard guard(maps_lock_);
    if (!by_contact_.emplace(new_contact_, this).second) {
      new_contact_.clear();
      user_.clear();
      return;
    }
    do {
      number_ = ++next_number_;
    } while (number_ == 0 || by_number_.count(number_));
    by_number_[number_] = this;
    lock();
    if (!user_.empty()) {
      Registration*& slot = by_user_[call_id_ + domain_ + user_];
      if (slot != nullptr && slot != this) {
        Registration* other = slot;
        other->lock();
        calls_.insert(other->calls_.begin(), other->calls_.end());
        moved.assign(other->calls_.begin(), other->calls_.end());
        other->calls_.clear();
        other->user_.clear();
        other->unlock();
      }
      slot = this;
    }
  }
  for (uint32_t uno : moved)
    Log(static_cast<int>(uno), LEVEL_DEBUG, "Warning: Move Call to the new Registration\n");
}

// The caller holds maps_lock_ for writing (or the record never entered the maps).
Registration::~Registration() {
  if (new_contact_.empty()) return;
  Log("ostrel", LEVEL_DEBUG | LEVEL_REGISTRATION_REGULATION, "Remove registration: %s (%zu %zu)\n",
      new_contact_.c_str(), static_cast<size_t>(last_update_), static_cast<size_t>(expiration_));
  by_contact_.erase(new_contact_);
  by_number_.erase(number_);
  if (!user_.empty()) {
    auto it = by_user_.find(call_id_ + domain_ + user_);
    if (it != by_user_.end() && it->second == this) by_user_.erase(it);
  }
  CancelRegistrationTimer();
  if (DialogTable* table = KeyTable())
    for (uint32_t uno : calls_) table->ClearRegistration(static_cast<int>(uno));
  if (!user_.empty() && hooks.removed) hooks.removed(*this);
}

ObjectGuard<Registration> Registration::GetRegister(const std::string& ncnt) {
  ReadGuard guard(maps_lock_);
  auto it = by_contact_.find(ncnt);
  return ObjectGuard<Registration>(it == by_contact_.end() ? nullptr : it->second);
}

ObjectGuard<Registration> Registration::GetRegister(const std::string& callid, const std::string& domain,
                                                    const std::string& user) {
  ReadGuard guard(maps_lock_);
  auto it = by_user_.find(callid + domain + user);
  return ObjectGuard<Registration>(it == by_user_.end() ? nullptr : it->second);
}

bool Registration::HasRegister(const std::string& ncnt) {
  ReadGuard guard(maps_lock_);
  return by_contact_.count(ncnt) > 0;
}

size_t Registration::Count() {
  ReadGuard guard(maps_lock_);
  return by_contact_.size();
}

void Registration::Destroy(ObjectGuard<Registration> reg) {
  if (!reg) return;
  std::string ncnt = reg->new_contact_;
  reg.reset();
  Destroy(ncnt);
}

void Registration::Destroy(const std::string& ncnt) {
  WriteGuard guard(maps_lock_);
  auto it = by_contact_.find(ncnt);
  if (it == by_contact_.end()) return;
  Registration* reg = it->second;
  reg->lock();  // waits for any holder; nobody can find it again while maps_lock_ is held
  reg->unlock();
  delete reg;
}

void Registration::DestroyAll() {
  WriteGuard guard(maps_lock_);
  hooks = {};
  tearing_down_ = true;
  while (!by_contact_.empty()) delete by_contact_.begin()->second;
}

void Registration::CleanUp() {
  {
    ReadGuard guard(maps_lock_);
    const time_t now = time(nullptr);
    for (auto& [ncnt, reg] : by_contact_) {
      reg->lock();
      reg->expiration_ = now + 2 * reg->registration_time_ - 1;
      reg->unlock();
    }
  }
  Log("ostrel", LEVEL_ALWAYS, "CleanUp ALL Registrations ...\n");
}

void Registration::Param(const InetAddress& hole, const std::string& fuser, const Defects& defects,
                         uint32_t exp_rtp_ip, int lifetime, int reg_tm, int log_level, bool fdomain,
                         bool publ, bool indr, bool chain, bool srtp, bool prsn, bool trnsc) {
  last_update_ = time(nullptr);
  expiration_ = last_update_ + lifetime;
  hole_ = hole;
  full_user_ = fuser;
  defects_ = defects;
  expected_rtp_ip_ = exp_rtp_ip;
  registration_time_ = reg_tm;
  log_level_ = log_level;
  full_domain_ = fdomain;
  public_ip_ = publ;
  indirect_ = indr;
  chained_ = chain;
  srtp_ = srtp;
  persistent_ = prsn;
  transcoding_ = trnsc;
}

void Registration::SetUnregisterTarget(const InetAddress& server, const std::string& ttag) {
  server_sip_address_ = server;
  to_tag_ = ttag;
}

void Registration::UpdateCalls(const InetAddress& addr, unsigned except) {
  DialogTable* table = KeyTable();
  if (table == nullptr) return;
  for (uint32_t uno : calls_)
    if (uno != except) table->UpdateKey(static_cast<int>(uno), addr);
}

void Registration::ScheduleRegistrationTimer(int seconds) {
  if (timer_id_ != PollReactor::kNoTimer) {
    Log("ostrel", LEVEL_ALWAYS, "Note: Reg Timer is set already %s - Cancel it\n", new_contact_.c_str());
    CancelRegistrationTimer();
  }
  if (seconds < 2 * g_config.register_timeout) seconds = 2 * g_config.register_timeout;
  master_ = true;
  ++timer_generation_;
  if (PollReactor* r = PollReactor::Instance())
    timer_id_ = r->SetTimer(&expiry_timer_, seconds * 1000, Cookie(number_, timer_generation_));
  if (hooks.set_master) hooks.set_master();
}

void Registration::CancelRegistrationTimer() {
  if (timer_id_ != PollReactor::kNoTimer)
    if (PollReactor* r = PollReactor::Instance()) r->CancelTimer(timer_id_);
  timer_id_ = PollReactor::kNoTimer;
  ++timer_generation_;  // a callback already on its way is stale
}

void Registration::RegistrationTimeout::OnTimer(const void* cookie) {
  const uint64_t v = reinterpret_cast<uint64_t>(cookie);
  Registration::Expired(static_cast<uint32_t>(v & 0xFFFFFFFFu), static_cast<uint32_t>(v >> 32));
}

void Registration::Expired(uint32_t number, uint32_t generation) {
  ObjectGuard<Registration> reg;
  {
    ReadGuard guard(maps_lock_);
    auto it = by_number_.find(number);
    if (it == by_number_.end()) return;
    reg = ObjectGuard<Registration>(it->second);
  }
  // A timer replaced (or cancelled by a cache hit) after it was due does nothing.
  if (reg->timer_generation_ != generation) return;
  Log("ostrel", LEVEL_REGISTRATION_REGULATION, "Internal Registration expired\n");
  reg->timer_id_ = PollReactor::kNoTimer;
  if (hooks.is_slave && hooks.is_slave()) {
    Log("oslave", LEVEL_ALWAYS, "Do not remove registration!");
    return;
  }
  const long left = static_cast<long>(reg->expiration_ - time(nullptr));
  if (reg->ExtraUnregister() && left > 5) reg->SendInternalUnregister(left);
  Destroy(std::move(reg));
}

void Registration::SendInternalUnregister(long time_left) {
  const std::string n = std::to_string(number_);
  const std::string uri = "sip:" + user_ + "@" + domain_;
  std::string text = "REGISTER sip:" + domain_ + " SIP/2.0\r\n";
  text += "Via: SIP/2.0/UDP " + std::string(g_config.server_ipaddr) + ":" +
          std::to_string((g_config.second_port + 3) & 0xFFFF) + ";branch=z9hG4bK-reg-ostrel-" + n + "\r\n";
  text += "From: <" + uri + ">;tag=regs-" + n + "\r\n";
  text += "To: <" + uri + ">" + (to_tag_.empty() ? "" : ";tag=" + to_tag_) + "\r\n";
  text += "Call-ID: " + user_ + "-" + n + "@" + g_config.myipaddr + "\r\n";
  text += "CSeq: 1 REGISTER\r\nContact: <" + new_contact_ + ">\r\nExpires: 0\r\n";
  text += "User-Agent: " + g_config.agent_name + "\r\nX-TimeLeft: " + std::to_string(time_left) + "\r\n";
  text += "Content-Length: 0\r\n\r\n";
  SipMessage msg;
  if (msg.Parse(text) && hooks.send_to_server) hooks.send_to_server(msg, server_sip_address_);
}

void Registration::Refresh(const char* tag, int level, ObjectGuard<Registration>& reg,
                           const std::string& callid, const std::string& ocnt) {
  if (reg->call_id_.empty()) {
    reg->call_id_ = callid;
    return;
  }
  reg->old_contact_ = ocnt;
  if (callid == reg->call_id_) return;
  const std::string ncnt = reg->new_contact_;
  reg.reset();
  WriteGuard guard(maps_lock_);
  auto it = by_contact_.find(ncnt);
  if (it == by_contact_.end()) return;
  Registration* r = it->second;
  r->lock();
  if (r->call_id_ != callid) {
    const std::string old = r->call_id_;
    if (!r->user_.empty()) {
      auto key = by_user_.find(r->call_id_ + r->domain_ + r->user_);
      if (key != by_user_.end() && key->second == r) by_user_.erase(key);
    }
    r->call_id_ = callid;
    SipUri own;
    if (own.Parse(ocnt, true)) r->user_ = own.User();
    if (!r->user_.empty()) by_user_[r->call_id_ + r->domain_ + r->user_] = r;
    Log(tag, level, "Reg: Changed Call-ID: '%s' => '%s'\n", old.c_str(), callid.c_str());
  }
  reg.Set(r);
}

bool Registration::IsHitCache(SipMessage& msg, const std::string& ncnt, const std::string& fuser,
                              int& level) {
  ObjectGuard<Registration> reg = GetRegister(ncnt);
  Log("ostrel", LEVEL_TRACE | LEVEL_REGISTRATION_CACHE, level, "Reg: %s => %p %ld", ncnt.c_str(),
      static_cast<void*>(reg), reg ? static_cast<long>(reg->expiration_) : 0L);
  if (!reg) return false;
  if (reg->log_level_ != 0) level = reg->log_level_;
  const time_t now = time(nullptr);
  auto* callid = msg.Header<CallIdHeader>(SipHeaders::HID_CALL_ID);
  const bool hit = now < reg->expiration_ - 2 * reg->registration_time_ && fuser == reg->full_user_ &&
                   callid != nullptr && callid->Value() == reg->call_id_;
  if (!hit) return false;
  // Only a hit touches the presence timer: a miss goes to the server, whose answer reschedules it.
  reg->CancelRegistrationTimer();
  reg->last_update_ = now;
  if (reg->persistent_) reg->ScheduleRegistrationTimer(2 * reg->registration_time_);
  for (HeaderLine* line = msg.Header(SipHeaders::HID_CONTACT); line != nullptr; line = line->Next())
    if (auto* c = dynamic_cast<ContactHeader*>(line)) c->Params().PClear();
  if (auto* to = msg.Header<ToHeader>(SipHeaders::HID_TO); to && to->Params().Param("tag") == nullptr)
    to->Params().Param("tag", std::to_string(now) + "-1");
  const int reg_tm = reg->registration_time_;
  reg.reset();
  // Convert drops the Expires of a request; the answer carries the client's registration time instead.
  msg.Convert(200, "OK");
  msg.Set(SipHeaders::HID_SERVER, g_config.agent_name);
  msg.Set(SipHeaders::HID_EXPIRES, std::to_string(reg_tm));
  msg.Remove(SipHeaders::HID_ROUTE);
  return true;
}

void Registration::KeepAliveFromSubscribe(Dialog& d) {
  ObjectGuard<Registration> reg = GetRegister(d.NewContact());
  if (!reg) {
    Log(d.NumberCString(), LEVEL_DEBUG, "Create Short Registration from SUBSCRIBE rsp.\n");
    const SipMessage* msg = d.GetMessage();
    auto* callid = msg ? msg->Header<CallIdHeader>(SipHeaders::HID_CALL_ID) : nullptr;
    auto* created = new Registration(d.NewContact(), d.OldContact(), callid ? callid->Value() : std::string(),
                                     "", d.Domain());
    if (!created->Entered()) {
      delete created;
      return;
    }
    reg.Set(created);
    NatType::Mode mode = NatType::UNKNOWN;
    Defects defects = d.DeviceDefects();
    const int t = g_config.GetSubscribeTimeout(d.ClientRtpIP(), mode, nullptr, &defects);
    d.DeviceDefects(defects);
    reg->Param(d.ClientSipAddress(), "", defects, d.ClientRtpIP(), 2 * t - 1, t, d.LogLevel(), false,
               d.PublicIP(), d.Indirect(), d.Chained(), d.SRTP() != SrtpMode::OFF, d.Persistent(),
               d.Transcoding() != 0);
  }
  const time_t now = time(nullptr);
  if (reg->Expiration() < now + reg->RegistrationTime()) {
    reg->Expiration(now + 2 * reg->RegistrationTime() - 1);
    Log(d.NumberCString(), LEVEL_DEBUG, "Extend Registration by SUBSCRIBE rsp.\n");
  }
}

RegistrationValues Registration::Values() const {
  RegistrationValues v;
  v.new_contact = new_contact_;
  v.old_contact = old_contact_;
  v.domain = domain_;
  v.defects = defects_;
  v.hole = hole_;
  v.rtp_ip = expected_rtp_ip_;
  v.public_ip = public_ip_;
  v.full_domain = full_domain_;
  v.indirect = indirect_;
  v.chained = chained_;
  v.persistent = persistent_;
  v.transcoding = transcoding_;
  v.srtp = srtp_;
  v.log_level = log_level_;
  return v;
}
