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

using HID = HeaderIds;

constexpr int kNotOurs = -2;
constexpr int kUnknown = -1;

bool StartsWithDigit(const char* s) { return s != nullptr && std::isdigit(static_cast<unsigned char>(*s)); }

std::string BareUri(const SipUri& uri) {
  SipUri bare = uri;
  bare.PClear();
  bare.OHClear();
  std::string text;
  bare.Assemble(text);
  return text;
}

// Spreads the records' expiries so that a restart of many clients does not expire them all at once.
int Jitter(int expiry) {
  thread_local std::minstd_rand rng{std::random_device{}()};
  const int j = static_cast<int>(rng() % 600);
  return expiry < j ? 0 : j;
}

// The "X-Hole"-style extension header's value, removed from the message; empty without it.
std::string TakeHeader(SipMessage& msg, std::string_view name, bool* present = nullptr) {
  const char* value = msg.Header(name);
  if (present != nullptr) *present = value != nullptr;
  if (value == nullptr) return {};
  std::string text = value;
  msg.Remove(name);
  return text;
}

NatType::Mode Combine(uint32_t bits) { return static_cast<NatType::Mode>(bits); }

}  // namespace

void RegisterDialog::HandleServerMessage(DialogEvent) {
  if (!message_) return;
  SipMessage& msg = *message_;
  auto* cseq = msg.Header<CSeqHeader>(HID::HID_CSEQ);
  if (!msg.IsResponse() || cseq == nullptr || cseq->Method() != SipMessage::REGISTER) {
    LogLine(LEVEL_ERROR, "Error: RegDialog_t::HandleSrvMsg() Unexpected message\n");
    return;
  }
  const int status = msg.Status();
  if (status == 403 || status == 404) {
    g_dos.Report(source_, DosCore::DOS_H, number_);
    const std::string reason = TakeHeader(msg, "X-Reason");
    if (events.event_reason) events.event_reason(*this, reason);
    Pass(FROM_SERVER);
    return;
  }
  if (status != 200 || (public_ip_ && !persistent_)) {
    Pass(FROM_SERVER);
    return;
  }
  HandleOk();
}

// Our Contact among the 200's gets the client's own URI back; every Contact loses its parameters.
int RegisterDialog::GrantedExpiry() {
  SipMessage& msg = *message_;
  int expiry = kUnknown;
  bool ours = false;
  SipUri own;
  const bool have_own = own.Parse(old_contact_, true);
  for (HeaderLine* line = msg.Header(HID::HID_CONTACT); line != nullptr; line = line->Next()) {
    auto* c = dynamic_cast<ContactHeader*>(line);
    if (c == nullptr || c->Star()) continue;
    if (!ours && BareUri(*c) == new_contact_) {
      ours = true;
      if (const char* e = c->Params().Param("expires"); StartsWithDigit(e)) expiry = std::atoi(e);
      if (have_own) static_cast<SipUri&>(*c) = own;
    }
    c->Params().PClear();
  }
  if (expiry == kUnknown) {
    auto* header = msg.Header<ExpiresHeader>(HID::HID_EXPIRES);
    expiry = header != nullptr ? header->Value() : 3600;
  }
  return ours ? expiry : kNotOurs;
}

// The record of new_contact_, created when there is none. A creation that loses the race against another
// thread looks the winner up again, a bounded number of times.
ObjectGuard<Registration> RegisterDialog::EnterRecord(const std::string& user, bool& existed) {
  auto* callid = message_->Header<CallIdHeader>(HID::HID_CALL_ID);
  const std::string call = callid != nullptr ? callid->Value() : std::string();
  for (int attempt = 0; attempt < kEnterAttempts; ++attempt) {
    ObjectGuard<Registration> reg = Registration::GetRegister(new_contact_);
    if (reg) {
      existed = true;
      return reg;
    }
    auto* created = new Registration(new_contact_, old_contact_, call, user, domain_);
    if (!created->Entered()) {
      LogLine(LEVEL_ERROR, "Warning: Cannot create Registration with existing NewContact\n");
      delete created;
      continue;
    }
    reg.Set(created);
    existed = false;
    LogLine(LEVEL_TRACE, "New Reg: %s => %s", new_contact_.c_str(), old_contact_.c_str());
    if (mode_ != NatType::UNKNOWN && reg->Mode() == NatType::UNKNOWN) {
      LogLine(LEVEL_DEBUG, "Reported FW type: %s\n", NatType::Name(mode_));
      reg->Mode(mode_);
    }
    return reg;
  }
  return {};
}

void RegisterDialog::HandleOk() {
  SipMessage& msg = *message_;
  if (!keep_contact_ && g_config.CheckDefect(msg, 0).Has(Defect::KEEP_CONTACT))
    g_config.ForceKeepContactDomain(domain_);
  auto* to = msg.Header<ToHeader>(HID::HID_TO);
  const std::string user = to != nullptr ? to->User() : std::string();
  const int expiry = GrantedExpiry();

  if (expiry == kNotOurs || expiry == 0 || unregister_) {
    if (expiry != kNotOurs) {
      msg.Remove(HID::HID_CONTACT);
      msg.Set(HID::HID_EXPIRES, "0");
    }
    Registration::Destroy(new_contact_);
    Pass(FROM_SERVER);
    return;
  }
  if (expiry < 0) {
    Pass(FROM_SERVER);
    return;
  }
  FollowChangedContact();
  const int jitter = Jitter(expiry);
  bool existed = false;
  ObjectGuard<Registration> reg = EnterRecord(user, existed);
  if (!reg) {
    LogLine(LEVEL_ERROR, "Warning: Registration not kept: its contact is taken\n");
    Pass(FROM_SERVER);
    return;
  }
  StoreInRecord(*reg, expiry, jitter);
  if (existed) {
    auto* callid = msg.Header<CallIdHeader>(HID::HID_CALL_ID);
    Registration::Refresh(NumberCString(), LEVEL_DEBUG | LEVEL_REGISTRATION_REGULATION, reg,
                          callid ? callid->Value() : std::string(), old_contact_);
  }
  reg.reset();
  Pass(FROM_SERVER);
}

// The record locked by the caller takes what this REGISTER and its 200 tell about the client.
void RegisterDialog::StoreInRecord(Registration& reg, int expiry, int jitter) {
  SipMessage& msg = *message_;
  bool xsrtp = false;
  TakeHeader(msg, "X-SRTP", &xsrtp);
  const bool srtp = srtp_ != SrtpMode::OFF || xsrtp;

  NatType::Mode subnet = NatType::UNKNOWN;
  const int reg_tm = g_config.GetSubscribeTimeout(client_rtp_ip_, subnet, nullptr, &defects_);
  if (subnet != NatType::UNKNOWN && public_ip_) {
    public_ip_ = false;
    LogLine(LEVEL_DEBUG, "Reset trigger Public for Sticky FW Type: %s", NatType::Name(subnet));
  }
  bool bare = false;
  TakeHeader(msg, "X-BareSDP", &bare);
  if (bare) defects_.Add(Defect::BARE_SDP);

  reg.Param(client_sip_address_, full_user_, defects_, client_rtp_ip_,
            (expiry - jitter) + g_config.register_timeout, reg_tm, log_level_, full_domain_, public_ip_,
            indirect_, chained_, srtp, persistent_, transcoding_ != 0);

  if (extra_unregister_) {
    auto* to = msg.Header<ToHeader>(HID::HID_TO);
    const char* tag = to != nullptr ? to->Params().Param("tag") : nullptr;
    reg.SetUnregisterTarget(server_sip_address_, tag != nullptr ? tag : "");
    if (tag != nullptr) to->Params().Param("tag", "regs-" + std::to_string(reg.Number()));
  }

  const std::string relay = TakeHeader(msg, "X-RtpRelay");
  const uint32_t kept = subnet & NatType::PREFIXES & ~uint32_t{NatType::STICKY | NatType::PRXFRCD};
  uint32_t type = NatType::UNKNOWN;
  bool ddnat = false;
  if (strcasecmp(relay.c_str(), "true") == 0 || strcasecmp(relay.c_str(), "relay+ddnat") == 0)
    type = kept | NatType::PRXFRCD | NatType::OPAQUE;
  else if (strcasecmp(relay.c_str(), "lb") == 0)
    type = (kept & ~uint32_t{NatType::LB}) | NatType::PRXFRCD | NatType::LB | NatType::OPAQUE;
  if (strcasecmp(relay.c_str(), "ddnat") == 0 || strcasecmp(relay.c_str(), "relay+ddnat") == 0) ddnat = true;
  if (type != NatType::UNKNOWN || (reg.Mode() & NatType::PRXFRCD) != 0) reg.Mode(Combine(type));
  reg.DoubleNat(ddnat);

  if (events.ha_register) events.ha_register(reg);
  if (events.event_reg) events.event_reg(1, reg, user_agent_, external_source_port_, received_hole_);
  LogLine(LEVEL_TRACE, "Reg Param: %ld", static_cast<long>(reg.Expiration()));
  if (persistent_) reg.ScheduleRegistrationTimer(2 * reg_tm);
  msg.Set(HID::HID_EXPIRES, std::to_string(std::min(expiry, reg_tm)));
}
