// How a call ends before or after it is answered: CANCEL held or forwarded, the relay's own CANCEL and
// BYE, the challenge wait, a moved call restarting, and what a completed call still relays.
// Worker threads and the reactor's timers, with the call locked.
#include "config/config.h"
#include "dialogs/call.h"
#include "foundation/log.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"

namespace {

using HID = SIP_HeadIds;

void RemoveToTag(SIP& m) {
  if (auto* to = m.Header<SIP_Head_To>(HID::HID_To)) to->Params().Remove("tag");
}

}  // namespace

void Call_t::CancelRecv(Direction_t dir) {
  SIP& m = *msg_m;
  if (dir == FROM_CLN && !WithinDlg()) {
    RemoveToTag(m);
    if (Defect('A') && org_m) {
      if (auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq)) cseq->SeqNo(SeqOf(*org_m));
      DLog(LOG_DEBUG, "Defect 'A' - Correct SeqNo\n");
    }
  }
  // A CANCEL repeated while the first one is held back changes nothing.
  if (HeldCancel_m) {
    State(CANCEL_RECV);
    return;
  }
  const char* who = dir == FROM_CLN ? "CLN" : "SRV";
  if (InvRspRecv_m) {
    Pass(dir);
    Complete(E_CANCEL, who);
    return;
  }
  Complete(E_CANCEL, who);
  HeldCancel_m = true;
  State(CANCEL_RECV);
}

// The CANCEL that was held back goes out with the first provisional answer of the called side.
void Call_t::Canceled(Direction_t dir) {
  const SIP& m = *msg_m;
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  const bool provisional = m.IS_Response() && m.Status() < 200 && cseq != nullptr &&
                           cseq->Method() == SIP::INVITE && dir != InvDirect_m;
  if (!provisional) {
    // The called side answered before the CANCEL could go out: the caller gets the answer and ends
    // the call itself, rather than leaving the called side in a call nobody hangs up.
    if (m.IS_Response() && m.Status() >= 200 && dir != InvDirect_m && cseq != nullptr &&
        cseq->Method() == SIP::INVITE) {
      Pass(dir);
      State(COMPLETE);
    }
    return;
  }
  SendCancel(false);
  State(COMPLETE);
}

void Call_t::SendCancel(bool dropVia) {
  if (!org_m) return;
  SIP cancel(*org_m);
  cancel.Convert(SIP::CANCEL);
  cancel.set(HID::HID_User_Agent, Cfg.AgentName);
  RemoveToTag(cancel);
  if (dropVia) cancel.remove(HID::HID_Via);
  Pass(InvDirect_m, &cancel);  // as if from the inviting side: toward the answering one
}

void Call_t::Completed(Direction_t dir) {
  Pass(dir);
}

void Call_t::Moved(Direction_t dir) {
  if (!msg_m->is_INVITE()) return Pass(dir);
  CancelTimer(T_COMPLETE);
  Mode_m = FWType::UNKNOWN;
  ClnRtp_m.RDest(InetAddr());
  State(INVITE_RECV);
  InviteRecv(dir);
}

void Call_t::AuthSkip(Direction_t dir) {
  SIP& m = *msg_m;
  if (m.is_INVITE() && dir == FROM_CLN) {
    DLog(LOG_DEBUG, "Cancel AUTH Timer\n");
    CancelTimer(T_AUTH);
    auto* to = m.Header<SIP_Head_To>(HID::HID_To);
    if (to != nullptr && to->Params().Param("tag") != nullptr) {
      to->Params().Remove("tag");
      DLog(LOG_DEBUG, "Remove Unexpected 'To:' tag!\n");
    }
    if (!PublicIP_m && Defect('S') && org_m) {
      m.Body(org_m->Body());
      DLog(LOG_DEBUG, "Defect 'S' - Restore SDP.\n");
    }
    State(INVITE_RECV);
    InviteRecv(FROM_CLN);
    return;
  }
  if (!m.IS_Response() && !m.is_ACK() && !m.is_INVITE())
    DLog(LOG_ERROR, "Error: AuthSkip() Unexpected condition\n");
  Pass(dir);
}

// Ends an established call toward the server with a BYE of the relay's own, built from the server's
// answer (or request) kept at the start of the call.
void Call_t::SendXBye() {
  if (!srv_m) return;
  DLog(LOG_DEBUG, "Send brutal BYE!!!\n");
  SIP bye(*srv_m);
  const bool wasRequest = bye.IS_Request();
  bye.Convert(SIP::BYE);
  bye.remove(HID::HID_Via);
  bye.set(HID::HID_User_Agent, Cfg.AgentName);
  auto* to = bye.Header<SIP_Head_To>(HID::HID_To);
  if (WithinDlg() && to != nullptr && to->Params().Param("tag") == nullptr) {
    const size_t amp = key_m.rfind('&');
    if (amp != std::string::npos) to->Params().Param("tag", key_m.substr(amp + 1));
  }
  bye.RouteSetFrom(*srv_m, wasRequest);
  // The relay's own inner face on top names the relay itself: the BYE would come straight back to it.
  const std::string inner = Cfg.server_ipaddr;
  while (auto* r = bye.Header<SIP_Head_Route>(HID::HID_Route)) {
    if (r->User() != UniqStr_m || r->Host() != inner) break;
    bye.pop_front(HID::HID_Route);
  }
  if (wasRequest) bye.swapFT();
  bye.remove(HID::HID_Record_Route);
  if (auto* cseq = bye.Header<SIP_Head_CSeq>(HID::HID_CSeq)) cseq->SeqNo(ClnMaxCSeqNum_m + 1000);
  Pass(FROM_CLN, &bye);
}
