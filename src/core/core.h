// OstrelCore: the process's reactor and the owner of its signals, shutdown and (later) work queue.
// Signal and timer callbacks run on the reactor thread; Stopped() may be read from any thread.
//
// Lock order of the whole process (outermost first): registration maps' lock, DlgLock, a dialog's own lock.
// The configuration lock is taken for reading by policy queries and for writing only during a re-read.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>

#include "foundation/reactor.h"
#include "ports/socket.h"

class OstrelCore : public PollReactor, public InputCB, public TimerCB, public SignalCB {
 public:
  // What TERM and HUP do besides the core's own steps; set by main before the loop runs.
  struct Hooks {
    std::function<void()> reopen_log_and_reread;  // HUP
    std::function<void()> before_close;           // TERM, before the client port closes (events, firewall)
    std::function<void()> stop_readers;           // TERM: readers stop and are joined before their sockets close
    std::function<void()> wake_queues;            // TERM, last: idle workers and the key manager see Stopped()
    std::function<void()> status_dump;            // USR1
    std::function<void()> dos_reset;              // USR2
    std::function<void()> registrations_cleanup;  // CONT
  };

  void input_cb(int value) override;
  void timer_cb(const void* data) override;
  void signal_cb(int signo) override;

  void SetHooks(Hooks hooks) { hooks_m = std::move(hooks); }
  // The external port closes first on TERM so no more client requests are taken.
  void SetExternalSocket(SocketBase* ext) { ext_port_m = ext; }
  bool Stopped() const { return Stopped_m.load(std::memory_order_acquire); }

  static constexpr int kHandledSignals[] = {SIGHUP, SIGTERM, SIGUSR1, SIGUSR2, SIGCONT, SIGCHLD};

 private:
  void Shutdown();
  static void ReapChildren();

  std::atomic<bool> Stopped_m{false};
  Hooks hooks_m;
  SocketBase* ext_port_m = nullptr;
};

extern OstrelCore Core;
