#include "core/core.h"

#include <sys/wait.h>

#include "foundation/log.h"

OstrelCore Core;

void OstrelCore::input_cb(int value) {}

void OstrelCore::timer_cb(const void* data) {}

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
  stop();
}
