// A call's life: creation, the dispatch of client and server messages to the transaction handlers,
// confirmation, retransmission and time-out, and what a call leaves behind when it stops.
// Worker threads and the reactor's timers, with the call locked.
#include "dialogs/call.h"

#include <strings.h>

#include "config/config.h"
#include "dialogs/registration.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace {

using HID = SIP_HeadIds;

constexpr int kFirstRetransMs = 500;
constexpr int kNextRetransMs = 1000;

const char* BranchOf(const SIP& m) {
  auto* via = m.Header<SIP_Head_Via>(HID::HID_Via);
  const char* b = via != nullptr ? via->Param("branch") : nullptr;
  return b != nullptr ? b : "";
}

}  // namespace

Call_t::CallHooks& Call_t::Hooks() {
  static CallHooks hooks;
  return hooks;
}

const char* Call_t::EventName(int ev) {
  static constexpr const char* kNames[] = {"",          "INVITE",    "TIMEOUT",   "CANCEL", "REJECT", "TALK",
                                           "CLN_AUDIO", "SRV_AUDIO", "CLN_VIDEO", "SRV_VIDEO", "BYE", "DTOR"};
  return ev >= 0 && ev <= E_DTOR ? kNames[ev] : "";
}

Call_t::Call_t(std::unique_ptr<SIP> msg, std::string key, std::string defect)
    : Dialog_t(std::move(msg), std::move(key), std::move(defect)) {}

Call_t::Call_t(std::unique_ptr<SIP> msg, std::string key, const InetAddr& srv, const RegValues_t& reg)
    : Dialog_t(std::move(msg), std::move(key), srv, reg) {}

// The caller holds the table's write lock: the key the call had before its dialog was known goes with it.
Call_t::~Call_t() {
  if (!Entered()) return;
  StopCall();
  CallEvent(E_DTOR, "");
  if (!okey_m.empty()) ExtraKeys_m.push_back(okey_m);
}

void Call_t::CallEvent(int ev, const std::string& reason) {
  DLog(LOG_DEBUG, "Call event %s: %s\n", EventName(ev), reason.c_str());
  if (Hooks().event_call) Hooks().event_call(*this, ev, reason);
}

int Call_t::SeqOf(const SIP& m) const {
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  return cseq != nullptr ? cseq->SeqNo() : -1;
}

void Call_t::Process(State_t event, Direction_t dir) {
  if (!msg_m) return;
  SIP& m = *msg_m;
  if (dir == FROM_CLN && m.IS_Request()) {
    if (Defect('C') && m.URI().User() == "ostrel") {
      if (auto* to = m.Header<SIP_Head_To>(HID::HID_To)) {
        m.URI() = static_cast<const SIP_URI&>(*to);
        DLog(LOG_DEBUG, "Wrong Dialog. Restore Request-URI\n");
        if (State() == AUTH && m.is_INVITE()) {
          Defect_m += 'T';
          DLog(LOG_DEBUG, "Add 'T' to Defect: %s\n", Defect_m.c_str());
        }
      }
    }
    const int seq = SeqOf(m);
    if (seq > ClnMaxCSeqNum_m) ClnMaxCSeqNum_m = seq;
  }
  if (m.is_ACK()) ConfirmByAck();

  const State_t old = State();
  DLog(LOG_DEBUG, "Transaction: %s --> %s\n", StateName(old), StateName(event));
  if (event != PASS && old != COMPLETE) State_m.store(event, std::memory_order_release);

  switch (event) {
    case INVITE_RECV:
      if (old == Blank || old == Z_DONE || old == PASS) return InviteRecv(dir);
      break;
    case START_FULL_MODE:
      switch (old) {
        case INVITE_RECV: case OPTIONS_SENT: case OPTIONS_RECV: case X_183_SENT: case X_ACK_SENT: case MOVED:
          StartFullMode(true);
          return;
        default: break;
      }
      break;
    case CANCEL_RECV:
      switch (old) {
        case OPTIONS_SENT: case INVITE_SENT: case X_INVITE_SENT: case X_183_SENT: case Z_OK_SENT:
        case CANCEL_RECV: case AUTH: case MOVED: case PASS:
          return CancelRecv(dir);
        case COMPLETE:
          return Completed(dir);
        default: break;
      }
      break;
    case PASS:
      switch (old) {
        case Blank:
          Pass(dir);
          State(PASS);
          return;
        case OPTIONS_SENT: case INVITE_SENT: case X_INVITE_SENT: case X_183_SENT: case X_ACK_SENT:
          return InviteResponse(dir);
        case CANCEL_RECV: return Canceled(dir);
        case AUTH: return AuthSkip(dir);
        case MOVED: return Moved(dir);
        case PASS: case COMPLETE: return Completed(dir);
        default: break;
      }
      break;
    default: break;
  }
  State_m.store(old, std::memory_order_release);
  DLog(LOG_ERROR, "Error: No Action (%s ==> %s)\n", StateName(old), StateName(event));
}

void Call_t::ConfirmByAck() {
  if (!org_m) return;
  const std::string ack = BranchOf(*msg_m), inv = BranchOf(*org_m);
  Confirmed_m = ack.rfind("z9hG4bK", 0) == 0 && inv.rfind("z9hG4bK", 0) == 0 && ack != inv;
  auto* to = msg_m->Header<SIP_Head_To>(HID::HID_To);
  if (!Confirmed_m || to == nullptr || to->Params().Param("tag") == nullptr) return;
  if (Mode_m == FWType::OPAQUE) {
    Relay_m.Established(true);
  } else if (State() != X_INVITE_SENT && State() != X_ACK_SENT) {
    ClosePorts();  // the media flows directly
  }
  if (InvDirect_m == FROM_SRV && Defect('N')) LastAckTs_m = PollReactor::curr_ms();
  DlgUpdate_m = time(nullptr);
  if (Hooks().ha_call) Hooks().ha_call(*this, true);
  CallEvent(E_TALK, "");
  Mastr_m = true;
}

void Call_t::StopCall() {
  CancelTimer(T_ANY);
  if (Register_m != nullptr) {
    // The record may be gone meanwhile (its removal clears Register_m through the key manager): look it up.
    if (TGuard<Register_t> reg = Register_t::GetRegister(NewContact_m)) reg->RemCall(UniqNo_m);
    Register_m = nullptr;
  }
  if (State() != Blank && Mastr_m && Hooks().ha_call) Hooks().ha_call(*this, false);
  ClosePorts();
}

void Call_t::OrigMSG(const SIP& m) {
  org_m = std::make_unique<SIP>(m);
  rsp_m.reset();
}

void Call_t::SetSrvMsg() {
  if (!srv_m) srv_m = std::make_unique<SIP>(*msg_m);
}

void Call_t::RetrmMSG(const char* name) {
  rtm_m = std::make_unique<SIP>(*msg_m);
  Retrns_m = 0;
  ScheduleTimer(T_RETRANS, &ExtPort, kFirstRetransMs);
  DLog(LOG_DEBUG, "Set timer for %s to 0.5 sec.\n", name);
}

void Call_t::SendTo(Direction_t to, SIP& m) const {
  if (to == FROM_CLN)
    ExtPort.send(m, ClnSipAddr_m, LogLevel_m, LogTreshold());
  else
    IntPort.send(m, SrvSipAddr_m, LogLevel_m, LogTreshold());
}

void Call_t::ReplyTo(const SIP& req, Direction_t to, int code, const std::string& reason) {
  SIP answer(req);
  const InetAddr& where = to == FROM_CLN ? ClnSipAddr_m : SrvSipAddr_m;
  const SIPPort_t& port = to == FROM_CLN ? static_cast<const SIPPort_t&>(ExtPort) : IntPort;
  if (Dialog_t::Hooks().Bounce)
    Dialog_t::Hooks().Bounce(answer, code, reason, where, port);
  else
    Bounce(answer, code, reason, where, port);
}

void Call_t::Reply(Direction_t to, int code, const std::string& reason) { ReplyTo(*msg_m, to, code, reason); }

bool Call_t::Retransmit() {
  if (!rtm_m) return true;
  if (Retrns_m == 0) CallEvent(E_TIMEOUT, "");
  TimerID_m = PollReactor::kNoTimer;
  TimerType_m = T_NONE;
  if (!SrvNext()) {
    DLog(LOG_DEBUG, "RETRANS Timeout - Max number of retransmissions is reached\n");
    return TimeOut();
  }
  DLog(LOG_DEBUG, "RETRANS Timeout - retransmit %d\n", Retrns_m);
  SIP again(*rtm_m);
  SendTo(State() == Z_OK_SENT ? FROM_CLN : Other(InvDirect_m), again);
  DLog(LOG_DEBUG, "Set timer for RETRANS to 1 sec.\n");
  ScheduleTimer(T_RETRANS, &ExtPort, kNextRetransMs);
  return true;
}

// The INVITE's sender learns that the other side stayed silent; an initial INVITE is cancelled toward that
// side and the call goes, an unanswered re-INVITE ends the established call.
bool Call_t::TimeOut() {
  if (!org_m) return false;
  const bool initial = !WithinDlg();
  const std::string reason = initial ? "Request Timeout" : "Server Time-out";
  ReplyTo(*org_m, InvDirect_m, initial ? 408 : 504, reason);
  CallEvent(E_CANCEL, reason);
  if (initial || State() == Z_OK_SENT || State() == Z_INV_SENT) {
    SendCancel(true);
    return false;
  }
  SendXBye();
  return true;
}

int Call_t::CheckSeqNo(Direction_t dir) {
  const SIP& m = *msg_m;
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  auto* orig = org_m ? org_m->Header<SIP_Head_CSeq>(HID::HID_CSeq) : nullptr;
  const bool answer = m.IS_Response() && cseq != nullptr && cseq->Method() == SIP::INVITE && dir != InvDirect_m;
  const bool ack = m.is_ACK() && dir == InvDirect_m;
  if ((answer || ack) && cseq != nullptr && orig != nullptr) {
    int expected = orig->SeqNo();
    if (dir == FROM_CLN && InvDirect_m == FROM_SRV) expected += Shift_m;
    const int diff = expected - cseq->SeqNo();
    if (diff != 0) DLog(LOG_DEBUG, "Warning: Message is out of sequence - ignore\n");
    return diff;
  }
  if (!m.is_PRACK()) DLog(LOG_DEBUG, "CheckSeqNo() Not part of current INVITE transaction\n");
  return -1;
}

bool Call_t::CleanDefect() {
  std::string kept;
  for (char c : Defect_m)
    if (c != 'E' && c != 'e' && c != 'T' && c != 't') kept += c;
  const bool removed = kept.size() != Defect_m.size();
  Defect_m = kept;
  return removed;
}
