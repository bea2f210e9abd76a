// What every message of a call goes through on its way (before the relay rewrites it, and just before it
// is sent): late answers, SDP clean-up, record-routing of INVITEs, the answers a call keeps, its key once
// the called side's tag is known; and the device workarounds on a client's first INVITE.
// Worker threads, with the call locked.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "dialogs/dialog_table.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_media_rtp.h"

namespace {

using HID = SIP_HeadIds;

// A Request-URI user some phones put into a Call-Info INVITE is a name, not a number: it is emptied.
bool DialableUser(const std::string& user) {
  size_t i = !user.empty() && (user[0] == '+' || user[0] == '*') ? 1 : 0;
  for (; i < user.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(user[i]))) return false;
  return true;
}

// Removes one option tag from the Supported header(s), however they are split into lines and commas.
void RemoveSupported(SIP& m, const char* tag) {
  m.parse(HID::HID_Supported);
  std::string kept;
  bool found = false;
  for (SIP_HeadLine* l = m.Header(HID::HID_Supported); l != nullptr; l = l->Next()) {
    auto* sup = dynamic_cast<SIP_Head_Supported*>(l);
    if (sup == nullptr) continue;
    std::string_view v = sup->Value();
    while (!v.empty()) {
      const size_t comma = std::min(v.find(','), v.size());
      std::string item(v.substr(0, comma));
      v.remove_prefix(std::min(comma + 1, v.size()));
      item.erase(0, item.find_first_not_of(" \t"));
      item.erase(item.find_last_not_of(" \t") + 1);
      if (strcasecmp(item.c_str(), tag) == 0) found = true;
      else if (!item.empty()) kept += (kept.empty() ? "" : ", ") + item;
    }
  }
  if (!found) return;
  if (kept.empty())
    m.remove(HID::HID_Supported);
  else
    m.set(HID::HID_Supported, kept);
}

}  // namespace

bool Call_t::PreProcess(Direction_t dir) {
  SIP& m = *msg_m;
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  const SIP::Method_t method = cseq != nullptr ? cseq->Method() : SIP::Blank_Method;

  if (dir == FROM_CLN && m.IS_Response() && m.Status() == 200 && method == SIP::INVITE) {
    if (CheckSeqNo(dir) > 0) {
      // A late 200 of an INVITE given up: acknowledged here so that the client stops repeating it.
      if (State() == COMPLETE) {
        DLog(LOG_DEBUG, "Warning: Looks like late 200 OK -%s Send ACK\n", " Do not");
        return false;
      }
      DLog(LOG_DEBUG, "Warning: Looks like late 200 OK -%s Send ACK\n", "");
      SIP ack(m);
      ack.Convert(SIP::ACK);
      ack.set(HID::HID_User_Agent, Cfg.AgentName);
      ack.remove(HID::HID_Via);
      ack.remove(HID::HID_Record_Route);
      if (auto* c = ack.Header<SIP_Head_CSeq>(HID::HID_CSeq)) c->SeqNo(c->SeqNo() - Shift_m);
      Pass(FROM_SRV, &ack);
      return false;
    }
    if (ok_m) RestoreClientOk();
    if (m.Header(HID::HID_Record_Route) == nullptr && org_m && org_m->Header(HID::HID_Record_Route) != nullptr) {
      m.set(HID::HID_Record_Route, org_m->Header(HID::HID_Record_Route)->Copy());
      DLog(LOG_DEBUG, "Reconstuct 200_OK Record_Route(s)\n");
    }
  }

  if ((method == SIP::INVITE || method == SIP::ACK) && IsSDP(m)) {
    SDP* sdp = m.GetSDP();
    if (sdp == nullptr) {
      DLog(LOG_ERROR, "Error: Parsing received SDP\n");
    } else {
      CleanSDP(dir, *sdp);
      LearnMedia(dir, *sdp);
      if (!PublicIP_m || Mode_m == FWType::OPAQUE) {
        const bool complete = State() == COMPLETE;
        SubstituteSDP(m, dir);
        if (!complete && State() == COMPLETE) return false;  // anchoring found no ports: the call is rejected
      }
      if (dir == FROM_SRV) RemoveTool(*sdp);
    }
  }
  if (method == SIP::INVITE) RecRouteSet(dir, ExptPRACK_m);
  if (zmsg_m) ZRetag(dir);
  return true;
}

// The server gets the client's first 200 (to the relay's own INVITE) as the answer to its INVITE, with
// the numbering and the body of the answer to the second one. In place: the relay holds a reference to
// the current message.
void Call_t::RestoreClientOk() {
  const int seq = SeqOf(*msg_m);
  std::unique_ptr<SIP_HeadLine> via = msg_m->Header(HID::HID_Via) ? msg_m->Header(HID::HID_Via)->Copy() : nullptr;
  const std::string body = msg_m->Body();
  *msg_m = *ok_m;
  if (auto* cseq = msg_m->Header<SIP_Head_CSeq>(HID::HID_CSeq)) cseq->SeqNo(seq);
  if (via) msg_m->set(HID::HID_Via, std::move(via));
  msg_m->Body(body);
  DLog(LOG_DEBUG, "Restore  200 OK\n");
}

void Call_t::PostProcess(Direction_t dir) {
  SIP& m = *msg_m;
  if (m.IS_Request()) {
    if (m.is_BYE()) Complete(E_BYE, dir == FROM_CLN ? "CLN" : "SRV");
    return;
  }
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  if (cseq == nullptr || cseq->Method() != SIP::INVITE) return;
  const int status = m.Status();
  if (!rsp_m || rsp_m->Status() != status) rsp_m = std::make_unique<SIP>(m);
  if (status == 200) {
    Confirmed_m = true;
    if (State() != Z_OK_SENT) OverwriteKey();
  }
  if (status >= 500 || (!WithinDlg() && status >= 300 && status != 401 && status != 407)) {
    if (dir == FROM_SRV && (status == 403 || status == 404) && frm_m.Port() != 0)
      DCore.report(frm_m, DOSCore::DOS_H, 0);
    Complete(E_REJECT, std::to_string(status) + ',' + m.Reason());
    if (status >= 300 && status <= 399) State(MOVED);
  }
}

// The SDP of an INVITE or ACK before it is relayed: the server's device workarounds, plain RTP when SRTP
// is assumed away, no rtcp attribute from behind NAT.
void Call_t::CleanSDP(Direction_t dir, SDP& sdp) {
  if (dir == FROM_SRV && Defect('X')) {
    if (Cfg.BareCodecs.empty()) {
      DLog(LOG_DEBUG, "Warning: Defect 'X' has no effect. No 'bare_sdp' param configured\n");
    } else {
      Cfg.BareSDP(&sdp);
      sdp.dirty();
      DLog(LOG_DEBUG, "Defect 'X' - Strip down SDP\n");
    }
  }
  if (SRTP_m == 0 && Cfg.assume_nosrtp) {
    bool removed = false;
    for (const auto& media : sdp.Medias()) {
      if (SDP_Media_RTP* rtp = media->AsRTP(); rtp != nullptr && media->MediaType() <= SDP_Media::VIDEO) {
        if (rtp->Proto() != "AVP") {
          rtp->Proto("AVP");
          sdp.dirty();
        }
        while (media->Attrs().Remove("crypto")) removed = true;
      }
    }
    if (removed) {
      sdp.dirty();
      DLog(LOG_DEBUG, "No SRTP - Remove 'crypto' attribute\n");
    }
  }
  if (dir == FROM_CLN && !PublicIP_m) {
    for (const auto& media : sdp.Medias())
      if (media->Attrs().Remove("rtcp")) sdp.dirty();
  }
  if (dir != FROM_SRV) return;
  const auto& medias = sdp.Medias();
  if (Defect('V') && sdp.Media(SDP_Media::VIDEO) != nullptr) {
    sdp.RemoveMedia(SDP_Media::VIDEO);
    sdp.Attrs().Remove("group");
    sdp.dirty();
    DLog(LOG_DEBUG, "Defect 'V' - Remove media Video\n");
  }
  if (Defect('F')) {
    if (!medias.empty() && medias[0]->Attrs().Remove("ptime")) sdp.dirty();
    if (medias.size() > 2) {
      for (const char* a : {"T38FaxFillBitRemoval", "T38FaxTranscodingMMR", "T38FaxTranscodingJBIG"})
        if (medias[2]->Attrs().Remove(a)) sdp.dirty();
    }
  }
  if (Defect('c') && sdp.Connect().empty() && !medias.empty() && !medias[0]->Connect().empty()) {
    sdp.Connect(medias[0]->Connect());
    sdp.dirty();
  }
}

// The server's SDP reaches the client without the signature of another client.
void Call_t::RemoveTool(SDP& sdp) {
  bool removed = sdp.Attrs().Remove("tool");
  for (const auto& media : sdp.Medias()) removed = media->Attrs().Remove("tool") || removed;
  if (removed) sdp.dirty();
}

// Once the called side's tag is known the call is also found under its dialog key.
void Call_t::OverwriteKey() {
  if (!okey_m.empty()) return;
  const SIP& m = *msg_m;
  auto* callid = m.Header<SIP_Head_Call_ID>(HID::HID_Call_ID);
  auto* to = m.Header<SIP_Head_To>(HID::HID_To);
  if (callid == nullptr) return;
  std::string key = std::string(Direction_m == FROM_SRV ? "S&" : "C&") + callid->Value();
  if (to != nullptr && to->Params().Param("tag") != nullptr) key += std::string("&") + to->Params().Param("tag");
  if (key != key_m) {
    DLog(LOG_DEBUG, "Overwrite Key: %s\n", key.c_str());
    okey_m = key_m;
    key_m = key;
    table_m->AddNKey(static_cast<int>(UniqNo_m));
  }
  if (SDP* sdp = IsSDP(m) ? msg_m->GetSDP() : nullptr) {
    const auto& medias = sdp->Medias();
    Video_m = medias.size() > 1 && medias[1]->Port() != 0;
  }
}

void Call_t::ClientInviteDefects() {
  SIP& m = *msg_m;
  if (!Indirect_m && (Defect('E') || Defect('T'))) RemoveSupported(m, "100rel");
  if (!Indirect_m && Defect('t')) m.remove(HID::HID_Record_Route);
  if (Defect('U') && IsSDP(m)) {
    SDP* sdp = m.GetSDP();
    SDP_Media_RTP* audio = sdp != nullptr && !sdp->Medias().empty() ? sdp->Medias().front()->AsRTP() : nullptr;
    if (audio != nullptr) {
      for (size_t i = audio->NCodecs(); i-- > 0;) {
        const std::string name = audio->CodecName(i);
        if (strcasecmp(name.c_str(), "PCMU") != 0 && strcasecmp(name.c_str(), "telephone-event") != 0)
          audio->RemoveFrmt(i);
      }
      sdp->dirty();
      DLog(LOG_DEBUG, "Defect 'U' - Ulaw G711 only\n");
    }
  }
  m.parse(HID::HID_Call_Info);
  if (Defect('i') && m.Header(HID::HID_Call_Info) != nullptr && m.Header("Replaces") == nullptr &&
      !DialableUser(m.URI().User()))
    m.URI().User("");
}

// The offer the relay makes in its own name while it has no media ports of the call: all ports 0.
std::string Call_t::BogusSDP() const {
  const std::string ip = Cfg.myipaddr;
  const char* fmt = BCodec_m == 18 ? "18" : BCodec_m == 3 ? "3" : "0";
  const char* name = BCodec_m == 18 ? "G729" : BCodec_m == 3 ? "GSM" : "PCMU";
  return "v=0\r\no=ostrel 1 1 IN IP4 " + ip + "\r\ns=SIP Ostrel\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\nm=audio 0 RTP/AVP " +
         fmt + " 101\r\na=rtpmap:" + fmt + ' ' + name + "/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
}
