// The SIGUSR1 status dump: registrations, calls and non-INVITE transactions with their totals, written to
// the log without tag or time stamp. Reactor thread.
#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/intake_common.h"
#include "core/state_store.h"
#include "dialogs/call.h"
#include "dialogs/registration.h"
#include "foundation/log.h"
#include "media/media_engine.h"
#include "media/srtp_context.h"

namespace {

constexpr unsigned kFirstDialogNo = 65536;  // lower numbers lead from media descriptors to their calls

std::string EndLine(std::string s) {
  if (s.empty() || s.back() != '\n') s += '\n';
  return s;
}

}  // namespace

// table_lock_ for reading, then each dialog through its guard (a worker holding it is waited for).
void OstrelCore::StatusDump() {
  Registration::LogActive();
  int calls = 0;
  int transactions = 0;
  Log(nullptr, LEVEL_ALWAYS, "========================= Active Calls =================================\n");
  {
    ReadGuard guard(table_lock_);
    for (auto& [no, dialog] : dialogs_by_number_) {
      if (no < kFirstDialogNo || !dialog->IsCall()) continue;
      ObjectGuard<Dialog> d(dialog);
      Log(nullptr, LEVEL_ALWAYS, "[%d] %s\n\t%s", static_cast<int>(no), d->Key().c_str(),
          EndLine(d->Print()).c_str());
      if (d->State() != DialogState::PASS) Log(nullptr, LEVEL_ALWAYS, "\t(%s)\n", StateName(d->State()));
      const MediaRelay& relay = static_cast<const Call*>(d.operator->())->Relay();
      if (relay.Running()) {
        Log(nullptr, LEVEL_ALWAYS, "\tMedia thread %d: CLN %s, SRV %s\n", relay.ThreadIndex(),
            relay.ClientQuality().Text().c_str(), relay.ServerQuality().Text().c_str());
      }
      if (const SrtpContext* srtp = static_cast<const Call*>(d.operator->())->ClientSrtp()) {
        Log(nullptr, LEVEL_ALWAYS,
            "\tSRTP from the client dropped: %llu bad tag, %llu replayed, %llu other\n",
            static_cast<unsigned long long>(srtp->AuthFailures()),
            static_cast<unsigned long long>(srtp->Replays()),
            static_cast<unsigned long long>(srtp->Dropped()));
      }
      ++calls;
    }
  }
  Log(nullptr, LEVEL_ALWAYS, "Total: %d\n", calls);
  Log(nullptr, LEVEL_ALWAYS, "========================= Media Threads ================================\n");
  Log(nullptr, LEVEL_ALWAYS, "%s", MediaEngine::Instance().DumpText().c_str());
  Log(nullptr, LEVEL_ALWAYS, "========================= Active Non-Invite Transactions ===============\n");
  {
    ReadGuard guard(table_lock_);
    for (auto& [no, dialog] : dialogs_by_number_) {
      if (no < kFirstDialogNo || dialog->IsCall()) continue;
      ObjectGuard<Dialog> d(dialog);
      Log(nullptr, LEVEL_ALWAYS, "[%d] %s\n", static_cast<int>(no), d->Key().c_str());
      const std::string printout = d->Print();
      if (!printout.empty()) Log(nullptr, LEVEL_ALWAYS, "\t%s", EndLine(printout).c_str());
      ++transactions;
    }
  }
  Log(nullptr, LEVEL_ALWAYS, "Total: %d\n", transactions);
  // Shown once something was dropped, so that a quiet relay's dump stays as it was.
  const uint64_t strangers = intake::g_stranger_requests.Total();
  const uint64_t foreign = intake::g_foreign_retransmissions.Total();
  if (strangers != 0 || foreign != 0)
    Log(nullptr, LEVEL_ALWAYS,
        "Dropped: %llu requests on the internal port from non-server addresses, %llu retransmissions from "
        "another address\n",
        static_cast<unsigned long long>(strangers), static_cast<unsigned long long>(foreign));
  if (g_config.ha_peer.Port() != 0) {
    auto count = [](const std::atomic<uint64_t>& c) {
      return static_cast<unsigned long long>(c.load(std::memory_order_relaxed));
    };
    Log(nullptr, LEVEL_ALWAYS,
        "HA records: %llu without a valid MAC, %llu replayed, %llu from strangers, %llu not sent\n",
        count(g_events_port.ha_forged_), count(g_events_port.ha_replayed_), count(g_events_port.foreign_),
        count(g_events_port.ha_unsent_));
  }
  if (g_state_store.Enabled())
    Log(nullptr, LEVEL_ALWAYS, "State store %s:%d (node %s): %s, %zu changes pending, %llu dropped\n",
        g_state_store.Where().host.c_str(), g_state_store.Where().port, g_state_store.Where().node.c_str(),
        g_state_store.Connected() ? "connected" : "unreachable", g_state_store.Pending(),
        static_cast<unsigned long long>(g_state_store.Dropped()));
  Log(nullptr, LEVEL_ALWAYS, "========================================================================\n\n");
}
