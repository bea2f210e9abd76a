// A dialog's identity, table entry, state, timer and fields.
#include "dialogs/dialog.h"

#include <cstdarg>
#include <cstdio>

#include "config/config.h"
#include "dialogs/dialog_table.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"

DialogHooks& Dialog::Hooks() {
  static DialogHooks hooks;
  return hooks;
}

Dialog::Dialog(std::unique_ptr<SipMessage> msg, std::string key, const InetAddress& srv,
               const RegistrationValues& reg)
    : message_(std::move(msg)),
      key_(std::move(key)),
      direction_(FROM_SERVER),
      new_contact_(reg.new_contact),
      domain_(reg.domain),
      server_sip_address_(srv),
      client_sip_address_(reg.hole),
      client_rtp_ip_(reg.rtp_ip),
      public_ip_(reg.public_ip),
      indirect_(reg.indirect),
      chained_(reg.chained),
      persistent_(reg.persistent),
      transcoding_(reg.transcoding ? -1 : 0),
      srtp_(reg.srtp ? SrtpMode::ALLOWED : SrtpMode::OFF),
      defects_(reg.defects),
      last_update_(time(nullptr)),
      log_level_(reg.log_level),
      table_(DialogTable::Instance()) {
  OldContact(reg.old_contact);
  AddKeys();
}

Dialog::Dialog(std::unique_ptr<SipMessage> msg, std::string key, Defects defects)
    : message_(std::move(msg)),
      key_(std::move(key)),
      direction_(FROM_CLIENT),
      defects_(std::move(defects)),
      last_update_(time(nullptr)),
      table_(DialogTable::Instance()) {
  AddKeys();
  if (defects_.Empty() && message_) defects_ = g_config.CheckDefect(*message_, 0);
}

Dialog::Dialog(std::string key) : Dialog(nullptr, std::move(key), Defects()) {}

// Under the table's write lock: a new key gets a number and leaves the dialog locked by its creator.
void Dialog::AddKeys() {
  WriteGuard guard(table_->table_lock_);
  if (!table_->EnterDialog(this)) {
    Log("ostrel", LEVEL_ERROR, "Warning: Duplicated Key: %s\n", key_.c_str());
    return;
  }
  lock();
  number_text_ = std::to_string(number_);
}

// The caller holds the table's write lock (Destroy), or the dialog never entered the table.
Dialog::~Dialog() {
  if (number_ == 0) return;
  CancelTimer(T_ANY);
  LogLine(LEVEL_TRACE, "~Dialog_t Before (%zd,%zd) %s ....\n", table_->dialogs_by_number_.size(),
          table_->dialogs_by_key_.size(), key_.c_str());
  table_->EraseDialog(this);
  LogLine(LEVEL_TRACE, "~Dialog_t After  (%zd,%zd) ....\n", table_->dialogs_by_number_.size(),
          table_->dialogs_by_key_.size());
  LogLine(LEVEL_DEBUG, "End of Dialog  %s ....\n", key_.c_str());
}

int32_t Dialog::GlobalNo() {
  DialogTable* table = DialogTable::Instance();
  return table != nullptr ? table->GlobalNo() : 0;
}

void Dialog::LogLine(int level, const char* fmt, ...) const {
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  Log(number_text_.c_str(), level | LogThreshold(), log_level_, "%s", text);
}

void Dialog::State(DialogState s) {
  if (s == State()) return;
  LogLine(LEVEL_DEBUG, "New State -  %s\n", StateName(s));
  state_.store(s, std::memory_order_release);
  last_update_ = time(nullptr);
}

void Dialog::ScheduleTimer(int type, TimerCB* cb, int ms) {
  if (timer_id_ != PollReactor::kNoTimer) {
    LogLine(LEVEL_ERROR, "Error: Timer is set already - Cancel it\n");
    CancelTimer(T_ANY);
  }
  ++timer_generation_;
  timer_id_ = PollReactor::Instance()->SetTimer(cb, ms, TimerCookie(number_, timer_generation_));
  timer_type_ = type;
}

void Dialog::CancelTimer(int mask) {
  if (timer_id_ == PollReactor::kNoTimer) return;
  if ((timer_type_ & mask) == 0)
    LogLine(LEVEL_ERROR, "Error: Canceling wrong timer %X %X\n", timer_type_, mask);
  if (PollReactor* r = PollReactor::Instance()) r->CancelTimer(timer_id_);
  timer_id_ = PollReactor::kNoTimer;
  timer_type_ = T_NONE;
  // A callback already on its way carries the old generation and is ignored.
  ++timer_generation_;
}

void Dialog::OldContact(const std::string& c) {
  old_contact_ = c;
  if (c.empty()) return;
  SipUri uri;
  client_contact_address_.reset();
  // Only a literal address: a client's Contact names no host worth a DNS query while the dialog is locked.
  if (!uri.Parse(c, true) || !InetAddress::IsIPv4(uri.Host().c_str())) return;
  client_contact_address_.Set(static_cast<unsigned short>(uri.SPort()), uri.Host().c_str());
}

void Dialog::OldContactUri(SipUri& u) const {
  u.Parse(old_contact_, true);
  u.Host(domain_);
  u.Port(0);
  u.PClear();
}

void Dialog::ClientSipAddress(const InetAddress& a) {
  if (!client_sip_address_.empty() && client_sip_address_ != a)
    LogLine(LEVEL_DEBUG, "Warning: Force CLN SipAddress update: %s --> %s\n",
            client_sip_address_.Text().c_str(), a.Text().c_str());
  client_sip_address_ = a;
}

std::string Dialog::Print() const {
  if (!message_) return "<Undefined>";
  std::string out;
  if (message_->IsRequest()) {
    message_->SipStartLine::Assemble(out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  } else if (auto* cseq = message_->Header<CSeqHeader>(HeaderIds::HID_CSEQ)) {
    cseq->Assemble(out);
  }
  return out;
}

bool Dialog::Resolve(InetAddress& a, const std::string& host) const {
  if (Hooks().assign) return Hooks().assign(a, host.c_str(), number_text_.c_str(), source_.Ip());
  // Under the dialog's lock: the name cache only, never the system resolver.
  InetAddress resolved;
  if (CachedAddress(resolved, host, true, source_.Ip()) != NameResolver::State::FOUND || resolved.Ip() == 0)
    return false;
  a = resolved;
  return true;
}

void Dialog::Complete(int ev, const std::string& reason) {
  DialogState s = State();
  if (s == DialogState::COMPLETE || s == DialogState::MOVED) return;
  table_->ReleaseUnanswered(*this);
  if (IsCall()) {
    StopCall();
    if (ev != E_NOP) CallEvent(ev, reason);
    // A call always lingers, whatever the event: nothing else would ever remove it.
    LogLine(LEVEL_DEBUG, "Set timer 'COMPLETE' to %d sec.\n", kCallLingerSec);
    ScheduleTimer(T_COMPLETE, &g_internal_port, kCallLingerSec * 1000);
  }
  State(DialogState::COMPLETE);
}
