// A call's INVITE transaction: a new INVITE or re-INVITE is answered 100 and sent on, its answers are
// relayed, challenged, absorbed or refused, glare and repeated INVITEs are answered by the relay itself.
// Worker threads, with the call locked.
#include <strings.h>

#include <cstring>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"

namespace {

using HID = HeaderIds;

constexpr int kAuthWaitSec = 20;

bool HasToTag(const SipMessage& m) {
  auto* to = m.Header<ToHeader>(HID::HID_TO);
  return to != nullptr && to->Params().Param("tag") != nullptr;
}

bool Requires100rel(const SipMessage& m) {
  auto* req = m.Header<RequireHeader>(HID::HID_REQUIRE);
  return req != nullptr && req->Value().find("100rel") != std::string::npos;
}

}  // namespace

void Call::InviteReceived(Direction dir) {
  if (Hooks().set_master) Hooks().set_master();
  if (dir == FROM_CLIENT) {
    Reply(FROM_CLIENT, 100, "Trying");
  } else {
    if (WithinDialog() && HasDefect(Defect::DROP_FAST_REINVITE) &&
        PollReactor::NowMs() - last_ack_time_ < 50) {
      LogLine(LEVEL_DEBUG, "Warning: Defect 'N': Two Fast ReINVITE - Do not even response 100!\n");
      State(DialogState::PASS);
      return;
    }
    Reply(FROM_SERVER, 100, "Trying");
    if (!WithinDialog()) ReplacesFromServer();
  }
  invite_direction_ = dir;
  OriginalInvite(*message_);
  csta_ = ContentTypeIs(*message_, "application/csta+xml");

  if (WithinDialog()) {
    // A fax from the server toward a direct client needs the relay's own INVITE to the client first.
    if (dir == FROM_CLIENT && mode_ != NatType::OPAQUE && IsSDP(*message_) && CheckForT38(dir)) {
      full_reason_ = FullModeReason::FAX;
      return Process(DialogEvent::START_FULL_MODE, dir);
    }
    if (!HoldCheck(dir)) return;
    InviteSending();
    State(DialogState::INVITE_SENT);
    return;
  }

  CallEvent(E_INVITE, "");
  if ((indirect_ || chained_) && CleanDefect())
    LogLine(LEVEL_DEBUG, indirect_ ? "Indirect Client: Remove 'EeTt' from Defects => FULL\n"
                                   : "Chained Client: Remove 'EeTt' from Defects\n");
  if (dir == FROM_CLIENT) ClientInviteDefects();
  if (dir == FROM_SERVER && message_->Header("X-LBC") != nullptr) {
    message_->Remove("X-LBC");
    lbc_ = true;
  }
  if (dir == FROM_SERVER && HasDefect(Defect::ZERO_MEDIA) && !indirect_) StoreZInvite();
  if (Sdp* sdp = IsSDP(*message_) ? message_->GetSDP() : nullptr) {
    const auto& medias = sdp->Medias();
    video_ = medias.size() > 1 && medias[1]->Port() != 0;
  }
  if (registration_ == nullptr) {
    if (ObjectGuard<Registration> reg = Registration::GetRegister(new_contact_)) {
      reg->AddCall(number_);
      registration_ = reg.operator->();
      if (reg->DeviceDefects().Has(Defect::BARE_SDP) && !HasDefect(Defect::BARE_SDP))
        defects_.Add(Defect::BARE_SDP);
    }
  }
  if (mode_ == NatType::UNKNOWN && !csta_) return DecideNatType();
  if (mode_ == NatType::OPAQUE) return Process(DialogEvent::START_FULL_MODE, dir);
  InviteSending();
  State(DialogState::INVITE_SENT);
}

// A re-INVITE that puts the call on hold names who held it; the hold time is kept. A client behind NAT
// coming back from a hold longer than its registration interval may have lost its NAT binding: its media
// is anchored from then on. False: the call was rejected for want of ports.
bool Call::HoldCheck(Direction dir) {
  Sdp* sdp = IsSDP(*message_) ? message_->GetSDP() : nullptr;
  const bool hold = sdp != nullptr && !sdp->Medias().empty() && sdp->Medias().front()->IsHold();
  if (hold && dir == FROM_CLIENT && !chained_) {
    SipUri who;
    OldContactUri(who);
    std::string text;
    who.Assemble(text);
    message_->Header("X-Holder", text);
  }
  const bool long_hold = !hold && hold_time_ != 0 && time(nullptr) - hold_time_ > g_config.register_timeout;
  if (!hold)
    hold_time_ = 0;
  else if (hold_time_ == 0)
    hold_time_ = time(nullptr);
  if (long_hold && !public_ip_ && mode_ != NatType::OPAQUE) {
    LogLine(LEVEL_DEBUG, "Too long Hold - Switch to FULL mode\n");
    full_reason_ = FullModeReason::DETECTED;
    return StartFullMode(false);
  }
  return true;
}

void Call::InviteSending() {
  if (HasDefect(Defect::INVITE_NEEDS_SDP) && !WithinDialog() && !IsSDP(*message_)) {
    message_->Set(HID::HID_CONTENT_TYPE, "application/sdp");
    message_->Body(BogusSDP());
    LogLine(LEVEL_DEBUG, "Defect 'A' - Set Bogus SDP Body\n");
  }
  confirmed_ = false;
  invite_answered_ = false;
  Pass(invite_direction_);
  RetransmittedMessage("INVITE");
}

void Call::InviteResponse(Direction dir) {
  SipMessage& m = *message_;
  if (m.IsInvite()) return RepeatedInvite(dir);
  const int seq = CheckSequence(dir);
  if (seq == 0 && m.IsResponse()) return AnswerToInvite(dir);
  if (seq == 0) return OtherInTransaction(dir);
  if (seq == -1) return OutsideTransaction(dir);
  // The client repeats its 200 of the relay's own INVITE: the relay's ACK was lost.
  if (seq == 1 && m.IsResponse() && m.Status() == 200 && cseq_shift_ != 0 &&
      State() == DialogState::INVITE_SENT)
    PassXAck();
}

// Glare, a retransmitted INVITE, or a new one while the last is pending.
void Call::RepeatedInvite(Direction dir) {
  if (dir != invite_direction_) {
    LogLine(LEVEL_DEBUG, "Warning: Glare INVITE Coming from the opposite direction ?? !!\n");
    Reply(dir, 491, "Request Pending");
    return;
  }
  if (original_invite_ && SequenceOf(*message_) <= SequenceOf(*original_invite_)) {
    LogLine(LEVEL_DEBUG, "Duplicate INVITE\n");
    if (!response_) {
      Reply(dir, 100, "Trying Again");
    } else {
      SipMessage again(*response_);
      SendTo(dir, again);
    }
    return;
  }
  LogLine(LEVEL_DEBUG, "Warning: New ReINVITE while prev is not complited - Do not even response 100!\n");
}

void Call::AnswerToInvite(Direction dir) {
  SipMessage& m = *message_;
  const int status = m.Status();
  invite_answered_ = true;
  if (status == 200 && !HasToTag(m)) {
    LogLine(LEVEL_DEBUG, "Warning: 200 OK without 'To:' tag - ignore\n");
    return;
  }
  if (dir == FROM_CLIENT && invite_direction_ == FROM_SERVER && State() == DialogState::INVITE_SENT &&
      client_ok_) {
    if ((status == 481 || status == 400) && lost_ack_ && cseq_shift_ != 0) return RecoverLostAck();
    if (status == 200) lost_ack_ = false;
  }
  // A 100 leaves a running Timer C alone: only the called side's own provisional answers restart it.
  if (timer_id_ != PollReactor::kNoTimer && State() != DialogState::X_ACK_SENT &&
      !(status == 100 && timer_type_ == T_INVITE)) {
    CancelTimer(T_RETRANS | T_INVITE);
    retransmissions_ = 0;
  }
  if (status == 100) return ArmInviteTimer(status);
  const bool initial = !WithinDialog();
  if (initial) {
    if (Requires100rel(m)) expect_prack_ = true;
    if (dir == FROM_SERVER && status == 200) SetSrvMsg();
  }
  if (dir == FROM_SERVER && status == 200 && !initial && HasDefect(Defect::HOLD_ANSWER_FROM_OFFER))
    AnswerHoldForDevice();
  if (dir == FROM_SERVER && initial && (status == 401 || status == 407)) return Challenge(dir, SequenceOf(m));
  if (dir == FROM_SERVER && status == 183) got_183_ = true;
  if (dir == FROM_SERVER && initial && status > 100 && status <= 200 && HasDefect(Defect::ZERO_MEDIA) &&
      ZEarlyAnswer())
    return;
  if (dir == FROM_SERVER && initial) RingbackOnAnswer(status);
  if (dir == FROM_CLIENT && initial && status == 200 && transcoding_ < 0 && !TranscodeAnswer(m)) return;
  // The client answers the relay's own INVITE: the relay confirms it; the server learns of it later.
  if (dir == FROM_CLIENT && invite_direction_ == FROM_SERVER && mode_ != NatType::OPAQUE &&
      (State() == DialogState::X_INVITE_SENT || State() == DialogState::X_ACK_SENT)) {
    if (status == 200) return ClientAnsweredProbe();
    return Pass(dir);
  }
  if (dir == FROM_CLIENT && initial) {
    if (status == 183) {
      m.Status(static_cast<SipStatus>(180));
      m.Reason("Ringing ...");
    } else if (status == 200) {
      if (auto* contact = m.Header<ContactHeader>(HID::HID_CONTACT); contact != nullptr && !contact->Star()) {
        SipUri uri = *contact;
        uri.Remove("transport");
        std::string text;
        uri.Assemble(text);
        OldContact(text);
      }
    }
  }
  if (status < 200) ArmInviteTimer(status);
  Pass(dir);
}

void Call::ArmInviteTimer(int status) {
  if (WithinDialog() || State() != DialogState::INVITE_SENT) return;
  if (timer_type_ == T_INVITE) {
    if (status == 100) return;
    CancelTimer(T_INVITE);
  }
  if (timer_id_ != PollReactor::kNoTimer) return;
  LogLine(LEVEL_DEBUG, "Set timer 'INVITE' to %d sec.\n", g_config.invite_timeout);
  ScheduleTimer(T_INVITE, &g_external_port, g_config.invite_timeout * 1000);
}

// A client behind NAT whose media is not anchored hears ringing from the relay instead of the server's early
// media; an anchored call with defect 'Q' hears it in place of the server's media after a 183.
void Call::RingbackOnAnswer(int status) {
  if (status == 180 && got_183_ && Anchored() && HasDefect(Defect::RINGBACK_AFTER_EARLY_MEDIA)) {
    LogLine(LEVEL_DEBUG, "Defect 'Q' - Start RING (Full)\n");
    StopRelay();
    StartRings();
    return;
  }
  if (status == 180 && !public_ip_ && !Anchored()) {
    message_->Remove(HID::HID_CONTENT_TYPE);
    message_->Body("");
    StartRings();
    return;
  }
  if (status != 183 && status != 200) return;
  StopRings();
  // The relay gave way to the ring tone: the answer brings the media back through it.
  if (status == 200 && Anchored() && !relay_.Running() && client_rtp_.GetHandle() >= 0) StartFullMode(false);
}

bool Call::TranscodeAnswer(SipMessage& m) {
  uint8_t codec = 0;
  const int rule = g_config.CheckTransRules(m, &codec, &transcoding_rule_);
  if (rule <= 0) return true;
  transcoding_ = static_cast<int8_t>(rule);
  bare_codec_ = codec;
  transcoding_renegotiated_ = true;
  return StartFullMode(false);
}

// Some devices cannot take the server's own answer to their hold: they get their offer mirrored instead.
void Call::AnswerHoldForDevice() {
  Sdp* offer = original_invite_ && IsSDP(*original_invite_) ? original_invite_->GetSDP() : nullptr;
  if (offer == nullptr || offer->Medias().empty() ||
      offer->Medias().front()->Mode() != SdpAttributes::SENDONLY)
    return;
  auto answer = std::make_unique<Sdp>(*offer);
  answer->Attributes().Mode(SdpAttributes::UNSPECIFIED);
  for (const auto& media : answer->Medias()) {
    media->Attributes().Mode(SdpAttributes::RECVONLY);
    media->Connect().clear();
  }
  answer->MarkDirty();
  message_->Set(HID::HID_CONTENT_TYPE, "application/sdp");
  message_->SetSDP(std::move(answer));
}

// The server challenges the first INVITE: the client retries with credentials within 20 s. A second
// challenge with another CSeq means the credentials were refused: the call is rejected.
void Call::Challenge(Direction dir, int cseq) {
  if (HasDefect(Defect::ZERO_MEDIA)) {
    if (auto* to = message_->Header<ToHeader>(HID::HID_TO)) to->Params().Param("tag", ZeroTag());
  }
  Pass(dir);
  if (auth_cseq_number_ != 0) {
    if (cseq == auth_cseq_number_) return;
    g_dos.Report(source_, DosCore::DOS_H, 0);
    Complete(E_REJECT, "Wrong Authorization");
    return;
  }
  auth_cseq_number_ = cseq;
  State(DialogState::AUTH);
  LogLine(LEVEL_DEBUG, "Set timer 'AUTH' to %d sec.\n", kAuthWaitSec);
  ScheduleTimer(T_AUTH, &g_internal_port, kAuthWaitSec * 1000);
}

void Call::OtherInTransaction(Direction dir) {
  SipMessage& m = *message_;
  if (m.IsAck() && dir == invite_direction_ && original_invite_ && IsSDP(*original_invite_) &&
      !m.Body().empty()) {
    m.Remove(HID::HID_CONTENT_TYPE);
    m.Body("");
  }
  Pass(dir);
  if (m.IsAck() && dir == invite_direction_) {
    if (timer_type_ == T_RETRANS) CancelTimer(T_RETRANS);
    State(DialogState::PASS);
  }
}

void Call::OutsideTransaction(Direction dir) {
  SipMessage& m = *message_;
  if (m.IsBye() && dir == FROM_CLIENT) {
    LogLine(LEVEL_DEBUG, "Warning: Got BYE before final '200 OK'\n");
    Reply(FROM_CLIENT, 200, "OK");
    if (timer_type_ == T_RETRANS) {
      LogLine(LEVEL_DEBUG, "Cancel Invite Timer\n");
      CancelTimer(T_RETRANS);
    }
    // The client gave up on a call it was offered: the server's INVITE is refused. On a call the client
    // opened there is no such INVITE: the server's pending transaction is cancelled instead.
    if (invite_direction_ == FROM_SERVER && original_invite_)
      ReplyTo(*original_invite_, FROM_SERVER, 410, "Gone...");
    else
      SendCancel(false);
    Complete(E_BYE, "CLN");
    return;
  }
  if (m.IsAck() && dir != invite_direction_) return;
  Pass(dir);
}
