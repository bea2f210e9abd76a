#include "core/intake.h"

#include <cstring>

#include "core/core.h"
#include "dos/dos_core.h"
#include "foundation/log.h"

namespace intake {

namespace {

// A first byte NUL, only blanks and line ends, or the 4-byte "jaK\0": keep-alives, answered by nobody.
bool IsKeepAlive(const Datagram& d) {
  if (d.len == 0 || d.data[0] == '\0') return true;
  if (d.len == 4 && std::memcmp(d.data, "jaK", 4) == 0) return true;
  for (size_t i = 0; i < d.len; ++i) {
    const char c = d.data[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

std::unique_ptr<SIP> Parse(const Datagram& d, const char* mark) {
  auto msg = std::make_unique<SIP>();
  if (msg->parser(d.data, d.len)) return msg;
  Log("", LOG_ERROR, "%s %s\tBAD Parse\n%s\n", mark, d.from.Str().c_str(), d.data);
  DCore.report(d.from, DOSCore::DOS_L, 0);
  return nullptr;
}

void LogReceived(const Datagram& d, const char* mark, int threshold) {
  const std::string from = d.from.Str();
  Log("", LOG_FULL, threshold, "%s %s\n%s\n", mark, from.c_str(), d.data);
  Log("", LOG_SHORT, threshold, "%s %s\n%s\n", mark, from.c_str(), FirstLine(d.data).c_str());
}

}  // namespace

std::string FirstLine(const char* text) {
  const char* lf = std::strchr(text, '\n');
  return lf ? std::string(text, static_cast<size_t>(lf - text)) : std::string(text);
}

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

// Dialogs take these over as they arrive; until then a queued message is logged and let go.
void ProcessClient(std::unique_ptr<ClnMsg> m) {
  Log("ostrel", LOG_DEBUG, "No dialog handling for client message from %s\n", m->frm.Str().c_str());
}

void ProcessServer(std::unique_ptr<IntMsg> m) {
  Log("ostrel", LOG_DEBUG, "No dialog handling for server message from %s\n", m->frm.Str().c_str());
}

}  // namespace intake
