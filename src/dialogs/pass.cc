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

using HID = HeaderIds;

// One of the relay's two faces in a route set: toward the client, or toward the server.
struct Face {
  std::string host;
  int port;
};

Face Outer() { return {g_config.myipaddr, g_config.main_port}; }
Face Inner() { return {g_config.server_ipaddr, g_config.second_port + 3}; }

std::string FaceText(const std::string& user, const Face& f) {
  return "<sip:" + user + '@' + f.host + ':' + std::to_string(f.port) + ";lr>";
}

bool IsFace(const RouteHeader& e, unsigned no, const Face& f) {
  return std::strtoul(e.User().c_str(), nullptr, 10) == no && e.Host() == f.host && e.SPort() == f.port;
}

void SetFace(RouteHeader& e, const Face& f) {
  e.Host(f.host);
  e.Port(f.port);
}

RecordRouteHeader* RecordRoute(HeaderLine* l) { return dynamic_cast<RecordRouteHeader*>(l); }

// The relay's part of a hop: the address and port it is seen under, and the socket it sends from.
struct Side {
  std::string host;
  int port;
  SipPort* out;
};

Side SideToward(Dialog::Direction from) {
  if (from == Dialog::FROM_CLIENT)
    return {g_config.server_ipaddr, g_config.second_port + 3, &g_internal_port};
  return {g_config.myipaddr, g_config.main_port, &g_external_port};
}

}  // namespace

void Dialog::Pass(Direction dir, SipMessage* msg) {
  std::unique_ptr<SipMessage> own;
  if (msg != nullptr) {
    own = std::move(message_);
    message_.reset(msg);
  }
  if (message_) Relay(dir);
  if (msg != nullptr) {
    (void)message_.release();  // the caller's
    message_ = std::move(own);
  }
}

void Dialog::Relay(Direction dir) {
  SipMessage& m = *message_;
  const bool request = m.IsRequest();
  // The readers have lowered an OPTIONS already, to decide whether to answer it themselves.
  if (request && !m.IsOptions()) {
    auto* mf = m.Header<MaxForwardsHeader>(HID::HID_MAX_FORWARDS);
    if (mf != nullptr && mf->Value() > 0) mf->Value(mf->Value() - 1);
  }
  if (dir == FROM_SERVER && HasDefect(Defect::ADD_MAX_FORWARDS) && m.Header(HID::HID_MAX_FORWARDS) == nullptr)
    m.Set(HID::HID_MAX_FORWARDS, "9");
  if (!PreProcess(dir)) return;

  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  if (cseq_shift_ != 0 && cseq != nullptr) {
    const int64_t delta = dir == FROM_SERVER && request    ? cseq_shift_
                          : dir == FROM_CLIENT && !request ? -cseq_shift_
                                                           : 0;
    // A number the shift would carry out of CSeq's range cannot be relayed faithfully.
    if (delta != 0 && !cseq->Shift(delta)) {
      LogLine(LEVEL_ERROR, "Error: CSeq %d cannot be shifted by %d: dropped\n", cseq->Sequence(),
              static_cast<int>(delta));
      return;
    }
  }

  const Side side = SideToward(dir);
  std::string hop;
  if (!request) {
    if (!NextHopOfResponse(dir, hop)) return;
  } else {
    std::string via = "SIP/2.0/UDP " + side.host + ':' + std::to_string(side.port) +
                      ";branch=z9hG4bK-ostrel-" + number_text_ + '-' +
                      (cseq != nullptr ? std::to_string(cseq->Sequence()) : std::string()) +
                      (Confirmed() && State() != DialogState::COMPLETE ? ".A" : ".0");
    m.push_front(HID::HID_VIA, via);
    SipUri contact;
    if (dir == FROM_SERVER && contact.Parse(old_contact_, true)) m.URI() = contact;
  }

  if (dir == FROM_CLIENT) {
    if (request) {
      if (!WithinDialog()) SetRequestUri();
      auto* route = m.Header<RouteHeader>(HID::HID_ROUTE);
      auto* to = m.Header<ToHeader>(HID::HID_TO);
      if (route != nullptr && to != nullptr && to->Params().Param("tag") != nullptr) hop = route->Address();
    }
    if (!hop.empty() && !UpdateServer(hop)) return;
    RewriteContact();
  } else if (!request) {
    m.Remove(HID::HID_ROUTE);
  }

  PostProcess(dir);
  // A request toward the client awaits its answer: a client that never gives it may have moved.
  if (dir == FROM_SERVER && request && !m.IsAck() && client_owes_since_ms_ == 0)
    client_owes_since_ms_ = PollReactor::NowMs();
  side.out->send(m, dir == FROM_CLIENT ? server_sip_address_ : client_sip_address_, log_level_,
                 LogThreshold());
}

// A response goes back along its Via; the hop itself matters only inside a call's dialog. False: drop it.
bool Dialog::NextHopOfResponse(Direction dir, std::string& hop) {
  SipMessage& m = *message_;
  hop = m.Address();
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  const SipMessage* orig = IsCall() ? OriginalInvite() : nullptr;
  if (hop.empty() && dir == FROM_CLIENT && orig != nullptr &&
      (cseq == nullptr || cseq->Method() != SipMessage::BYE)) {
    if (HeaderLine* via = orig->Header(HID::HID_VIA)) {
      LogLine(LEVEL_DEBUG, "There is no VIA - Trying to restore...\n");
      std::unique_ptr<HeaderLine> top = via->Copy();
      top->DetachNext();
      m.push_front(HID::HID_VIA, std::move(top));
      hop = m.Address();
    }
  }
  if (hop.empty()) {
    LogLine(LEVEL_DEBUG, "Note: There is no VIA - do not forward.\n");
    return false;
  }
  if (!(IsCall() && WithinDialog())) hop.clear();
  return true;
}

// An in-dialog next hop toward the server replaces its address; one that does not resolve keeps the old
// address and stops the message. False: drop it.
bool Dialog::UpdateServer(const std::string& hop) {
  InetAddress a;
  const bool ok = Resolve(a, hop);
  LogLine(LEVEL_TRACE, "Update SrvSipAddr to %s (%s)\n", ok ? a.Text().c_str() : hop.c_str(), ok ? "T" : "F");
  if (!ok) {
    LogLine(LEVEL_ERROR, "Warning: Cannot resolve Server address '%s' - do not forward.\n", hop.c_str());
    return false;
  }
  server_sip_address_ = a;
  return true;
}

// Toward the server the client's Contact becomes the relay's rewritten one, unless the client can be
// reached as it is (public address, or a symmetric call without registration).
void Dialog::RewriteContact() {
  SipMessage& m = *message_;
  if (IsCall() && SymmetricWithoutRegistration()) return;
  if (public_ip_ && !persistent_) return;
  if (m.IsResponse() && m.Status() >= 300 && m.Status() <= 399) return;
  auto* contact = m.Header<ContactHeader>(HID::HID_CONTACT);
  if (contact == nullptr || contact->Star() || new_contact_.empty()) return;
  if (m.IsInvite() && keep_contact_) return;
  std::string value = '<' + new_contact_ + '>';
  if (m.IsRegister()) {
    if (const char* q = contact->Params().Param("q"))
      value += *q != '\0' ? std::string(";q=") + q : std::string(";q");
  }
  m.Set(HID::HID_CONTACT, value);
}

void Dialog::RecordRouteSet(Direction dir, bool keep) {
  SipMessage& m = *message_;
  const Face outer = Outer();
  const Face inner = Inner();
  if (dir == FROM_CLIENT && m.IsRequest()) {
    if (m.Header(HID::HID_RECORD_ROUTE) != nullptr || keep_contact_ ||
        (IsCall() && SymmetricWithoutRegistration())) {
      m.push_front(HID::HID_RECORD_ROUTE, FaceText(number_text_, inner));
      LogLine(LEVEL_DEBUG, "Add 'Record-Route:' to itself\n");
    }
  } else if (dir == FROM_CLIENT) {
    auto* top = RecordRoute(m.Header(HID::HID_RECORD_ROUTE));
    if (!keep && top != nullptr && IsFace(*top, number_, outer)) {
      m.pop_front(HID::HID_RECORD_ROUTE);
      LogLine(LEVEL_DEBUG, "Remove 'Record-Route:' to itself\n");
      return;
    }
    for (HeaderLine* l = top; l != nullptr; l = l->Next()) {
      auto* e = RecordRoute(l);
      if (e == nullptr || !IsFace(*e, number_, outer)) continue;
      SetFace(*e, inner);
      LogLine(LEVEL_DEBUG, "Update 'Record-Route:' to itself\n");
      break;
    }
  } else if (m.IsRequest()) {
    m.push_front(HID::HID_RECORD_ROUTE, FaceText(number_text_, outer));
    LogLine(LEVEL_DEBUG, "Add 'Record-Route:' to itself\n");
  } else {
    bool found = false;
    for (HeaderLine* l = m.Header(HID::HID_RECORD_ROUTE); l != nullptr; l = l->Next()) {
      auto* e = RecordRoute(l);
      if (e == nullptr || !IsFace(*e, number_, inner)) continue;
      SetFace(*e, outer);
      found = true;
      LogLine(LEVEL_DEBUG, "Update 'Record-Route:' to itself\n");
    }
    if (!found) {
      m.push_back(HID::HID_RECORD_ROUTE, FaceText(number_text_, outer));
      LogLine(LEVEL_DEBUG, "Add 'Record-Route:' to itself\n");
    }
  }
}

void Dialog::SetRequestUri() {
  if (!server_request_uri_ || !message_) return;
  SipUri server;
  if (!server.Parse(server_sip_address_.Text(), false)) return;
  server.User(message_->URI().User());
  server.Scheme("sip:");
  message_->URI() = server;
  message_->Remove(HID::HID_ROUTE);
}

// Each SRV candidate gets the first transmission and one retransmission before the next is tried.
bool Dialog::NextServer() {
  if (++retransmissions_ > 7) return false;
  if (!servers_ || WithinDialog() || State() == DialogState::Z_OK_SENT || retransmissions_ % 2 != 0)
    return true;
  auto target = [](const ServerRecord& s) { return s.s_name + ':' + std::to_string(s.s_port); };
  const char* which = "Next";
  bool found = false;
  for (size_t i = static_cast<size_t>(retransmissions_ / 2); i < servers_->size() && !found; ++i) {
    InetAddress a;
    if (Resolve(a, target((*servers_)[i]))) {
      server_sip_address_ = a;
      found = true;
    }
  }
  if (!found) {
    which = "Last";
    InetAddress a;
    if (!servers_->empty() && Resolve(a, target(servers_->front()))) server_sip_address_ = a;
    servers_.reset();
  }
  SetRequestUri();
  g_server_sources.Learn(server_sip_address_.Ip(), time(nullptr));
  LogLine(LEVEL_DEBUG, "%s Destination: %s\n", which, server_sip_address_.Text().c_str());
  return true;
}

bool Dialog::PreProcess(Direction dir) {
  auto* cseq = message_->Header<CSeqHeader>(HID::HID_CSEQ);
  if (cseq != nullptr && cseq->Method() == SipMessage::SUBSCRIBE) RecordRouteSet(dir, false);
  return true;
}

void Dialog::PostProcess(Direction dir) {
  SipMessage& m = *message_;
  if (!m.IsResponse()) return;
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  if (m.Status() == 200 && cseq != nullptr && cseq->Method() == SipMessage::SUBSCRIBE &&
      (!public_ip_ || persistent_)) {
    auto* expires = m.Header<ExpiresHeader>(HID::HID_EXPIRES);
    if (expires != nullptr && expires->Value() > 0 && Hooks().keep_registration_alive)
      Hooks().keep_registration_alive(*this, expires->Value());
  }
  if (m.Status() >= 200) Complete(E_NOP, "");
}
