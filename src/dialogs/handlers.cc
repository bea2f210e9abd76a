// A plain dialog's handling of client and server messages: the device workarounds on NOTIFYs from the
// server, the relay, and the linger of a completed transaction that answers retransmissions itself.
// Worker threads, with the dialog locked.
#include <sched.h>
#include <strings.h>

#include <string>

#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
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

bool Dialog::IsRetransmission(const SipMessage& req) const {
  auto* cseq = req.Header<CSeqHeader>(HID::HID_CSEQ);
  return cseq != nullptr && cseq->Sequence() == transaction_.cseq && req.Method() == transaction_.method &&
         TopBranch(req) == transaction_.branch;
}

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
  if (timer_type_ == T_TRANSACTION) CancelTimer(T_TRANSACTION);
  LogLine(LEVEL_DEBUG, "Set timer 'COMPLETE' to %d sec.\n", kLingerMs / 1000);
  ScheduleTimer(T_COMPLETE, &g_internal_port, kLingerMs);
}

bool Dialog::AbsorbRetransmission(Direction dir) {
  if (!final_response_ || !message_->IsRequest() || dir != direction_) return false;
  if (IsRetransmission(*message_)) {
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
