// OstrelCore: the process's reactor and the owner of its signals, shutdown and (later) work queue.
// Signal and timer callbacks run on the reactor thread; Stopped() may be read from any thread.
//
// Lock order of the whole process (outermost first): registration maps' lock, table_lock_, a dialog's own
// lock. The configuration lock is taken for reading by policy queries and for writing only during a re-read.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>

#include "core/work_queue.h"
#include "dialogs/dialog_table.h"
#include "foundation/reactor.h"
#include "ports/socket.h"

// The reactor, the work queue (whose worker body is the reactor's custom input in single-thread mode) and
// the dialog table with its key manager.
class OstrelCore : public PollReactor, public WorkQueue, public DialogTable, public TimerCB, public SignalCB {
 public:
  // Processing of a queued client or server datagram; set by the intake at start-up.
  using Processor = std::function<void(QueueMessage)>;
  void SetProcessor(Processor p) { processor_ = std::move(p); }

  // Starts the key manager thread; 0 or the pthread error.
  int StartKeyManager();
  // TERM's last steps for the threads: wakes workers and the key manager, waits a bounded time for them.
  void StopThreads(int wait_ms);

  // What TERM and HUP do besides the core's own steps; set by main before the loop runs.
  struct Hooks {
    std::function<void()> reopen_log_and_reread;  // HUP
    std::function<void()> before_close;           // TERM, before the client port closes (events, firewall)
    std::function<void()> stop_readers;  // TERM: readers stop and are joined before their sockets close
    std::function<void()> wake_queues;   // TERM, last: idle workers and the key manager see Stopped()
    std::function<void()> status_dump;   // USR1
    std::function<void()> DosReset;      // USR2
    std::function<void()> registrations_cleanup;  // CONT
  };

  void OnTimer(const void* data) override;
  void OnSignal(int signo) override;

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  const Hooks& GetHooks() const { return hooks_; }
  // The external port closes first on TERM so no more client requests are taken.
  void SetExternalSocket(SocketBase* ext) { external_port_ = ext; }
  bool Stopped() const { return stopped_.load(std::memory_order_acquire); }

  // HA role (ha_role.cc). A node with a peer starts as slave and sends no events until it serves clients.
  bool IsSlave() const { return is_slave_.load(std::memory_order_acquire); }
  // Switches the log's application name when the role changes; true when it changed.
  bool SetSlave(bool slave);
  // The peer asked for our calls: each established call goes to it as a record. table_lock_, then each call.
  void Share();

  // Housekeeping (housekeeping.cc), on the reactor's periodic timer or a worker turning master: removes
  // what dialogs and registrations left behind, logs and reports the load; the number of active calls.
  // Takes the registration lock, releases it, then table_lock_ and each dialog; destroys after releasing.
  int CleanUp();
  // SIGUSR1 (status_dump.cc): every registration, call and transaction, with their totals, in the log.
  void StatusDump();

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
  Hooks hooks_;
  SocketBase* external_port_ = nullptr;
  Processor processor_;
  pthread_t key_manager_{};
  bool key_manager_started_ = false;
};

extern OstrelCore g_core;
