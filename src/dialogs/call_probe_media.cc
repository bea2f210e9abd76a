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

using HID = SIP_HeadIds;

// A closed pair is offered as port 0 (the stream declined) rather than failing the offer.
int OfferedPort(const mUDP_t& pair) { return pair.LPort() > 0 ? pair.LPort() : 0; }

}  // namespace

bool Call_t::OpenProbeMedia() {
  if (ClnRtp_m.open() < 0) return false;
  if (Video_m && ClnVideo_m.open() < 0) {
    ClnRtp_m.close();
    return false;
  }
  return true;
}

// The offer the relay makes in its own name: the codec the call settled on (all three with full), and
// video when the call has it (a copy of the client's) or with full (H.261 and H.264).
std::string Call_t::ProbeSDP(bool full) {
  const std::string ip = Cfg.myipaddr;
  ClnRtp_m.open();
  std::string text = "v=0\r\no=ostrel 1 1 IN IP4 " + ip + "\r\ns=SIP Ostrel\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\n";
  text += "m=audio " + std::to_string(OfferedPort(ClnRtp_m)) + " RTP/AVP ";
  if (full) {
    text += "0 18 3 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:18 G729/8000\r\na=rtpmap:3 GSM/8000\r\n";
  } else {
    const char* fmt = BCodec_m == 18 ? "18" : BCodec_m == 3 ? "3" : "0";
    const char* name = BCodec_m == 18 ? "G729" : BCodec_m == 3 ? "GSM" : "PCMU";
    text += std::string(fmt) + " 101\r\na=rtpmap:" + fmt + ' ' + name + "/8000\r\n";
  }
  text += "a=rtpmap:101 telephone-event/8000\r\n";
  if (!Video_m && !full) return text;
  ClnVideo_m.open();
  const int vport = OfferedPort(ClnVideo_m);
  SDP* offer = Video_m && org_m && IsSDP(*org_m) ? org_m->GetSDP() : nullptr;
  const SDP_Media* video = offer != nullptr ? offer->Media(SDP_Media::VIDEO) : nullptr;
  if (Video_m) {
    if (video == nullptr) return text;
    std::unique_ptr<SDP_Media> copy = video->Clone();
    copy->Connect() = SDP_Connect();
    copy->Port(vport);
    copy->assemble(text);
    return text;
  }
  text += "m=video " + std::to_string(vport) + " RTP/AVP 31 99\r\na=rtpmap:31 H261/90000\r\na=rtpmap:99 H264/90000\r\n";
  return text;
}

void Call_t::RegisterProbeMedia(bool video) {
  ClnRtp_m.doregister(this);
  if (video && Video_m) ClnVideo_m.doregister(this);
}

// Reactor thread: the reactor runs its callbacks without its lock, so only its own thread lets go of them.
void Call_t::UnregisterProbeMedia() {
  ClnRtp_m.unregister();
  ClnVideo_m.unregister();
}

bool Call_t::ClnRtpKnown() const { return ClnRtp_m.RDest().Port() != 0; }

void Call_t::NoteClientPorts(SIP& ok) {
  SDP* sdp = IsSDP(ok) ? ok.GetSDP() : nullptr;
  if (sdp == nullptr) return;
  const SDP_Media* audio = sdp->Media(SDP_Media::AUDIO);
  NoteClientMedia(audio != nullptr ? audio : sdp->Media(SDP_Media::IMAGE), sdp->Media(SDP_Media::VIDEO));
}

// The relay's pairs take over the media: probe mode ends first, so that the relay thread is the only
// reader of the client's socket.
void Call_t::GoFull(bool send) {
  UnregisterProbeMedia();
  if (send) ResumeInvite();
  StartFullMode(send);
}

// Reactor thread, the call locked: the client's media reached a pair the relay offered.
void Call_t::ProbePacket(mUDP_t& pair, const InetAddr& src) {
  if (src.IpAddr() != ClnSipAddr_m.IpAddr()) {
    if (!Defect('L')) return;
    DLog(LOG_DEBUG, "Session FW type set to LB Symmetric\n");
    ProbeToFull();
    return;
  }
  bool both = false;
  int expected = 0;
  InetAddr rtcp = src;
  rtcp.Port(static_cast<unsigned short>(src.Port() + 1));
  if (&pair == &ClnRtp_m) {
    expected = ClnLocalRtpPort_m;
    ClnRtp_m.RDest(src);
    ClnRtp_m.CDest(rtcp);
    DLog(LOG_DEBUG, "Detected Client RTP Audio Port - %d\n", src.Port());
    ClnRtp_m.unregister();
    both = !Video_m || ClnVideo_m.RDest().Port() != 0;
  } else if (&pair == &ClnVideo_m) {
    expected = ClnLocalVideoPort_m;
    ClnVideo_m.RDest(src);
    ClnVideo_m.CDest(rtcp);
    DLog(LOG_DEBUG, "Detected Client RTP Video Port - %d\n", src.Port());
    ClnVideo_m.unregister();
    both = ClnRtp_m.RDest().Port() != 0;
  } else {
    return;
  }
  if (Mode_m == FWType::PORTPRESERVE) {
    if (src.Port() != expected) {
      DLog(LOG_DEBUG, "Session FW type is changed PortPreserve to Symmetric\n");
      ProbeToFull();
      return;
    }
    if (both) {
      Mode_m = FWType::RESTRICTED;
      DLog(LOG_DEBUG, "Session FW type is changed PortPreserve to Restricted\n");
    }
  }
  if (!both) return;
  if (State() == X_ACK_SENT || State() == X_183_SENT) {
    DLog(LOG_DEBUG, "Cancel X_Media Timer\n");
    CancelTimer(T_MEDIA);
    Process(X_CLNMEDIA_RECV, FROM_NOWHERE);
  } else {
    DLog(LOG_DEBUG, "State remains unchanged.\n");
  }
}

// The client's media shows a NAT that does not keep its ports: anchored after all.
void Call_t::ProbeToFull() {
  DLog(LOG_DEBUG, "Cancel X_Media Timer\n");
  if (TimerType_m == T_MEDIA) CancelTimer(T_MEDIA);
  UnregisterProbeMedia();
  // Only a server call has a second INVITE; a client's INVITE is still held and goes on as it came.
  if (InvDirect_m == FROM_SRV) MakeSecondInvite();
  FullReason_m = 'D';
  Process(START_FULL_MODE, FROM_NOWHERE);
}
