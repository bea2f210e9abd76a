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

using HID = SIP_HeadIds;

constexpr int kAuthWaitSec = 20;

bool HasToTag(const SIP& m) {
  auto* to = m.Header<SIP_Head_To>(HID::HID_To);
  return to != nullptr && to->Params().Param("tag") != nullptr;
}

bool Requires100rel(const SIP& m) {
  auto* req = m.Header<SIP_Head_Require>(HID::HID_Require);
  return req != nullptr && req->Value().find("100rel") != std::string::npos;
}

}  // namespace

void Call_t::InviteRecv(Direction_t dir) {
  if (Hooks().set_master) Hooks().set_master();
  if (dir == FROM_CLN) {
    Reply(FROM_CLN, 100, "Trying");
  } else {
    if (WithinDlg() && Defect('N') && PollReactor::curr_ms() - LastAckTs_m < 50) {
      DLog(LOG_DEBUG, "Warning: Defect 'N': Two Fast ReINVITE - Do not even response 100!\n");
      State(PASS);
      return;
    }
    Reply(FROM_SRV, 100, "Trying");
  }
  InvDirect_m = dir;
  OrigMSG(*msg_m);
  CSTA_m = ContentTypeIs(*msg_m, "application/csta+xml");

  if (WithinDlg()) {
    // A fax from the server toward a direct client needs the relay's own INVITE to the client first.
    if (dir == FROM_CLN && Mode_m != FWType::OPAQUE && IsSDP(*msg_m) &&
        CheckForT38(dir)) {
      FullReason_m = 'F';
      return Process(START_FULL_MODE, dir);
    }
    if (!HoldCheck(dir)) return;
    InviteSending();
    State(INVITE_SENT);
    return;
  }

  CallEvent(E_INVITE, "");
  if ((Indirect_m || Chained_m) && CleanDefect())
    DLog(LOG_DEBUG, Indirect_m ? "Indirect Client: Remove 'EeTt' from Defects => FULL\n"
                               : "Chained Client: Remove 'EeTt' from Defects\n");
  if (dir == FROM_CLN) ClientInviteDefects();
  if (dir == FROM_SRV && msg_m->Header("X-LBC") != nullptr) {
    msg_m->remove("X-LBC");
    LBC_m = true;
  }
  if (dir == FROM_SRV && Defect('T') && !Indirect_m) StoreZInvite();
  if (SDP* sdp = IsSDP(*msg_m) ? msg_m->GetSDP() : nullptr) {
    const auto& medias = sdp->Medias();
    Video_m = medias.size() > 1 && medias[1]->Port() != 0;
  }
  if (Register_m == nullptr) {
    if (TGuard<Register_t> reg = Register_t::GetRegister(NewContact_m)) {
      reg->AddCall(UniqNo_m);
      Register_m = reg.operator->();
      if (reg->Defect().find('X') != std::string::npos && !Defect('X')) Defect_m += 'X';
    }
  }
  if (Mode_m == FWType::UNKNOWN && !CSTA_m) return DecideFWType();
  if (Mode_m == FWType::OPAQUE) return Process(START_FULL_MODE, dir);
  InviteSending();
  State(INVITE_SENT);
}

// A re-INVITE that puts the call on hold names who held it; the hold time is kept. A client behind NAT
// coming back from a hold longer than its registration interval may have lost its NAT binding: its media
// is anchored from then on. False: the call was rejected for want of ports.
bool Call_t::HoldCheck(Direction_t dir) {
  SDP* sdp = IsSDP(*msg_m) ? msg_m->GetSDP() : nullptr;
  const bool hold = sdp != nullptr && !sdp->Medias().empty() && sdp->Medias().front()->IsHold();
  if (hold && dir == FROM_CLN && !Chained_m) {
    SIP_URI who;
    OrgCntURI(who);
    std::string text;
    who.assemble(text);
    msg_m->Header("X-Holder", text);
  }
  const bool long_hold = !hold && HoldTS_m != 0 && time(nullptr) - HoldTS_m > Cfg.rgstr_timout;
  if (!hold) HoldTS_m = 0;
  else if (HoldTS_m == 0) HoldTS_m = time(nullptr);
  if (long_hold && !PublicIP_m && Mode_m != FWType::OPAQUE) {
    DLog(LOG_DEBUG, "Too long Hold - Switch to FULL mode\n");
    FullReason_m = 'D';
    return StartFullMode(false);
  }
  return true;
}

void Call_t::InviteSending() {
  if (Defect('A') && !WithinDlg() && !IsSDP(*msg_m)) {
    msg_m->set(HID::HID_Content_Type, "application/sdp");
    msg_m->Body(BogusSDP());
    DLog(LOG_DEBUG, "Defect 'A' - Set Bogus SDP Body\n");
  }
  Confirmed_m = false;
  InvRspRecv_m = false;
  Pass(InvDirect_m);
  RetrmMSG("INVITE");
}

void Call_t::InviteResponse(Direction_t dir) {
  SIP& m = *msg_m;
  if (m.is_INVITE()) return RepeatedInvite(dir);
  const int seq = CheckSeqNo(dir);
  if (seq == 0 && m.IS_Response()) return AnswerToInvite(dir);
  if (seq == 0) return OtherInTransaction(dir);
  if (seq == -1) return OutsideTransaction(dir);
  // The client repeats its 200 of the relay's own INVITE: the relay's ACK was lost.
  if (seq == 1 && m.IS_Response() && m.Status() == 200 && Shift_m != 0 && State() == INVITE_SENT) PassXAck();
}

// Glare, a retransmitted INVITE, or a new one while the last is pending.
void Call_t::RepeatedInvite(Direction_t dir) {
  if (dir != InvDirect_m) {
    DLog(LOG_DEBUG, "Warning: Glare INVITE Coming from the opposite direction ?? !!\n");
    Reply(dir, 491, "Request Pending");
    return;
  }
  if (org_m && SeqOf(*msg_m) <= SeqOf(*org_m)) {
    DLog(LOG_DEBUG, "Duplicate INVITE\n");
    if (!rsp_m) {
      Reply(dir, 100, "Trying Again");
    } else {
      SIP again(*rsp_m);
      SendTo(dir, again);
    }
    return;
  }
  DLog(LOG_DEBUG, "Warning: New ReINVITE while prev is not complited - Do not even response 100!\n");
}

void Call_t::AnswerToInvite(Direction_t dir) {
  SIP& m = *msg_m;
  const int status = m.Status();
  InvRspRecv_m = true;
  if (status == 200 && !HasToTag(m)) {
    DLog(LOG_DEBUG, "Warning: 200 OK without 'To:' tag - ignore\n");
    return;
  }
  if (dir == FROM_CLN && InvDirect_m == FROM_SRV && State() == INVITE_SENT && ok_m) {
    if ((status == 481 || status == 400) && LostAck_m && Shift_m != 0) return RecoverLostAck();
    if (status == 200) LostAck_m = false;
  }
  if (TimerID_m != PollReactor::kNoTimer && State() != X_ACK_SENT) {
    CancelTimer(T_RETRANS);
    Retrns_m = 0;
  }
  if (status == 100) return;
  const bool initial = !WithinDlg();
  if (initial) {
    if (Requires100rel(m)) ExptPRACK_m = true;
    if (dir == FROM_SRV && status == 200) SetSrvMsg();
  }
  if (dir == FROM_SRV && status == 200 && !initial && Defect('H')) AnswerHoldForDevice();
  if (dir == FROM_SRV && initial && (status == 401 || status == 407)) return Challenge(dir, SeqOf(m));
  if (dir == FROM_SRV && status == 183) Got183_m = true;
  if (dir == FROM_SRV && initial && status > 100 && status <= 200 && Defect('T') && ZEarlyAnswer()) return;
  // The client answers the relay's own INVITE: the relay confirms it; the server learns of it later.
  if (dir == FROM_CLN && InvDirect_m == FROM_SRV && Mode_m != FWType::OPAQUE &&
      (State() == X_INVITE_SENT || State() == X_ACK_SENT)) {
    if (status == 200) return ClientAnsweredProbe();
    return Pass(dir);
  }
  if (dir == FROM_CLN && initial) {
    if (status == 183) {
      m.Status(static_cast<SIP_Status>(180));
      m.Reason("Ringing ...");
    } else if (status == 200) {
      if (auto* contact = m.Header<SIP_Head_Contact>(HID::HID_Contact); contact != nullptr && !contact->Star()) {
        SIP_URI uri = *contact;
        uri.Remove("transport");
        std::string text;
        uri.assemble(text);
        OrgContact(text);
      }
    }
  }
  Pass(dir);
}

// Some devices cannot take the server's own answer to their hold: they get their offer mirrored instead.
void Call_t::AnswerHoldForDevice() {
  SDP* offer = org_m && IsSDP(*org_m) ? org_m->GetSDP() : nullptr;
  if (offer == nullptr || offer->Medias().empty() || offer->Medias().front()->Mode() != SDP_Attrs::SENDONLY) return;
  auto answer = std::make_unique<SDP>(*offer);
  answer->Attrs().Mode(SDP_Attrs::UNSPECIFIED);
  for (const auto& media : answer->Medias()) {
    media->Attrs().Mode(SDP_Attrs::RECVONLY);
    media->Connect().clear();
  }
  answer->dirty();
  msg_m->set(HID::HID_Content_Type, "application/sdp");
  msg_m->SetSDP(std::move(answer));
}

// The server challenges the first INVITE: the client retries with credentials within 20 s. A second
// challenge with another CSeq means the credentials were refused: the call is rejected.
void Call_t::Challenge(Direction_t dir, int cseq) {
  if (Defect('T')) {
    if (auto* to = msg_m->Header<SIP_Head_To>(HID::HID_To)) to->Params().Param("tag", ZTag());
  }
  Pass(dir);
  if (AuthCSeqNum_m != 0) {
    if (cseq == AuthCSeqNum_m) return;
    DCore.report(frm_m, DOSCore::DOS_H, 0);
    Complete(E_REJECT, "Wrong Authorization");
    return;
  }
  AuthCSeqNum_m = cseq;
  State(AUTH);
  DLog(LOG_DEBUG, "Set timer 'AUTH' to %d sec.\n", kAuthWaitSec);
  ScheduleTimer(T_AUTH, &IntPort, kAuthWaitSec * 1000);
}

void Call_t::OtherInTransaction(Direction_t dir) {
  SIP& m = *msg_m;
  if (m.is_ACK() && dir == InvDirect_m && org_m && IsSDP(*org_m) && !m.Body().empty()) {
    m.remove(HID::HID_Content_Type);
    m.Body("");
  }
  Pass(dir);
  if (m.is_ACK() && dir == InvDirect_m) {
    if (TimerType_m == T_RETRANS) CancelTimer(T_RETRANS);
    State(PASS);
  }
}

void Call_t::OutsideTransaction(Direction_t dir) {
  SIP& m = *msg_m;
  if (m.is_BYE() && dir == FROM_CLN) {
    DLog(LOG_DEBUG, "Warning: Got BYE before final '200 OK'\n");
    Reply(FROM_CLN, 200, "OK");
    if (TimerType_m == T_RETRANS) {
      DLog(LOG_DEBUG, "Cancel Invite Timer\n");
      CancelTimer(T_RETRANS);
    }
    // The client gave up on a call it was offered: the server's INVITE is refused. On a call the client
    // opened there is no such INVITE: the server's pending transaction is cancelled instead.
    if (InvDirect_m == FROM_SRV && org_m)
      ReplyTo(*org_m, FROM_SRV, 410, "Gone...");
    else
      SendCancel(false);
    Complete(E_BYE, "CLN");
    return;
  }
  if (m.is_ACK() && dir != InvDirect_m) return;
  Pass(dir);
}
