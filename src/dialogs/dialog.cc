// A dialog's identity, table entry, state, timer and fields.
#include "dialogs/dialog.h"

#include <cstdarg>
#include <cstdio>

#include "config/config.h"
#include "dialogs/dialog_table.h"
#include "foundation/log.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"

namespace {

constexpr const char* kStateNames[] = {
    "INIT",         "CLN_REGISTER_RECV", "INVITE_RECV",   "OPTIONS_SENT",    "OPTIONS_RECV",   "INVITE_SENT",
    "X_INVITE_SENT", "X_183_SENT",       "X_ACK_SENT",    "X_CLNMEDIA_RECV", "Z_OK_SENT",      "Z_ACK_RECV",
    "Z_DONE",       "Z_INV_SENT",        "START_FULL_MODE", "CANCEL_RECV",   "REFER_RECV",     "AUTH",
    "MOVED",        "PASS",              "COMPLETE",      "<UNKNOWN>"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == Dialog_t::Last + 1);

}  // namespace

DialogHooks& Dialog_t::Hooks() {
  static DialogHooks hooks;
  return hooks;
}

Dialog_t::Dialog_t(std::unique_ptr<SIP> msg, std::string key, const InetAddr& srv, const RegValues_t& reg)
    : msg_m(std::move(msg)),
      key_m(std::move(key)),
      Direction_m(FROM_SRV),
      NewContact_m(reg.NewContact),
      Domain_m(reg.Domain),
      SrvSipAddr_m(srv),
      ClnSipAddr_m(reg.Hole),
      ClnRtpIP_m(reg.RtpIP),
      PublicIP_m(reg.PublicIP),
      Indirect_m(reg.Indirect),
      Chained_m(reg.Chained),
      Prsn_m(reg.Prsn),
      Transc_m(reg.Transc ? -1 : 0),
      SRTP_m(reg.SRTP ? -1 : 0),
      Defect_m(reg.Defect),
      DlgUpdate_m(time(nullptr)),
      LogLevel_m(reg.LogLevel),
      table_m(DialogTable::Instance()) {
  OrgContact(reg.OldContact);
  AddKeys();
}

Dialog_t::Dialog_t(std::unique_ptr<SIP> msg, std::string key, std::string defect)
    : msg_m(std::move(msg)),
      key_m(std::move(key)),
      Direction_m(FROM_CLN),
      Defect_m(std::move(defect)),
      DlgUpdate_m(time(nullptr)),
      table_m(DialogTable::Instance()) {
  AddKeys();
  if (Defect_m.empty() && msg_m) Defect_m = Cfg.CheckDefect(*msg_m, 0);
}

Dialog_t::Dialog_t(std::string key) : Dialog_t(nullptr, std::move(key), std::string()) {}

// Under the table's write lock: a new key gets a number and leaves the dialog locked by its creator.
void Dialog_t::AddKeys() {
  Write_Guard_Mutex guard(table_m->DlgLock);
  if (!table_m->EnterDialog(this)) {
    Log("ostrel", LOG_ERROR, "Warning: Duplicated Key: %s\n", key_m.c_str());
    return;
  }
  lock();
  UniqStr_m = std::to_string(UniqNo_m);
}

// The caller holds the table's write lock (Destroy), or the dialog never entered the table.
Dialog_t::~Dialog_t() {
  if (UniqNo_m == 0) return;
  CancelTimer(T_ANY);
  DLog(LOG_TRACE, "~Dialog_t Before (%zd,%zd) %s ....\n", table_m->PDialogs.size(), table_m->Dialogs.size(),
       key_m.c_str());
  table_m->EraseDialog(this);
  DLog(LOG_TRACE, "~Dialog_t After  (%zd,%zd) ....\n", table_m->PDialogs.size(), table_m->Dialogs.size());
  DLog(LOG_DEBUG, "End of Dialog  %s ....\n", key_m.c_str());
}

int32_t Dialog_t::GlobalNo() {
  DialogTable* table = DialogTable::Instance();
  return table != nullptr ? table->GlobalNo() : 0;
}

void Dialog_t::DLog(int level, const char* fmt, ...) const {
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  Log(UniqStr_m.c_str(), level | LogTreshold(), LogLevel_m, "%s", text);
}

const char* Dialog_t::StateName(int s) {
  return (s >= 0 && s < Last) ? kStateNames[s] : kStateNames[Last];
}

void Dialog_t::State(State_t s) {
  if (s == State()) return;
  DLog(LOG_DEBUG, "New State -  %s\n", StateName(s));
  State_m.store(s, std::memory_order_release);
  DlgUpdate_m = time(nullptr);
}

void Dialog_t::ScheduleTimer(int type, TimerCB* cb, int ms) {
  if (TimerID_m != PollReactor::kNoTimer) {
    DLog(LOG_ERROR, "Error: Timer is set already - Cancel it\n");
    CancelTimer(T_ANY);
  }
  ++TimerGen_m;
  TimerID_m = PollReactor::instance()->timer_set(cb, ms, TimerCookie(UniqNo_m, TimerGen_m));
  TimerType_m = type;
}

void Dialog_t::CancelTimer(int mask) {
  if (TimerID_m == PollReactor::kNoTimer) return;
  if ((TimerType_m & mask) == 0) DLog(LOG_ERROR, "Error: Canceling wrong timer %X %X\n", TimerType_m, mask);
  if (PollReactor* r = PollReactor::instance()) r->timer_cancel(TimerID_m);
  TimerID_m = PollReactor::kNoTimer;
  TimerType_m = T_NONE;
  // A callback already on its way carries the old generation and is ignored.
  ++TimerGen_m;
}

void Dialog_t::OrgContact(const std::string& c) {
  OrgContact_m = c;
  if (c.empty()) return;
  SIP_URI uri;
  ClnCntAddr_m.reset();
  // Only a literal address: a client's Contact names no host worth a DNS query while the dialog is locked.
  if (!uri.parser(c, true) || !InetAddr::IsIPv4(uri.Host().c_str())) return;
  ClnCntAddr_m.set(static_cast<unsigned short>(uri.SPort()), uri.Host().c_str());
}

void Dialog_t::OrgCntURI(SIP_URI& u) const {
  u.parser(OrgContact_m, true);
  u.Host(Domain_m);
  u.Port(0);
  u.PClear();
}

void Dialog_t::ClnSipAddr(const InetAddr& a) {
  if (!ClnSipAddr_m.empty() && ClnSipAddr_m != a)
    DLog(LOG_DEBUG, "Warning: Force CLN SipAddress update: %s --> %s\n", ClnSipAddr_m.Str().c_str(),
         a.Str().c_str());
  ClnSipAddr_m = a;
}

std::string Dialog_t::Print() const {
  if (!msg_m) return "<Undefined>";
  std::string out;
  if (msg_m->IS_Request()) {
    msg_m->SIP_StartLine::assemble(out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  } else if (auto* cseq = msg_m->Header<SIP_Head_CSeq>(SIP_HeadIds::HID_CSeq)) {
    cseq->assemble(out);
  }
  return out;
}

bool Dialog_t::Resolve(InetAddr& a, const std::string& host) const {
  if (Hooks().Assign) return Hooks().Assign(a, host.c_str(), UniqStr_m.c_str());
  InetAddr resolved;
  if (!resolved.set(host.c_str()) || resolved.IpAddr() == 0) return false;
  a = resolved;
  return true;
}

void Dialog_t::Complete(int ev, const std::string& reason) {
  State_t s = State();
  if (s == COMPLETE || s == MOVED) return;
  if (IsCall()) {
    StopCall();
    if (ev != E_NOP) CallEvent(ev, reason);
    // A call always lingers, whatever the event: nothing else would ever remove it.
    DLog(LOG_DEBUG, "Set timer 'COMPLETE' to %d sec.\n", kCallLingerSec);
    ScheduleTimer(T_COMPLETE, &IntPort, kCallLingerSec * 1000);
  }
  State(COMPLETE);
}
