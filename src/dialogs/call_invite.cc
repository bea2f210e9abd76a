// A call's INVITE transaction: a new INVITE or re-INVITE is answered 100 and sent on, its answers are
// relayed, challenged, absorbed or refused, glare and repeated INVITEs are answered by the relay itself.
// Worker threads, with the call locked.
#include <strings.h>

#include <cstring>

#include "config/config.h"
#include "dialogs/call.h"
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

bool ContentTypeIs(const SIP& m, const char* type) {
  auto* ct = m.Header<SIP_Head_Content_Type>(HID::HID_Content_Type);
  return ct != nullptr && strcasecmp(ct->Value().c_str(), type) == 0;
}

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
  if (SDP* sdp = ContentTypeIs(*msg_m, "application/sdp") ? msg_m->GetSDP() : nullptr) {
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
  if (Mode_m == FWType::UNKNOWN && !CSTA_m) DecideFWType();
  if (Mode_m == FWType::OPAQUE) return Process(START_FULL_MODE, dir);
  InviteSending();
  State(INVITE_SENT);
}

// Until the client's NAT type can be probed, a type fixed for its subnet is taken as it stands and an
// unknown one leaves the media as offered.
void Call_t::DecideFWType() {
  if (FullReason_m == 'C' || Cfg.force_full_mode) {
    FullReason_m = 'C';
    Mode_m = FWType::OPAQUE;
    DLog(LOG_DEBUG, "%s FW type: %s\n", "FCfg", FWType::FWTypeStr(Mode_m));
    return;
  }
  FWType::Mode_t mode = FWType::UNKNOWN;
  bool lbc = false;
  std::string defects;
  Cfg.GetSubTimout(ClnRtpIP_m, mode, &lbc, &defects);
  if (lbc) LBC_m = true;
  for (char c : defects)
    if (!Defect(c)) Defect_m += c;
  if ((mode & 0xFFFF) != FWType::UNKNOWN) {
    ICMP_m = (mode & FWType::ICMPREPL) != 0;
    LB_m = LB_m || (mode & FWType::LB) != 0;
    SNAT_m = (mode & FWType::SNAT) != 0;
    Mode_m = static_cast<FWType::Mode_t>(mode & 0xFFFF);
    if (Mode_m == FWType::OPAQUE) FullReason_m = 'D';
    DLog(LOG_DEBUG, "%s FW type: %s\n", "Sticky", FWType::FWTypeStr(mode));
    return;
  }
  if (!PublicIP_m) DLog(LOG_DEBUG, "FW type unknown - media left as offered\n");
}

// A re-INVITE that puts the call on hold names who held it; the hold time is kept. A client behind NAT
// coming back from a hold longer than its registration interval may have lost its NAT binding: its media
// is anchored from then on. False: the call was rejected for want of ports.
bool Call_t::HoldCheck(Direction_t dir) {
  SDP* sdp = ContentTypeIs(*msg_m, "application/sdp") ? msg_m->GetSDP() : nullptr;
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
  if (Defect('A') && !WithinDlg() && !ContentTypeIs(*msg_m, "application/sdp")) {
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
  if (seq == 1 && m.IS_Response() && m.Status() == 200 && Shift_m != 0 && State() == INVITE_SENT)
    DLog(LOG_DEBUG, "Repeated 200 OK of the previous INVITE - dropped\n");
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
  SDP* offer = org_m && ContentTypeIs(*org_m, "application/sdp") ? org_m->GetSDP() : nullptr;
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
  if (m.is_ACK() && dir == InvDirect_m && org_m && ContentTypeIs(*org_m, "application/sdp") && !m.Body().empty()) {
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
