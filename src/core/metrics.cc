#include "core/metrics.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/metrics_endpoint.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "dos/firewall.h"
#include "foundation/log.h"
#include "media/media_engine.h"
#include "media/rtp_port.h"
#include "sip/message.h"

#ifndef OSTREL_VERSION
#define OSTREL_VERSION "unknown"
#endif

namespace {
constexpr unsigned kFirstDialogNo = 65536;  // lower numbers lead from media descriptors to their calls
}  // namespace

namespace metrics {

Counts g_counts;

namespace {

// Taken when the program's statics are built, before main.
const double kStartTime = [] {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}();

MetricsEndpoint g_endpoint;

void Observe(Side side, const StreamQuality::Figures& f) {
  g_counts.media_lost[side].fetch_add(f.lost, std::memory_order_relaxed);
  g_counts.media_reordered[side].fetch_add(f.reordered, std::memory_order_relaxed);
  size_t bucket = 0;
  while (bucket < kJitterBucketsMs.size() && f.jitter_ms > kJitterBucketsMs[bucket]) ++bucket;
  Bump(g_counts.jitter_buckets[side][bucket]);
  g_counts.jitter_sum_ms[side].fetch_add(f.jitter_ms, std::memory_order_relaxed);
  Bump(g_counts.jitter_count[side]);
}

template <class Array>
void Load(const Array& from, std::array<uint64_t, std::tuple_size_v<Array>>& to) {
  for (size_t i = 0; i < from.size(); ++i) to[i] = from[i].load(std::memory_order_relaxed);
}

uint64_t Load(const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); }

}  // namespace

void CountMessage(const SipMessage& msg) {
  if (msg.IsRequest()) {
    const size_t m = static_cast<size_t>(msg.Method());
    if (m < g_counts.requests.size()) Bump(g_counts.requests[m]);
    return;
  }
  const size_t c = msg.Status() / 100;
  Bump(g_counts.responses[c < kResponseClasses ? c : 0]);
}

void CountCallEvent(const Call& call, int ev) {
  // The quality of an anchored call's audio is added once, at the first event that finds its relay stopped
  // (the completion, else the destruction); a lingering call counts at once, not when it goes.
  if (ev != Call::E_INVITE && ev != Call::E_TALK && call.Relay().TakeFinalQuality()) {
    Observe(CLIENT, call.Relay().ClientQuality());
    Observe(SERVER, call.Relay().ServerQuality());
  }
  switch (ev) {
    case Call::E_INVITE:
      return Bump(g_counts.calls_started);
    case Call::E_TALK:
      return Bump(g_counts.calls_answered);
    case Call::E_BYE:
      return Bump(g_counts.calls_completed);
    case Call::E_TIMEOUT:
      return Bump(g_counts.calls_timeout);
    case Call::E_CANCEL:
      return Bump(g_counts.calls_cancelled);
    case Call::E_REJECT:
      return Bump(g_counts.calls_rejected);
    default:
      return;
  }
}

Snapshot Collect() {
  Snapshot s;
  s.version = OSTREL_VERSION;
  s.start_time = kStartTime;
  for (size_t i = 0; i < kSipPortKinds; ++i)
    s.datagrams[i] = {Load(g_port_traffic[i].received), Load(g_port_traffic[i].sent)};
  Load(g_counts.requests, s.requests);
  Load(g_counts.responses, s.responses);
  g_core.CountDialogs(s);
  s.registrations = Registration::Count();
  s.register_cache_hits = Load(g_counts.register_cache_hits);
  s.calls_started = Load(g_counts.calls_started);
  s.calls_answered = Load(g_counts.calls_answered);
  s.calls_completed = Load(g_counts.calls_completed);
  s.calls_timeout = Load(g_counts.calls_timeout);
  s.calls_cancelled = Load(g_counts.calls_cancelled);
  s.calls_rejected = Load(g_counts.calls_rejected);
  const MediaTraffic t = MediaEngine::Instance().Traffic();
  s.media_packets = {t.client_packets, t.server_packets};
  s.media_bytes = {t.client_bytes, t.server_bytes};
  for (size_t side = 0; side < 2; ++side) {
    s.media_lost[side] = Load(g_counts.media_lost[side]);
    s.media_reordered[side] = Load(g_counts.media_reordered[side]);
    Load(g_counts.jitter_buckets[side], s.jitter[side].buckets);
    s.jitter[side].sum_ms = Load(g_counts.jitter_sum_ms[side]);
    s.jitter[side].count = Load(g_counts.jitter_count[side]);
    s.port_pairs_open[side] = static_cast<uint64_t>(std::max(RtpPort::OpenPairs(side == CLIENT), 0));
  }
  s.port_pairs_range = static_cast<uint64_t>(std::max(RtpPort::RangePairs(), 0));
  s.queue_length = g_core.Length();
  s.queue_workers = g_core.Workers();
  s.queue_dropped = Load(g_core.Stats().dropped);
  s.dos_blocked = g_dos.BlockCount();
  s.dos_blocks = g_dos.BlocksTotal();
  s.dos_shield = g_dos.UnderDDOS() ? 1 : 0;
  s.firewall_run = Load(g_firewall_tally.run);
  s.firewall_failed = Load(g_firewall_tally.failed);
  if (g_config.ha_peer.Port() != 0) s.ha_role = g_core.IsSlave() ? HaRole::SLAVE : HaRole::MASTER;
  s.ha_sent = Load(g_counts.ha_sent);
  s.ha_received = Load(g_counts.ha_received);
  s.ha_unsent = Load(g_events_port.ha_unsent_);
  s.ha_forged = Load(g_events_port.ha_forged_);
  s.ha_replayed = Load(g_events_port.ha_replayed_);
  s.ha_foreign = Load(g_events_port.foreign_);
  s.rereads_taken = g_config.RereadsTaken();
  s.rereads_refused = g_config.RereadsRefused();
  return s;
}

void StartEndpoint() {
  const InetAddress where = g_config.metrics;
  if (where.Port() == 0) return;
  std::string error;
  if (!g_endpoint.Start(
          where, [] { return Text(Collect()); }, error)) {
    Log("ostrel", LEVEL_ALWAYS, "Can't open Metrics port %s: %s\n", where.Text().c_str(), error.c_str());
    std::exit(5);
  }
  Log("ostrel", LEVEL_ALWAYS, "Metrics on http://%s/metrics\n", where.Text().c_str());
}

void StopEndpoint() { g_endpoint.Stop(); }

}  // namespace metrics

void OstrelCore::CountDialogs(metrics::Snapshot& s) {
  ReadGuard guard(table_lock_);
  for (auto& [no, dialog] : dialogs_by_number_) {
    if (no < kFirstDialogNo) continue;
    // A new dialog enters the table from its constructor, locked: once its lock is had, it is whole.
    ObjectGuard<Dialog> d(dialog);
    if (!d->IsCall()) {
      ++(dynamic_cast<RegisterDialog*>(dialog) != nullptr ? s.dialog_registrations : s.dialog_others);
      continue;
    }
    ++s.dialog_calls;
    const auto& call = static_cast<const Call&>(*static_cast<Dialog*>(d));
    if (call.State() == DialogState::COMPLETE || call.CSTA()) continue;
    ++s.calls_active;
    if (call.Relay().Running()) ++s.calls_anchored;
    if (call.InZeroMode()) ++s.calls_zero_media;
    if (call.Transcoding() > 0) ++s.calls_transcoded;
    if (call.ClientSrtp() != nullptr) ++s.calls_srtp;
  }
}
