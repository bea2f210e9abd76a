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

using HID = HeaderIds;

void RemoveToTag(SipMessage& m) {
  if (auto* to = m.Header<ToHeader>(HID::HID_TO)) to->Params().Remove("tag");
}

}  // namespace

void Call::CancelReceived(Direction dir) {
  SipMessage& m = *message_;
  if (dir == FROM_CLIENT && !WithinDialog()) {
    RemoveToTag(m);
    if (HasDefect(Defect::INVITE_NEEDS_SDP) && original_invite_) {
      if (auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ)) cseq->Sequence(SequenceOf(*original_invite_));
      LogLine(LEVEL_DEBUG, "Defect 'A' - Correct SeqNo\n");
    }
  }
  // The INVITE is still held back while the client is probed: nobody else knows of it, the relay answers.
  if (held_invite_ && original_invite_ && dir == invite_direction_) {
    Reply(dir, 200, "OK");
    ReplyTo(*original_invite_, dir, 487, "Request Terminated");
    held_invite_.reset();
    Complete(E_CANCEL, dir == FROM_CLIENT ? "CLN" : "SRV");
    return;
  }
  // The server gave up while the relay's own dialog with the client exists: that dialog is ended too.
  if (dir == FROM_SERVER && second_invite_) return XAckCancel();
  // A CANCEL repeated while the first one is held back changes nothing.
  if (held_cancel_) {
    State(DialogState::CANCEL_RECV);
    return;
  }
  const char* who = dir == FROM_CLIENT ? "CLN" : "SRV";
  if (invite_answered_) {
    Pass(dir);
    Complete(E_CANCEL, who);
    return;
  }
  Complete(E_CANCEL, who);
  held_cancel_ = true;
  State(DialogState::CANCEL_RECV);
}

// The CANCEL that was held back goes out with the first provisional answer of the called side.
void Call::Canceled(Direction dir) {
  const SipMessage& m = *message_;
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  const bool provisional = m.IsResponse() && m.Status() < 200 && cseq != nullptr &&
                           cseq->Method() == SipMessage::INVITE && dir != invite_direction_;
  if (!provisional) {
    // The called side answered before the CANCEL could go out: the caller gets the answer and ends
    // the call itself, rather than leaving the called side in a call nobody hangs up.
    if (m.IsResponse() && m.Status() >= 200 && dir != invite_direction_ && cseq != nullptr &&
        cseq->Method() == SipMessage::INVITE) {
      Pass(dir);
      State(DialogState::COMPLETE);
    }
    return;
  }
  SendCancel(false);
  State(DialogState::COMPLETE);
}

// Timer C: the called side keeps the INVITE provisional for too long. As when it never answered at all,
// the caller gets 408 and the called side the relay's CANCEL; the call then lingers to pass the called
// side's 487 and the caller's ACK.
void Call::InviteTimeout() {
  timer_id_ = PollReactor::kNoTimer;
  timer_type_ = T_NONE;
  if (!original_invite_ || WithinDialog() || State() != DialogState::INVITE_SENT) return;
  LogLine(LEVEL_DEBUG, "INVITE Timeout - no final answer in %d sec.\n", g_config.invite_timeout);
  ReplyTo(*original_invite_, invite_direction_, 408, "Request Timeout");
  SendCancel(true);
  Complete(E_CANCEL, "Request Timeout");
}

void Call::SendCancel(bool drop_via) {
  if (!original_invite_) return;
  SipMessage cancel(*original_invite_);
  cancel.Convert(SipMessage::CANCEL);
  cancel.Set(HID::HID_USER_AGENT, g_config.agent_name);
  RemoveToTag(cancel);
  if (drop_via) cancel.Remove(HID::HID_VIA);
  Pass(invite_direction_, &cancel);  // as if from the inviting side: toward the answering one
}

void Call::Completed(Direction dir) {
  if (dir == FROM_SERVER && message_->IsResponse() && HasDefect(Defect::ZERO_MEDIA) && !zero_message_) {
    if (auto* to = message_->Header<ToHeader>(HID::HID_TO)) to->Params().Param("tag", ZeroTag());
  }
  Pass(dir);
}

void Call::Moved(Direction dir) {
  if (!message_->IsInvite()) return Pass(dir);
  CancelTimer(T_COMPLETE);
  mode_ = NatType::UNKNOWN;
  client_rtp_.RtpDestination(InetAddress());
  State(DialogState::INVITE_RECV);
  InviteReceived(dir);
}

void Call::AuthSkip(Direction dir) {
  SipMessage& m = *message_;
  if (m.IsInvite() && dir == FROM_CLIENT) {
    LogLine(LEVEL_DEBUG, "Cancel AUTH Timer\n");
    CancelTimer(T_AUTH);
    auto* to = m.Header<ToHeader>(HID::HID_TO);
    if (to != nullptr && to->Params().Param("tag") != nullptr) {
      to->Params().Remove("tag");
      LogLine(LEVEL_DEBUG, "Remove Unexpected 'To:' tag!\n");
    }
    if (!public_ip_ && HasDefect(Defect::RESTORE_SDP_AFTER_CHALLENGE) && original_invite_) {
      m.Body(original_invite_->Body());
      LogLine(LEVEL_DEBUG, "Defect 'S' - Restore SDP.\n");
    }
    State(DialogState::INVITE_RECV);
    InviteReceived(FROM_CLIENT);
    return;
  }
  if (dir == FROM_SERVER && HasDefect(Defect::ZERO_MEDIA)) {
    if (auto* to = m.Header<ToHeader>(HID::HID_TO)) to->Params().Param("tag", ZeroTag());
    return Pass(dir);
  }
  if (!m.IsResponse() && !m.IsAck() && !m.IsInvite())
    LogLine(LEVEL_ERROR, "Error: AuthSkip() Unexpected condition\n");
  Pass(dir);
}

// Ends an established call toward the server with a BYE of the relay's own, built from the server's
// answer (or request) kept at the start of the call.
void Call::SendXBye() {
  if (!server_message_) return;
  LogLine(LEVEL_DEBUG, "Send brutal BYE!!!\n");
  SipMessage bye(*server_message_);
  const bool was_request = bye.IsRequest();
  bye.Convert(SipMessage::BYE);
  bye.Remove(HID::HID_VIA);
  bye.Set(HID::HID_USER_AGENT, g_config.agent_name);
  auto* to = bye.Header<ToHeader>(HID::HID_TO);
  if (WithinDialog() && to != nullptr && to->Params().Param("tag") == nullptr) {
    const size_t amp = key_.rfind('&');
    if (amp != std::string::npos) to->Params().Param("tag", key_.substr(amp + 1));
  }
  bye.RouteSetFrom(*server_message_, was_request);
  // The relay's own inner face on top names the relay itself: the BYE would come straight back to it.
  const std::string inner = g_config.server_ipaddr;
  while (auto* r = bye.Header<RouteHeader>(HID::HID_ROUTE)) {
    if (r->User() != number_text_ || r->Host() != inner) break;
    bye.pop_front(HID::HID_ROUTE);
  }
  if (was_request) bye.SwapFromTo();
  bye.Remove(HID::HID_RECORD_ROUTE);
  if (auto* cseq = bye.Header<CSeqHeader>(HID::HID_CSEQ)) cseq->Sequence(client_max_cseq_ + 1000);
  Pass(FROM_CLIENT, &bye);
}
