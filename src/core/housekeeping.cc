// Housekeeping: what the dialogs' and registrations' own ends left behind is removed, and the load is
// logged and reported. Reactor thread (periodic timer) or a worker whose node turns HA master.
#include <map>
#include <vector>

#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "dialogs/call.h"
#include "dialogs/registration.h"
#include "foundation/log.h"

namespace {

constexpr time_t kCallMaxIdle = 14400;  // 4 hours without any activity
constexpr time_t kUnconnectedMaxIdle = 600;
constexpr time_t kMediaGrace = 30;
constexpr time_t kTransactionMaxIdle = 80;

bool IsOpaque(NatType::Mode mode) { return (mode & 0xFFFFu) == NatType::OPAQUE; }

struct Tally {
  size_t calls = 0;
  int active = 0;
  int full = 0;
  std::map<char, int> reasons;  // full-mode reason character -> calls
};

// What becomes of one call: removed (with the relay's own BYE to the server when xbye), or counted.
struct Verdict {
  bool remove = false;
  bool xbye = false;
};

// "Client" or "Server" when that side of a relayed call has sent no RTP since the last run; nullptr while
// both send. Every relayed call is looked at each run, so a call is judged on the last period alone.
const char* MediaSilence(Call& c) {
  bool no_client = false, no_server = false;
  c.MediaSince(no_client, no_server);
  if (no_client) return "Client";
  if (no_server) return "Server";
  return nullptr;
}

Verdict Judge(Call& c, time_t now, bool slave) {
  const time_t idle = now - c.LastUpdate();
  const char* key = c.Key().c_str();
  if (idle > kCallMaxIdle) {
    Log(c.NumberCString(), LEVEL_DEBUG, c.LogLevel(), "Warning: Force remove Call %s\n", key);
    return {true, true};
  }
  if (!c.WithinDialog() && !slave && idle > kUnconnectedMaxIdle) {
    Log(c.NumberCString(), LEVEL_DEBUG, c.LogLevel(), "Warning: Force remove not-connected Call %s\n", key);
    return {true, false};
  }
  const char* silent = IsOpaque(c.Mode()) ? MediaSilence(c) : nullptr;
  if (silent != nullptr && c.IsMaster() && !c.Peer() && !c.OnHold() && c.WithinDialog() &&
      idle > kMediaGrace && c.State() != DialogState::COMPLETE) {
    Log(c.NumberCString(), LEVEL_DEBUG, c.LogLevel(), "Warning: No %s RTP traffic: %s\n", silent, key);
    return {true, g_config.check_rtp_flow};
  }
  return {};
}

void Count(const Call& c, Tally& t) {
  ++t.calls;
  if (c.State() != DialogState::COMPLETE && !c.CSTA()) {
    ++t.active;
    if (IsOpaque(c.Mode())) ++t.full;
  }
  ++t.reasons[FullModeLetter(c.FullReason())];
}

std::string Summary(size_t regs, const Tally& t) {
  std::string s = "R:" + std::to_string(regs);
  if (t.calls == 0) return s;
  for (const auto& [reason, n] : t.reasons) s += std::string(",") + reason + ":" + std::to_string(n);
  return s;
}

}  // namespace

int OstrelCore::CleanUp() {
  const time_t now = time(nullptr);
  SlowStart();  // a phase whose storm stopped, with no request since to notice it, ends in the log now
  for (const std::string& ncnt : Registration::Stale(now)) Registration::Destroy(ncnt);

  std::vector<unsigned> doomed;
  Tally tally;
  size_t dialogs = 0;
  const bool slave = IsSlave();
  {
    ReadGuard guard(table_lock_);
    for (auto& [no, dialog] : dialogs_by_number_) {
      if (no < 65536) continue;
      ObjectGuard<Dialog> d(dialog);
      if (!d->IsCall()) {
        if (now - d->LastUpdate() > kTransactionMaxIdle) {
          Log(d->NumberCString(), LEVEL_DEBUG, d->LogLevel(), "Force remove Transaction %s\n",
              d->Key().c_str());
          doomed.push_back(no);
        }
        continue;
      }
      auto& call = static_cast<Call&>(*static_cast<Dialog*>(d));
      const Verdict v = Judge(call, now, slave);
      if (!v.remove) {
        Count(call, tally);
        continue;
      }
      doomed.push_back(no);
      if (v.xbye) call.ForceBye();
    }
  }
  for (unsigned no : doomed) Destroy(no);
  dialogs = DialogCount();

  const size_t regs = Registration::Count();
  const std::string summary = Summary(regs, tally);
  Log("ostrel", LEVEL_ALWAYS, "Calls: %zu/%d  %s\n", dialogs, tally.active, summary.c_str());
  g_events_port.EventOstrelActive(static_cast<unsigned>(regs), static_cast<unsigned>(dialogs),
                                  static_cast<unsigned>(tally.active), static_cast<unsigned>(tally.full),
                                  summary);
  return tally.active;
}
