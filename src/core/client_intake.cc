// The client-side road: the external reader's screening, admission and queueing, and the worker's
// hand-over of a client message to its dialog.
#include "core/core.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "dos/dos_core.h"
#include "foundation/log.h"

namespace intake {

void ClientDatagram(Datagram& d) {
  if (IsKeepAlive(d)) return;
  if (DCore.IsBlocked(d.from.IpAddr(), d.from.Port())) return;
  std::unique_ptr<SIP> msg = Parse(d, "<==C==");
  if (!msg) return;
  LogReceived(d, "<==C==", 0);
  DCore.CheckMPS(d.from);
  auto item = std::make_unique<ClnMsg>();
  item->cmsg = std::move(msg);
  item->frm = d.from;
  item->rsvp = d.from;
  Core.PutQueue(QueueMsg{std::move(item), QueueMsg::QM_Ext});
}

void ProcessClient(std::unique_ptr<ClnMsg> m) {
  Log("ostrel", LOG_DEBUG, "No dialog handling for client message from %s\n", m->frm.Str().c_str());
}

}  // namespace intake
