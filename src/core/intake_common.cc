#include "core/intake_common.h"

#include <cstring>

#include "core/core.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_gate.h"
#include "foundation/log_rate.h"

namespace intake {

namespace {
// The part of a message that does not parse shown in its log line (its first line, cut).
constexpr size_t kShownBytes = 200;
}  // namespace

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
  g_dos.Report(d.from, DosCore::DOS_L, 0);
  // The faults the parser reported go into this line rather than a summary of their own.
  std::string faults;
  if (FaultTally* tally = FaultTally::Current(); tally != nullptr && tally->Count() != 0) {
    faults = tally->First() + " [" + std::to_string(tally->Count()) +
             (tally->Count() == 1 ? " fault]\n" : " faults]\n");
    tally->clear();
  }
  // One line per message and few a second: a flood of garbage must not become a flood of log. The whole
  // text only at the full level.
  if (!LogWanted(LEVEL_ERROR, 0) || !g_fault_lines.Admit()) return nullptr;
  std::string shown = LogWanted(LEVEL_FULL, 0) ? std::string(d.data) : FirstLine(d.data);
  if (!shown.empty() && shown.back() == '\r') shown.pop_back();
  if (shown.size() > kShownBytes) shown.resize(kShownBytes);
  Log("", LEVEL_ERROR, "%s %s\tBAD Parse\n%s\n%s", mark, d.from.Text().c_str(), shown.c_str(),
      faults.c_str());
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
