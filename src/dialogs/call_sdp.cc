// The SDP of a call on its way to the other side: anchored calls advertise the relay's own ports, direct
// calls the client's public media address, two clients behind one NAT get each other's private addresses;
// codec lists narrowed for devices that need it; the signature that lets another leg recognise a client.
// Worker threads, with the call locked.
#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "dialogs/sdp_signature.h"
#include "foundation/log.h"
#include "foundation/log_rate.h"
#include "media/srtp_context.h"
#include "sip/headers/cseq.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"

namespace {

using HID = HeaderIds;

// A dotted IPv4 address in host order; 0 for anything else (host names are never resolved from an SDP).
uint32_t DottedToIp(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

// "a.b.c.d:port" of a media section, as Address()/ConnectionAddress() give it; false unless the host is a
// literal address.
bool LiteralHostPort(const std::string& hostport, InetAddress& out) {
  const size_t colon = hostport.rfind(':');
  if (colon == std::string::npos || DottedToIp(hostport.substr(0, colon)) == 0) return false;
  return out.Set(hostport.c_str());
}

bool IsTelephoneEvent(const SdpRtpMedia& rtp, size_t i) {
  return strcasecmp(rtp.CodecName(i).c_str(), "telephone-event") == 0;
}

// Ports of declined sections (0) stay 0: a rewrite must not turn a refused stream back on.
// The answer to an offer is what the offer was; the rest of the offer's state is the answer's.
SrtpMode Answered(SrtpMode mode) { return static_cast<SrtpMode>(static_cast<int8_t>(mode) | 2); }

void SetPortKeepDeclined(SdpMedia* m, int port) {
  if (m != nullptr && m->Port() != 0) m->Port(port);
}

}  // namespace

void Call::RestrictSdp(Sdp* sdp) {
  SdpMedia* audio = sdp->Media(SdpMedia::AUDIO);
  SdpRtpMedia* rtp = audio != nullptr ? audio->AsRTP() : nullptr;
  if (rtp == nullptr) return;
  bool kept_first = false, removed = false;
  for (size_t i = 0; i < rtp->NCodecs();) {
    if (IsTelephoneEvent(*rtp, i) || !kept_first) {
      kept_first = kept_first || !IsTelephoneEvent(*rtp, i);
      ++i;
      continue;
    }
    rtp->RemoveFormat(i);
    removed = true;
  }
  if (!removed) return;
  sdp->MarkDirty();
  LogLine(LEVEL_DEBUG, "Remove excessive codecs\n");
}

void Call::ReorderSDP(Sdp* sdp) {
  SdpMedia* audio = sdp->Media(SdpMedia::AUDIO);
  SdpRtpMedia* rtp = audio != nullptr ? audio->AsRTP() : nullptr;
  if (rtp == nullptr) return;
  std::vector<std::string> low, rest;
  for (size_t i = 0; i < rtp->NCodecs(); ++i) {
    const std::string& fmt = rtp->CodecFormat(i);
    const bool plain = fmt == "0" || fmt == "8" || fmt == "9" || fmt == "13" || IsTelephoneEvent(*rtp, i);
    (plain ? rest : low).push_back(fmt);
  }
  low.insert(low.end(), rest.begin(), rest.end());
  if (low == rtp->Formats()) return;
  while (rtp->NCodecs() > 0) rtp->RemoveFormat(rtp->NCodecs() - 1);
  for (const std::string& fmt : low) rtp->AddFormat(fmt);
  sdp->MarkDirty();
  LogLine(LEVEL_DEBUG, "LBC: Reorder list of audio codecs\n");
}

// The media addresses an SDP gives become the relay's destinations: the server's always, the client's when
// the call is anchored (the relay then follows the client's packets from its NAT).
void Call::LearnMedia(Direction dir, Sdp& sdp) {
  const auto& medias = sdp.Medias();
  if (medias.empty()) return;
  if (dir == FROM_CLIENT) {
    if (mode_ != NatType::OPAQUE) return;
    SdpMedia* audio = sdp.Media(SdpMedia::AUDIO);
    if (audio == nullptr) audio = sdp.Media(SdpMedia::IMAGE);
    if (audio == nullptr || !LearnClient(*audio, client_rtp_, "Audio")) return;
    if (SdpMedia* video = sdp.Media(SdpMedia::VIDEO)) LearnClient(*video, client_video_, "Video");
    return;
  }
  if (SdpMedia* audio = sdp.Media(SdpMedia::AUDIO)) LearnServer(*audio, server_rtp_, "Audio");
  if (SdpMedia* video = sdp.Media(SdpMedia::VIDEO)) LearnServer(*video, server_video_, "Video");
}

bool Call::LearnClient(const SdpMedia& media, RtpPort& pair, const char* what) {
  InetAddress rtp, rtcp;
  if (!LiteralHostPort(media.Address(), rtp) || rtp.Ip() == 0 || rtp.Port() == 0) return false;
  LiteralHostPort(media.ConnectionAddress(), rtcp);
  if (snat_) {
    rtp.Ip(client_sip_address_.Ip());
    rtcp.Ip(client_sip_address_.Ip());
  }
  pair.RtpDestination(rtp);
  LogLine(LEVEL_DEBUG, "Cln %s RTP  Adress %s\n", what, rtp.Text().c_str());
  pair.RtcpDestination(rtcp);
  LogLine(LEVEL_DEBUG, "Cln %s RTCP Adress %s\n", what, rtcp.Text().c_str());
  return true;
}

// A hold (0.0.0.0) leaves the destination empty: nothing is sent toward a party that holds the call.
void Call::LearnServer(const SdpMedia& media, RtpPort& pair, const char* what) {
  InetAddress rtp, rtcp;
  LiteralHostPort(media.Address(), rtp);
  LiteralHostPort(media.ConnectionAddress(), rtcp);
  pair.RtpDestination(rtp);
  LogLine(LEVEL_DEBUG, "Srv %s RTP  Adress %s\n", what, rtp.Text().c_str());
  pair.RtcpDestination(rtcp);
  LogLine(LEVEL_DEBUG, "Srv %s RTCP Adress %s\n", what, rtcp.Text().c_str());
}

void Call::SubstituteSDP(SipMessage& msg, Direction dir) {
  const bool answer = msg.IsInvite() ? false
                      : msg.IsAck()  ? true
                                     : (original_invite_ && IsSDP(*original_invite_));
  auto* cseq_h = msg.Header<CSeqHeader>(HID::HID_CSEQ);
  const int cseq = cseq_h != nullptr ? cseq_h->Sequence() : 0;
  Sdp* sdp = msg.GetSDP();
  if (sdp == nullptr) {
    if (g_fault_lines.Admit()) LogLine(LEVEL_ERROR, "Error: Parsing received SDP\n");
    return;
  }
  SdpMedia* audio = sdp->Media(SdpMedia::AUDIO);
  SdpMedia* video = sdp->Media(SdpMedia::VIDEO);
  SdpMedia* image = sdp->Media(SdpMedia::IMAGE);
  SdpMedia* main = audio != nullptr ? audio : image;

  if (audio != nullptr) {
    NameG729(*sdp, *audio);
    if (lbc_ || (dir == FROM_CLIENT && msg.IsResponse() && HasDefect(Defect::NARROW_ANSWER_CODECS))) {
      if (answer)
        RestrictSdp(sdp);
      else if (lbc_)
        ReorderSDP(sdp);
    }
  }
  if (dir == FROM_CLIENT) NoteClientMedia(main, video);
  if (srtp_ != SrtpMode::OFF && dir == FROM_CLIENT && !answer) {
    if (audio == nullptr || audio->Attributes().Attribute("crypto") == nullptr)
      srtp_ = SrtpMode::OFF;  // the client offers plain RTP: the call is not secured
    else if (HasDefect(Defect::SRTP_SAVP_ONLY)) {
      KeepFirstAudioAndVideo(*sdp);
      image = sdp->Media(SdpMedia::IMAGE);  // the sections removed may have been these
    }
  }
  const bool hold = main != nullptr && main->IsHold();

  if (dir == FROM_SERVER && State() != DialogState::X_INVITE_SENT && !g_config.force_full_mode) {
    if (full_reason_ == FullModeReason::SAME_FIREWALL)
      full_reason_ = Anchored() ? FullModeReason::ANCHORED_AFTER_SAME_FIREWALL : FullModeReason::NONE;
    if (SameFirewall(*sdp, hold, audio, video, image)) return;
    if (!Anchored()) return;
  }
  SrtpKeys(*sdp, dir, answer);

  const bool anchored = Anchored() || State() == DialogState::X_INVITE_SENT;
  std::string addr;
  int port;
  if (!anchored) {
    const InetAddress learned = client_rtp_.RtpDestination();
    port = learned.Port();
    if (port == 0) return;  // nothing learned yet: the addresses stay as offered
    addr = learned.IpText();
    if (video_ && video != nullptr) SetPortKeepDeclined(video, client_video_.RtpDestination().Port());
  } else {
    addr = dir == FROM_CLIENT ? g_config.server_ipaddr : g_config.myipaddr;
    port = dir == FROM_CLIENT ? server_rtp_.LPort() : client_rtp_.LPort();
    if (transcoding_ > 0) {
      // Each side sees only the codec the relay converts to for it; video and fax are not offered.
      msg.SetSDP(TranscodedSdp(dir, hold));
      sdp = msg.GetSDP();
      audio = sdp->Media(SdpMedia::AUDIO);
      video = image = nullptr;
    }
    sdp->Set('o', "ostrel " + number_text_ + ' ' + std::to_string(cseq) + " IN IP4 " + g_config.myipaddr);
  }
  if (!(transcoding_ > 0 && anchored && hold)) sdp->SetAddress(addr, false);
  sdp->MarkDirty();
  if (port == -1) {
    for (const auto& m : sdp->Medias())
      if (m->MediaType() <= SdpMedia::IMAGE) m->Port(0);
    LogLine(LEVEL_DEBUG, "Closed Port. Disable media!\n");
    return;
  }
  SetPortKeepDeclined(audio, port);
  SetPortKeepDeclined(image, port);
  if (video_ && anchored && video != nullptr)
    SetPortKeepDeclined(video, dir == FROM_CLIENT ? server_video_.LPort() : client_video_.LPort());
  if (dir == FROM_CLIENT) Sign(*sdp);
}

// The rule's template toward the server, or toward the client the client's codec; the address and port are
// set by the caller.
std::unique_ptr<Sdp> Call::TranscodedSdp(Direction dir, bool hold) const {
  const TranscodeFormat code =
      dir == FROM_CLIENT ? transcoding_rule_.server_code : transcoding_rule_.client_code;
  std::string media = TransSDP[code];
  if (code == ILBC_60) {
    const std::string pt = std::to_string(bare_codec_);
    media = "m=audio 65536 RTP/AVP " + pt + " 101\r\na=rtpmap:" + pt + " iLBC/8000\r\na=fmtp:" + pt +
            " mode=30\r\na=rtpmap:101 telephone-event/8000\r\na=ptime:60\r\n";
  }
  media.replace(media.find("65536"), 5, "1");  // any port but 0 (declined): the real one comes later
  const std::string text = "v=0\r\no=ostrel 1 1 IN IP4 " + std::string(g_config.myipaddr) +
                           "\r\ns=SIP Ostrel\r\nc=IN IP4 " + (hold ? "0.0.0.0" : g_config.myipaddr) +
                           "\r\nt=0 0\r\n" + media;
  auto sdp = std::make_unique<Sdp>();
  sdp->Parse(text);
  sdp->MarkDirty();
  return sdp;
}

// The relay secures the client's leg itself: the client's keys are taken from its SDP (the server sees
// plain RTP), and the relay's own keys go to the client in the SDP from the server.
void Call::SrtpKeys(Sdp& sdp, Direction dir, bool answer) {
  if (srtp_ == SrtpMode::OFF) return;
  for (const SdpMedia::MediaKind kind : {SdpMedia::AUDIO, SdpMedia::VIDEO}) {
    SdpMedia* media = sdp.Media(kind);
    SdpRtpMedia* rtp = media != nullptr ? media->AsRTP() : nullptr;
    if (rtp == nullptr) continue;
    const bool audio = kind == SdpMedia::AUDIO;
    const char* crypto = media->Attributes().Attribute("crypto");
    if (dir == FROM_CLIENT) {
      // The first of the client's keys the relay can use; with none (a suite it lacks) the client's SRTP is
      // left to the server, as for a client that offers keys the relay does not take over.
      if (crypto == nullptr || !TakeClientKeys(*media, SrtpOf(audio ? client_rtp_ : client_video_))) {
        if (audio) srtp_ = SrtpMode::ALLOWED;
        continue;
      }
      rtp->Transport("AVP");
      if (audio) srtp_ = answer ? Answered(srtp_) : SrtpMode::OFFERED;
      if (audio)
        LogLine(LEVEL_DEBUG, "SRTP SetRecvCrypto(AUDIO:%d)\n", static_cast<int>(srtp_));
      else
        LogLine(LEVEL_DEBUG, "SRTP SetRecvCrypto(VIDEO)\n");
    } else if (crypto != nullptr) {
      if (audio) srtp_ = SrtpMode::ALLOWED;  // the server speaks SRTP itself: its keys pass through
      rtp->Transport("SAVP");
    } else {
      if (audio) srtp_ = answer ? Answered(srtp_) : SrtpMode::OFFERED;
      if (static_cast<int>(srtp_) < 1) continue;
      SrtpContext& context = SrtpOf(audio ? client_rtp_ : client_video_);
      context.SetSendCrypto();
      if (audio)
        LogLine(LEVEL_DEBUG, "SRTP SetSendCrypto(AUDIO:%d)\n", static_cast<int>(srtp_));
      else
        LogLine(LEVEL_DEBUG, "SRTP SetSendCrypto(VIDEO)\n");
      media->Attributes().Attribute("crypto", context.GetSendCrypto());
      if (answer || HasDefect(Defect::SRTP_SAVP_ONLY)) rtp->Transport("SAVP");
    }
  }
  sdp.MarkDirty();
  relay_.SrtpTerminated(srtp_ == SrtpMode::TERMINATED);
}

void Call::KeepFirstAudioAndVideo(Sdp& sdp) {
  if (sdp.KeepMedias(sdp.Media(SdpMedia::AUDIO), sdp.Media(SdpMedia::VIDEO))) sdp.MarkDirty();
}

bool Call::TakeClientKeys(SdpMedia& media, SrtpContext& context) {
  bool taken = false;
  for (const auto& [name, value] : media.Attributes().Attributes()) {
    if (name == "crypto" && context.SetRecvCrypto(value.c_str())) {
      taken = true;
      break;
    }
  }
  if (!taken) {
    LogLine(LEVEL_ERROR, "SRTP: none of the client's crypto suites is usable\n");
    return false;
  }
  while (media.Attributes().Remove("crypto")) {
  }
  return true;
}

const SrtpContext* Call::ClientSrtp() const { return static_cast<const SrtpContext*>(client_rtp_.Srtp()); }

SrtpContext& Call::SrtpOf(ClientRtpPort& pair) {
  if (pair.Srtp() == nullptr) pair.SetSrtp(std::make_unique<SrtpContext>(number_, log_level_));
  return static_cast<SrtpContext&>(*pair.Srtp());  // a client pair only ever holds an SrtpContext
}

// Every "G729a" becomes "G729": servers know the codec by its family name.
void Call::NameG729(Sdp& sdp, SdpMedia& audio) {
  SdpRtpMedia* rtp = audio.AsRTP();
  if (rtp == nullptr) return;
  for (size_t i = 0; i < rtp->NCodecs(); ++i) {
    SdpRtpMedia::CodecParams* params = rtp->FormatParameter(rtp->CodecFormat(i));
    if (params != nullptr && strcasecmp(params->CName().c_str(), "G729a") == 0) {
      params->CName("G729");
      sdp.MarkDirty();
    }
  }
}

// The client's own ports and SDP address, the first time and for the signature of every SDP it sends.
void Call::NoteClientMedia(const SdpMedia* main, const SdpMedia* video) {
  if (client_local_rtp_port_ == 0 && main != nullptr) client_local_rtp_port_ = main->Port();
  if (client_local_video_port_ == 0 && video != nullptr) client_local_video_port_ = video->Port();
  if (main != nullptr) client_sdp_ip_ = DottedToIp(main->Host());
  signature_audio_port_ = double_nat_ || main == nullptr ? 0 : static_cast<uint16_t>(main->Port());
}

// The server's SDP came from another client of this relay (its signature): when both clients sit behind
// the same NAT, each gets the other's private address and the media stays inside their network. True when
// the SDP was rewritten that way (nothing else is to be done).
bool Call::SameFirewall(Sdp& sdp, bool hold, SdpMedia* audio, SdpMedia* video, SdpMedia* image) {
  if (transcoding_ > 0 || public_ip_ || load_balanced_ || hold) return false;
  const std::string_view text = SignatureOfTool(sdp.Attributes().Attribute("tool"));
  if (text.empty()) return false;
  if (text == signature_sdp_) {
    LogLine(LEVEL_DEBUG, "Warning: Got back its own SDP signature\n");
    return false;
  }
  const SignatureBlock peer = DecodeSignature(text);
  if (peer.aport == 0) double_nat_ = true;
  int pool = 0;
  if (!g_config.CompareAddresses(client_rtp_ip_, peer.csip, &pool)) return false;
  if (pool < 0 || double_nat_) {
    if (pool < 0)
      LogLine(LEVEL_DEBUG, "PoolID: %d - Switch to FULL LB mode\n", pool);
    else
      LogLine(LEVEL_DEBUG, "%s: Double NAT - Switch to FULL LB mode\n", peer.aport != 0 ? "Proxy" : "Party");
    load_balanced_ = true;
    // Rejected for want of ports, the call is complete and nothing below changes the SDP.
    return !StartFullMode(false);
  }
  LogLine(LEVEL_DEBUG, "CLN is behind the same firewall\n");
  sdp.SetAddress(InetAddress::IpText(peer.csdp), true);
  if (audio != nullptr) audio->Port(peer.aport);
  if (image != nullptr) image->Port(peer.aport);
  if (video != nullptr) video->Port(peer.vport);
  sdp.MarkDirty();
  full_reason_ = FullModeReason::SAME_FIREWALL;
  return true;
}

void Call::Sign(Sdp& sdp) {
  if (public_ip_ || load_balanced_ || g_config.force_full_mode || transcoding_ > 0) return;
  SignatureBlock block;
  block.csip = client_rtp_ip_;
  block.csdp = client_sdp_ip_;
  block.aport = signature_audio_port_;
  block.vport = static_cast<uint16_t>(client_local_video_port_);
  signature_sdp_ = EncodeSignature(block);
  sdp.Attributes().Remove("tool");
  sdp.Attributes().Attribute("tool", std::string(kToolPrefix) + signature_sdp_);
  sdp.MarkDirty();
}

// A re-INVITE that switches the call to fax (T.38 only, no audio) on a call whose media flows directly: the
// fax is anchored, since fax machines behind NAT rarely keep their media where their SDP says.
bool Call::CheckForT38(Direction dir) {
  if (Anchored() || public_ip_ || Peer()) return false;
  if (Sdp* sdp = IsSDP(*message_) ? message_->GetSDP() : nullptr) {
    const SdpMedia* image = sdp->Media(SdpMedia::IMAGE);
    if (image == nullptr || sdp->Media(SdpMedia::AUDIO) != nullptr) return false;
    if (dir == FROM_CLIENT && client_local_rtp_port_ != 0 && image->Port() == client_local_rtp_port_) {
      LogLine(LEVEL_DEBUG, "Cln uses the same port for both Image and Audio - do nothing\n");
      return false;
    }
  }
  LogLine(LEVEL_DEBUG, "Prepare for T38\n");
  client_local_rtp_port_ = 0;
  return true;
}
