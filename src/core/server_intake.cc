// The server-side road: the internal reader's screening of request sources, Via stamping, answers to the
// server's own pings, route clean-up and queueing, and the worker's hand-over of a server message to its
// dialog. Requests are accepted only from server addresses (Config::IsServerSource: the `server` and
// `trusted` addresses and the servers the relay learnt by setting dialogs up with them); others are dropped
// and counted (g_stranger_requests). Responses are not screened.
#include <strings.h>
#include "config/config.h"
#include "core/core.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "core/match.h"

#include "dialogs/call.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_rate.h"
#include "ports/relay_ops.h"
#include "sip/headers/line_params.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace intake {

namespace {

// The top Via learns the real source; without rport, answers go to the Via's sent-by port.
void StampVia(SipMessage& msg, InetAddress& source) {
  auto* via = msg.Header<ViaHeader>(SipHeaders::HID_VIA);
  if (via == nullptr) return;
  const std::string ip = source.IpText();
  if (via->Host() != ip) via->Param("received", ip);
  if (via->Param("rport") != nullptr)
    via->Param("rport", std::to_string(source.Port()));
  else
    source.Port(static_cast<unsigned short>(via->SPort()));
}

// The server's keep-alive to the relay's internal address, without a user: answered here whatever its
// Max-Forwards, never relayed (relaying it would get a 404 and count the server as an attacker).
bool IsPingToRelay(const SipMessage& msg) {
  const SipUri& uri = msg.URI();
  return uri.User().empty() && uri.Host() == g_config.server_ipaddr &&
         uri.Port() == ((g_config.second_port + 3) & 0xFFFF);
}

void NotePrack(const SipMessage& msg) {
  auto* route = msg.Header<RouteHeader>(SipHeaders::HID_ROUTE);
  if (route == nullptr || route->Host() != g_config.server_ipaddr) return;
  const unsigned long no = std::strtoul(route->User().c_str(), nullptr, 10);
  if (no == 0 || no > 0x7FFFFFFF) return;
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
  if (auto* call = d ? dynamic_cast<Call*>(d.operator->()) : nullptr) call->NextPRACK();
}

}  // namespace

void ServerDatagram(Datagram& d) {
  if (g_dos.IsBlocked(d.from.Ip(), d.from.Port())) return;
  FaultTally faults(d.from);
  std::unique_ptr<SipMessage> msg = Parse(d, "<==S==");
  if (!msg) return;
  // Only servers open requests here: a stranger could otherwise reach registered phones through their
  // rewritten Contacts, learn which exist, or cut their registrations short. Responses are matched to the
  // relay's own branches by the worker and keep coming from wherever the server answers.
  if (msg->IsRequest() && !g_config.IsServerSource(d.from.Ip())) {
    g_stranger_requests.Count(d.from);
    return;
  }
  if (d.waits == 0) LogReceived(d, "<==S==", 0);  // a datagram handed back was logged when it arrived
  InetAddress source = d.from;
  if (msg->IsRequest()) {
    StampVia(*msg, source);
    if (msg->Method() == SipStartLine::OPTIONS) {
      if (IsPingToRelay(*msg)) {
        Bounce(*msg, 200, "OKey", source, g_internal_port);
        return;
      }
      if (auto* mf = msg->Header<MaxForwardsHeader>(SipHeaders::HID_MAX_FORWARDS)) mf->Value(mf->Value() - 1);
    }
    // No DNS on a reader: the names the request needs are looked up meanwhile, the datagram kept.
    if (!NamesKnown(d, *msg, ServerDatagram)) return;
    if (msg->Method() == SipStartLine::PRACK) NotePrack(*msg);
    PreProcessRoute(*msg, 2);
  }
  FixMultiBody(*msg);
  const uint64_t key = OrderingKey(*msg);
  auto item = std::make_unique<ServerMessage>();
  item->message = std::move(msg);
  item->source = source;
  g_core.PutQueue(QueueMessage{std::move(item), QueueMessage::QM_INTERNAL, key}, d.on_reader);
}

namespace {

// A call the server opens toward a registered client; the registration is released before the call enters
// the dialog table (lock order). The call comes back locked by its creator.
Dialog* NewServerCall(ServerMessage& m, const std::string& key, ObjectGuard<Registration>& reg) {
  const RegistrationValues values = reg->Values();
  reg.reset();
  return new Call(std::move(m.message), key, m.source, values);
}

time_t g_start_time = time(nullptr);

void ToExistingDialog(ObjectGuard<Dialog>& d, std::unique_ptr<ServerMessage> m) {
  SipMessage& msg = *m->message;
  DialogEvent event = DialogEvent::PASS;
  if (msg.IsRequest()) {
    switch (msg.Method()) {
      case SipStartLine::INVITE:
        if (d->State() == DialogState::PASS) event = DialogEvent::INVITE_RECV;
        break;
      case SipStartLine::ACK:
        if (d->HasDefect(Defect::INVITE_NEEDS_SDP)) {
          d->DeviceDefects(Defects());
          if (Sdp* sdp = msg.GetSDP(); sdp != nullptr && sdp->GetAddress() == "0.0.0.0") {
            Log(d->NumberCString(), LEVEL_DEBUG, "Defect 'A' - Clear Body\n");
            msg.Remove(SipHeaders::HID_CONTENT_TYPE);
            msg.Body("");
          }
        }
        break;
      case SipStartLine::CANCEL:
        event = DialogEvent::CANCEL_RECV;
        break;
      case SipStartLine::REFER:
        event = DialogEvent::REFER_RECV;
        break;
      case SipStartLine::BYE:
        // The device ends a replaced call itself and cannot take the server's BYE as well.
        if (d->HasDefect(Defect::IGNORE_REPLACED_CALL_BYE) && d->TakeReplacedMark()) {
          Log(d->NumberCString(), LEVEL_DEBUG, "Defect 'b' - Ignore first BYE for Replaced Call\n");
          return;
        }
        break;
      default:
        break;
    }
  }
  d->SetMessage(std::move(m->message));
  d->HandleServerMessage(event);
  DestroyIfDone(d);
}

void NotRegistered(std::unique_ptr<ServerMessage> m) {
  SipMessage& msg = *m->message;
  Log("ostrel", LEVEL_DEBUG, "Warning: Non-Registered User\n");
  if (msg.IsAck()) return;
  // Clients re-register for a while after a restart: only later is an unknown address an offence.
  if (time(nullptr) - g_start_time > g_config.register_timeout && !ValidNewContact(msg.URI()))
    g_dos.Report(m->source, DosCore::DOS_L, 0);
  Bounce(msg, 404, "Not Found", m->source, g_internal_port);
}

// A request from the server that opens a dialog toward a registered client.
void NewDialog(std::unique_ptr<ServerMessage> m, const std::string& key) {
  SipMessage& msg = *m->message;
  SipUri bare = msg.URI();
  bare.PClear();
  bare.OHClear();
  std::string contact;
  bare.Assemble(contact);
  ObjectGuard<Registration> reg = Registration::GetRegister(contact);
  if (!reg || reg->Expiration() < time(nullptr)) {
    reg.reset();
    NotRegistered(std::move(m));
    return;
  }
  const std::string fuser = reg->FUser();
  const SipStartLine::RequestMethod method = msg.Method();
  if (method == SipStartLine::NOTIFY) {
    msg.Parse(SipHeaders::HID_EVENT);
    auto* event = msg.Header<EventHeader>(SipHeaders::HID_EVENT);
    if (event != nullptr && strncasecmp(event->Value().c_str(), "unreg", 5) == 0) {
      reg->Expiration(time(nullptr) + 2 * reg->RegistrationTime() - 1);
      Log("ostrel", LEVEL_DEBUG, "CleanUp Registration: %s@%s\n", reg->User().c_str(), reg->Domain().c_str());
      reg.reset();
      Bounce(msg, 200, "OKey", m->source, g_internal_port);
      return;
    }
  }
  Dialog* created = nullptr;
  DialogEvent event = DialogEvent::PASS;
  const RegistrationValues values = reg->Values();
  switch (method) {
    case SipStartLine::INVITE:
      created = NewServerCall(*m, key, reg);
      event = DialogEvent::INVITE_RECV;
      break;
    case SipStartLine::OPTIONS:
    case SipStartLine::SUBSCRIBE:
    case SipStartLine::INFO:
    case SipStartLine::PRACK:
    case SipStartLine::MESSAGE:
    case SipStartLine::PUBLISH:
    case SipStartLine::NOTIFY:
    case SipStartLine::BYE:
      reg.reset();
      created = new Dialog(std::move(m->message), key, m->source, values);
      break;
    default:
      reg.reset();
      Log("ostrel", LEVEL_DEBUG, "Warning: Unknown Call\n");
      if (!msg.IsAck()) Bounce(msg, 481, "Call Leg/Transaction Does Not Exist", m->source, g_internal_port);
      return;
  }
  reg.reset();
  if (created == nullptr) return;
  if (!created->Entered()) {
    delete created;
    return;
  }
  ObjectGuard<Dialog> d;
  d.Set(created);
  // A client of a full domain has its calls anchored whoever opens them, as its own calls are.
  if (created->IsCall() && values.full_domain) {
    Log(d->NumberCString(), LEVEL_DEBUG, "Regst FULL Domain.\n");
    d->FullReason(FullModeReason::CONFIGURED);
  }
  if (!created->IsCall()) {
    if (d->PublicIP()) Log(d->NumberCString(), LEVEL_DEBUG, "Regst Cln is on Public IP!\n");
    if (method == SipStartLine::BYE) d->Shift(500);
  }
  Config::UserOptions user;
  if (!fuser.empty() && g_config.CheckUser(fuser, user)) {
    if (user.loglvl != 0) d->LogLevel(user.loglvl);
    if (user.full) d->FullReason(FullModeReason::CONFIGURED);
    Log(d->NumberCString(), LEVEL_DEBUG, "Known Regst FUser: %s\n", fuser.c_str());
  }
  d->HandleServerMessage(event);
  DestroyIfDone(d);
}

}  // namespace

void ProcessServer(std::unique_ptr<ServerMessage> m) {
  FaultTally faults(m->source);
  SipMessage& msg = *m->message;
  std::string key;
  ObjectGuard<Dialog> d = Match(g_core, msg, Dialog::FROM_SERVER, key);
  if (key.empty()) {
    Log("ostrel", LEVEL_DEBUG, "Warning: IntPort Incorrect message - IGNORE\n");
    g_dos.Report(m->source, DosCore::DOS_L, 0);
    return;
  }
  if (d) {
    ToExistingDialog(d, std::move(m));
    return;
  }
  if (msg.IsResponse()) {
    Log("ostrel", LEVEL_DEBUG, "Warning: Unknown Dialog - Ignore\n");
    return;
  }
  NewDialog(std::move(m), key);
}

}  // namespace intake
