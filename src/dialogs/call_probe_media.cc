// The client-side port pairs while a call probes the client's NAT: the relay's own offer pointing at them,
// the reactor handing their first packets to the call, and the switch to anchored media.
// Worker threads and the reactor thread (ProbePacket, unregistering), with the call locked.
#include <strings.h>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "foundation/log.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_media_rtp.h"

namespace {

using HID = HeaderIds;

// A closed pair is offered as port 0 (the stream declined) rather than failing the offer.
int OfferedPort(const RtpPort& pair) { return pair.LPort() > 0 ? pair.LPort() : 0; }

}  // namespace

bool Call::OpenProbeMedia() {
  if (client_rtp_.Open() < 0) return false;
  if (video_ && client_video_.Open() < 0) {
    client_rtp_.close();
    return false;
  }
  return true;
}

// The offer the relay makes in its own name: the codec the call settled on (all three with full), and
// video when the call has it (a copy of the client's) or with full (H.261 and H.264).
std::string Call::ProbeSDP(bool full) {
  const std::string ip = g_config.myipaddr;
  client_rtp_.Open();
  std::string text =
      "v=0\r\no=ostrel 1 1 IN IP4 " + ip + "\r\ns=SIP Ostrel\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\n";
  text += "m=audio " + std::to_string(OfferedPort(client_rtp_)) + " RTP/AVP ";
  if (full) {
    text += "0 18 3 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:18 G729/8000\r\na=rtpmap:3 GSM/8000\r\n";
  } else {
    const char* fmt = bare_codec_ == 18 ? "18" : bare_codec_ == 3 ? "3" : "0";
    const char* name = bare_codec_ == 18 ? "G729" : bare_codec_ == 3 ? "GSM" : "PCMU";
    text += std::string(fmt) + " 101\r\na=rtpmap:" + fmt + ' ' + name + "/8000\r\n";
  }
  text += "a=rtpmap:101 telephone-event/8000\r\n";
  if (!video_ && !full) return text;
  client_video_.Open();
  const int vport = OfferedPort(client_video_);
  Sdp* offer = video_ && original_invite_ && IsSDP(*original_invite_) ? original_invite_->GetSDP() : nullptr;
  const SdpMedia* video = offer != nullptr ? offer->Media(SdpMedia::VIDEO) : nullptr;
  if (video_) {
    if (video == nullptr) return text;
    std::unique_ptr<SdpMedia> copy = video->Clone();
    copy->Connect() = SdpConnection();
    copy->Port(vport);
    copy->Assemble(text);
    return text;
  }
  text += "m=video " + std::to_string(vport) +
          " RTP/AVP 31 99\r\na=rtpmap:31 H261/90000\r\na=rtpmap:99 H264/90000\r\n";
  return text;
}

void Call::RegisterProbeMedia(bool video) {
  client_rtp_.Register(this);
  if (video && video_) client_video_.Register(this);
}

// Reactor thread: the reactor runs its callbacks without its lock, so only its own thread lets go of them.
void Call::UnregisterProbeMedia() {
  client_rtp_.Unregister();
  client_video_.Unregister();
}

bool Call::ClientRtpKnown() const { return client_rtp_.RtpDestination().Port() != 0; }

void Call::NoteClientPorts(SipMessage& ok) {
  Sdp* sdp = IsSDP(ok) ? ok.GetSDP() : nullptr;
  if (sdp == nullptr) return;
  const SdpMedia* audio = sdp->Media(SdpMedia::AUDIO);
  NoteClientMedia(audio != nullptr ? audio : sdp->Media(SdpMedia::IMAGE), sdp->Media(SdpMedia::VIDEO));
}

// The relay's pairs take over the media: probe mode ends first, so that the relay thread is the only
// reader of the client's socket.
void Call::GoFull(bool send) {
  UnregisterProbeMedia();
  if (send) ResumeInvite();
  StartFullMode(send);
}

// Reactor thread, the call locked: the client's media reached a pair the relay offered.
void Call::ProbePacket(RtpPort& pair, const InetAddress& src) {
  if (src.Ip() != client_sip_address_.Ip()) {
    if (!HasDefect(Defect::LOAD_BALANCED)) return;
    LogLine(LEVEL_DEBUG, "Session FW type set to LB Symmetric\n");
    ProbeToFull();
    return;
  }
  bool both = false;
  int expected = 0;
  InetAddress rtcp = src;
  rtcp.Port(static_cast<unsigned short>(src.Port() + 1));
  if (&pair == &client_rtp_) {
    expected = client_local_rtp_port_;
    client_rtp_.RtpDestination(src);
    client_rtp_.RtcpDestination(rtcp);
    LogLine(LEVEL_DEBUG, "Detected Client RTP Audio Port - %d\n", src.Port());
    client_rtp_.Unregister();
    both = !video_ || client_video_.RtpDestination().Port() != 0;
  } else if (&pair == &client_video_) {
    expected = client_local_video_port_;
    client_video_.RtpDestination(src);
    client_video_.RtcpDestination(rtcp);
    LogLine(LEVEL_DEBUG, "Detected Client RTP Video Port - %d\n", src.Port());
    client_video_.Unregister();
    both = client_rtp_.RtpDestination().Port() != 0;
  } else {
    return;
  }
  if (mode_ == NatType::PORTPRESERVE) {
    if (src.Port() != expected) {
      LogLine(LEVEL_DEBUG, "Session FW type is changed PortPreserve to Symmetric\n");
      ProbeToFull();
      return;
    }
    if (both) {
      mode_ = NatType::RESTRICTED;
      LogLine(LEVEL_DEBUG, "Session FW type is changed PortPreserve to Restricted\n");
    }
  }
  if (!both) return;
  if (State() == DialogState::X_ACK_SENT || State() == DialogState::X_183_SENT) {
    LogLine(LEVEL_DEBUG, "Cancel X_Media Timer\n");
    CancelTimer(T_MEDIA);
    Process(DialogEvent::X_CLNMEDIA_RECV, FROM_NOWHERE);
  } else {
    LogLine(LEVEL_DEBUG, "State remains unchanged.\n");
  }
}

// The client's media shows a NAT that does not keep its ports: anchored after all.
void Call::ProbeToFull() {
  LogLine(LEVEL_DEBUG, "Cancel X_Media Timer\n");
  if (timer_type_ == T_MEDIA) CancelTimer(T_MEDIA);
  UnregisterProbeMedia();
  // Only a server call has a second INVITE; a client's INVITE is still held and goes on as it came.
  if (invite_direction_ == FROM_SERVER) MakeSecondInvite();
  full_reason_ = FullModeReason::DETECTED;
  Process(DialogEvent::START_FULL_MODE, FROM_NOWHERE);
}
