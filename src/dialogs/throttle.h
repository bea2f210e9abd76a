// The registration throttle: how many REGISTERs from clients are relayed per wall-clock second, and the
// slow-start phase it starts when the limit is exceeded. Any worker thread; race-free without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>

class RegisterThrottle {
 public:
  // One REGISTER in wall-clock second now; false: over the limit, drop it silently. limit 0: no throttle.
  // A second without excess ends slow start through set_slow(false); the first excess of a second logs
  // "Throttle DOWN!" and starts slow start when it is configured and no DDOS is under way.
  bool Admit(time_t now, int limit, bool ddos, bool slow_start_configured,
             const std::function<void(bool)>& set_slow);

  // The process's throttle.
  static RegisterThrottle& Process();

 private:
  std::atomic<int64_t> count_{0};
  std::atomic<time_t> second_{0};
  std::atomic<bool> armed_{false};
};
