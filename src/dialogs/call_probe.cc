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

using HID = SIP_HeadIds;

constexpr int kMediaWaitMs = 1000;
constexpr int kT38MediaWaitMs = 4000;

// The first of PCMU, G729 and GSM the client offers, 0 when none.
uint8_t ProbeCodec(SIP& invite) {
  SDP* sdp = IsSDP(invite) ? invite.GetSDP() : nullptr;
  const SDP_Media_RTP* audio = sdp != nullptr && !sdp->Medias().empty() ? sdp->Medias().front()->AsRTP() : nullptr;
  if (audio == nullptr) return 0;
  for (const std::string& fmt : audio->Formats()) {
    if (fmt == "0" || fmt == "18" || fmt == "3") return static_cast<uint8_t>(std::stoi(fmt));
  }
  return 0;
}

// An offer of fax alone: an image stream and no audio.
bool IsT38(SIP& m) {
  SDP* sdp = IsSDP(m) ? m.GetSDP() : nullptr;
  return sdp != nullptr && sdp->Media(SDP_Media::IMAGE) != nullptr && sdp->Media(SDP_Media::AUDIO) == nullptr;
}

std::string OuterFace(const std::string& user) {
  return "<sip:" + user + '@' + Cfg.myipaddr + ':' + std::to_string(Cfg.MainPort) + ";lr>";
}

bool SupportsTimer(const SIP& m) {
  auto* sup = m.Header<SIP_Head_Supported>(HID::HID_Supported);
  if (sup != nullptr) return sup->Value().find("timer") != std::string::npos;
  const char* raw = m.Header(std::string_view("Supported"));
  return raw != nullptr && std::string_view(raw).find("timer") != std::string_view::npos;
}

}  // namespace

void Call_t::HoldInvite() {
  if (!held_m && msg_m && msg_m->is_INVITE()) held_m = std::make_unique<SIP>(*msg_m);
}

void Call_t::ResumeInvite() {
  if (held_m) msg_m = std::move(held_m);
}

// A client call: the client gets an early answer whose media points at the relay; its media arriving there
// within a second shows that direct media will get through.
void Call_t::SendX183() {
  if (!org_m) return;
  HoldInvite();
  // A transcoding rule chose the codec already; the probe must not replace it.
  if (Transc_m <= 0) BCodec_m = ProbeCodec(*org_m);
  // The ports the client offered tell whether its NAT kept them when its media arrives.
  NoteClientPorts(*org_m);
  if (!OpenProbeMedia()) {
    ReplyTo(*org_m, FROM_CLN, 500, "Server Internal Error");
    Complete(E_REJECT, "No Ports Available");
    return;
  }
  SIP answer(*org_m);
  answer.Convert(static_cast<SIP_Status>(183), "Bogus Session in progress");
  answer.set(HID::HID_Content_Type, "application/sdp");
  answer.Body(ProbeSDP(false));
  RegisterProbeMedia(true);
  auto* to = answer.Header<SIP_Head_To>(HID::HID_To);
  if (to != nullptr && to->Params().Param("tag") == nullptr) to->Params().Param("tag", ZTag());
  answer.remove(HID::HID_User_Agent);
  answer.remove(HID::HID_Contact);
  answer.set(HID::HID_Server, Cfg.AgentName);
  if (Defect('C'))
    answer.set(HID::HID_Contact, "<sip:ostrel@" + std::string(Cfg.myipaddr) + ':' + std::to_string(Cfg.MainPort) + '>');
  else if (Defect('d'))
    answer.push_back(HID::HID_Record_Route, OuterFace(UniqStr_m));
  ExtPort.send(answer, ClnSipAddr_m, LogLevel_m, LogTreshold());
  State(X_183_SENT);
  DLog(LOG_DEBUG, "Set timer for 'Early Media' to %d sec.\n", kMediaWaitMs / 1000);
  ScheduleTimer(T_MEDIA, &AltPort, kMediaWaitMs);
}

// A server call: the client first gets the relay's own offer; the server's INVITE follows once the client's
// media showed where it comes from.
void Call_t::SendXInvite() {
  ResumeInvite();
  if (!OpenProbeMedia()) {
    if (org_m) ReplyTo(*org_m, FROM_SRV, 500, "Server Error/No Ports");
    Complete(E_REJECT, "No Ports Available");
    return;
  }
  if (!WithinDlg() && !IsSDP(*msg_m)) {
    msg_m->set(HID::HID_Content_Type, "application/sdp");
    msg_m->Body(ProbeSDP(true));
    if (Defect('A')) Defect_m.clear();
  }
  State(X_INVITE_SENT);
  InviteSending();
}

// The client's 200 to the relay's own INVITE: taken as the dialog's answer, acknowledged by the relay and
// kept for the server, which gets it once the second INVITE is answered.
void Call_t::ClientAnsweredProbe() {
  SIP& m = *msg_m;
  if (State() == X_ACK_SENT) {
    DLog(LOG_DEBUG, "Warning: Duplicate 200 OK, Most likely the previous X_ACK was lost\n");
    PassXAck();
    return;
  }
  if (!WithinDlg()) NoteClientPorts(m);
  auto* to = m.Header<SIP_Head_To>(HID::HID_To);
  const char* tag = to != nullptr ? to->Params().Param("tag") : nullptr;
  if (tag != nullptr && org_m) {
    if (auto* org_to = org_m->Header<SIP_Head_To>(HID::HID_To)) org_to->Params().Param("tag", tag);
  }
  OverwriteKey();
  Confirmed_m = true;
  if (!ok_m) {
    ok_m = std::make_unique<SIP>(m);
    DLog(LOG_DEBUG, "Store 200 OK\n");
  }
  SendXAck();
}

// A fax call is slow to start its media: the wait is longer and only the image stream counts.
void Call_t::SendXAck() {
  PassXAck();
  const bool t38 = org_m && IsT38(*org_m);
  if (ClnRtpKnown() && !t38) {
    Process(X_CLNMEDIA_RECV, FROM_NOWHERE);
    return;
  }
  if (TimerID_m != PollReactor::kNoTimer) return;
  if (t38) ClnRtp_m.RDest(InetAddr());
  RegisterProbeMedia(!t38);
  const int wait = t38 ? kT38MediaWaitMs : kMediaWaitMs;
  DLog(LOG_DEBUG, "Set timer for 'X Client Media' to %d sec.\n", wait / 1000);
  ScheduleTimer(T_MEDIA, &AltPort, wait);
  State(X_ACK_SENT);
}

// The relay's ACK of the client's 200 (the current message), toward the client.
void Call_t::PassXAck() { PassXAck(*msg_m); }

void Call_t::PassXAck(const SIP& ok) {
  LostAck_m = true;
  SIP ack(ok);
  ack.Convert(SIP::ACK);
  ack.set(HID::HID_User_Agent, Cfg.AgentName);
  ack.remove(HID::HID_Via);
  ack.remove(HID::HID_Contact);
  ack.remove(HID::HID_Record_Route);
  if (WithinDlg() && org_m && org_m->Header(HID::HID_Route) != nullptr) {
    std::unique_ptr<SIP_HeadLine> first = org_m->Header(HID::HID_Route)->Copy();
    first->detach_next();
    ack.set(HID::HID_Route, std::move(first));
  } else {
    ack.RouteSetFrom(ok, false);
    const std::string outer = Cfg.myipaddr;
    while (auto* r = ack.Header<SIP_Head_Route>(HID::HID_Route)) {
      if (r->User() != UniqStr_m || r->Host() != outer) break;
      ack.pop_front(HID::HID_Route);
    }
  }
  // The 200 carries the client's numbering; the relay adds the shift again on the way.
  if (auto* cseq = ack.Header<SIP_Head_CSeq>(HID::HID_CSeq)) cseq->SeqNo(cseq->SeqNo() - Shift_m);
  Pass(FROM_SRV, &ack);
}

void Call_t::ClnMediaRecv() {
  MakeSecondInvite();
  InviteSending();
  State(INVITE_SENT);
}

// The server's INVITE, in the dialog the relay opened with the client. The client-side numbering moves
// past the relay's own transactions.
void Call_t::MakeSecondInvite() {
  if (!org_m) return;
  held_m.reset();
  ScndInv_m = true;
  Shift_m += NoPRACK_m + 1;
  msg_m = SecondInvite();
}

// The stored INVITE reduced to its dialog headers, keeping the session timer it asked for.
std::unique_ptr<SIP> Call_t::SecondInvite() const {
  auto second = std::make_unique<SIP>(*org_m);
  second->restrict();
  if (SupportsTimer(*org_m)) {
    second->set(HID::HID_Supported, "timer");
    for (const char* name : {"Session-Expires", "Min-SE"}) {
      if (const char* v = org_m->Header(std::string_view(name))) second->Header(name, v);
    }
  }
  return second;
}

// The client refuses the second INVITE as outside any dialog: the relay's ACK of its first 200 was lost.
// It is sent again (as a transaction's and as a dialog's ACK) and the INVITE follows with a new number.
void Call_t::RecoverLostAck() {
  DLog(LOG_DEBUG, "Warning: Lost X_ACK - Send it again and repeat the INVITE\n");
  const bool was = Confirmed_m;
  Confirmed_m = false;
  PassXAck(*ok_m);
  Confirmed_m = true;
  PassXAck(*ok_m);
  Confirmed_m = was;
  ++Shift_m;
  LostAck_m = false;
  CancelTimer(T_ANY);
  msg_m = SecondInvite();
  InviteSending();
  State(INVITE_SENT);
}

// The server gave up while the relay's own dialog with the client exists: that dialog ends with a BYE
// and the server's INVITE is answered as cancelled.
void Call_t::XAckCancel() {
  Reply(FROM_SRV, 200, "OK");
  if (org_m) ReplyTo(*org_m, FROM_SRV, 487, "Terminated..");
  Complete(E_CANCEL, "SRV");
  if (org_m) {
    SIP bye(*org_m);
    bye.Convert(SIP::BYE);
    bye.remove(HID::HID_Via);
    bye.remove(HID::HID_Record_Route);
    bye.set(HID::HID_User_Agent, Cfg.AgentName);
    if (auto* cseq = bye.Header<SIP_Head_CSeq>(HID::HID_CSeq)) cseq->SeqNo(cseq->SeqNo() + 1);
    Pass(FROM_SRV, &bye);
  }
}
