#include "core/core.h"

#include <sys/wait.h>

#include "dialogs/call.h"
#include "foundation/log.h"

OstrelCore Core;

void OstrelCore::Process(QueueMsg m) {
  if (processor_m) processor_m(std::move(m));
}

int OstrelCore::StartKeyManager() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 0x80000);
  int rc = pthread_create(&key_manager_m, &attr, &DialogTable::KeyMngLoop, static_cast<DialogTable*>(this));
  pthread_attr_destroy(&attr);
  key_manager_started_m = rc == 0;
  return rc;
}

void OstrelCore::StopThreads(int wait_ms) {
  StopWorkers(wait_ms);
  StopKeyManager();
  if (key_manager_started_m) {
    pthread_join(key_manager_m, nullptr);
    key_manager_started_m = false;
  }
}

// The zero-answer timer of a call (data: the dialog's number and timer generation).
void OstrelCore::timer_cb(const void* data) {
  TGuard<Dialog_t> d = GetDialog(static_cast<int>(Dialog_t::CookieNumber(data)));
  if (!d || !d->TimerIsCurrent(data) || d->TimerType() != Dialog_t::T_ZANSWER || !d->IsCall()) return;
  d->CancelTimer(Dialog_t::T_ZANSWER);
  auto* call = static_cast<Call_t*>(static_cast<Dialog_t*>(d));
  if (call->State() == Dialog_t::Z_ACK_RECV)
    call->ZeroAnswerTimeout();
  else if (call->State() == Dialog_t::Z_DONE)
    call->State(Dialog_t::PASS);
}

void OstrelCore::signal_cb(int signo) {
  auto run = [](const std::function<void()>& hook) {
    if (hook) hook();
  };
  switch (signo) {
    case SIGHUP: run(hooks_m.reopen_log_and_reread); break;
    case SIGUSR1: run(hooks_m.status_dump); break;
    case SIGUSR2: run(hooks_m.dos_reset); break;
    case SIGTERM: Shutdown(); break;
    case SIGCHLD: ReapChildren(); break;
    case SIGCONT: run(hooks_m.registrations_cleanup); break;
    default: break;
  }
}

void OstrelCore::ReapChildren() {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      Log("ostrel", LOG_ERROR, "Child %d exited with status %d\n", static_cast<int>(pid), WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      Log("ostrel", LOG_ERROR, "Child %d killed by signal %d\n", static_cast<int>(pid), WTERMSIG(status));
  }
}

void OstrelCore::Shutdown() {
  if (Stopped_m.exchange(true, std::memory_order_acq_rel)) return;
  Log("ostrel", LOG_ALWAYS, "!!! Stopped by signal TERM !!!\n");
  if (hooks_m.before_close) hooks_m.before_close();
  if (hooks_m.stop_readers) hooks_m.stop_readers();
  if (ext_port_m) ext_port_m->close();
  GLogBlock.ALogLevel = 0;
  if (hooks_m.wake_queues) hooks_m.wake_queues();
  StopThreads(500);
  stop();
}
