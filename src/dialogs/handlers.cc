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

using HID = SIP_HeadIds;

constexpr std::string_view kProceeding = "<state>proceeding</state>";
constexpr std::string_view kConfirmed = "<state>confirmed</state> ";
static_assert(kProceeding.size() == kConfirmed.size());

std::string TopBranch(const SIP& m) {
  auto* via = m.Header<SIP_Head_Via>(HID::HID_Via);
  const char* branch = via != nullptr ? via->Param("branch") : nullptr;
  return branch != nullptr ? branch : "";
}

}  // namespace

void Dialog_t::HandleClnMsg(State_t) {
  if (!msg_m || AbsorbRetransmission(FROM_CLN)) return;
  if (msg_m->IS_Request() && Direction_m == FROM_CLN) NoteTransaction(*msg_m);
  Pass(FROM_CLN);
  AfterRelay(FROM_CLN);
  CountMethod();
}

void Dialog_t::HandleSrvMsg(State_t) {
  if (!msg_m || AbsorbRetransmission(FROM_SRV)) return;
  if (msg_m->is_NOTIFY() && !NotifyWorkarounds()) return;
  if (msg_m->IS_Request() && Direction_m == FROM_SRV) NoteTransaction(*msg_m);
  Pass(FROM_SRV);
  AfterRelay(FROM_SRV);
  CountMethod();
}

void Dialog_t::CountMethod() const {
  const SIP::Method_t method = msg_m->Method();
  if (method != SIP::Blank_Method && Hooks().CountMethod) Hooks().CountMethod(method);
}

bool Dialog_t::NotifyWorkarounds() {
  SIP& m = *msg_m;
  m.parse(HID::HID_Event);
  auto* event = m.Header<SIP_Head_Event>(HID::HID_Event);
  const bool dialogEvent = event != nullptr && event->Value() == "dialog";

  // Some devices cannot take a NOTIFY while their call is still being set up: hold it back, the server
  // sends it again.
  if (event != nullptr && Defect('n')) {
    auto* callId = m.Header<SIP_Head_Call_ID>(HID::HID_Call_ID);
    const std::string key = "C&" + (callId != nullptr ? callId->Value() : std::string());
    // This dialog is locked: the table's lock may only be tried, never waited for.
    for (unsigned k = 0; table_m->DlgLock.try_read_lock() != 0; ++k) {
      if (k % 1000 == 1) DLog(LOG_DEBUG, "Defect 'n' - Attempt(%u) to lock Dialog List. Yield!\n", k / 1000);
      sched_yield();
    }
    auto it = table_m->Dialogs.find(key);
    const bool callPending = it != table_m->Dialogs.end() && it->second->State() != COMPLETE;
    table_m->DlgLock.unlock();
    if (callPending) {
      DLog(LOG_DEBUG, "Defect 'n' - Retard NOTIFY\n");
      State(COMPLETE);
      return false;
    }
  }

  if (Defect('s')) {
    m.parse(HID::HID_Call_Info);
    for (SIP_HeadLine* l = m.Header(HID::HID_Call_Info); l != nullptr; l = l->Next()) {
      auto* info = dynamic_cast<SIP_Head_Call_Info*>(l);
      const char* state = info != nullptr ? info->Params().Param("appearance-state") : nullptr;
      if (state != nullptr && (strcasecmp(state, "alerting") == 0 || strcasecmp(state, "held-private") == 0))
        info->Params().Param("appearance-state", "active");
    }
  }

  if (Defect('p') && dialogEvent) {
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

// The request that opened the dialog's current transaction, to tell its retransmissions.
void Dialog_t::NoteTransaction(const SIP& req) {
  auto* cseq = req.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  Txn_m.cseq = cseq != nullptr ? cseq->SeqNo() : -1;
  Txn_m.method = req.Method();
  Txn_m.branch = TopBranch(req);
}

bool Dialog_t::IsRetransmission(const SIP& req) const {
  auto* cseq = req.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  return cseq != nullptr && cseq->SeqNo() == Txn_m.cseq && req.Method() == Txn_m.method &&
         TopBranch(req) == Txn_m.branch;
}

// A final response to the noted transaction, relayed toward the side that opened it, completes it: the
// dialog keeps it for a while to answer that side's retransmissions instead of relaying them again.
void Dialog_t::AfterRelay(Direction_t dir) {
  if (FinalRsp_m || State() != COMPLETE || dir == Direction_m || Txn_m.cseq < 0) return;
  const SIP& m = *msg_m;
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  if (!m.IS_Response() || m.Status() < 200 || cseq == nullptr || cseq->SeqNo() != Txn_m.cseq ||
      cseq->Method() != Txn_m.method || Txn_m.method == SIP::INVITE)
    return;
  FinalRsp_m = std::make_unique<SIP>(m);
  DLog(LOG_DEBUG, "Set timer 'COMPLETE' to %d sec.\n", kLingerMs / 1000);
  ScheduleTimer(T_COMPLETE, &IntPort, kLingerMs);
}

bool Dialog_t::AbsorbRetransmission(Direction_t dir) {
  if (!FinalRsp_m || !msg_m->IS_Request() || dir != Direction_m) return false;
  if (IsRetransmission(*msg_m)) {
    DLog(LOG_DEBUG, "Retransmission of a completed transaction - answer again\n");
    SIP answer(*FinalRsp_m);
    if (dir == FROM_CLN)
      ExtPort.send(answer, ClnSipAddr_m, LogLevel_m, LogTreshold());
    else
      IntPort.send(answer, SrvSipAddr_m, LogLevel_m, LogTreshold());
    return true;
  }
  // A new transaction in the same dialog ends the linger; the dialog relays it as before.
  CancelTimer(T_COMPLETE);
  FinalRsp_m.reset();
  State(Blank);
  return false;
}
