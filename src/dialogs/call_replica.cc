// A call as the HA peer sees it: the record that lets the peer carry on an established call, the call the
// peer builds from it, and the flags that travel as one number.
// Reactor thread (records from the peer) and workers (records for the peer), with the call locked.
#include <string>

#include "dialogs/call.h"
#include "foundation/log.h"
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
  r.cln_sip = ClnSipAddr_m;
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
  ClnSipAddr_m = r.cln_sip;
  SrvSipAddr_m = r.srv_sip;
  Transc_m = static_cast<int8_t>(r.transc);
  DlgUpdate_m = time(nullptr);
  if (!created || r.route_set.empty()) return;
  // The server's side of the dialog as far as a BYE of the relay's own needs it.
  std::string text = "SIP/2.0 200 OK\r\nRecord-Route: " + r.route_set + "\r\n";
  if (!r.to_tag.empty()) text += "To: <sip:x>;tag=" + r.to_tag + "\r\n";
  text += "Content-Length: 0\r\n\r\n";
  auto m = std::make_unique<SIP>();
  if (m->parser(text)) {
    srv_m = std::move(m);
  } else {
    DLog(LOG_ERROR, "Warning: peer's route set not usable: %s\n", r.route_set.c_str());
  }
  State(PASS);
}
