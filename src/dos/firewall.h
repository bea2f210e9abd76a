// The system firewall hooks: run the administrator's start, stop, block and unblock programs as child
// processes, with every value a separate argument and no shell. Any thread; children are reaped on SIGCHLD.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct FirewallCommands {
  std::string rule_name;
  std::string start_command, stop_command, block_command, unblock_command;
};

// The argument vector of one command: the configured command split at blanks and tabs, then the rule
// name and, for blocks, the dotted address and the port (omitted when 0), each one argument.
std::vector<std::string> FirewallArguments(const std::string& command, const std::string& rule,
                                           uint32_t ip = 0, int port = 0, bool with_address = false);

// Firewall commands started since start, and those that failed: could not start, or (counted by whoever
// reaps the child with its status) ended with a status other than 0 or by a signal. Any thread.
struct FirewallTally {
  std::atomic<uint64_t> run{0};
  std::atomic<uint64_t> failed{0};
};
extern FirewallTally g_firewall_tally;

// Starts the program without waiting; returns the child's pid, or -1 when it could not start.
// A child whose exec fails exits with status 127.
int FirewallExecute(const std::vector<std::string>& argv);

// Waits up to timeout_ms for the child to end (it is reaped); false when it still runs.
bool FirewallWait(int pid, int timeout_ms);

int FirewallStart(const FirewallCommands& c);
int FirewallStop(const FirewallCommands& c);
int FirewallBlock(const FirewallCommands& c, uint32_t ip, int port);
int FirewallUnblock(const FirewallCommands& c, uint32_t ip, int port);
