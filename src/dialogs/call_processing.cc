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
#include "foundation/log_rate.h"
#include "sip/headers/cseq.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_media_rtp.h"

namespace {

using HID = HeaderIds;

// A Request-URI user some phones put into a Call-Info INVITE is a name, not a number: it is emptied.
bool DialableUser(const std::string& user) {
  size_t i = !user.empty() && (user[0] == '+' || user[0] == '*') ? 1 : 0;
  for (; i < user.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(user[i]))) return false;
  return true;
}

// Removes one option tag from the Supported header(s), however they are split into lines and commas.
void RemoveSupported(SipMessage& m, const char* tag) {
  m.Parse(HID::HID_SUPPORTED);
  std::string kept;
  bool found = false;
  for (HeaderLine* l = m.Header(HID::HID_SUPPORTED); l != nullptr; l = l->Next()) {
    auto* sup = dynamic_cast<SupportedHeader*>(l);
    if (sup == nullptr) continue;
    std::string_view v = sup->Value();
    while (!v.empty()) {
      const size_t comma = std::min(v.find(','), v.size());
      std::string item(v.substr(0, comma));
      v.remove_prefix(std::min(comma + 1, v.size()));
      item.erase(0, item.find_first_not_of(" \t"));
      item.erase(item.find_last_not_of(" \t") + 1);
      if (strcasecmp(item.c_str(), tag) == 0)
        found = true;
      else if (!item.empty())
        kept += (kept.empty() ? "" : ", ") + item;
    }
  }
  if (!found) return;
  if (kept.empty())
    m.Remove(HID::HID_SUPPORTED);
  else
    m.Set(HID::HID_SUPPORTED, kept);
}

}  // namespace

bool Call::PreProcess(Direction dir) {
  if (dir == FROM_CLIENT && !TransferNotify()) return false;
  SipMessage& m = *message_;
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  const SipMessage::RequestMethod method = cseq != nullptr ? cseq->Method() : SipMessage::BLANK_METHOD;

  if (dir == FROM_CLIENT && m.IsResponse() && m.Status() == 200 && method == SipMessage::INVITE) {
    if (CheckSequence(dir) > 0) {
      // A late 200 of an INVITE given up: acknowledged here so that the client stops repeating it.
      if (State() == DialogState::COMPLETE) {
        LogLine(LEVEL_DEBUG, "Warning: Looks like late 200 OK -%s Send ACK\n", " Do not");
        return false;
      }
      LogLine(LEVEL_DEBUG, "Warning: Looks like late 200 OK -%s Send ACK\n", "");
      SipMessage ack(m);
      ack.Convert(SipMessage::ACK);
      ack.Set(HID::HID_USER_AGENT, g_config.agent_name);
      ack.Remove(HID::HID_VIA);
      ack.Remove(HID::HID_RECORD_ROUTE);
      if (auto* c = ack.Header<CSeqHeader>(HID::HID_CSEQ)) c->Shift(-int64_t{cseq_shift_});
      Pass(FROM_SERVER, &ack);
      return false;
    }
    if (client_ok_) RestoreClientOk();
    if (m.Header(HID::HID_RECORD_ROUTE) == nullptr && original_invite_ &&
        original_invite_->Header(HID::HID_RECORD_ROUTE) != nullptr) {
      m.Set(HID::HID_RECORD_ROUTE, original_invite_->Header(HID::HID_RECORD_ROUTE)->Copy());
      LogLine(LEVEL_DEBUG, "Reconstuct 200_OK Record_Route(s)\n");
    }
  }

  if ((method == SipMessage::INVITE || method == SipMessage::ACK) && IsSDP(m)) {
    Sdp* sdp = m.GetSDP();
    if (sdp == nullptr) {
      if (g_fault_lines.Admit()) LogLine(LEVEL_ERROR, "Error: Parsing received SDP\n");
    } else {
      CleanSDP(dir, *sdp);
      LearnMedia(dir, *sdp);
      if (!public_ip_ || mode_ == NatType::OPAQUE) {
        const bool complete = State() == DialogState::COMPLETE;
        SubstituteSDP(m, dir);
        if (!complete && State() == DialogState::COMPLETE)
          return false;  // anchoring found no ports: the call is rejected
      }
      // The substitution may have replaced the body's SDP (transcoded calls): take it afresh.
      if (dir == FROM_SERVER && (sdp = m.GetSDP()) != nullptr) RemoveTool(*sdp);
    }
  }
  if (method == SipMessage::INVITE) RecordRouteSet(dir, expect_prack_);
  if (zero_message_) ZRetag(dir);
  return true;
}

// The server gets the client's first 200 (to the relay's own INVITE) as the answer to its INVITE, with
// the numbering and the body of the answer to the second one. In place: the relay holds a reference to
// the current message.
void Call::RestoreClientOk() {
  const int seq = SequenceOf(*message_);
  std::unique_ptr<HeaderLine> via =
      message_->Header(HID::HID_VIA) ? message_->Header(HID::HID_VIA)->Copy() : nullptr;
  const std::string body = message_->Body();
  *message_ = *client_ok_;
  if (auto* cseq = message_->Header<CSeqHeader>(HID::HID_CSEQ)) cseq->Sequence(seq);
  if (via) message_->Set(HID::HID_VIA, std::move(via));
  message_->Body(body);
  LogLine(LEVEL_DEBUG, "Restore  200 OK\n");
}

void Call::PostProcess(Direction dir) {
  SipMessage& m = *message_;
  if (m.IsRequest()) {
    if (m.IsBye()) Complete(E_BYE, dir == FROM_CLIENT ? "CLN" : "SRV");
    return;
  }
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  if (cseq == nullptr || cseq->Method() != SipMessage::INVITE) return;
  const int status = m.Status();
  if (!response_ || response_->Status() != status) response_ = std::make_unique<SipMessage>(m);
  if (status >= 200 && status < 300) table_->ReleaseUnanswered(*this);
  if (status == 200) {
    confirmed_ = true;
    if (State() != DialogState::Z_OK_SENT) OverwriteKey();
  }
  if (status >= 500 || (!WithinDialog() && status >= 300 && status != 401 && status != 407)) {
    if (dir == FROM_SERVER && (status == 403 || status == 404) && source_.Port() != 0)
      g_dos.Report(source_, DosCore::DOS_H, 0);
    Complete(E_REJECT, std::to_string(status) + ',' + m.Reason());
    if (status >= 300 && status <= 399) State(DialogState::MOVED);
  }
}

// The SDP of an INVITE or ACK before it is relayed: the server's device workarounds, plain RTP when SRTP
// is assumed away, no rtcp attribute from behind NAT.
void Call::CleanSDP(Direction dir, Sdp& sdp) {
  if (dir == FROM_SERVER && HasDefect(Defect::BARE_SDP)) {
    if (g_config.bare_codecs.empty()) {
      LogLine(LEVEL_DEBUG, "Warning: Defect 'X' has no effect. No 'bare_sdp' param configured\n");
    } else {
      g_config.BareSDP(&sdp);
      sdp.MarkDirty();
      LogLine(LEVEL_DEBUG, "Defect 'X' - Strip down SDP\n");
    }
  }
  if (srtp_ == SrtpMode::OFF && g_config.assume_nosrtp) {
    bool removed = false;
    for (const auto& media : sdp.Medias()) {
      if (SdpRtpMedia* rtp = media->AsRTP(); rtp != nullptr && media->MediaType() <= SdpMedia::VIDEO) {
        if (rtp->Transport() != "AVP") {
          rtp->Transport("AVP");
          sdp.MarkDirty();
        }
        while (media->Attributes().Remove("crypto")) removed = true;
      }
    }
    if (removed) {
      sdp.MarkDirty();
      LogLine(LEVEL_DEBUG, "No SRTP - Remove 'crypto' attribute\n");
    }
  }
  if (dir == FROM_CLIENT && !public_ip_) {
    for (const auto& media : sdp.Medias())
      if (media->Attributes().Remove("rtcp")) sdp.MarkDirty();
  }
  if (dir != FROM_SERVER) return;
  const auto& medias = sdp.Medias();
  if (HasDefect(Defect::NO_VIDEO) && sdp.Media(SdpMedia::VIDEO) != nullptr) {
    sdp.RemoveMedia(SdpMedia::VIDEO);
    sdp.Attributes().Remove("group");
    sdp.MarkDirty();
    LogLine(LEVEL_DEBUG, "Defect 'V' - Remove media Video\n");
  }
  if (HasDefect(Defect::NO_PTIME_OR_T38_EXTRAS)) {
    if (!medias.empty() && medias[0]->Attributes().Remove("ptime")) sdp.MarkDirty();
    if (medias.size() > 2) {
      for (const char* a : {"T38FaxFillBitRemoval", "T38FaxTranscodingMMR", "T38FaxTranscodingJBIG"})
        if (medias[2]->Attributes().Remove(a)) sdp.MarkDirty();
    }
  }
  if (HasDefect(Defect::SESSION_CONNECTION_FROM_AUDIO) && sdp.Connect().empty() && !medias.empty() &&
      !medias[0]->Connect().empty()) {
    sdp.Connect(medias[0]->Connect());
    sdp.MarkDirty();
  }
}

// The server's SDP reaches the client without the signature of another client.
void Call::RemoveTool(Sdp& sdp) {
  bool removed = sdp.Attributes().Remove("tool");
  for (const auto& media : sdp.Medias()) removed = media->Attributes().Remove("tool") || removed;
  if (removed) sdp.MarkDirty();
}

// Once the called side's tag is known the call is also found under its dialog key.
void Call::OverwriteKey() {
  if (!original_key_.empty()) return;
  const SipMessage& m = *message_;
  auto* callid = m.Header<CallIdHeader>(HID::HID_CALL_ID);
  auto* to = m.Header<ToHeader>(HID::HID_TO);
  if (callid == nullptr) return;
  std::string key = std::string(direction_ == FROM_SERVER ? "S&" : "C&") + callid->Value();
  if (to != nullptr && to->Params().Param("tag") != nullptr)
    key += std::string("&") + to->Params().Param("tag");
  if (key != key_) {
    LogLine(LEVEL_DEBUG, "Overwrite Key: %s\n", key.c_str());
    original_key_ = key_;
    key_ = key;
    table_->AddNKey(static_cast<int>(number_));
  }
  if (Sdp* sdp = IsSDP(m) ? message_->GetSDP() : nullptr) {
    const auto& medias = sdp->Medias();
    video_ = medias.size() > 1 && medias[1]->Port() != 0;
  }
}

void Call::ClientInviteDefects() {
  SipMessage& m = *message_;
  if (!indirect_ && (HasDefect(Defect::NO_100REL) || HasDefect(Defect::ZERO_MEDIA)))
    RemoveSupported(m, "100rel");
  if (!indirect_ && HasDefect(Defect::NO_RECORD_ROUTE)) m.Remove(HID::HID_RECORD_ROUTE);
  if (HasDefect(Defect::ULAW_ONLY) && IsSDP(m)) {
    Sdp* sdp = m.GetSDP();
    SdpRtpMedia* audio = sdp != nullptr && !sdp->Medias().empty() ? sdp->Medias().front()->AsRTP() : nullptr;
    if (audio != nullptr) {
      for (size_t i = audio->NCodecs(); i-- > 0;) {
        const std::string name = audio->CodecName(i);
        if (strcasecmp(name.c_str(), "PCMU") != 0 && strcasecmp(name.c_str(), "telephone-event") != 0)
          audio->RemoveFormat(i);
      }
      sdp->MarkDirty();
      LogLine(LEVEL_DEBUG, "Defect 'U' - Ulaw G711 only\n");
    }
  }
  m.Parse(HID::HID_CALL_INFO);
  if (HasDefect(Defect::EMPTY_UNDIALABLE_USER) && m.Header(HID::HID_CALL_INFO) != nullptr &&
      m.Header("Replaces") == nullptr && !DialableUser(m.URI().User()))
    m.URI().User("");
}

// The offer the relay makes in its own name while it has no media ports of the call: all ports 0.
std::string Call::BogusSDP() const {
  const std::string ip = g_config.myipaddr;
  const char* fmt = bare_codec_ == 18 ? "18" : bare_codec_ == 3 ? "3" : "0";
  const char* name = bare_codec_ == 18 ? "G729" : bare_codec_ == 3 ? "GSM" : "PCMU";
  return "v=0\r\no=ostrel 1 1 IN IP4 " + ip + "\r\ns=SIP Ostrel\r\nc=IN IP4 " + ip +
         "\r\nt=0 0\r\nm=audio 0 RTP/AVP " + fmt + " 101\r\na=rtpmap:" + fmt + ' ' + name +
         "/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
}
