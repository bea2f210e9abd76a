// The limits on what one source address may hold in the dialog table (dialogs, unanswered calls, anchored
// calls) and on the table as a whole, the answer to a request over one of them, and the log line of
// refusals (at most one a second per limit). Any thread; the counts themselves live in DialogTable.
#pragma once

#include <cstdint>

#include "foundation/inet_addr.h"

class SipMessage;
class SipPort;

enum class SourceCap : uint8_t {
  NONE,
  DIALOGS_PER_IP,
  MAX_DIALOGS,
  UNANSWERED_CALLS_PER_IP,
  ANCHORED_CALLS_PER_IP,
};

// 0: no limit. A trusted source (`trusted`) is bound by max_dialogs only.
struct SourceLimits {
  unsigned dialogs_per_ip = 0;
  unsigned max_dialogs = 0;
  unsigned unanswered_calls_per_ip = 0;
  unsigned anchored_calls_per_ip = 0;

  // The configured limits for a request from ip.
  static SourceLimits For(uint32_t ip);
  unsigned Of(SourceCap cap) const;
};

// What one source address holds.
struct SourceLoad {
  unsigned dialogs = 0;
  unsigned unanswered = 0;
  unsigned anchored = 0;
  bool Empty() const { return dialogs == 0 && unanswered == 0 && anchored == 0; }
};

// How long a refused client is asked to wait before it tries again.
inline constexpr int kRetryAfterSec = 30;

// The configuration keyword of a limit.
const char* CapKeyword(SourceCap cap);
// Counts a refusal; the first refusal in a new second logs the limit and how many it refused since its
// last line.
void LogRefusal(SourceCap cap, unsigned limit, const InetAddress& source);
// The answer to a request refused by a limit: 503 "Service Unavailable" with Retry-After, built as every
// answer of the relay's own (no Contact or Route, the relay's Server) and counted as a bounce.
void AnswerOverLimit(SipMessage request, const InetAddress& to, const SipPort& port);
