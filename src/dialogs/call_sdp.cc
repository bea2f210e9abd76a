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
#include "sip/headers/cseq.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"

namespace {

using HID = SIP_HeadIds;

// A dotted IPv4 address in host order; 0 for anything else (host names are never resolved from an SDP).
uint32_t DottedToIp(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

// "a.b.c.d:port" of a media section, as Addr()/CAddr() give it; false unless the host is a literal address.
bool LiteralHostPort(const std::string& hostport, InetAddr& out) {
  const size_t colon = hostport.rfind(':');
  if (colon == std::string::npos || DottedToIp(hostport.substr(0, colon)) == 0) return false;
  return out.set(hostport.c_str());
}

bool IsTelephoneEvent(const SDP_Media_RTP& rtp, size_t i) {
  return strcasecmp(rtp.CodecName(i).c_str(), "telephone-event") == 0;
}

// Ports of declined sections (0) stay 0: a rewrite must not turn a refused stream back on.
void SetPortKeepDeclined(SDP_Media* m, int port) {
  if (m != nullptr && m->Port() != 0) m->Port(port);
}

}  // namespace

void Call_t::RestrctSDP(SDP* sdp) {
  SDP_Media* audio = sdp->Media(SDP_Media::AUDIO);
  SDP_Media_RTP* rtp = audio != nullptr ? audio->AsRTP() : nullptr;
  if (rtp == nullptr) return;
  bool kept_first = false, removed = false;
  for (size_t i = 0; i < rtp->NCodecs();) {
    if (IsTelephoneEvent(*rtp, i) || !kept_first) {
      kept_first = kept_first || !IsTelephoneEvent(*rtp, i);
      ++i;
      continue;
    }
    rtp->RemoveFrmt(i);
    removed = true;
  }
  if (!removed) return;
  sdp->dirty();
  DLog(LOG_DEBUG, "Remove excessive codecs\n");
}

void Call_t::ReorderSDP(SDP* sdp) {
  SDP_Media* audio = sdp->Media(SDP_Media::AUDIO);
  SDP_Media_RTP* rtp = audio != nullptr ? audio->AsRTP() : nullptr;
  if (rtp == nullptr) return;
  std::vector<std::string> low, rest;
  for (size_t i = 0; i < rtp->NCodecs(); ++i) {
    const std::string& fmt = rtp->CodecFrmt(i);
    const bool plain = fmt == "0" || fmt == "8" || fmt == "9" || fmt == "13" || IsTelephoneEvent(*rtp, i);
    (plain ? rest : low).push_back(fmt);
  }
  low.insert(low.end(), rest.begin(), rest.end());
  if (low == rtp->Formats()) return;
  while (rtp->NCodecs() > 0) rtp->RemoveFrmt(rtp->NCodecs() - 1);
  for (const std::string& fmt : low) rtp->AddFrmt(fmt);
  sdp->dirty();
  DLog(LOG_DEBUG, "LBC: Reorder list of audio codecs\n");
}

// The media addresses an SDP gives become the relay's destinations: the server's always, the client's when
// the call is anchored (the relay then follows the client's packets from its NAT).
void Call_t::LearnMedia(Direction_t dir, SDP& sdp) {
  const auto& medias = sdp.Medias();
  if (medias.empty()) return;
  if (dir == FROM_CLN) {
    if (Mode_m != FWType::OPAQUE) return;
    SDP_Media* audio = sdp.Media(SDP_Media::AUDIO);
    if (audio == nullptr) audio = sdp.Media(SDP_Media::IMAGE);
    if (audio == nullptr || !LearnClient(*audio, ClnRtp_m, "Audio")) return;
    if (SDP_Media* video = sdp.Media(SDP_Media::VIDEO)) LearnClient(*video, ClnVideo_m, "Video");
    return;
  }
  if (SDP_Media* audio = sdp.Media(SDP_Media::AUDIO)) LearnServer(*audio, SrvRtp_m, "Audio");
  if (SDP_Media* video = sdp.Media(SDP_Media::VIDEO)) LearnServer(*video, SrvVideo_m, "Video");
}

bool Call_t::LearnClient(const SDP_Media& media, mUDP_t& pair, const char* what) {
  InetAddr rtp, rtcp;
  if (!LiteralHostPort(media.Addr(), rtp) || rtp.IpAddr() == 0 || rtp.Port() == 0) return false;
  LiteralHostPort(media.CAddr(), rtcp);
  if (SNAT_m) {
    rtp.IpAddr(ClnSipAddr_m.IpAddr());
    rtcp.IpAddr(ClnSipAddr_m.IpAddr());
  }
  pair.RDest(rtp);
  DLog(LOG_DEBUG, "Cln %s RTP  Adress %s\n", what, rtp.Str().c_str());
  pair.CDest(rtcp);
  DLog(LOG_DEBUG, "Cln %s RTCP Adress %s\n", what, rtcp.Str().c_str());
  return true;
}

// A hold (0.0.0.0) leaves the destination empty: nothing is sent toward a party that holds the call.
void Call_t::LearnServer(const SDP_Media& media, mUDP_t& pair, const char* what) {
  InetAddr rtp, rtcp;
  LiteralHostPort(media.Addr(), rtp);
  LiteralHostPort(media.CAddr(), rtcp);
  pair.RDest(rtp);
  DLog(LOG_DEBUG, "Srv %s RTP  Adress %s\n", what, rtp.Str().c_str());
  pair.CDest(rtcp);
  DLog(LOG_DEBUG, "Srv %s RTCP Adress %s\n", what, rtcp.Str().c_str());
}

void Call_t::SubstituteSDP(SIP& msg, Direction_t dir) {
  const bool answer = msg.is_INVITE() ? false : msg.is_ACK() ? true : (org_m && IsSDP(*org_m));
  auto* cseq_h = msg.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  const int cseq = cseq_h != nullptr ? cseq_h->SeqNo() : 0;
  SDP* sdp = msg.GetSDP();
  if (sdp == nullptr) {
    DLog(LOG_ERROR, "Error: Parsing received SDP\n");
    return;
  }
  SDP_Media* audio = sdp->Media(SDP_Media::AUDIO);
  SDP_Media* video = sdp->Media(SDP_Media::VIDEO);
  SDP_Media* image = sdp->Media(SDP_Media::IMAGE);
  SDP_Media* main = audio != nullptr ? audio : image;

  if (audio != nullptr) {
    NameG729(*sdp, *audio);
    if (LBC_m || (dir == FROM_CLN && msg.IS_Response() && Defect('D'))) {
      if (answer)
        RestrctSDP(sdp);
      else if (LBC_m)
        ReorderSDP(sdp);
    }
  }
  if (dir == FROM_CLN) NoteClientMedia(main, video);
  if (SRTP_m != 0 && dir == FROM_CLN && !answer && (audio == nullptr || audio->Attrs().Attribute("crypto") == nullptr))
    SRTP_m = 0;  // the client offers plain RTP: the call is not secured
  const bool hold = main != nullptr && main->IsHold();

  if (dir == FROM_SRV && State() != X_INVITE_SENT && !Cfg.force_full_mode) {
    if (FullReason_m == '=') FullReason_m = Anchored() ? '?' : '-';
    if (SameFirewall(*sdp, hold, audio, video, image)) return;
    if (!Anchored()) return;
  }
  // SRTP keys toward and from the client are set up here once SRTP termination exists.

  const bool anchored = Anchored() || State() == X_INVITE_SENT;
  std::string addr;
  int port;
  if (!anchored) {
    const InetAddr learned = ClnRtp_m.RDest();
    port = learned.Port();
    if (port == 0) return;  // nothing learned yet: the addresses stay as offered
    addr = learned.IpStr();
    if (Video_m && video != nullptr) SetPortKeepDeclined(video, ClnVideo_m.RDest().Port());
  } else {
    // A transcoding rule's template SDP takes the place of this one here once transcoding exists.
    addr = dir == FROM_CLN ? Cfg.server_ipaddr : Cfg.myipaddr;
    port = dir == FROM_CLN ? SrvRtp_m.LPort() : ClnRtp_m.LPort();
    sdp->set('o', "ostrel " + UniqStr_m + ' ' + std::to_string(cseq) + " IN IP4 " + Cfg.myipaddr);
  }
  sdp->SetAddr(addr, false);
  sdp->dirty();
  if (port == -1) {
    for (const auto& m : sdp->Medias())
      if (m->MediaType() <= SDP_Media::IMAGE) m->Port(0);
    DLog(LOG_DEBUG, "Closed Port. Disable media!\n");
    return;
  }
  SetPortKeepDeclined(audio, port);
  SetPortKeepDeclined(image, port);
  if (Video_m && anchored && video != nullptr)
    SetPortKeepDeclined(video, dir == FROM_CLN ? SrvVideo_m.LPort() : ClnVideo_m.LPort());
  if (dir == FROM_CLN) Sign(*sdp);
}

// Every "G729a" becomes "G729": servers know the codec by its family name.
void Call_t::NameG729(SDP& sdp, SDP_Media& audio) {
  SDP_Media_RTP* rtp = audio.AsRTP();
  if (rtp == nullptr) return;
  for (size_t i = 0; i < rtp->NCodecs(); ++i) {
    SDP_Media_RTP::CodecParams* params = rtp->FrmtParam(rtp->CodecFrmt(i));
    if (params != nullptr && strcasecmp(params->CName().c_str(), "G729a") == 0) {
      params->CName("G729");
      sdp.dirty();
    }
  }
}

// The client's own ports and SDP address, the first time and for the signature of every SDP it sends.
void Call_t::NoteClientMedia(const SDP_Media* main, const SDP_Media* video) {
  if (ClnLocalRtpPort_m == 0 && main != nullptr) ClnLocalRtpPort_m = main->Port();
  if (ClnLocalVideoPort_m == 0 && video != nullptr) ClnLocalVideoPort_m = video->Port();
  if (main != nullptr) ClnSdpIP_m = DottedToIp(main->Host());
  SignAport_m = DDNAT_m || main == nullptr ? 0 : static_cast<uint16_t>(main->Port());
}

// The server's SDP came from another client of this relay (its signature): when both clients sit behind
// the same NAT, each gets the other's private address and the media stays inside their network. True when
// the SDP was rewritten that way (nothing else is to be done).
bool Call_t::SameFirewall(SDP& sdp, bool hold, SDP_Media* audio, SDP_Media* video, SDP_Media* image) {
  if (Transc_m > 0 || PublicIP_m || LB_m || hold) return false;
  const std::string_view text = SignatureOfTool(sdp.Attrs().Attribute("tool"));
  if (text.empty()) return false;
  if (text == SignSDP_m) {
    DLog(LOG_DEBUG, "Warning: Got back its own SDP signature\n");
    return false;
  }
  const SignatureBlock peer = DecodeSignature(text);
  if (peer.aport == 0) DDNAT_m = true;
  int pool = 0;
  if (!Cfg.CmpAddresses(ClnRtpIP_m, peer.csip, &pool)) return false;
  if (pool < 0 || DDNAT_m) {
    if (pool < 0)
      DLog(LOG_DEBUG, "PoolID: %d - Switch to FULL LB mode\n", pool);
    else
      DLog(LOG_DEBUG, "%s: Double NAT - Switch to FULL LB mode\n", peer.aport != 0 ? "Proxy" : "Party");
    LB_m = true;
    // Rejected for want of ports, the call is complete and nothing below changes the SDP.
    return !StartFullMode(false);
  }
  DLog(LOG_DEBUG, "CLN is behind the same firewall\n");
  sdp.SetAddr(InetAddr::IpStr(peer.csdp), true);
  if (audio != nullptr) audio->Port(peer.aport);
  if (image != nullptr) image->Port(peer.aport);
  if (video != nullptr) video->Port(peer.vport);
  sdp.dirty();
  FullReason_m = '=';
  return true;
}

void Call_t::Sign(SDP& sdp) {
  if (PublicIP_m || LB_m || Cfg.force_full_mode || Transc_m > 0) return;
  SignatureBlock block;
  block.csip = ClnRtpIP_m;
  block.csdp = ClnSdpIP_m;
  block.aport = SignAport_m;
  block.vport = static_cast<uint16_t>(ClnLocalVideoPort_m);
  SignSDP_m = EncodeSignature(block);
  sdp.Attrs().Remove("tool");
  sdp.Attrs().Attribute("tool", std::string(kToolPrefix) + SignSDP_m);
  sdp.dirty();
}

// A re-INVITE that switches the call to fax (T.38 only, no audio) on a call whose media flows directly: the
// fax is anchored, since fax machines behind NAT rarely keep their media where their SDP says.
bool Call_t::CheckForT38(Direction_t dir) {
  if (Anchored() || PublicIP_m || Peer()) return false;
  if (SDP* sdp = IsSDP(*msg_m) ? msg_m->GetSDP() : nullptr) {
    const SDP_Media* image = sdp->Media(SDP_Media::IMAGE);
    if (image == nullptr || sdp->Media(SDP_Media::AUDIO) != nullptr) return false;
    if (dir == FROM_CLN && ClnLocalRtpPort_m != 0 && image->Port() == ClnLocalRtpPort_m) {
      DLog(LOG_DEBUG, "Cln uses the same port for both Image and Audio - do nothing\n");
      return false;
    }
  }
  DLog(LOG_DEBUG, "Prepare for T38\n");
  ClnLocalRtpPort_m = 0;
  return true;
}
