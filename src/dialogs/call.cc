// A call's life: creation, the dispatch of client and server messages to the transaction handlers,
// confirmation, retransmission and time-out, and what a call leaves behind when it stops.
// Worker threads and the reactor's timers, with the call locked.
#include "dialogs/call.h"

#include <strings.h>

#include "config/config.h"
#include "dialogs/dialog_table.h"
#include "dialogs/registration.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "ports/opt_port.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace {

using HID = HeaderIds;

constexpr int kFirstRetransMs = 500;
constexpr int kNextRetransMs = 1000;

const char* BranchOf(const SipMessage& m) {
  auto* via = m.Header<ViaHeader>(HID::HID_VIA);
  const char* b = via != nullptr ? via->Param("branch") : nullptr;
  return b != nullptr ? b : "";
}

}  // namespace

Call::CallHooks& Call::Hooks() {
  static CallHooks hooks;
  return hooks;
}

const char* Call::EventName(int ev) {
  static constexpr const char* kNames[] = {"",          "INVITE",    "TIMEOUT",   "CANCEL",
                                           "REJECT",    "TALK",      "CLN_AUDIO", "SRV_AUDIO",
                                           "CLN_VIDEO", "SRV_VIDEO", "BYE",       "DTOR"};
  return ev >= 0 && ev <= E_DTOR ? kNames[ev] : "";
}

Call::Call(std::unique_ptr<SipMessage> msg, std::string key, Defects defects)
    : Dialog(std::move(msg), std::move(key), std::move(defects)) {}

Call::Call(std::unique_ptr<SipMessage> msg, std::string key, const InetAddress& srv,
           const RegistrationValues& reg)
    : Dialog(std::move(msg), std::move(key), srv, reg) {}

// The caller holds the table's write lock: the key the call had before its dialog was known goes with it.
Call::~Call() {
  ProbePort::Retire(std::move(probe_port_));
  if (!Entered()) return;
  StopCall();
  CallEvent(E_DTOR, "");
  if (!original_key_.empty()) extra_keys_.push_back(original_key_);
}

void Call::CallEvent(int ev, const std::string& reason) {
  LogLine(LEVEL_DEBUG, "Call event %s: %s\n", EventName(ev), reason.c_str());
  if (Hooks().event_call) Hooks().event_call(*this, ev, reason);
}

int Call::SequenceOf(const SipMessage& m) const {
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  return cseq != nullptr ? cseq->Sequence() : -1;
}

void Call::Process(DialogEvent event, Direction dir) {
  using S = DialogState;
  using E = DialogEvent;
  if (!message_) return;
  SipMessage& m = *message_;
  if (dir == FROM_CLIENT && m.IsRequest()) {
    if (HasDefect(Defect::RESTORE_REQUEST_URI) && m.URI().User() == "ostrel") {
      if (auto* to = m.Header<ToHeader>(HID::HID_TO)) {
        m.URI() = static_cast<const SipUri&>(*to);
        LogLine(LEVEL_DEBUG, "Wrong Dialog. Restore Request-URI\n");
        if (State() == S::AUTH && m.IsInvite()) {
          defects_.Add(Defect::ZERO_MEDIA);
          LogLine(LEVEL_DEBUG, "Add 'T' to Defect: %s\n", defects_.Letters().c_str());
        }
      }
    }
    const int seq = SequenceOf(m);
    if (seq > client_max_cseq_) client_max_cseq_ = seq;
  }
  if (dir != FROM_NOWHERE && m.IsAck()) ConfirmByAck();

  const S old = State();
  LogLine(LEVEL_DEBUG, "Transaction: %s --> %s\n", StateName(old), DialogEventName(event));
  // While its handler runs the event is the call's state; a pair without a handler puts the old one back.
  if (old != S::COMPLETE) {
    if (const std::optional<S> arrived = StateOnArrival(event))
      state_.store(*arrived, std::memory_order_release);
  }

  switch (event) {
    case E::INVITE_RECV:
      if (old == S::Z_DONE && timer_type_ == T_ZANSWER) {
        LogLine(LEVEL_DEBUG, "Cancel T_ZANSWER Timer\n");
        CancelTimer(T_ZANSWER);
      }
      if (old == S::BLANK || old == S::Z_DONE || old == S::PASS) return InviteReceived(dir);
      break;
    case E::START_FULL_MODE:
      switch (old) {
        case S::INVITE_RECV:
        case S::OPTIONS_SENT:
        case S::OPTIONS_RECV:
        case S::X_183_SENT:
        case S::X_ACK_SENT:
        case S::MOVED:
          return GoFull(true);
        default:
          break;
      }
      break;
    case E::OPTIONS_RECV:
      if (old == S::OPTIONS_SENT) return OptionsReceived(true);
      break;
    case E::X_CLNMEDIA_RECV:
      switch (old) {
        case S::INVITE_SENT:
          state_.store(old, std::memory_order_release);
          LogLine(LEVEL_DEBUG, "Do nothing\n");
          return;
        case S::X_INVITE_SENT:
        case S::X_ACK_SENT:
          return ClientMediaReceived();
        case S::X_183_SENT:
          ResumeInvite();
          InviteSending();
          State(S::INVITE_SENT);
          return;
        default:
          break;
      }
      break;
    case E::CANCEL_RECV:
      switch (old) {
        case S::OPTIONS_SENT:
        case S::INVITE_SENT:
        case S::X_INVITE_SENT:
        case S::X_183_SENT:
        case S::Z_OK_SENT:
        case S::CANCEL_RECV:
        case S::AUTH:
        case S::MOVED:
        case S::PASS:
          return CancelReceived(dir);
        case S::X_ACK_SENT:
          return XAckCancel();
        case S::COMPLETE:
          return Completed(dir);
        default:
          break;
      }
      break;
    case E::PASS:
      switch (old) {
        case S::BLANK:
          Pass(dir);
          State(S::PASS);
          return;
        case S::OPTIONS_SENT:
        case S::INVITE_SENT:
        case S::X_INVITE_SENT:
        case S::X_183_SENT:
        case S::X_ACK_SENT:
          return InviteResponse(dir);
        case S::Z_OK_SENT:
          return ZeroModeOk(dir);
        case S::Z_ACK_RECV:
          return ZeroModeAck(dir);
        case S::Z_DONE:
          return ZeroAnswer(dir);
        case S::Z_INV_SENT:
          return ZeroReinviteResponse(dir);
        case S::CANCEL_RECV:
          return Canceled(dir);
        case S::AUTH:
          return AuthSkip(dir);
        case S::MOVED:
          return Moved(dir);
        case S::PASS:
        case S::COMPLETE:
          return Completed(dir);
        case S::REFER_RECV:
          return ReferReceived(dir);
        default:
          break;
      }
      break;
    case E::REFER_RECV:
      if (old == S::PASS || old == S::Z_DONE || old == S::REFER_RECV) return ReferReceived(dir);
      break;
    case E::CLN_REGISTER_RECV:
      break;
  }
  state_.store(old, std::memory_order_release);
  LogLine(LEVEL_ERROR, "Error: No Action (%s ==> %s)\n", StateName(old), DialogEventName(event));
}

void Call::ConfirmByAck() {
  if (!original_invite_) return;
  const std::string ack = BranchOf(*message_), inv = BranchOf(*original_invite_);
  confirmed_ = ack.rfind("z9hG4bK", 0) == 0 && inv.rfind("z9hG4bK", 0) == 0 && ack != inv;
  auto* to = message_->Header<ToHeader>(HID::HID_TO);
  if (!confirmed_ || to == nullptr || to->Params().Param("tag") == nullptr) return;
  table_->ReleaseUnanswered(*this);
  if (mode_ == NatType::OPAQUE) {
    relay_.Established(true);
  } else if (State() != DialogState::X_INVITE_SENT && State() != DialogState::X_ACK_SENT) {
    ClosePorts();  // the media flows directly
  }
  if (invite_direction_ == FROM_SERVER && HasDefect(Defect::DROP_FAST_REINVITE))
    last_ack_time_ = PollReactor::NowMs();
  last_update_ = time(nullptr);
  if (Hooks().ha_call) Hooks().ha_call(*this, true);
  CallEvent(E_TALK, "");
  master_ = true;
}

void Call::StopCall() {
  CancelTimer(T_ANY);
  if (registration_ != nullptr) {
    // The record may be gone meanwhile (its removal clears registration_ through the key manager): look it
    // up.
    if (ObjectGuard<Registration> reg = Registration::GetRegister(new_contact_)) reg->RemCall(number_);
    registration_ = nullptr;
  }
  if (State() != DialogState::BLANK && master_ && Hooks().ha_call) Hooks().ha_call(*this, false);
  ClosePorts();
}

void Call::OriginalInvite(const SipMessage& m) {
  original_invite_ = std::make_unique<SipMessage>(m);
  response_.reset();
}

void Call::SetSrvMsg() {
  if (!server_message_) server_message_ = std::make_unique<SipMessage>(*message_);
}

void Call::RetransmittedMessage(const char* name) {
  retransmitted_ = std::make_unique<SipMessage>(*message_);
  retransmissions_ = 0;
  ScheduleTimer(T_RETRANS, &g_external_port, kFirstRetransMs);
  LogLine(LEVEL_DEBUG, "Set timer for %s to 0.5 sec.\n", name);
}

void Call::SendTo(Direction to, SipMessage& m) const {
  if (to == FROM_CLIENT)
    g_external_port.send(m, client_sip_address_, log_level_, LogThreshold());
  else
    g_internal_port.send(m, server_sip_address_, log_level_, LogThreshold());
}

void Call::ReplyTo(const SipMessage& req, Direction to, int code, const std::string& reason) {
  SipMessage answer(req);
  const InetAddress& where = to == FROM_CLIENT ? client_sip_address_ : server_sip_address_;
  const SipPort& port = to == FROM_CLIENT ? static_cast<const SipPort&>(g_external_port) : g_internal_port;
  if (Dialog::Hooks().bounce)
    Dialog::Hooks().bounce(answer, code, reason, where, port);
  else
    Bounce(answer, code, reason, where, port);
}

void Call::Reply(Direction to, int code, const std::string& reason) { ReplyTo(*message_, to, code, reason); }

bool Call::Retransmit() {
  if (!retransmitted_) return true;
  if (retransmissions_ == 0) CallEvent(E_TIMEOUT, "");
  timer_id_ = PollReactor::kNoTimer;
  timer_type_ = T_NONE;
  if (!NextServer()) {
    LogLine(LEVEL_DEBUG, "RETRANS Timeout - Max number of retransmissions is reached\n");
    return TimeOut();
  }
  LogLine(LEVEL_DEBUG, "RETRANS Timeout - retransmit %d\n", retransmissions_);
  SipMessage again(*retransmitted_);
  SendTo(State() == DialogState::Z_OK_SENT ? FROM_CLIENT : Other(invite_direction_), again);
  LogLine(LEVEL_DEBUG, "Set timer for RETRANS to 1 sec.\n");
  ScheduleTimer(T_RETRANS, &g_external_port, kNextRetransMs);
  return true;
}

// The INVITE's sender learns that the other side stayed silent; an initial INVITE is cancelled toward that
// side and the call goes, an unanswered re-INVITE ends the established call.
bool Call::TimeOut() {
  if (!original_invite_) return false;
  const bool initial = !WithinDialog();
  const std::string reason = initial ? "Request Timeout" : "Server Time-out";
  ReplyTo(*original_invite_, invite_direction_, initial ? 408 : 504, reason);
  CallEvent(E_CANCEL, reason);
  if (initial || State() == DialogState::Z_OK_SENT || State() == DialogState::Z_INV_SENT) {
    SendCancel(true);
    return false;
  }
  SendXBye();
  return true;
}

int Call::CheckSequence(Direction dir) {
  const SipMessage& m = *message_;
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  auto* orig = original_invite_ ? original_invite_->Header<CSeqHeader>(HID::HID_CSEQ) : nullptr;
  const bool answer =
      m.IsResponse() && cseq != nullptr && cseq->Method() == SipMessage::INVITE && dir != invite_direction_;
  const bool ack = m.IsAck() && dir == invite_direction_;
  if ((answer || ack) && cseq != nullptr && orig != nullptr) {
    int expected = orig->Sequence();
    if (dir == FROM_CLIENT && invite_direction_ == FROM_SERVER) expected += cseq_shift_;
    const int diff = expected - cseq->Sequence();
    if (diff != 0) LogLine(LEVEL_DEBUG, "Warning: Message is out of sequence - ignore\n");
    return diff;
  }
  if (!m.IsPrack()) LogLine(LEVEL_DEBUG, "CheckSeqNo() Not part of current INVITE transaction\n");
  return -1;
}

bool Call::CleanDefect() {
  bool removed = false;
  for (Defect d :
       {Defect::NO_100REL, Defect::EARLY_MEDIA_AS_ANSWER, Defect::ZERO_MEDIA, Defect::NO_RECORD_ROUTE})
    removed = defects_.Remove(d) || removed;
  return removed;
}
