// The relay of a dialog's message to the other side: the relay's Via, the Request-URI, Contact and route
// set rewritten, the CSeq shift, and the choice of server on retransmissions. Worker or reactor thread,
// with the dialog locked.
#include <cstdlib>
#include <string>

#include "config/config.h"
#include "dialogs/dialog.h"
#include "foundation/log.h"
#include "ports/sip_port.h"
#include "sip/headers/cseq.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"

namespace {

using HID = SIP_HeadIds;

// One of the relay's two faces in a route set: toward the client, or toward the server.
struct Face {
  std::string host;
  int port;
};

Face Outer() { return {Cfg.myipaddr, Cfg.MainPort}; }
Face Inner() { return {Cfg.server_ipaddr, Cfg.SecondPort + 3}; }

std::string FaceText(const std::string& user, const Face& f) {
  return "<sip:" + user + '@' + f.host + ':' + std::to_string(f.port) + ";lr>";
}

bool IsFace(const SIP_Head_Route& e, unsigned no, const Face& f) {
  return std::strtoul(e.User().c_str(), nullptr, 10) == no && e.Host() == f.host && e.SPort() == f.port;
}

void SetFace(SIP_Head_Route& e, const Face& f) {
  e.Host(f.host);
  e.Port(f.port);
}

SIP_Head_Record_Route* RecordRoute(SIP_HeadLine* l) { return dynamic_cast<SIP_Head_Record_Route*>(l); }

// The relay's part of a hop: the address and port it is seen under, and the socket it sends from.
struct Side {
  std::string host;
  int port;
  SIPPort_t* out;
};

Side SideToward(Dialog_t::Direction_t from) {
  if (from == Dialog_t::FROM_CLN) return {Cfg.server_ipaddr, Cfg.SecondPort + 3, &IntPort};
  return {Cfg.myipaddr, Cfg.MainPort, &ExtPort};
}

}  // namespace

void Dialog_t::Pass(Direction_t dir, SIP* msg) {
  std::unique_ptr<SIP> own;
  if (msg != nullptr) {
    own = std::move(msg_m);
    msg_m.reset(msg);
  }
  if (msg_m) Relay(dir);
  if (msg != nullptr) {
    (void)msg_m.release();  // the caller's
    msg_m = std::move(own);
  }
}

void Dialog_t::Relay(Direction_t dir) {
  SIP& m = *msg_m;
  const bool request = m.IS_Request();
  // The readers have lowered an OPTIONS already, to decide whether to answer it themselves.
  if (request && !m.is_OPTIONS()) {
    auto* mf = m.Header<SIP_Head_Max_Forwards>(HID::HID_Max_Forwards);
    if (mf != nullptr && mf->Value() > 0) mf->Value(mf->Value() - 1);
  }
  if (dir == FROM_SRV && Defect('M') && m.Header(HID::HID_Max_Forwards) == nullptr) m.set(HID::HID_Max_Forwards, "9");
  if (!PreProcess(dir)) return;

  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  if (Shift_m != 0 && cseq != nullptr) {
    if (dir == FROM_SRV && request) cseq->SeqNo(cseq->SeqNo() + Shift_m);
    if (dir == FROM_CLN && !request) cseq->SeqNo(cseq->SeqNo() - Shift_m);
  }

  const Side side = SideToward(dir);
  std::string hop;
  if (!request) {
    if (!NextHopOfResponse(dir, hop)) return;
  } else {
    std::string via = "SIP/2.0/UDP " + side.host + ':' + std::to_string(side.port) + ";branch=z9hG4bK-ostrel-" +
                      UniqStr_m + '-' + (cseq != nullptr ? std::to_string(cseq->SeqNo()) : std::string()) +
                      (Confirmed() && State() != COMPLETE ? ".A" : ".0");
    m.push_front(HID::HID_Via, via);
    SIP_URI contact;
    if (dir == FROM_SRV && contact.parser(OrgContact_m, true)) m.URI() = contact;
  }

  if (dir == FROM_CLN) {
    if (request) {
      if (!WithinDlg()) SetRU();
      auto* route = m.Header<SIP_Head_Route>(HID::HID_Route);
      auto* to = m.Header<SIP_Head_To>(HID::HID_To);
      if (route != nullptr && to != nullptr && to->Params().Param("tag") != nullptr) hop = route->Addr();
    }
    if (!hop.empty() && !UpdateServer(hop)) return;
    RewriteContact();
  } else if (!request) {
    m.remove(HID::HID_Route);
  }

  PostProcess(dir);
  side.out->send(m, dir == FROM_CLN ? SrvSipAddr_m : ClnSipAddr_m, LogLevel_m, LogTreshold());
}

// A response goes back along its Via; the hop itself matters only inside a call's dialog. False: drop it.
bool Dialog_t::NextHopOfResponse(Direction_t dir, std::string& hop) {
  SIP& m = *msg_m;
  hop = m.Addr();
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  const SIP* orig = IsCall() ? OrigMSG() : nullptr;
  if (hop.empty() && dir == FROM_CLN && orig != nullptr && (cseq == nullptr || cseq->Method() != SIP::BYE)) {
    if (SIP_HeadLine* via = orig->Header(HID::HID_Via)) {
      DLog(LOG_DEBUG, "There is no VIA - Trying to restore...\n");
      std::unique_ptr<SIP_HeadLine> top = via->Copy();
      top->detach_next();
      m.push_front(HID::HID_Via, std::move(top));
      hop = m.Addr();
    }
  }
  if (hop.empty()) {
    DLog(LOG_DEBUG, "Note: There is no VIA - do not forward.\n");
    return false;
  }
  if (!(IsCall() && WithinDlg())) hop.clear();
  return true;
}

// An in-dialog next hop toward the server replaces its address; one that does not resolve keeps the old
// address and stops the message. False: drop it.
bool Dialog_t::UpdateServer(const std::string& hop) {
  InetAddr a;
  const bool ok = Resolve(a, hop);
  DLog(LOG_TRACE, "Update SrvSipAddr to %s (%s)\n", ok ? a.Str().c_str() : hop.c_str(), ok ? "T" : "F");
  if (!ok) {
    DLog(LOG_ERROR, "Warning: Cannot resolve Server address '%s' - do not forward.\n", hop.c_str());
    return false;
  }
  SrvSipAddr_m = a;
  return true;
}

// Toward the server the client's Contact becomes the relay's rewritten one, unless the client can be
// reached as it is (public address, or a symmetric call without registration).
void Dialog_t::RewriteContact() {
  SIP& m = *msg_m;
  if (IsCall() && SymmetricNoReg()) return;
  if (PublicIP_m && !Prsn_m) return;
  if (m.IS_Response() && m.Status() >= 300 && m.Status() <= 399) return;
  auto* contact = m.Header<SIP_Head_Contact>(HID::HID_Contact);
  if (contact == nullptr || contact->Star() || NewContact_m.empty()) return;
  if (m.is_INVITE() && PCnt_m) return;
  std::string value = '<' + NewContact_m + '>';
  if (m.is_REGISTER()) {
    if (const char* q = contact->Params().Param("q")) value += *q != '\0' ? std::string(";q=") + q : std::string(";q");
  }
  m.set(HID::HID_Contact, value);
}

void Dialog_t::RecRouteSet(Direction_t dir, bool keep) {
  SIP& m = *msg_m;
  const Face outer = Outer();
  const Face inner = Inner();
  if (dir == FROM_CLN && m.IS_Request()) {
    if (m.Header(HID::HID_Record_Route) != nullptr || PCnt_m || (IsCall() && SymmetricNoReg())) {
      m.push_front(HID::HID_Record_Route, FaceText(UniqStr_m, inner));
      DLog(LOG_DEBUG, "Add 'Record-Route:' to itself\n");
    }
  } else if (dir == FROM_CLN) {
    auto* top = RecordRoute(m.Header(HID::HID_Record_Route));
    if (!keep && top != nullptr && IsFace(*top, UniqNo_m, outer)) {
      m.pop_front(HID::HID_Record_Route);
      DLog(LOG_DEBUG, "Remove 'Record-Route:' to itself\n");
      return;
    }
    for (SIP_HeadLine* l = top; l != nullptr; l = l->Next()) {
      auto* e = RecordRoute(l);
      if (e == nullptr || !IsFace(*e, UniqNo_m, outer)) continue;
      SetFace(*e, inner);
      DLog(LOG_DEBUG, "Update 'Record-Route:' to itself\n");
      break;
    }
  } else if (m.IS_Request()) {
    m.push_front(HID::HID_Record_Route, FaceText(UniqStr_m, outer));
    DLog(LOG_DEBUG, "Add 'Record-Route:' to itself\n");
  } else {
    bool found = false;
    for (SIP_HeadLine* l = m.Header(HID::HID_Record_Route); l != nullptr; l = l->Next()) {
      auto* e = RecordRoute(l);
      if (e == nullptr || !IsFace(*e, UniqNo_m, inner)) continue;
      SetFace(*e, outer);
      found = true;
      DLog(LOG_DEBUG, "Update 'Record-Route:' to itself\n");
    }
    if (!found) {
      m.push_back(HID::HID_Record_Route, FaceText(UniqStr_m, outer));
      DLog(LOG_DEBUG, "Add 'Record-Route:' to itself\n");
    }
  }
}

void Dialog_t::SetRU() {
  if (!SRU_m || !msg_m) return;
  SIP_URI server;
  if (!server.parser(SrvSipAddr_m.Str(), false)) return;
  server.User(msg_m->URI().User());
  server.Scheme("sip:");
  msg_m->URI() = server;
  msg_m->remove(HID::HID_Route);
}

// Each SRV candidate gets the first transmission and one retransmission before the next is tried.
bool Dialog_t::SrvNext() {
  if (++Retrns_m > 7) return false;
  if (!Srvs_m || WithinDlg() || State() == Z_OK_SENT || Retrns_m % 2 != 0) return true;
  auto target = [](const SRVR& s) { return s.s_name + ':' + std::to_string(s.s_port); };
  const char* which = "Next";
  bool found = false;
  for (size_t i = static_cast<size_t>(Retrns_m / 2); i < Srvs_m->size() && !found; ++i) {
    InetAddr a;
    if (Resolve(a, target((*Srvs_m)[i]))) {
      SrvSipAddr_m = a;
      found = true;
    }
  }
  if (!found) {
    which = "Last";
    InetAddr a;
    if (!Srvs_m->empty() && Resolve(a, target(Srvs_m->front()))) SrvSipAddr_m = a;
    Srvs_m.reset();
  }
  SetRU();
  DLog(LOG_DEBUG, "%s Destination: %s\n", which, SrvSipAddr_m.Str().c_str());
  return true;
}

bool Dialog_t::PreProcess(Direction_t dir) {
  auto* cseq = msg_m->Header<SIP_Head_CSeq>(HID::HID_CSeq);
  if (cseq != nullptr && cseq->Method() == SIP::SUBSCRIBE) RecRouteSet(dir, false);
  return true;
}

void Dialog_t::PostProcess(Direction_t dir) {
  SIP& m = *msg_m;
  if (!m.IS_Response()) return;
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  if (m.Status() == 200 && cseq != nullptr && cseq->Method() == SIP::SUBSCRIBE && (!PublicIP_m || Prsn_m)) {
    auto* expires = m.Header<SIP_Head_Expires>(HID::HID_Expires);
    if (expires != nullptr && expires->Value() > 0 && Hooks().KeepRegistrationAlive)
      Hooks().KeepRegistrationAlive(*this, expires->Value());
  }
  if (m.Status() >= 200) Complete(E_NOP, "");
}
