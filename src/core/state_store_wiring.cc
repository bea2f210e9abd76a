// Start-up wiring of the state store: this node's records read back and applied before any reader runs,
// the hooks through which registrations, calls and blocks queue their changes, the full snapshot written
// when the store comes back (on the reactor), and the blocks the other relays share (on the store's thread).
#include <unistd.h>

#include <climits>

#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/state_store.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_rate.h"
#include "ports/ha_record.h"

namespace {

constexpr const char* kTag = "ostore";
// A call has no end known in advance: its record lives a day unless the call ends (or is written again).
constexpr uint64_t kCallTtlMs = 24ull * 3600 * 1000;

// The lines about records and messages of the store that are not what they must be.
LogRateLimit g_store_faults(kTag, 10);

std::string RegistrationKey(const std::string& ncont) { return g_state_store.Key("reg", ncont); }
std::string CallKey(const std::string& key) { return g_state_store.Key("call", key); }
std::string BlockId(uint32_t ip, int port) { return InetAddress::IpText(ip) + ":" + std::to_string(port); }
std::string BlockKey(uint32_t ip, int port) { return g_state_store.Key("block", BlockId(ip, port)); }

void StoreRegistration(const Registration& reg, bool snapshot) {
  if (reg.User().empty()) return;  // a short record from a SUBSCRIBE, never reported
  const ha::RegistrationRecord r = RegistrationRecordOf(reg);
  if (r.expires_in <= 0) return;
  g_state_store.Put(RegistrationKey(r.ncont), ha::FormatRegistration(r),
                    static_cast<uint64_t>(r.expires_in) * 1000, snapshot);
}

void StoreCall(const Call& call, bool snapshot) {
  if (!call.WithinDialog()) return;
  g_state_store.Put(CallKey(call.Key()), ha::FormatCall(call.Replica()), kCallTtlMs, snapshot);
}

void StoreBlock(uint32_t ip, int port, uint64_t left_ms, bool snapshot) {
  ha::BlockRecord b{true, g_state_store.Where().node, ip, port, static_cast<long>((left_ms + 999) / 1000)};
  if (b.seconds < 1) return;
  g_state_store.Put(BlockKey(ip, port), ha::FormatBlock(b), left_ms, snapshot);
}

void ShareBlock(bool on, uint32_t ip, int port, int seconds) {
  ha::BlockRecord b{on, g_state_store.Where().node, ip, port, seconds};
  if (on && seconds < 1) return;
  g_state_store.Publish(BlockId(ip, port), ha::FormatBlock(b));
  if (on)
    StoreBlock(ip, port, static_cast<uint64_t>(seconds) * 1000, false);
  else
    g_state_store.Remove(BlockKey(ip, port));
}

// The whole state written again: the same producers the HA peer's records come from. Reactor thread.
struct SnapshotTimer : TimerCB {
  void OnTimer(const void*) override {
    size_t regs = 0, blocks = 0;
    Registration::ForEach([&regs](const Registration& reg) {
      StoreRegistration(reg, true);
      ++regs;
    });
    const int calls = g_core.ForEachCall([](const Call& call) { StoreCall(call, true); });
    g_dos.ForEachBlock([&blocks](uint32_t ip, int port, uint64_t left_ms, bool shared) {
      if (shared) return;  // another relay's: its own record
      StoreBlock(ip, port, left_ms, true);
      ++blocks;
    });
    Log(kTag, LEVEL_ALWAYS, "State store: %zu registrations, %d calls, %zu blocks written again\n", regs,
        calls, blocks);
  }
} g_snapshot_timer;

// A message of the blocks channel, on the store's thread: another relay's block, applied for the time it
// has left, or lifted. The relay's own messages come back to it and are skipped.
void OnBlockMessage(const std::string& text) {
  const auto b = ha::ParseBlock(text);
  if (!b) {
    if (g_store_faults.Admit())
      Log(kTag, LEVEL_ERROR, "Warning: state store message skipped, not a block: %.120s\n", text.c_str());
    return;
  }
  if (b->node == g_state_store.Where().node) return;
  Log(kTag, LEVEL_DEBUG, "Block from %s: %s\n", b->node.c_str(), text.c_str());
  if (b->on)
    g_dos.ApplySharedBlock(b->ip, b->port, static_cast<int>(b->seconds));
  else
    g_dos.LiftSharedBlock(b->ip, b->port);
}

struct Restored {
  size_t regs = 0, calls = 0, blocks = 0, shared = 0, skipped = 0;
};

// A block another relay of the cluster holds: applied for the time it has left, like one it publishes.
// Another node's keys are not this relay's to judge: what is not a block under its own key is passed over.
void RestoreSharedBlock(Restored& counts, const std::string& key, const std::string& text, long long ttl_ms) {
  const auto b = ha::ParseBlock(text);
  if (!b || !b->on || ttl_ms <= 0 ||
      key != g_state_store.Where().cluster + ":" + b->node + ":block:" + BlockId(b->ip, b->port))
    return;
  g_dos.ApplySharedBlock(b->ip, b->port,
                         static_cast<int>(std::min<long long>((ttl_ms + 999) / 1000, INT_MAX)));
  ++counts.shared;
}

void Skip(Restored& counts, const std::string& key, const char* why) {
  ++counts.skipped;
  if (g_store_faults.Admit())
    Log(kTag, LEVEL_ERROR, "Warning: state store record %.200s skipped: %s\n", key.c_str(), why);
}

// One record read back: trusted only when it parses whole and its key is the one it would be written under.
void RestoreRecord(Restored& counts, const std::string& key, const std::string& text, long long ttl_ms) {
  if (ttl_ms == 0 || ttl_ms < -1) return;  // gone meanwhile
  if (auto r = ha::Parse(text)) {
    if (r->kind == ha::Record::REGISTER) {
      if (key != RegistrationKey(r->reg.ncont)) return Skip(counts, key, "not under its key");
      if (ttl_ms < 0) return Skip(counts, key, "without a lifetime");
      r->reg.expires_in = static_cast<long>((ttl_ms + 999) / 1000);  // what is left of it now
      if (!ha::Restore(*r)) return Skip(counts, key, "cannot be entered");
      ++counts.regs;
      return;
    }
    if (r->kind == ha::Record::CALL) {
      if (key != CallKey(r->call.key)) return Skip(counts, key, "not under its key");
      if (!ha::Restore(*r)) return Skip(counts, key, "cannot be entered");
      ++counts.calls;
      return;
    }
  }
  if (const auto b = ha::ParseBlock(text); b && b->on) {
    if (key != BlockKey(b->ip, b->port)) return Skip(counts, key, "not under its key");
    const long long seconds = ttl_ms < 0 ? b->seconds : (ttl_ms + 999) / 1000;
    g_dos.RunSystemBlock(b->ip, b->port, static_cast<int>(std::min<long long>(seconds, INT_MAX)));
    ++counts.blocks;
    return;
  }
  Skip(counts, key, "not a record");
}

}  // namespace

// Installed whether or not a store is configured (the configuration is read later); each does nothing
// until the store takes changes.
void InstallStateStoreHooks() {
  auto ha_register = RegisterDialog::events.ha_register;
  RegisterDialog::events.ha_register = [ha_register](const Registration& reg) {
    if (ha_register) ha_register(reg);
    if (g_state_store.Accepting()) StoreRegistration(reg, false);
  };
  auto removed = Registration::hooks.removed;
  Registration::hooks.removed = [removed](const Registration& reg) {
    if (removed) removed(reg);
    if (g_state_store.Accepting()) g_state_store.Remove(RegistrationKey(reg.NewContact()));
  };
  Call::CallHooks& h = Call::Hooks();
  auto ha_call = h.ha_call;
  h.ha_call = [ha_call](const Call& call, bool started) {
    if (ha_call) ha_call(call, started);
    if (!g_state_store.Accepting()) return;
    if (started)
      StoreCall(call, false);
    else
      g_state_store.Remove(CallKey(call.Key()));
  };
}

void AddStateStoreHooks(DosCore::Hooks& dos) {
  dos.share_block = [](bool on, uint32_t ip, int port, int seconds) {
    if (g_state_store.Accepting()) ShareBlock(on, ip, port, seconds);
  };
}
void StartStateStore() {
  if (g_config.state_store_host.empty()) return;
  StateStore::Target t;
  t.host = g_config.state_store_host;
  t.port = g_config.state_store_port;
  t.db = g_config.state_store_db;
  t.password = g_config.state_store_password;
  t.cluster = g_config.cluster;
  t.node = g_config.node_name;
  if (t.node.empty()) {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) t.node = host;
    if (!ha::IsStoreName(t.node)) {
      Log("ostrel", LEVEL_ALWAYS, "Host name %s cannot name this node in the state store: set node_name\n",
          t.node.c_str());
      std::exit(5);
    }
  }
  g_state_store.Configure(std::move(t));
  Restored counts;
  if (g_state_store.ReadBack(
          [&counts](const std::string& key, const std::string& text, long long ttl_ms, bool own) {
            if (own)
              RestoreRecord(counts, key, text, ttl_ms);
            else
              RestoreSharedBlock(counts, key, text, ttl_ms);
          }))
    Log(kTag, LEVEL_ALWAYS,
        "State store: read back %zu registrations, %zu calls, %zu blocks of node %s (%zu skipped); %zu "
        "blocks "
        "of other nodes\n",
        counts.regs, counts.calls, counts.blocks, g_state_store.Where().node.c_str(), counts.skipped,
        counts.shared);
  if (!g_state_store.Start([] { g_core.SetTimer(&g_snapshot_timer, 0, nullptr); }, OnBlockMessage)) {
    Log("ostrel", LEVEL_ALWAYS, "ERROR: Cannot start the state store thread\n");
    std::exit(6);
  }
}
