#include "dialogs/throttle.h"

#include "foundation/log.h"

RegThrottle_t& RegThrottle_t::Process() {
  static RegThrottle_t throttle;
  return throttle;
}

bool RegThrottle_t::Admit(time_t now, int limit, bool ddos, bool slowStartConfigured,
                          const std::function<void(bool)>& setSlow) {
  time_t seen = second_m.load(std::memory_order_acquire);
  if (seen != now && second_m.compare_exchange_strong(seen, now, std::memory_order_acq_rel)) {
    count_m.store(0, std::memory_order_release);
    // Armed through a whole second without excess: the flood is over.
    if (armed_m.exchange(true, std::memory_order_acq_rel) && setSlow) setSlow(false);
  }
  if (limit <= 0) return true;
  if (count_m.fetch_add(1, std::memory_order_acq_rel) + 1 <= limit) return true;
  if (armed_m.exchange(false, std::memory_order_acq_rel)) {
    const bool slow = slowStartConfigured && !ddos;
    if (slow && setSlow) setSlow(true);
    Log(">>>==>", LOG_ALWAYS, "Throttle DOWN! (%s)\n", ddos ? "DDOS" : (slow ? "Slow" : "Regular"));
  }
  return false;
}
