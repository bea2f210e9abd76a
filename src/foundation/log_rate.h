// Bounds on the log lines that input from outside causes, so that a flood of faulty messages cannot turn
// into a flood of log: LogRateLimit caps a kind of line per second process-wide and counts what it held
// back; FaultTally folds the parse faults of one message into one summary line. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"

// At most `per_second` lines a second; the lines refused in a second are told in one line at its end,
// "... N similar lines suppressed (limit L a second)", written with the given tag (by the reactor's timer,
// or by the next line's Admit when there is no reactor).
class LogRateLimit : public TimerCB {
 public:
  LogRateLimit(const char* tag, unsigned per_second) : tag_(tag), limit_(per_second) {}
  ~LogRateLimit() override;
  LogRateLimit(const LogRateLimit&) = delete;
  LogRateLimit& operator=(const LogRateLimit&) = delete;

  // Whether one more line may be written now; false counts it as suppressed.
  bool Admit();
  void OnTimer(const void* arg) override;

 private:
  // Writes the suppression line for the count taken from the finished second.
  void TellSuppressed(unsigned count) const;

  const char* const tag_;
  const unsigned limit_;
  Spin lock_;
  int64_t second_ = -1;    // guarded by lock_
  unsigned admitted_ = 0;  // guarded by lock_
  unsigned suppressed_ = 0;
  uint64_t timer_ = PollReactor::kNoTimer;
};

// The lines about faulty or refused input: parse faults, their summaries, messages that do not parse.
extern LogRateLimit g_fault_lines;
constexpr unsigned kFaultLinesPerSecond = 20;

// While one lives on a thread, the parse faults reported there (ParseErrorToLog) are collected instead of
// written; when the last one goes, one line tells the first fault, their number and the message's source:
// "SDP wrong Port in 'm' [57 faults in the message from 203.0.113.5:5060]". Nested tallies collect into
// the outermost.
class FaultTally {
 public:
  explicit FaultTally(const InetAddress& source);
  ~FaultTally();
  FaultTally(const FaultTally&) = delete;
  FaultTally& operator=(const FaultTally&) = delete;

  // The thread's collecting tally, null when there is none.
  static FaultTally* Current();
  // Counts text in the thread's tally; false when there is none.
  static bool Take(const char* text);

  unsigned Count() const { return count_; }
  // The first fault's text without its line end.
  const std::string& First() const { return first_; }
  // Forgets the faults (their caller told them already).
  void clear() {
    count_ = 0;
    first_.clear();
  }

 private:
  InetAddress source_;
  bool outermost_;
  unsigned count_ = 0;
  std::string first_;
};
