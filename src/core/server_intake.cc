// The server-side road: the internal reader's Via stamping, answers to the server's own pings, route
// clean-up and queueing, and the worker's hand-over of a server message to its dialog.
#include "config/config.h"
#include "core/core.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "core/match.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace intake {

std::function<void(unsigned dialog_no)> NextPRACK;
std::function<void(TGuard<Dialog_t>& d, std::unique_ptr<IntMsg> m)> ServerToDialog;
std::function<void(std::unique_ptr<IntMsg> m, const std::string& key)> OpenServerDialog;

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
    if (ServerToDialog) ServerToDialog(d, std::move(m));
    return;
  }
  if (msg.IS_Response()) {
    Log("ostrel", LOG_DEBUG, "Warning: Unknown Dialog - Ignore\n");
    return;
  }
  if (OpenServerDialog) {
    OpenServerDialog(std::move(m), key);
    return;
  }
  // Without registrations no client can be reached from the server side.
  Log("ostrel", LOG_DEBUG, "Warning: Non-Registered User\n");
  if (msg.is_ACK()) return;
  if (!ValidNewCnt(msg.URI())) DCore.report(m->frm, DOSCore::DOS_L, 0);
  Bounce(msg, 404, "Not Found", m->frm, IntPort);
}

}  // namespace intake
