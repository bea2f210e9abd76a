// DosCore: the process's flood detector. Tallies suspicious traffic per source over a ring of intervals,
// limits each source's message rate, blocks sources for a time, raises a DDOS shield, drives the firewall.
// report/CheckMPS/IsBlocked: any thread. DosReset and timer_cb: the reactor thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
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
  size_t ddos_threshold = 50;
  int ddos_block_time = 300;
  FirewallCommands fw;
};

class DosCore : public TimerCB {
 public:
  enum DosMark : uint8_t { PEACE = 0, DOS_L = 'L', DOS_H = 'H', DOS_R = 'R' };

  // What the detector tells or asks the rest of the daemon; set once at start-up.
  struct Hooks {
    std::function<DosSettings()> settings;            // the configuration's current values
    std::function<bool(uint32_t ip)> is_whitelisted;  // host-order address
    std::function<void(bool on, uint32_t ip, int port)> event_block;
    std::function<void(bool on)> event_ddos;
    std::function<void(char letter)> count_report;  // statistics per report letter
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
  void RunSystemBlock(uint32_t ip, int port, int seconds);
  void OnTimer(const void* arg) override;

  size_t BlockCount() const;
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
  struct DosBlocked {
    int port;
    uint32_t ip;
    uint64_t serial;
    uint64_t timer_id = PollReactor::kNoTimer;
  };
  using Slot = std::unordered_map<uint32_t, DosSingle>;

  bool IsWhitelisted(uint32_t ip) const { return hooks_.is_whitelisted && hooks_.is_whitelisted(ip); }
  void IntervalEnd();
  void DdosEnd();
  void BlockExpired(uint64_t serial);
  PollReactor* Reactor() const { return PollReactor::Instance(); }

  Hooks hooks_;

  Spin rate_lock_;
  std::unordered_map<uint64_t, uint32_t> rates_;  // guarded by rate_lock_
  time_t rate_second_ = 0;                        // guarded by rate_lock_
  std::atomic<unsigned> max_messages_per_second_{0};
  std::atomic<int> block_time_rate_{300};

  mutable Mutex lock_;
  std::vector<Slot> tallies_;  // guarded by lock_
  int current_tally_ = -1;     // slot of the running interval; -1 when counting is off
  DosSettings settings_;       // guarded by lock_
  std::atomic<int> level_{DL_LOG};
  std::atomic<int> ddos_{0};
  uint64_t interval_timer_ = PollReactor::kNoTimer;  // reactor thread
  uint64_t ddos_timer_ = PollReactor::kNoTimer;      // guarded by lock_
  int saved_level_ = DL_OFF;                         // reactor thread

  mutable ReadWriteMutex blocks_lock_;
  std::map<uint32_t, std::map<int, std::unique_ptr<DosBlocked>>> blocks_;  // guarded by blocks_lock_
  uint64_t next_serial_ = 1;                                               // guarded by blocks_lock_
};

// The process's flood detector.
extern DosCore g_dos;
