#include "dialogs/source_limits.h"

#include <atomic>
#include <ctime>
#include <string>

#include "config/config.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "sip/message.h"

namespace {

constexpr int kCapCount = 5;

struct RefusalTally {
  std::atomic<int64_t> last_line{0};  // the second of the last line
  std::atomic<uint64_t> refused{0};   // refusals not yet in a line
};

RefusalTally g_refusals[kCapCount];

}  // namespace

SourceLimits SourceLimits::For(uint32_t ip) {
  SourceLimits l;
  l.max_dialogs = static_cast<unsigned>(g_config.max_dialogs);
  if (g_config.IsTrusted(ip)) return l;
  l.dialogs_per_ip = static_cast<unsigned>(g_config.dialogs_per_ip);
  l.unanswered_calls_per_ip = static_cast<unsigned>(g_config.unanswered_calls_per_ip);
  l.anchored_calls_per_ip = static_cast<unsigned>(g_config.anchored_calls_per_ip);
  return l;
}

unsigned SourceLimits::Of(SourceCap cap) const {
  switch (cap) {
    case SourceCap::DIALOGS_PER_IP:
      return dialogs_per_ip;
    case SourceCap::MAX_DIALOGS:
      return max_dialogs;
    case SourceCap::UNANSWERED_CALLS_PER_IP:
      return unanswered_calls_per_ip;
    case SourceCap::ANCHORED_CALLS_PER_IP:
      return anchored_calls_per_ip;
    default:
      return 0;
  }
}

const char* CapKeyword(SourceCap cap) {
  switch (cap) {
    case SourceCap::DIALOGS_PER_IP:
      return "dialogs_per_ip";
    case SourceCap::MAX_DIALOGS:
      return "max_dialogs";
    case SourceCap::UNANSWERED_CALLS_PER_IP:
      return "unanswered_calls_per_ip";
    case SourceCap::ANCHORED_CALLS_PER_IP:
      return "anchored_calls_per_ip";
    default:
      return "";
  }
}

void LogRefusal(SourceCap cap, unsigned limit, const InetAddress& source) {
  RefusalTally& t = g_refusals[static_cast<int>(cap) % kCapCount];
  t.refused.fetch_add(1, std::memory_order_relaxed);
  const int64_t now = time(nullptr);
  int64_t last = t.last_line.load(std::memory_order_relaxed);
  if (now == last || !t.last_line.compare_exchange_strong(last, now)) return;
  const unsigned long long refused = t.refused.exchange(0);
  Log("ostrel", LEVEL_ALWAYS, "Limit %s = %u reached (last by %s): %llu requests refused\n", CapKeyword(cap),
      limit, source.Text().c_str(), refused);
}

void AnswerOverLimit(SipMessage request, const InetAddress& to, const SipPort& port) {
  request.Convert(static_cast<SipStatus>(503), "Service Unavailable");
  request.Remove(SipHeaders::HID_CONTACT);
  request.Remove(SipHeaders::HID_ROUTE);
  request.Set(SipHeaders::HID_SERVER, g_config.agent_name);
  request.Header("Retry-After", std::to_string(kRetryAfterSec));
  if (CountBounce) CountBounce(503);
  port.send(request, to, 0, 0);
}
