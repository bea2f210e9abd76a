// The relay's own signalling that tests whether a client's media gets through its NAT: a 183 with an offer
// pointing at the relay's ports (client calls), an INVITE of its own and the ACK of the client's 200
// (server calls), the second INVITE once the client's media was seen, and the way out of it on CANCEL.
// Worker threads and the reactor thread, with the call locked.
#include <strings.h>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "foundation/log.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_media_rtp.h"

namespace {

using HID = HeaderIds;

constexpr int kMediaWaitMs = 1000;
constexpr int kT38MediaWaitMs = 4000;

// An offer of fax alone: an image stream and no audio.
bool IsT38(SipMessage& m) {
  Sdp* sdp = IsSDP(m) ? m.GetSDP() : nullptr;
  return sdp != nullptr && sdp->Media(SdpMedia::IMAGE) != nullptr && sdp->Media(SdpMedia::AUDIO) == nullptr;
}

std::string OuterFace(const std::string& user) {
  return "<sip:" + user + '@' + g_config.myipaddr + ':' + std::to_string(g_config.main_port) + ";lr>";
}

bool SupportsTimer(const SipMessage& m) {
  auto* sup = m.Header<SupportedHeader>(HID::HID_SUPPORTED);
  if (sup != nullptr) return sup->Value().find("timer") != std::string::npos;
  const char* raw = m.Header(std::string_view("Supported"));
  return raw != nullptr && std::string_view(raw).find("timer") != std::string_view::npos;
}

}  // namespace

void Call::HoldInvite() {
  if (!held_invite_ && message_ && message_->IsInvite())
    held_invite_ = std::make_unique<SipMessage>(*message_);
}

void Call::ResumeInvite() {
  if (held_invite_) message_ = std::move(held_invite_);
}

// A client call: the client gets an early answer whose media points at the relay; its media arriving there
// within a second shows that direct media will get through.
void Call::SendX183() {
  if (!original_invite_) return;
  HoldInvite();
  // A transcoding rule chose the codec already; the probe must not replace it.
  if (transcoding_ <= 0) bare_codec_ = PreferredCodec(*original_invite_);
  // The ports the client offered tell whether its NAT kept them when its media arrives.
  NoteClientPorts(*original_invite_);
  if (!OpenProbeMedia()) {
    ReplyTo(*original_invite_, FROM_CLIENT, 500, "Server Internal Error");
    Complete(E_REJECT, "No Ports Available");
    return;
  }
  SipMessage answer(*original_invite_);
  answer.Convert(static_cast<SipStatus>(183), "Bogus Session in progress");
  answer.Set(HID::HID_CONTENT_TYPE, "application/sdp");
  answer.Body(ProbeSDP(false));
  RegisterProbeMedia(true);
  auto* to = answer.Header<ToHeader>(HID::HID_TO);
  if (to != nullptr && to->Params().Param("tag") == nullptr) to->Params().Param("tag", ZeroTag());
  answer.Remove(HID::HID_USER_AGENT);
  answer.Remove(HID::HID_CONTACT);
  answer.Set(HID::HID_SERVER, g_config.agent_name);
  if (HasDefect(Defect::RESTORE_REQUEST_URI))
    answer.Set(HID::HID_CONTACT, "<sip:ostrel@" + std::string(g_config.myipaddr) + ':' +
                                     std::to_string(g_config.main_port) + '>');
  else if (HasDefect(Defect::RECORD_ROUTE_IN_PROBE_183))
    answer.push_back(HID::HID_RECORD_ROUTE, OuterFace(number_text_));
  g_external_port.send(answer, client_sip_address_, log_level_, LogThreshold());
  State(DialogState::X_183_SENT);
  LogLine(LEVEL_DEBUG, "Set timer for 'Early Media' to %d sec.\n", kMediaWaitMs / 1000);
  ScheduleTimer(T_MEDIA, &g_alternate_port, kMediaWaitMs);
}

// A server call: the client first gets the relay's own offer; the server's INVITE follows once the client's
// media showed where it comes from.
void Call::SendXInvite() {
  ResumeInvite();
  if (!OpenProbeMedia()) {
    if (original_invite_) ReplyTo(*original_invite_, FROM_SERVER, 500, "Server Error/No Ports");
    Complete(E_REJECT, "No Ports Available");
    return;
  }
  if (!WithinDialog() && !IsSDP(*message_)) {
    message_->Set(HID::HID_CONTENT_TYPE, "application/sdp");
    message_->Body(ProbeSDP(true));
    if (HasDefect(Defect::INVITE_NEEDS_SDP)) defects_.Clear();
  }
  State(DialogState::X_INVITE_SENT);
  InviteSending();
}

// The client's 200 to the relay's own INVITE: taken as the dialog's answer, acknowledged by the relay and
// kept for the server, which gets it once the second INVITE is answered.
void Call::ClientAnsweredProbe() {
  SipMessage& m = *message_;
  if (State() == DialogState::X_ACK_SENT) {
    LogLine(LEVEL_DEBUG, "Warning: Duplicate 200 OK, Most likely the previous X_ACK was lost\n");
    PassXAck();
    return;
  }
  if (!WithinDialog()) NoteClientPorts(m);
  auto* to = m.Header<ToHeader>(HID::HID_TO);
  const char* tag = to != nullptr ? to->Params().Param("tag") : nullptr;
  if (tag != nullptr && original_invite_) {
    if (auto* org_to = original_invite_->Header<ToHeader>(HID::HID_TO)) org_to->Params().Param("tag", tag);
  }
  OverwriteKey();
  confirmed_ = true;
  if (!client_ok_) {
    client_ok_ = std::make_unique<SipMessage>(m);
    LogLine(LEVEL_DEBUG, "Store 200 OK\n");
  }
  SendXAck();
}

// A fax call is slow to start its media: the wait is longer and only the image stream counts.
void Call::SendXAck() {
  PassXAck();
  const bool t38 = original_invite_ && IsT38(*original_invite_);
  if (ClientRtpKnown() && !t38) {
    Process(DialogEvent::X_CLNMEDIA_RECV, FROM_NOWHERE);
    return;
  }
  if (timer_id_ != PollReactor::kNoTimer) return;
  if (t38) client_rtp_.RtpDestination(InetAddress());
  RegisterProbeMedia(!t38);
  const int wait = t38 ? kT38MediaWaitMs : kMediaWaitMs;
  LogLine(LEVEL_DEBUG, "Set timer for 'X Client Media' to %d sec.\n", wait / 1000);
  ScheduleTimer(T_MEDIA, &g_alternate_port, wait);
  State(DialogState::X_ACK_SENT);
}

// The relay's ACK of the client's 200 (the current message), toward the client.
void Call::PassXAck() { PassXAck(*message_); }

void Call::PassXAck(const SipMessage& ok) {
  lost_ack_ = true;
  SipMessage ack(ok);
  ack.Convert(SipMessage::ACK);
  ack.Set(HID::HID_USER_AGENT, g_config.agent_name);
  ack.Remove(HID::HID_VIA);
  ack.Remove(HID::HID_CONTACT);
  ack.Remove(HID::HID_RECORD_ROUTE);
  if (WithinDialog() && original_invite_ && original_invite_->Header(HID::HID_ROUTE) != nullptr) {
    std::unique_ptr<HeaderLine> first = original_invite_->Header(HID::HID_ROUTE)->Copy();
    first->DetachNext();
    ack.Set(HID::HID_ROUTE, std::move(first));
  } else {
    ack.RouteSetFrom(ok, false);
    const std::string outer = g_config.myipaddr;
    while (auto* r = ack.Header<RouteHeader>(HID::HID_ROUTE)) {
      if (r->User() != number_text_ || r->Host() != outer) break;
      ack.pop_front(HID::HID_ROUTE);
    }
  }
  // The 200 carries the client's numbering; the relay adds the shift again on the way.
  if (auto* cseq = ack.Header<CSeqHeader>(HID::HID_CSEQ)) cseq->Shift(-int64_t{cseq_shift_});
  Pass(FROM_SERVER, &ack);
}

void Call::ClientMediaReceived() {
  MakeSecondInvite();
  InviteSending();
  State(DialogState::INVITE_SENT);
}

// The server's INVITE, in the dialog the relay opened with the client. The client-side numbering moves
// past the relay's own transactions.
void Call::MakeSecondInvite() {
  if (!original_invite_) return;
  held_invite_.reset();
  second_invite_ = true;
  cseq_shift_ += no_prack_ + 1;
  message_ = SecondInvite();
}

// The stored INVITE reduced to its dialog headers, keeping the session timer it asked for.
std::unique_ptr<SipMessage> Call::SecondInvite() const {
  auto second = std::make_unique<SipMessage>(*original_invite_);
  second->restrict();
  if (SupportsTimer(*original_invite_)) {
    second->Set(HID::HID_SUPPORTED, "timer");
    for (const char* name : {"Session-Expires", "Min-SE"}) {
      if (const char* v = original_invite_->Header(std::string_view(name))) second->Header(name, v);
    }
  }
  return second;
}

// The client refuses the second INVITE as outside any dialog: the relay's ACK of its first 200 was lost.
// It is sent again (as a transaction's and as a dialog's ACK) and the INVITE follows with a new number.
void Call::RecoverLostAck() {
  LogLine(LEVEL_DEBUG, "Warning: Lost X_ACK - Send it again and repeat the INVITE\n");
  const bool was = confirmed_;
  confirmed_ = false;
  PassXAck(*client_ok_);
  confirmed_ = true;
  PassXAck(*client_ok_);
  confirmed_ = was;
  ++cseq_shift_;
  lost_ack_ = false;
  CancelTimer(T_ANY);
  message_ = SecondInvite();
  InviteSending();
  State(DialogState::INVITE_SENT);
}

// The server gave up while the relay's own dialog with the client exists: that dialog ends with a BYE
// and the server's INVITE is answered as cancelled.
void Call::XAckCancel() {
  Reply(FROM_SERVER, 200, "OK");
  if (original_invite_) ReplyTo(*original_invite_, FROM_SERVER, 487, "Terminated..");
  Complete(E_CANCEL, "SRV");
  if (original_invite_) {
    SipMessage bye(*original_invite_);
    bye.Convert(SipMessage::BYE);
    bye.Remove(HID::HID_VIA);
    bye.Remove(HID::HID_RECORD_ROUTE);
    bye.Set(HID::HID_USER_AGENT, g_config.agent_name);
    if (auto* cseq = bye.Header<CSeqHeader>(HID::HID_CSEQ)) cseq->Sequence(cseq->Sequence() + 1);
    Pass(FROM_SERVER, &bye);
  }
}
