// A call as the HA peer sees it: the record that lets the peer carry on an established call, the call the
// peer builds from it, and the flags that travel as one number.
// Reactor thread (records from the peer) and workers (records for the peer), with the call locked.
#include <string>

#include "config/config.h"
#include "dialogs/call.h"
#include "foundation/log.h"
#include "media/rtp_port.h"
#include "sip/headers/route.h"

namespace {

enum : unsigned {
  kBitSrvTagSet = 1u << 0,
  kBitPublicIP = 1u << 1,
  kBitPrsn = 1u << 2,
  kBitVideo = 1u << 3,
  kBitLB = 1u << 4,
  kBitSymmtr = 1u << 5,
  kBitLBC = 1u << 6,
  kBitSNAT = 1u << 7,
  kBitDDNAT = 1u << 8,
  kKeptOnly = kBitSrvTagSet | kBitDDNAT,
};

std::string UriText(const SIP_URI& uri) {
  std::string text;
  uri.assemble(text);
  return text;
}

// "<contact>,<record-route>,..." of a stored message.
std::string RouteSet(const SIP& m) {
  std::string set;
  auto add = [&set](const SIP_URI& uri) {
    if (!set.empty()) set += ",";
    set += "<" + UriText(uri) + ">";
  };
  if (auto* c = m.Header<SIP_Head_Contact>(SIP_Header::HID_Contact); c != nullptr && !c->Star()) add(*c);
  for (SIP_HeadLine* line = m.Header(SIP_Header::HID_Record_Route); line != nullptr; line = line->Next())
    if (auto* rr = dynamic_cast<SIP_Head_Record_Route*>(line)) add(*rr);
  return set;
}

std::string ToTag(const SIP& m) {
  auto* to = m.Header<SIP_Head_To>(SIP_Header::HID_To);
  const char* tag = to != nullptr ? to->Params().Param("tag") : nullptr;
  return tag != nullptr ? tag : "";
}

bool IsOpaque(FWType::Mode_t mode) { return (mode & 0xFFFFu) == FWType::OPAQUE; }

unsigned PortOf(const mUDP_t& pair) { return pair.LPort() > 0 ? static_cast<unsigned>(pair.LPort()) : 0; }

ha::LocalPorts PortsOf(const mUDP_t& audio, const mUDP_t& video) { return {PortOf(audio), PortOf(video)}; }

ha::MediaDests DestsOf(const mUDP_t& audio, const mUDP_t& video) {
  ha::MediaDests d;
  d.rtp = audio.RDest();
  d.rtcp = audio.CDest();
  d.video = video.RDest().Port() != 0;
  if (d.video) {
    d.vrtp = video.RDest();
    d.vrtcp = video.CDest();
  }
  return d;
}

void SetDests(mUDP_t& audio, mUDP_t& video, const ha::MediaDests& d) {
  audio.RDest(d.rtp);
  audio.CDest(d.rtcp);
  if (d.video) {
    video.RDest(d.vrtp);
    video.CDest(d.vrtcp);
  }
}

}  // namespace

Call_t::Call_t(std::string key, std::string defect) : Dialog_t(nullptr, std::move(key), std::move(defect)) {}

unsigned Call_t::GetBitMask() const {
  unsigned mask = ReplicaBits_m & kKeptOnly;
  if (PublicIP_m) mask |= kBitPublicIP;
  if (Prsn_m) mask |= kBitPrsn;
  if (Video_m) mask |= kBitVideo;
  if (LB_m) mask |= kBitLB;
  if (Symmtr_m) mask |= kBitSymmtr;
  if (LBC_m) mask |= kBitLBC;
  if (SNAT_m) mask |= kBitSNAT;
  return mask;
}

void Call_t::SetBitMask(unsigned mask) {
  ReplicaBits_m |= mask & kKeptOnly;
  if (mask & kBitPublicIP) PublicIP_m = true;
  if (mask & kBitPrsn) Prsn_m = true;
  if (mask & kBitVideo) Video_m = true;
  if (mask & kBitLB) LB_m = true;
  if (mask & kBitSymmtr) Symmtr_m = true;
  if (mask & kBitLBC) LBC_m = true;
  if (mask & kBitSNAT) SNAT_m = true;
}

ha::CallRecord Call_t::Replica() const {
  ha::CallRecord r;
  r.full = IsOpaque(Mode_m);
  r.key = key_m;
  r.ncont = NewContact_m;
  r.ocont = OrgContact_m;
  r.defect = Defect_m;
  r.shift = Shift_m;
  r.cln_ports = PortsOf(ClnRtp_m, ClnVideo_m);
  r.cln_dests = DestsOf(ClnRtp_m, ClnVideo_m);
  r.has_cln_dests = r.cln_dests.rtp.Port() != 0;
  r.cln_sip = ClnSipAddr_m;
  r.srv_ports = PortsOf(SrvRtp_m, SrvVideo_m);
  if (r.full) {
    r.srv_dests = DestsOf(SrvRtp_m, SrvVideo_m);
    r.has_srv_dests = r.srv_dests.rtp.Port() != 0;
  }
  r.srv_sip = SrvSipAddr_m;
  if (srv_m) {
    r.route_set = RouteSet(*srv_m);
    r.to_tag = ToTag(*srv_m);
  }
  r.transc = Transc_m;
  r.domain = Domain_m;
  r.flags = GetBitMask();
  return r;
}

void Call_t::ApplyReplica(const ha::CallRecord& r, bool created) {
  if (created) {
    NewContact_m = r.ncont;
    OrgContact(r.ocont);
    Domain_m = r.domain;
    SetBitMask(r.flags);
  }
  Shift_m = r.shift;
  if (r.has_cln_dests) SetDests(ClnRtp_m, ClnVideo_m, r.cln_dests);
  if (r.has_srv_dests) SetDests(SrvRtp_m, SrvVideo_m, r.srv_dests);
  ClnSipAddr_m = r.cln_sip;
  SrvSipAddr_m = r.srv_sip;
  Transc_m = static_cast<int8_t>(r.transc);
  DlgUpdate_m = time(nullptr);
  if (created && !r.route_set.empty()) KeepServerRoute(r);
}

// The peer relays this call's media: the same port numbers are opened here, so that the parties' media,
// once the service address moves here, reaches the same ports. False: a port was taken; none stays open.
bool Call_t::TakeOverMedia(const ha::CallRecord& r) {
  if (!r.full || IsOpaque(Mode_m)) return true;
  Mode_m = FWType::OPAQUE;
  bool ready = r.cln_ports.audio != 0 && r.srv_ports.audio != 0 && ClnRtp_m.open(static_cast<int>(r.cln_ports.audio)) >= 0;
  if (ready && r.cln_ports.video != 0) ready = ClnVideo_m.open(static_cast<int>(r.cln_ports.video)) >= 0;
  if (ready) ready = SrvRtp_m.open(static_cast<int>(r.srv_ports.audio)) >= 0;
  if (ready && r.srv_ports.video != 0) ready = SrvVideo_m.open(static_cast<int>(r.srv_ports.video)) >= 0;
  if (!ready) {
    DLog(LOG_ERROR, "Error: peer's media ports cannot be opened here\n");
    ClosePorts();
    return false;
  }
  // The destinations came with the record; opening does not change them.
  if (r.has_cln_dests) SetDests(ClnRtp_m, ClnVideo_m, r.cln_dests);
  if (r.has_srv_dests) SetDests(SrvRtp_m, SrvVideo_m, r.srv_dests);
  return StartFullMode(false);
}

void Call_t::MediaSince(bool& no_client, bool& no_server) {
  const uint64_t cln = Relay_m.ClnNPcur(), srv = Relay_m.SrvNPcur();
  no_client = cln == ClnNPsav_m;
  no_server = srv == SrvNPsav_m;
  ClnNPsav_m = cln;
  SrvNPsav_m = srv;
}

// The server's side of the dialog as far as a BYE of the relay's own needs it: the record's route set
// starts with the server's Contact, then its Record-Route entries; the Call-ID is the key's middle part.
void Call_t::KeepServerRoute(const ha::CallRecord& r) {
  const size_t first = r.key.find('&'), last = r.key.rfind('&');
  const std::string callid = first != last ? r.key.substr(first + 1, last - first - 1) : r.key;
  const size_t comma = r.route_set.find(">,");
  const std::string contact = r.route_set.substr(0, comma == std::string::npos ? std::string::npos : comma + 1);
  std::string text = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 0.0.0.0\r\nFrom: <sip:x>\r\nTo: <sip:x>";
  if (!r.to_tag.empty()) text += ";tag=" + r.to_tag;
  text += "\r\nCall-ID: " + callid + "\r\nCSeq: 1 INVITE\r\nContact: " + contact + "\r\n";
  if (comma != std::string::npos) text += "Record-Route: " + r.route_set.substr(comma + 2) + "\r\n";
  text += "Content-Length: 0\r\n\r\n";
  auto m = std::make_unique<SIP>();
  if (m->parser(text)) {
    srv_m = std::move(m);
  } else {
    DLog(LOG_ERROR, "Warning: peer's route set not usable: %s\n", r.route_set.c_str());
  }
  State(PASS);
}

void Call_t::ZeroAnswerTimeout() {
  if (!org_m) return;
  SIP m(*org_m);
  m.Convert(SIP::CANCEL);
  m.remove(SIP_Header::HID_Via);
  m.set(SIP_Header::HID_User_Agent, Cfg.AgentName);
  Pass(FROM_CLN, &m);
  m.remove(SIP_Header::HID_Via);
  m.Convert(SIP::BYE);
  m.set(SIP_Header::HID_User_Agent, Cfg.AgentName);
  m.swapFT();
  auto* from = m.Header<SIP_Head_From>(SIP_Header::HID_From);
  const size_t amp = key_m.rfind('&');
  if (from != nullptr && from->Params().Param("tag") == nullptr && amp != std::string::npos)
    from->Params().Param("tag", key_m.substr(amp + 1));
  Pass(FROM_SRV, &m);
}
