#include "dialogs/throttle.h"

#include "foundation/log.h"

RegisterThrottle& RegisterThrottle::Process() {
  static RegisterThrottle throttle;
  return throttle;
}

bool RegisterThrottle::Admit(time_t now, int limit, bool ddos, bool slow_start_configured,
                             const std::function<void(bool)>& set_slow) {
  time_t seen = second_.load(std::memory_order_acquire);
  if (seen != now && second_.compare_exchange_strong(seen, now, std::memory_order_acq_rel)) {
    count_.store(0, std::memory_order_release);
    // Armed through a whole second without excess: the flood is over.
    if (armed_.exchange(true, std::memory_order_acq_rel) && set_slow) set_slow(false);
  }
  if (limit <= 0) return true;
  if (count_.fetch_add(1, std::memory_order_acq_rel) + 1 <= limit) return true;
  if (armed_.exchange(false, std::memory_order_acq_rel)) {
    const bool slow = slow_start_configured && !ddos;
    if (slow && set_slow) set_slow(true);
    Log(">>>==>", LEVEL_ALWAYS, "Throttle DOWN! (%s)\n", ddos ? "DDOS" : (slow ? "Slow" : "Regular"));
  }
  return false;
}
