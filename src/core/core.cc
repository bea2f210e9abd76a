#include "core/core.h"

#include <sys/wait.h>

#include "config/config.h"
#include "core/events_port.h"
#include "core/intake.h"
#include "core/service_notify.h"
#include "core/state_store.h"
#include "dialogs/call.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "dos/firewall.h"
#include "foundation/log.h"
#include "foundation/name_resolver.h"
#include "ports/sip_port.h"

OstrelCore g_core;

// The key messages of an item are applied by its worker once the item holds no dialog (AfterItem), before
// the dialog's next item may run: the key manager is not woken for each, and the keys are in the table
// when the dialog's next message looks for them.
void OstrelCore::Process(QueueMessage m) {
  DeferKeys(true);
  if (m.type == QueueMessage::QM_EXTERNAL)
    intake::ProcessClient(std::unique_ptr<ClientMessage>(static_cast<ClientMessage*>(m.item.release())));
  else
    intake::ProcessServer(std::unique_ptr<ServerMessage>(static_cast<ServerMessage*>(m.item.release())));
  DeferKeys(false);
}

int OstrelCore::StartKeyManager() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 0x80000);
  int rc =
      pthread_create(&key_manager_, &attr, &DialogTable::KeyManagerLoop, static_cast<DialogTable*>(this));
  pthread_attr_destroy(&attr);
  key_manager_started_ = rc == 0;
  return rc;
}

void OstrelCore::StopThreads(int wait_ms) {
  StopWorkers(wait_ms);
  StopKeyManager();
  if (key_manager_started_) {
    pthread_join(key_manager_, nullptr);
    key_manager_started_ = false;
  }
}

void OstrelCore::OnSignal(int signo) {
  switch (signo) {
    case SIGHUP:
      service::Reloading();
      OpenLog(g_config.log_file);
      service::Reloaded(g_config.Reread() == 1);
      break;
    case SIGUSR1:
      StatusDump();
      break;
    case SIGUSR2:
      g_dos.DosReset();
      break;
    case SIGTERM:
      Shutdown();
      break;
    case SIGCHLD:
      ReapChildren();
      break;
    case SIGCONT:
      Registration::CleanUp();
      break;
    default:
      break;
  }
}

void OstrelCore::ReapChildren() {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    // The only children are firewall commands.
    if ((WIFEXITED(status) && WEXITSTATUS(status) != 0) || WIFSIGNALED(status))
      g_firewall_tally.failed.fetch_add(1, std::memory_order_relaxed);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      Log("ostrel", LEVEL_ERROR, "Child %d exited with status %d\n", static_cast<int>(pid),
          WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      Log("ostrel", LEVEL_ERROR, "Child %d killed by signal %d\n", static_cast<int>(pid), WTERMSIG(status));
  }
}

void OstrelCore::Shutdown() {
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  service::Stopping();
  Log("ostrel", LEVEL_ALWAYS, "!!! Stopped by signal TERM !!!\n");
  g_events_port.EventOstrelStop();
  // The rules are gone before the daemon is: a supervisor may kill what is left of it once it has exited.
  if (g_config.dos_mode == DL_SYSFW && !FirewallWait(FirewallStop(DosSettingsFromConfig().fw), 5000))
    Log("ostrel", LEVEL_ALWAYS, "Warning: firewall stop command still runs\n");
  // Readers stop and are joined before their sockets close; the external port closes first so that no
  // more client requests are taken.
  g_external_port.StopReaders();
  g_internal_port.StopReaders();
  NameResolver::Instance().Stop();
  g_external_port.close();
  g_log_block.level = 0;
  g_events_port.StopHa();
  StopThreads(500);
  // What the workers changed last leaves for the store; the teardown after this is not a change of state.
  g_state_store.Stop(1000);
  Stop();
}

bool OstrelCore::SlowStart() {
  if (!slow_start_.load(std::memory_order_acquire)) return false;
  // No excess during the whole previous second: over, even if no REGISTER came to tell the throttle.
  if (time(nullptr) < slow_start_second_.load(std::memory_order_acquire) + 2) return true;
  SetSlowStart(false);
  return slow_start_.load(std::memory_order_acquire);
}

void OstrelCore::SetSlowStart(bool on) {
  if (on) slow_start_second_.store(time(nullptr), std::memory_order_release);
  if (slow_start_.exchange(on, std::memory_order_acq_rel) == on) return;
  if (on)
    Log(">>>==>", LEVEL_ALWAYS,
        "Slow start: requests of unregistered clients are dropped until a second without REGISTERs over the "
        "throttle\n");
  else
    Log(">>>==>", LEVEL_ALWAYS, "Slow start ended: a second without REGISTERs over the throttle\n");
}
