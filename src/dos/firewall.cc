#include "dos/firewall.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/inet_addr.h"
#include "foundation/log.h"
#include "foundation/text.h"

FirewallTally g_firewall_tally;

std::vector<std::string> FirewallArguments(const std::string& command, const std::string& rule, uint32_t ip,
                                           int port, bool with_address) {
  std::vector<std::string> argv = Split(command, '\0');
  argv.push_back(rule);
  if (with_address) {
    argv.push_back(InetAddress::IpText(ip));
    if (port != 0) argv.push_back(std::to_string(port));
  }
  return argv;
}

int FirewallExecute(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
  Log(">>>==>", LEVEL_ALWAYS, ">>> Execute: %s\n", line.c_str());
  g_firewall_tally.run.fetch_add(1, std::memory_order_relaxed);
  if (argv.empty() || argv[0].empty()) {
    g_firewall_tally.failed.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls are made.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    Log(">>>==>", LEVEL_ALWAYS, "Cannot fork()\n");
    g_firewall_tally.failed.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }
  if (pid == 0) {
    if (geteuid() == 0) {
      int rc = setuid(0);
      (void)rc;
    }
    execv(args[0], args.data());
    static const char kMsg[] = "Cannot exec()\n";
    ssize_t rc = write(2, kMsg, sizeof kMsg - 1);
    (void)rc;
    _exit(127);
  }
  return pid;
}

bool FirewallWait(int pid, int timeout_ms) {
  if (pid <= 0) return true;
  for (int waited = 0;; waited += 10) {
    const pid_t rc = waitpid(pid, nullptr, WNOHANG);
    if (rc == pid || (rc < 0 && errno != EINTR)) return true;  // ended, or reaped by someone else
    if (waited >= timeout_ms) return false;
    usleep(10 * 1000);
  }
}

int FirewallStart(const FirewallCommands& c) {
  return FirewallExecute(FirewallArguments(c.start_command, c.rule_name));
}
int FirewallStop(const FirewallCommands& c) {
  return FirewallExecute(FirewallArguments(c.stop_command, c.rule_name));
}
int FirewallBlock(const FirewallCommands& c, uint32_t ip, int port) {
  return FirewallExecute(FirewallArguments(c.block_command, c.rule_name, ip, port, true));
}
int FirewallUnblock(const FirewallCommands& c, uint32_t ip, int port) {
  return FirewallExecute(FirewallArguments(c.unblock_command, c.rule_name, ip, port, true));
}
