#include "foundation/log_rate.h"

#include <ctime>

#include "foundation/log.h"

LogRateLimit g_fault_lines("_ERR_", kFaultLinesPerSecond);

namespace {
int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

thread_local FaultTally* t_tally = nullptr;
}  // namespace

LogRateLimit::~LogRateLimit() {
  if (PollReactor* r = PollReactor::Instance()) r->CancelTimer(timer_);
}

bool LogRateLimit::Admit() {
  const int64_t ns = MonotonicNs();
  const int64_t second = ns / 1000000000;
  unsigned finished = 0;
  bool arm = false, admit;
  lock_.lock();
  if (second != second_) {
    finished = suppressed_;
    suppressed_ = admitted_ = 0;
    second_ = second;
  }
  admit = admitted_ < limit_;
  if (admit) {
    ++admitted_;
  } else if (suppressed_++ == 0 && PollReactor::Instance() != nullptr) {
    arm = true;
  }
  lock_.unlock();
  if (finished != 0) TellSuppressed(finished);
  // The count is told when the second ends, also when no further line comes to tell it.
  if (arm) {
    const int ms = static_cast<int>((1000000000 - ns % 1000000000) / 1000000) + 1;
    const uint64_t id = PollReactor::Instance()->SetTimer(this, ms, nullptr);
    lock_.lock();
    timer_ = id;
    lock_.unlock();
  }
  return admit;
}

void LogRateLimit::OnTimer(const void*) {
  const int64_t ns = MonotonicNs();
  const int64_t second = ns / 1000000000;
  unsigned finished = 0;
  bool early = false;
  lock_.lock();
  timer_ = PollReactor::kNoTimer;
  if (second != second_) {
    finished = suppressed_;
    suppressed_ = admitted_ = 0;
    second_ = second;
  } else {
    // The reactor's clock rounds to milliseconds: a timer can come just before the second ends, and the
    // count would then wait for the next faulty line, which may never come.
    early = suppressed_ != 0;
  }
  lock_.unlock();
  if (finished != 0) TellSuppressed(finished);
  if (early) {
    const int ms = static_cast<int>((1000000000 - ns % 1000000000) / 1000000) + 1;
    const uint64_t id = PollReactor::Instance()->SetTimer(this, ms, nullptr);
    lock_.lock();
    timer_ = id;
    lock_.unlock();
  }
}

void LogRateLimit::TellSuppressed(unsigned count) const {
  Log(tag_, LEVEL_ALWAYS, "... %u similar lines suppressed (limit %u a second)\n", count, limit_);
}

FaultTally::FaultTally(const InetAddress& source) : source_(source), outermost_(t_tally == nullptr) {
  if (outermost_) t_tally = this;
}

FaultTally::~FaultTally() {
  if (!outermost_) return;
  t_tally = nullptr;
  if (count_ == 0 || !g_fault_lines.Admit()) return;
  Log("_ERR_", LEVEL_ALWAYS, "%s [%u fault%s in the message from %s]\n", first_.c_str(), count_,
      count_ == 1 ? "" : "s", source_.Text().c_str());
}

FaultTally* FaultTally::Current() { return t_tally; }

bool FaultTally::Take(const char* text) {
  FaultTally* t = t_tally;
  if (t == nullptr) return false;
  if (t->count_++ == 0) {
    t->first_.assign(text);
    while (!t->first_.empty() && (t->first_.back() == '\n' || t->first_.back() == '\r')) t->first_.pop_back();
  }
  return true;
}
