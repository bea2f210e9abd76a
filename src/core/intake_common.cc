#include "core/intake_common.h"

#include <cstring>

#include "core/core.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_gate.h"

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

DropTally g_stranger_requests("Requests on the internal port from a non-server address");
DropTally g_foreign_retransmissions("Retransmissions from another address than their request's");

void DropTally::Count(const InetAddress& from) {
  total_.fetch_add(1, std::memory_order_relaxed);
  unlogged_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t now = PollReactor::NowMs();
  uint64_t last = logged_ms_.load(std::memory_order_relaxed);
  if (last != 0 && now - last < 1000) return;
  if (!logged_ms_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  const uint64_t n = unlogged_.exchange(0, std::memory_order_relaxed);
  Log("ostrel", LEVEL_ERROR, "Warning: %s: %llu dropped (last from %s)\n", what_,
      static_cast<unsigned long long>(n), from.Text().c_str());
}

}  // namespace intake
