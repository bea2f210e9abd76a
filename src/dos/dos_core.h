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
  int DOSMode = DL_LOG;
  int Interval = 5, BlockTime1 = 300, LThreshold1 = 100, HThreshold1 = 50, RThreshold1 = 2000;
  int NumInterv = 5, BlockTimeN = 900, LThresholdN = 200, HThresholdN = 100, RThresholdN = 5000;
  unsigned MaxMPS = 100;
  int BlockTimeMps = 300;
  size_t DDthreshold = 50;
  int DDBlockTime = 300;
  FirewallCommands fw;
};

class DosCore : public TimerCB {
 public:
  enum DosMark : uint8_t { PEACE = 0, DOS_L = 'L', DOS_H = 'H', DOS_R = 'R' };

  // What the detector tells or asks the rest of the daemon; set once at start-up.
  struct Hooks {
    std::function<DosSettings()> settings;              // the configuration's current values
    std::function<bool(uint32_t ip)> is_whitelisted;   // host-order address
    std::function<void(bool on, uint32_t ip, int port)> event_block;
    std::function<void(bool on)> event_ddos;
    std::function<void(char letter)> count_report;      // statistics per report letter
  };

  DosCore() = default;
  ~DosCore() override;
  void SetHooks(Hooks h) { hooks_ = std::move(h); }

  void DosReset();
  // count > 1 tallies a batch (foreign media counted by a relay thread) with one log line.
  void report(const InetAddress& src, DosMark kind, unsigned uniq, unsigned count = 1);
  void CheckMPS(const InetAddress& src);
  bool UnderDDOS() const { return ddos_.load(std::memory_order_acquire) > 0; }
  // ip in host order.
  bool IsBlocked(uint32_t ip, int port) const;
  void RunSystemBlock(uint32_t ip, int port, int seconds);
  void timer_cb(const void* arg) override;

  size_t BlockCount() const;
  int DDOSState() const { return ddos_.load(); }

 private:
  struct DosSingle {
    int Port = -1;
    int CountM = 0, CountS = 0, CountR = 0;
    void MergePort(int port) {
      if (Port == -1) Port = port;
      else if (Port != port) Port = 0;
    }
  };
  struct DosBlocked {
    int Port;
    uint32_t IPAddr;
    uint64_t Serial;
    uint64_t TimerID = PollReactor::kNoTimer;
  };
  using Slot = std::unordered_map<uint32_t, DosSingle>;

  bool whitelisted(uint32_t ip) const { return hooks_.is_whitelisted && hooks_.is_whitelisted(ip); }
  void IntervalEnd();
  void DdosEnd();
  void BlockExpired(uint64_t serial);
  PollReactor* reactor() const { return PollReactor::instance(); }

  Hooks hooks_;

  Spin MpsLock;
  std::unordered_map<uint64_t, uint32_t> MpsMap;  // guarded by MpsLock
  time_t MpsTm = 0;                               // guarded by MpsLock
  std::atomic<unsigned> max_messages_per_second_{0};
  std::atomic<int> block_time_rate_{300};

  mutable Mutex DOS_Lock;
  std::vector<Slot> DOS_Array;  // guarded by DOS_Lock
  int DOS_Currnt = -1;          // slot of the running interval; -1 when counting is off
  DosSettings settings_;            // guarded by DOS_Lock
  std::atomic<int> level_{DL_LOG};
  std::atomic<int> ddos_{0};
  uint64_t DOS_Recur_TmId = PollReactor::kNoTimer;  // reactor thread
  uint64_t DDOS_TmId = PollReactor::kNoTimer;       // guarded by DOS_Lock
  int saved_level_m = DL_OFF;                        // reactor thread

  mutable ReadWriteMutex BL_Lock;
  std::map<uint32_t, std::map<int, std::unique_ptr<DosBlocked>>> BL_BMap;  // guarded by BL_Lock
  uint64_t next_serial_m = 1;                                                // guarded by BL_Lock
};

// The process's flood detector.
extern DosCore g_dos;
