// A call as the HA peer sees it: the record that lets the peer carry on an established call, the call the
// peer builds from it, and the flags that travel as one number.
// Reactor thread (records from the peer) and workers (records for the peer), with the call locked.
#include <string>

#include "config/config.h"
#include "dialogs/call.h"
#include "foundation/log.h"
#include "media/rtp_port.h"
#include "ports/opt_port.h"
#include "sip/headers/route.h"

namespace {

enum : unsigned {
  BIT_SERVER_TAG_SET = 1u << 0,
  BIT_PUBLIC_IP = 1u << 1,
  BIT_PERSISTENT = 1u << 2,
  BIT_VIDEO = 1u << 3,
  BIT_LOAD_BALANCED = 1u << 4,
  BIT_SYMMETRIC = 1u << 5,
  BIT_LBC = 1u << 6,
  BIT_SNAT = 1u << 7,
  BIT_DOUBLE_NAT = 1u << 8,
  KEPT_ONLY = BIT_SERVER_TAG_SET | BIT_DOUBLE_NAT,
};

std::string UriText(const SipUri& uri) {
  std::string text;
  uri.Assemble(text);
  return text;
}

// "<contact>,<record-route>,..." of a stored message.
std::string RouteSet(const SipMessage& m) {
  std::string set;
  auto add = [&set](const SipUri& uri) {
    if (!set.empty()) set += ",";
    set += "<" + UriText(uri) + ">";
  };
  if (auto* c = m.Header<ContactHeader>(SipHeaders::HID_CONTACT); c != nullptr && !c->Star()) add(*c);
  for (HeaderLine* line = m.Header(SipHeaders::HID_RECORD_ROUTE); line != nullptr; line = line->Next())
    if (auto* rr = dynamic_cast<RecordRouteHeader*>(line)) add(*rr);
  return set;
}

std::string ToTag(const SipMessage& m) {
  auto* to = m.Header<ToHeader>(SipHeaders::HID_TO);
  const char* tag = to != nullptr ? to->Params().Param("tag") : nullptr;
  return tag != nullptr ? tag : "";
}

bool IsOpaque(NatType::Mode mode) { return (mode & 0xFFFFu) == NatType::OPAQUE; }

unsigned PortOf(const RtpPort& pair) { return pair.LPort() > 0 ? static_cast<unsigned>(pair.LPort()) : 0; }

ha::LocalPorts PortsOf(const RtpPort& audio, const RtpPort& video) { return {PortOf(audio), PortOf(video)}; }

ha::MediaDestinations DestinationsOf(const RtpPort& audio, const RtpPort& video) {
  ha::MediaDestinations d;
  d.rtp = audio.RtpDestination();
  d.rtcp = audio.RtcpDestination();
  d.video = video.RtpDestination().Port() != 0;
  if (d.video) {
    d.vrtp = video.RtpDestination();
    d.vrtcp = video.RtcpDestination();
  }
  return d;
}

void SetDestinations(RtpPort& audio, RtpPort& video, const ha::MediaDestinations& d) {
  audio.RtpDestination(d.rtp);
  audio.RtcpDestination(d.rtcp);
  if (d.video) {
    video.RtpDestination(d.vrtp);
    video.RtcpDestination(d.vrtcp);
  }
}

}  // namespace

Call::Call(std::string key, Defects defects) : Dialog(nullptr, std::move(key), std::move(defects)) {}

unsigned Call::GetBitMask() const {
  unsigned mask = replica_flags_ & KEPT_ONLY;
  if (public_ip_) mask |= BIT_PUBLIC_IP;
  if (persistent_) mask |= BIT_PERSISTENT;
  if (video_) mask |= BIT_VIDEO;
  if (load_balanced_) mask |= BIT_LOAD_BALANCED;
  if (symmetric_) mask |= BIT_SYMMETRIC;
  if (lbc_) mask |= BIT_LBC;
  if (snat_) mask |= BIT_SNAT;
  return mask;
}

void Call::SetBitMask(unsigned mask) {
  replica_flags_ |= mask & KEPT_ONLY;
  if (mask & BIT_PUBLIC_IP) public_ip_ = true;
  if (mask & BIT_PERSISTENT) persistent_ = true;
  if (mask & BIT_VIDEO) video_ = true;
  if (mask & BIT_LOAD_BALANCED) load_balanced_ = true;
  if (mask & BIT_SYMMETRIC) symmetric_ = true;
  if (mask & BIT_LBC) lbc_ = true;
  if (mask & BIT_SNAT) snat_ = true;
}

ha::CallRecord Call::Replica() const {
  ha::CallRecord r;
  r.full = IsOpaque(mode_);
  r.key = key_;
  r.ncont = new_contact_;
  r.ocont = old_contact_;
  r.defects = defects_;
  r.shift = cseq_shift_;
  r.cln_ports = PortsOf(client_rtp_, client_video_);
  r.cln_dests = DestinationsOf(client_rtp_, client_video_);
  r.has_cln_dests = r.cln_dests.rtp.Port() != 0;
  r.cln_sip = client_sip_address_;
  r.srv_ports = PortsOf(server_rtp_, server_video_);
  if (r.full) {
    r.srv_dests = DestinationsOf(server_rtp_, server_video_);
    r.has_srv_dests = r.srv_dests.rtp.Port() != 0;
  }
  r.srv_sip = server_sip_address_;
  if (server_message_) {
    r.route_set = RouteSet(*server_message_);
    r.to_tag = ToTag(*server_message_);
  }
  r.transc = transcoding_;
  r.domain = domain_;
  r.flags = GetBitMask();
  return r;
}

void Call::ApplyReplica(const ha::CallRecord& r, bool created) {
  if (created) {
    new_contact_ = r.ncont;
    OldContact(r.ocont);
    domain_ = r.domain;
    SetBitMask(r.flags);
  }
  cseq_shift_ = r.shift;
  if (r.has_cln_dests) SetDestinations(client_rtp_, client_video_, r.cln_dests);
  if (r.has_srv_dests) SetDestinations(server_rtp_, server_video_, r.srv_dests);
  client_sip_address_ = r.cln_sip;
  server_sip_address_ = r.srv_sip;
  // The peer set the call up with this server: its BYE or re-INVITE must pass here after a take-over.
  g_server_sources.Learn(server_sip_address_.Ip(), time(nullptr));
  transcoding_ = static_cast<int8_t>(r.transc);
  // The record carries the rule's number in the peer's list; this node's list is assumed to match it.
  if (transcoding_ > 0 && !g_config.TranscodingRuleAt(transcoding_, transcoding_rule_)) {
    LogLine(LEVEL_ERROR, "Error: no transcoding rule %d here: the call's media is relayed unchanged\n",
            transcoding_);
    transcoding_ = -1;
  }
  last_update_ = time(nullptr);
  if (created && !r.route_set.empty()) KeepServerRoute(r);
}

// The peer relays this call's media: the same port numbers are opened here, so that the parties' media,
// once the service address moves here, reaches the same ports. False: a port was taken; none stays open.
bool Call::TakeOverMedia(const ha::CallRecord& r) {
  if (!r.full || IsOpaque(mode_)) return true;
  mode_ = NatType::OPAQUE;
  bool ready = r.cln_ports.audio != 0 && r.srv_ports.audio != 0 &&
               client_rtp_.Open(static_cast<int>(r.cln_ports.audio)) >= 0;
  if (ready && r.cln_ports.video != 0) ready = client_video_.Open(static_cast<int>(r.cln_ports.video)) >= 0;
  if (ready) ready = server_rtp_.Open(static_cast<int>(r.srv_ports.audio)) >= 0;
  if (ready && r.srv_ports.video != 0) ready = server_video_.Open(static_cast<int>(r.srv_ports.video)) >= 0;
  if (!ready) {
    LogLine(LEVEL_ERROR, "Error: peer's media ports cannot be opened here\n");
    ClosePorts();
    return false;
  }
  // The destinations came with the record; opening does not change them.
  if (r.has_cln_dests) SetDestinations(client_rtp_, client_video_, r.cln_dests);
  if (r.has_srv_dests) SetDestinations(server_rtp_, server_video_, r.srv_dests);
  return StartFullMode(false);
}

void Call::MediaSince(bool& no_client, bool& no_server) {
  const uint64_t cln = relay_.ClientPacketCount(), srv = relay_.ServerPacketCount();
  no_client = cln == client_packets_seen_;
  no_server = srv == server_packets_seen_;
  client_packets_seen_ = cln;
  server_packets_seen_ = srv;
}

// The server's side of the dialog as far as a BYE of the relay's own needs it: the record's route set
// starts with the server's Contact, then its Record-Route entries; the Call-ID is the key's middle part.
void Call::KeepServerRoute(const ha::CallRecord& r) {
  const size_t first = r.key.find('&'), last = r.key.rfind('&');
  const std::string callid = first != last ? r.key.substr(first + 1, last - first - 1) : r.key;
  const size_t comma = r.route_set.find(">,");
  const std::string contact =
      r.route_set.substr(0, comma == std::string::npos ? std::string::npos : comma + 1);
  std::string text = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 0.0.0.0\r\nFrom: <sip:x>\r\nTo: <sip:x>";
  if (!r.to_tag.empty()) text += ";tag=" + r.to_tag;
  text += "\r\nCall-ID: " + callid + "\r\nCSeq: 1 INVITE\r\nContact: " + contact + "\r\n";
  if (comma != std::string::npos) text += "Record-Route: " + r.route_set.substr(comma + 2) + "\r\n";
  text += "Content-Length: 0\r\n\r\n";
  auto m = std::make_unique<SipMessage>();
  if (m->Parse(text)) {
    server_message_ = std::move(m);
  } else {
    LogLine(LEVEL_ERROR, "Warning: peer's route set not usable: %s\n", r.route_set.c_str());
  }
  State(DialogState::PASS);
}
