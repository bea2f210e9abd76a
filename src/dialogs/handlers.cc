// A plain dialog's handling of client and server messages: the device workarounds on NOTIFYs from the
// server, the relay, and the linger of a completed transaction that answers retransmissions itself.
// Worker threads, with the dialog locked.
#include <sched.h>
#include <strings.h>

#include <string>

#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
#include "dialogs/registration.h"
#include "foundation/log.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"

namespace {

using HID = HeaderIds;

constexpr std::string_view kProceeding = "<state>proceeding</state>";
constexpr std::string_view kConfirmed = "<state>confirmed</state> ";
static_assert(kProceeding.size() == kConfirmed.size());

std::string TopBranch(const SipMessage& m) {
  auto* via = m.Header<ViaHeader>(HID::HID_VIA);
  const char* branch = via != nullptr ? via->Param("branch") : nullptr;
  return branch != nullptr ? branch : "";
}

}  // namespace

void Dialog::HandleClientMessage(DialogEvent) {
  if (!message_ || AbsorbRetransmission(FROM_CLIENT)) return;
  if (message_->IsRequest() && direction_ == FROM_CLIENT) NoteTransaction(*message_);
  Pass(FROM_CLIENT);
  AfterRelay(FROM_CLIENT);
  CountMethod();
}

void Dialog::HandleServerMessage(DialogEvent) {
  if (!message_ || AbsorbRetransmission(FROM_SERVER)) return;
  if (message_->IsNotify() && !NotifyWorkarounds()) return;
  if (message_->IsRequest() && direction_ == FROM_SERVER) NoteTransaction(*message_);
  Pass(FROM_SERVER);
  AfterRelay(FROM_SERVER);
  CountMethod();
}

void Dialog::CountMethod() const {
  const SipMessage::RequestMethod method = message_->Method();
  if (method != SipMessage::BLANK_METHOD && Hooks().count_method) Hooks().count_method(method);
}

bool Dialog::NotifyWorkarounds() {
  SipMessage& m = *message_;
  m.Parse(HID::HID_EVENT);
  auto* event = m.Header<EventHeader>(HID::HID_EVENT);
  const bool dialog_event = event != nullptr && event->Value() == "dialog";

  // Some devices cannot take a NOTIFY while their call is still being set up: hold it back, the server
  // sends it again.
  if (event != nullptr && HasDefect(Defect::HOLD_NOTIFY_DURING_CALL_SETUP)) {
    auto* call_id = m.Header<CallIdHeader>(HID::HID_CALL_ID);
    const std::string key = "C&" + (call_id != nullptr ? call_id->Value() : std::string());
    // This dialog is locked: the table's lock may only be tried, never waited for.
    for (unsigned k = 0; table_->table_lock_.TryReadLock() != 0; ++k) {
      if (k % 1000 == 1)
        LogLine(LEVEL_DEBUG, "Defect 'n' - Attempt(%u) to lock Dialog List. Yield!\n", k / 1000);
      sched_yield();
    }
    auto it = table_->dialogs_by_key_.find(key);
    const bool callPending =
        it != table_->dialogs_by_key_.end() && it->second->State() != DialogState::COMPLETE;
    table_->table_lock_.unlock();
    if (callPending) {
      LogLine(LEVEL_DEBUG, "Defect 'n' - Retard NOTIFY\n");
      State(DialogState::COMPLETE);
      return false;
    }
  }

  if (HasDefect(Defect::ACTIVE_APPEARANCE_STATE)) {
    m.Parse(HID::HID_CALL_INFO);
    for (HeaderLine* l = m.Header(HID::HID_CALL_INFO); l != nullptr; l = l->Next()) {
      auto* info = dynamic_cast<CallInfoHeader*>(l);
      const char* state = info != nullptr ? info->Params().Param("appearance-state") : nullptr;
      if (state != nullptr && (strcasecmp(state, "alerting") == 0 || strcasecmp(state, "held-private") == 0))
        info->Params().Param("appearance-state", "active");
    }
  }

  if (HasDefect(Defect::PROCEEDING_AS_CONFIRMED) && dialog_event) {
    std::string body = m.Body();
    size_t replaced = 0;
    for (size_t at = body.find(kProceeding); at != std::string::npos; at = body.find(kProceeding, at)) {
      body.replace(at, kProceeding.size(), kConfirmed);
      at += kConfirmed.size();
      ++replaced;
    }
    if (replaced > 0) m.Body(body);
  }
  return true;
}

// The request that opened the dialog's current transaction, to tell its retransmissions. A new one must
// get its final answer within 32 s (Timer F), or the dialog goes; its retransmissions do not extend that.
void Dialog::NoteTransaction(const SipMessage& req) {
  if (IsRetransmission(req)) return;
  auto* cseq = req.Header<CSeqHeader>(HID::HID_CSEQ);
  transaction_.cseq = cseq != nullptr ? cseq->Sequence() : -1;
  transaction_.method = req.Method();
  transaction_.branch = TopBranch(req);
  if (req.IsAck() || req.IsInvite()) return;
  if (timer_type_ == T_TRANSACTION) CancelTimer(T_TRANSACTION);
  if (timer_id_ != PollReactor::kNoTimer) return;
  ScheduleTimer(T_TRANSACTION, &g_internal_port, kTransactionTimeoutMs);
}

bool Dialog::IsSameTransaction(const Transaction& t, const SipMessage& req) {
  auto* cseq = req.Header<CSeqHeader>(HID::HID_CSEQ);
  return cseq != nullptr && cseq->Sequence() == t.cseq && req.Method() == t.method &&
         TopBranch(req) == t.branch;
}

void Dialog::NoteClientRequest(const SipMessage& req, const InetAddress& source) {
  auto* cseq = req.Header<CSeqHeader>(HID::HID_CSEQ);
  client_request_.cseq = cseq != nullptr ? cseq->Sequence() : -1;
  client_request_.method = req.Method();
  client_request_.branch = TopBranch(req);
  client_request_source_ = source;
}

bool Dialog::IsRetransmission(const SipMessage& req) const { return IsSameTransaction(transaction_, req); }

// A final response to the noted transaction, relayed toward the side that opened it, completes it: the
// dialog keeps it for a while to answer that side's retransmissions instead of relaying them again.
void Dialog::AfterRelay(Direction dir) {
  if (final_response_ || State() != DialogState::COMPLETE || dir == direction_ || transaction_.cseq < 0)
    return;
  const SipMessage& m = *message_;
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  if (!m.IsResponse() || m.Status() < 200 || cseq == nullptr || cseq->Sequence() != transaction_.cseq ||
      cseq->Method() != transaction_.method || transaction_.method == SipMessage::INVITE)
    return;
  final_response_ = std::make_unique<SipMessage>(m);
  answered_again_ = 0;
  if (timer_type_ == T_TRANSACTION) CancelTimer(T_TRANSACTION);
  LogLine(LEVEL_DEBUG, "Set timer 'COMPLETE' to %d sec.\n", kLingerMs / 1000);
  ScheduleTimer(T_COMPLETE, &g_internal_port, kLingerMs);
}

bool Dialog::AbsorbRetransmission(Direction dir) {
  if (!final_response_ || !message_->IsRequest() || dir != direction_) return false;
  if (IsRetransmission(*message_)) {
    if (++answered_again_ > kMaxAnswersAgain) {
      LogLine(LEVEL_DEBUG, "Retransmission of a completed transaction - answered enough, ignore\n");
      return true;
    }
    LogLine(LEVEL_DEBUG, "Retransmission of a completed transaction - answer again\n");
    SipMessage answer(*final_response_);
    if (dir == FROM_CLIENT)
      g_external_port.send(answer, client_sip_address_, log_level_, LogThreshold());
    else
      g_internal_port.send(answer, server_sip_address_, log_level_, LogThreshold());
    return true;
  }
  // A new transaction in the same dialog ends the linger; the dialog relays it as before.
  CancelTimer(T_COMPLETE);
  final_response_.reset();
  State(DialogState::BLANK);
  return false;
}

namespace {

const char* FromTag(const SipMessage& m) {
  auto* from = m.Header<FromHeader>(HID::HID_FROM);
  return from != nullptr ? from->Params().Param("tag") : nullptr;
}

const char* ToTag(const SipMessage& m) {
  auto* to = m.Header<ToHeader>(HID::HID_TO);
  return to != nullptr ? to->Params().Param("tag") : nullptr;
}

}  // namespace

// The previous message of the dialog names its tags; a request of the dialog carries the same two, in
// either order (the client's From tag is the server's To tag in the other direction).
bool Dialog::HasDialogTags(const SipMessage& msg) const {
  if (!message_) return false;
  const char* a = FromTag(*message_);
  const char* b = ToTag(*message_);
  const char* from = FromTag(msg);
  const char* to = ToTag(msg);
  if (a == nullptr || b == nullptr || from == nullptr || to == nullptr) return false;
  auto* id = message_->Header<CallIdHeader>(HID::HID_CALL_ID);
  auto* msg_id = msg.Header<CallIdHeader>(HID::HID_CALL_ID);
  if (id == nullptr || msg_id == nullptr || id->Value() != msg_id->Value()) return false;
  const std::string_view f(from), t(to);
  return (f == a && t == b) || (f == b && t == a);
}

// Whether the client (the user and domain of its new contact) holds a live registration that the server
// accepted from source: the relay's contact for it is this dialog's with source's address and port
// ("sip:user*domain-ip+port@..."). maps_lock_ and the record after this dialog's lock: the lock order
// allows it.
bool Dialog::IsClientRegistrationAddress(const InetAddress& source) const {
  const size_t at = new_contact_.find('@');
  const size_t dash = at == std::string::npos ? std::string::npos : new_contact_.rfind('-', at);
  if (dash == std::string::npos) return false;
  const std::string contact = new_contact_.substr(0, dash + 1) + source.IpText() + "+" +
                              std::to_string(source.Port()) + new_contact_.substr(at);
  ObjectGuard<Registration> reg = Registration::GetRegister(contact);
  return reg && reg->Hole() == source && reg->Expiration() >= time(nullptr);
}

Dialog::ClientSource Dialog::ScreenClientSource(const SipMessage& msg, const InetAddress& source,
                                                uint64_t now_ms) {
  const bool request = msg.IsRequest();
  if (request) {
    const bool again = client_request_.cseq >= 0 && IsSameTransaction(client_request_, msg);
    if (again) {
      if (source != client_request_source_) return ClientSource::DROP;
    } else {
      NoteClientRequest(msg, source);
    }
  }
  if (client_sip_address_.empty() || source == client_sip_address_) {
    client_owes_since_ms_ = 0;
    return ClientSource::ACCEPT;
  }
  if (!request || rsvp_ || public_ip_) return ClientSource::ACCEPT;
  // A REGISTER is kept only once the registrar accepted it: its answer and record follow its source.
  if (msg.IsRegister()) {
    ClientSipAddress(source);
    client_owes_since_ms_ = 0;
    return ClientSource::MOVED;
  }
  if (!HasDialogTags(msg)) return ClientSource::ACCEPT;
  const bool silent = client_owes_since_ms_ != 0 && now_ms - client_owes_since_ms_ >= kClientSilentMs;
  if (!silent && !IsClientRegistrationAddress(source)) return ClientSource::ACCEPT;
  LogLine(LEVEL_DEBUG, "Client moved (%s): %s --> %s\n", silent ? "old address silent" : "registered there",
          client_sip_address_.Text().c_str(), source.Text().c_str());
  ClientSipAddress(source);
  client_owes_since_ms_ = 0;
  return ClientSource::MOVED;
}
