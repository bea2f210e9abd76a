#include "core/core.h"

#include <sys/wait.h>

#include "dialogs/call.h"
#include "foundation/log.h"

OstrelCore g_core;

void OstrelCore::Process(QueueMessage m) {
  if (processor_) processor_(std::move(m));
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
  auto run = [](const std::function<void()>& hook) {
    if (hook) hook();
  };
  switch (signo) {
    case SIGHUP:
      run(hooks_.reopen_log_and_reread);
      break;
    case SIGUSR1:
      run(hooks_.status_dump);
      break;
    case SIGUSR2:
      run(hooks_.DosReset);
      break;
    case SIGTERM:
      Shutdown();
      break;
    case SIGCHLD:
      ReapChildren();
      break;
    case SIGCONT:
      run(hooks_.registrations_cleanup);
      break;
    default:
      break;
  }
}

void OstrelCore::ReapChildren() {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      Log("ostrel", LEVEL_ERROR, "Child %d exited with status %d\n", static_cast<int>(pid),
          WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      Log("ostrel", LEVEL_ERROR, "Child %d killed by signal %d\n", static_cast<int>(pid), WTERMSIG(status));
  }
}

void OstrelCore::Shutdown() {
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  Log("ostrel", LEVEL_ALWAYS, "!!! Stopped by signal TERM !!!\n");
  if (hooks_.before_close) hooks_.before_close();
  if (hooks_.stop_readers) hooks_.stop_readers();
  if (external_port_) external_port_->close();
  g_log_block.level = 0;
  if (hooks_.wake_queues) hooks_.wake_queues();
  StopThreads(500);
  Stop();
}
