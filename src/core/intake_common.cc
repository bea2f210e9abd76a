#include "core/intake_common.h"

#include <cstring>
#include <functional>
#include <string_view>

#include "core/core.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_gate.h"
#include "sip/headers/string.h"

namespace intake {

bool IsKeepAlive(const Datagram& d) {
  if (d.len == 0 || d.data[0] == '\0') return true;
  if (d.len == 4 && std::memcmp(d.data, "jaK", 4) == 0) return true;
  for (size_t i = 0; i < d.len; ++i) {
    const char c = d.data[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

uint64_t OrderingKey(const SipMessage& msg) {
  auto* callid = msg.Header<CallIdHeader>(SipHeaders::HID_CALL_ID);
  if (callid == nullptr || callid->Value().empty()) return 0;
  const uint64_t hash = std::hash<std::string_view>{}(callid->Value());
  return hash != 0 ? hash : 1;
}

std::unique_ptr<SipMessage> Parse(const Datagram& d, const char* mark) {
  auto msg = std::make_unique<SipMessage>();
  if (msg->Parse(d.data, d.len)) return msg;
  Log("", LEVEL_ERROR, "%s %s\tBAD Parse\n%s\n", mark, d.from.Text().c_str(), d.data);
  g_dos.Report(d.from, DosCore::DOS_L, 0);
  return nullptr;
}

void LogReceived(const Datagram& d, const char* mark, int threshold, int extra) {
  const bool full = LogWanted(extra | LEVEL_FULL, threshold);
  const bool brief = LogWanted(extra | LEVEL_SHORT, threshold);
  if (!full && !brief) return;
  const std::string from = d.from.Text();
  if (full) Log("", extra | LEVEL_FULL, threshold, "%s %s\n%s\n", mark, from.c_str(), d.data);
  if (brief)
    Log("", extra | LEVEL_SHORT, threshold, "%s %s\n%s\n", mark, from.c_str(), FirstLine(d.data).c_str());
}

void DestroyIfDone(ObjectGuard<Dialog>& d) {
  if (d && d->State() == DialogState::COMPLETE && !d->IsCall() && !d->Lingers()) g_core.Destroy(std::move(d));
}

std::string FirstLine(const char* text) {
  const char* lf = std::strchr(text, '\n');
  return lf ? std::string(text, static_cast<size_t>(lf - text)) : std::string(text);
}

}  // namespace intake
