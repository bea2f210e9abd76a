// The server-side road: the internal reader's Via stamping, answers to the server's own pings, route
// clean-up and queueing, and the worker's hand-over of a server message to its dialog.
#include "config/config.h"
#include "core/core.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "core/match.h"
#include <strings.h>

#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "sip/headers/line_params.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace intake {

std::function<void(unsigned dialog_no)> NextPRACK;
std::function<Dialog_t*(IntMsg& m, const std::string& key, TGuard<Register_t>& reg)> NewServerCall;
std::function<bool(Dialog_t& d)> ReplacedCallBye;

namespace {

// The top Via learns the real source; without rport, answers go to the Via's sent-by port.
void StampVia(SIP& msg, InetAddr& source) {
  auto* via = msg.Header<SIP_Head_Via>(SIP_Header::HID_Via);
  if (via == nullptr) return;
  const std::string ip = source.IpStr();
  if (via->Host() != ip) via->Param("received", ip);
  if (via->Param("rport") != nullptr)
    via->Param("rport", std::to_string(source.Port()));
  else
    source.Port(static_cast<unsigned short>(via->SPort()));
}

// The server's keep-alive to the relay's internal address, without a user: answered here whatever its
// Max-Forwards, never relayed (relaying it would get a 404 and count the server as an attacker).
bool IsPingToRelay(const SIP& msg) {
  const SIP_URI& uri = msg.URI();
  return uri.User().empty() && uri.Host() == Cfg.server_ipaddr && uri.Port() == ((Cfg.SecondPort + 3) & 0xFFFF);
}

void NotePrack(const SIP& msg) {
  auto* route = msg.Header<SIP_Head_Route>(SIP_Header::HID_Route);
  if (route == nullptr || route->Host() != Cfg.server_ipaddr || !NextPRACK) return;
  const unsigned long no = std::strtoul(route->User().c_str(), nullptr, 10);
  if (no > 0 && no <= 0x7FFFFFFF) NextPRACK(static_cast<unsigned>(no));
}

}  // namespace

void ServerDatagram(Datagram& d) {
  if (DCore.IsBlocked(d.from.IpAddr(), d.from.Port())) return;
  std::unique_ptr<SIP> msg = Parse(d, "<==S==");
  if (!msg) return;
  LogReceived(d, "<==S==", 0);
  InetAddr source = d.from;
  if (msg->IS_Request()) {
    StampVia(*msg, source);
    if (msg->Method() == SIP_StartLine::OPTIONS) {
      if (IsPingToRelay(*msg)) {
        Bounce(*msg, 200, "OKey", source, IntPort);
        return;
      }
      if (auto* mf = msg->Header<SIP_Head_Max_Forwards>(SIP_Header::HID_Max_Forwards)) mf->Value(mf->Value() - 1);
    }
    if (msg->Method() == SIP_StartLine::PRACK) NotePrack(*msg);
    PreProcessRoute(*msg, 2);
  }
  FixMultiBody(*msg);
  auto item = std::make_unique<IntMsg>();
  item->cmsg = std::move(msg);
  item->frm = source;
  Core.PutQueue(QueueMsg{std::move(item), QueueMsg::QM_Int});
}

namespace {

time_t StartTM = time(nullptr);


void ToExistingDialog(TGuard<Dialog_t>& d, std::unique_ptr<IntMsg> m) {
  SIP& msg = *m->cmsg;
  Dialog_t::State_t state = Dialog_t::PASS;
  if (msg.IS_Request()) {
    switch (msg.Method()) {
      case SIP_StartLine::INVITE:
        if (d->State() == Dialog_t::PASS) state = Dialog_t::INVITE_RECV;
        break;
      case SIP_StartLine::ACK:
        if (d->Defect('A')) {
          d->Defect("");
          if (SDP* sdp = msg.GetSDP(); sdp != nullptr && sdp->GetAddr() == "0.0.0.0") {
            Log(d->UniqChr(), LOG_DEBUG, "Defect 'A' - Clear Body\n");
            msg.remove(SIP_Header::HID_Content_Type);
            msg.Body("");
          }
        }
        break;
      case SIP_StartLine::CANCEL: state = Dialog_t::CANCEL_RECV; break;
      case SIP_StartLine::REFER: state = Dialog_t::REFER_RECV; break;
      case SIP_StartLine::BYE:
        if (d->Defect('b') && ReplacedCallBye && ReplacedCallBye(*d)) {
          Log(d->UniqChr(), LOG_DEBUG, "Defect 'b' - Ignore first BYE for Replaced Call\n");
          return;
        }
        break;
      default: break;
    }
  }
  d->SetMSG(std::move(m->cmsg));
  d->HandleSrvMsg(state);
  DestroyIfDone(d);
}


void NotRegistered(std::unique_ptr<IntMsg> m) {
  SIP& msg = *m->cmsg;
  Log("ostrel", LOG_DEBUG, "Warning: Non-Registered User\n");
  if (msg.is_ACK()) return;
  // Clients re-register for a while after a restart: only later is an unknown address an offence.
  if (time(nullptr) - StartTM > Cfg.rgstr_timout && !ValidNewCnt(msg.URI())) DCore.report(m->frm, DOSCore::DOS_L, 0);
  Bounce(msg, 404, "Not Found", m->frm, IntPort);
}

// A request from the server that opens a dialog toward a registered client.
void NewDialog(std::unique_ptr<IntMsg> m, const std::string& key) {
  SIP& msg = *m->cmsg;
  SIP_URI bare = msg.URI();
  bare.PClear();
  bare.OHClear();
  std::string contact;
  bare.assemble(contact);
  TGuard<Register_t> reg = Register_t::GetRegister(contact);
  if (!reg || reg->Expiration() < time(nullptr)) {
    reg.reset();
    NotRegistered(std::move(m));
    return;
  }
  const std::string fuser = reg->FUser();
  const SIP_StartLine::Method_t method = msg.Method();
  if (method == SIP_StartLine::NOTIFY) {
    msg.parse(SIP_Header::HID_Event);
    auto* event = msg.Header<SIP_Head_Event>(SIP_Header::HID_Event);
    if (event != nullptr && strncasecmp(event->Value().c_str(), "unreg", 5) == 0) {
      reg->Expiration(time(nullptr) + 2 * reg->RegTm() - 1);
      Log("ostrel", LOG_DEBUG, "CleanUp Registration: %s@%s\n", reg->Usr().c_str(), reg->Domain().c_str());
      reg.reset();
      Bounce(msg, 200, "OKey", m->frm, IntPort);
      return;
    }
  }
  Dialog_t* created = nullptr;
  Dialog_t::State_t state = Dialog_t::PASS;
  const RegValues_t values = reg->Values();
  switch (method) {
    case SIP_StartLine::INVITE:
      if (!NewServerCall) break;
      created = NewServerCall(*m, key, reg);
      state = Dialog_t::INVITE_RECV;
      break;
    case SIP_StartLine::OPTIONS: case SIP_StartLine::SUBSCRIBE: case SIP_StartLine::INFO: case SIP_StartLine::PRACK:
    case SIP_StartLine::MESSAGE: case SIP_StartLine::PUBLISH: case SIP_StartLine::NOTIFY: case SIP_StartLine::BYE:
      reg.reset();
      created = new Dialog_t(std::move(m->cmsg), key, m->frm, values);
      break;
    default:
      reg.reset();
      Log("ostrel", LOG_DEBUG, "Warning: Unknown Call\n");
      if (!msg.is_ACK()) Bounce(msg, 481, "Call Leg/Transaction Does Not Exist", m->frm, IntPort);
      return;
  }
  reg.reset();
  if (created == nullptr) return;
  if (!created->Entered()) {
    delete created;
    return;
  }
  TGuard<Dialog_t> d;
  d.set(created);
  if (!created->IsCall()) {
    if (d->PublicIP()) Log(d->UniqChr(), LOG_DEBUG, "Regst Cln is on Public IP!\n");
    if (method == SIP_StartLine::BYE) d->Shift(500);
  }
  Config::UserData_t user;
  if (!fuser.empty() && Cfg.CheckUser(fuser, user)) {
    if (user.loglvl != 0) d->LogLevel(user.loglvl);
    if (user.full) d->FullReason('C');
    Log(d->UniqChr(), LOG_DEBUG, "Known Regst FUser: %s\n", fuser.c_str());
  }
  d->HandleSrvMsg(state);
  DestroyIfDone(d);
}

}  // namespace

void ProcessServer(std::unique_ptr<IntMsg> m) {
  SIP& msg = *m->cmsg;
  std::string key;
  TGuard<Dialog_t> d = Match(Core, msg, Dialog_t::FROM_SRV, key);
  if (key.empty()) {
    Log("ostrel", LOG_DEBUG, "Warning: IntPort Incorrect message - IGNORE\n");
    DCore.report(m->frm, DOSCore::DOS_L, 0);
    return;
  }
  if (d) {
    ToExistingDialog(d, std::move(m));
    return;
  }
  if (msg.IS_Response()) {
    Log("ostrel", LOG_DEBUG, "Warning: Unknown Dialog - Ignore\n");
    return;
  }
  NewDialog(std::move(m), key);
}

}  // namespace intake
