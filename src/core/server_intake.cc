// The server-side road: the internal reader's screening and queueing, and the worker's hand-over of a
// server message to its dialog.
#include "core/core.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "dos/dos_core.h"
#include "foundation/log.h"

namespace intake {

void ServerDatagram(Datagram& d) {
  if (IsKeepAlive(d)) return;
  if (DCore.IsBlocked(d.from.IpAddr(), d.from.Port())) return;
  std::unique_ptr<SIP> msg = Parse(d, "<==S==");
  if (!msg) return;
  LogReceived(d, "<==S==", 0);
  auto item = std::make_unique<IntMsg>();
  item->cmsg = std::move(msg);
  item->frm = d.from;
  Core.PutQueue(QueueMsg{std::move(item), QueueMsg::QM_Int});
}

void ProcessServer(std::unique_ptr<IntMsg> m) {
  Log("ostrel", LOG_DEBUG, "No dialog handling for server message from %s\n", m->frm.Str().c_str());
}

}  // namespace intake
