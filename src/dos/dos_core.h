// DosCore: the process's flood detector. Tallies suspicious traffic per source over a ring of intervals,
// limits each source's message rate, blocks sources for a time, raises a DDOS shield, drives the firewall.
// Report/CheckMPS/IsBlocked: any thread. DosReset and OnTimer: the reactor thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "dos/firewall.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"

#include "config/dos_level.h"

// The protection values of the configuration, copied at each reset.
struct DosSettings {
  int dos_mode = DL_LOG;
  int interval = 5, block_time_first = 300, light_threshold_first = 100, heavy_threshold_first = 50,
      repeat_threshold_first = 2000;
  int interval_count = 5, block_time_repeat = 900, light_threshold_repeat = 200, heavy_threshold_repeat = 100,
      repeat_threshold_repeat = 5000;
  unsigned max_messages_per_second = 100;
  int block_time_rate = 300;
  unsigned ip_max_messages_per_second = 1000;  // over all ports of one address; 0 = off
  size_t ddos_threshold = 50;
  int ddos_block_time = 300;
  FirewallCommands fw;
};
// The flood-protection values of the configuration in force (reactor thread: start-up, re-read, signals).
DosSettings DosSettingsFromConfig();

class DosCore : public TimerCB {
 public:
  enum DosMark : uint8_t { PEACE = 0, DOS_L = 'L', DOS_H = 'H', DOS_R = 'R' };
  // Port blocks one address may hold; the next one blocks the address on all ports instead. Honest
  // phones behind one NAT address rarely flood all at once, and a port-rotating flooder stops here.
  static constexpr size_t kMaxPortBlocksPerIp = 32;

  // What the detector tells or asks the rest of the daemon; set once at start-up.
  struct Hooks {
    // The values in force and the white list: start-up installs the configuration's, tests their own.
    std::function<DosSettings()> settings;
    std::function<bool(uint32_t ip)> is_whitelisted;  // host-order address
    // Reports to the events collector and the statistics, which live in the core above.
    std::function<void(bool on, uint32_t ip, int port)> event_block;
    std::function<void(bool on)> event_ddos;
    std::function<void(char letter)> count_report;  // statistics per report letter
    // A block of this relay's own set (on, with its seconds) or ended (off), for the other relays of a
    // cluster; not called for the blocks they shared (ApplySharedBlock).
    std::function<void(bool on, uint32_t ip, int port, int seconds)> share_block;
  };

  DosCore() = default;
  ~DosCore() override;
  void SetHooks(Hooks h) { hooks_ = std::move(h); }

  void DosReset();
  // count > 1 tallies a batch (foreign media counted by a relay thread) with one log line.
  void Report(const InetAddress& src, DosMark kind, unsigned uniq, unsigned count = 1);
  void CheckMPS(const InetAddress& src);
  bool UnderDDOS() const { return ddos_.load(std::memory_order_acquire) > 0; }
  // ip in host order.
  bool IsBlocked(uint32_t ip, int port) const;
  void RunSystemBlock(uint32_t ip, int port, int seconds) { Block(ip, port, seconds, false); }
  // Another relay's block, for the seconds it has left; it is not shared again when it ends.
  void ApplySharedBlock(uint32_t ip, int port, int seconds) { Block(ip, port, seconds, true); }
  // Another relay lifted its block: a shared block of the same address and port ends here too.
  void LiftSharedBlock(uint32_t ip, int port);
  // Every block in force with the milliseconds it has left and whether another relay shared it.
  void ForEachBlock(const std::function<void(uint32_t ip, int port, uint64_t left_ms, bool shared)>& f) const;
  void OnTimer(const void* arg) override;
  // Removes every block due at now_ms (PollReactor::NowMs() clock), earliest first, with its log line,
  // firewall unblock and event; then arms the timer for the next one. The expiry timer calls it.
  void ExpireBlocks(uint64_t now_ms);

  size_t BlockCount() const;
  // Blocks set since start (a port's or a whole address's; not the log-only ones); any thread.
  uint64_t BlocksTotal() const { return blocks_total_.load(std::memory_order_relaxed); }
  int DDOSState() const { return ddos_.load(); }

 private:
  struct DosSingle {
    int port = -1;
    int count_messages = 0, count_sources = 0, count_repeats = 0;
    void MergePort(int other) {
      if (port == -1)
        port = other;
      else if (port != other)
        port = 0;
    }
  };
  // A block's place in the expiry order: the time it ends, then the address and port.
  using Expiry = std::multimap<uint64_t, std::pair<uint32_t, int>>;
  using Slot = std::unordered_map<uint32_t, DosSingle>;

  bool IsWhitelisted(uint32_t ip) const { return hooks_.is_whitelisted && hooks_.is_whitelisted(ip); }
  void Block(uint32_t ip, int port, int seconds, bool shared);
  void IntervalEnd();
  void DdosEnd();
  // Arms the expiry timer for the earliest block when it is sooner than the armed one; blocks_lock_ held.
  void ArmExpiry();
  PollReactor* Reactor() const { return PollReactor::Instance(); }

  Hooks hooks_;

  Spin rate_lock_;
  std::unordered_map<uint64_t, uint32_t> rates_;     // guarded by rate_lock_
  std::unordered_map<uint32_t, uint32_t> ip_rates_;  // guarded by rate_lock_
  time_t rate_second_ = 0;                           // guarded by rate_lock_
  std::atomic<unsigned> max_messages_per_second_{0};
  std::atomic<unsigned> ip_max_messages_per_second_{0};
  std::atomic<int> block_time_rate_{300};

  mutable Mutex lock_;
  std::vector<Slot> tallies_;  // guarded by lock_
  int current_tally_ = -1;     // slot of the running interval; -1 when counting is off
  DosSettings settings_;       // guarded by lock_
  std::atomic<int> level_{DL_LOG};
  std::atomic<int> ddos_{0};
  std::atomic<uint64_t> blocks_total_{0};
  uint64_t interval_timer_ = PollReactor::kNoTimer;  // reactor thread
  uint64_t ddos_timer_ = PollReactor::kNoTimer;      // guarded by lock_
  int saved_level_ = DL_OFF;                         // reactor thread

  mutable ReadWriteMutex blocks_lock_;
  // Address -> port (0: all ports) -> the block's place in expiry_. Both guarded by blocks_lock_.
  std::unordered_map<uint32_t, std::map<int, Expiry::iterator>> blocks_;
  Expiry expiry_;
  std::set<std::pair<uint32_t, int>> shared_;      // blocks another relay set; guarded by blocks_lock_
  uint64_t expiry_timer_ = PollReactor::kNoTimer;  // guarded by blocks_lock_
  uint64_t expiry_armed_at_ = 0;                   // when it fires; guarded by blocks_lock_
};

// The process's flood detector.
extern DosCore g_dos;
