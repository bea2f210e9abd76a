// OstrelCore: the process's reactor, work queue and dialog table, and the owner of its signals and shutdown.
// Signal and timer callbacks run on the reactor thread; Stopped() may be read from any thread.
//
// Lock order of the whole process (outermost first; docs/architecture.md explains it): table_lock_, a
// dialog's own lock, the registration maps' lock, a registration record's lock. A thread holding a dialog's
// lock posts key messages instead of taking table_lock_ for writing. The configuration lock is taken for
// reading by policy queries and for writing only during a re-read.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>

#include "core/metrics_text.h"
#include "core/work_queue.h"
#include "dialogs/dialog_table.h"
#include "foundation/reactor.h"

class Call;

// The reactor, the work queue (whose worker body is the reactor's custom input in single-thread mode) and
// the dialog table with its key manager.
class OstrelCore : public PollReactor, public WorkQueue, public DialogTable, public TimerCB, public SignalCB {
 public:
  // Starts the key manager thread; 0 or the pthread error.
  int StartKeyManager();
  // TERM's last steps for the threads: wakes workers and the key manager, waits a bounded time for them.
  void StopThreads(int wait_ms);

  void OnTimer(const void* data) override;
  // HUP re-opens the log and re-reads the configuration, USR1 dumps the status, USR2 resets the flood
  // protection, CONT cleans up registrations, CHLD reaps firewall commands, TERM shuts down.
  void OnSignal(int signo) override;

  bool Stopped() const { return stopped_.load(std::memory_order_acquire); }

  // HA role (ha_role.cc). A node with a peer starts as slave and sends no events until it serves clients.
  bool IsSlave() const { return is_slave_.load(std::memory_order_acquire); }
  // Switches the log's application name when the role changes; true when it changed.
  bool SetSlave(bool slave);
  // The peer asked for our calls: each established call goes to it as a record. table_lock_, then each call.
  void Share();
  // Each established call, locked in turn under table_lock_ (read); how many.
  int ForEachCall(const std::function<void(const Call&)>& f);

  // Slow start (core.cc): switched on by the registration throttle's first excess of a second when the
  // configuration asks for it; while on, requests of unregistered, untrusted clients are dropped. It ends
  // when a whole second passes without excess, seen either by the throttle or by the next reader of the
  // state, so it also ends when REGISTERs stop altogether. Any thread; the transitions are logged once.
  bool SlowStart();
  void SetSlowStart(bool on);

  // Housekeeping (housekeeping.cc), on the reactor's periodic timer or a worker turning master: removes
  // what dialogs and registrations left behind, logs and reports the load; the number of active calls.
  // Takes the registration lock, releases it, then table_lock_ and each dialog; destroys after releasing.
  int CleanUp();
  // SIGUSR1 (status_dump.cc): every registration, call and transaction, with their totals, in the log.
  void StatusDump();
  // A scrape of the metrics endpoint (metrics.cc), on its thread: the dialogs by kind and the active calls
  // by kind into s. table_lock_ for reading, then each call in turn through its guard.
  void CountDialogs(metrics::Snapshot& s);

  static constexpr int kHandledSignals[] = {SIGHUP, SIGTERM, SIGUSR1, SIGUSR2, SIGCONT, SIGCHLD};

 protected:
  void Process(QueueMessage m) override;
  void AfterItem() override;

 private:
  void Shutdown();
  static void ReapChildren();

  std::atomic<bool> stopped_{false};
  std::atomic<bool> is_slave_{true};
  std::atomic<long> statistics_slot_{-1};  // the 16-second slot of the last statistics report
  std::atomic<bool> slow_start_{false};
  std::atomic<time_t> slow_start_second_{0};  // the last second the throttle was exceeded in slow start
  pthread_t key_manager_{};
  bool key_manager_started_ = false;
};

extern OstrelCore g_core;
