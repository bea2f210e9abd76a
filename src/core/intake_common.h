// Pieces shared by the client-side and server-side roads' reader halves: keep-alive screening, parsing
// with its failure report, and the log lines of a received datagram. Any reader thread or the reactor.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "dialogs/dialog.h"
#include "ports/sip_port.h"
#include "sip/message.h"

namespace intake {

// A first byte NUL, only blanks and line ends, or the 4-byte "jaK\0": keep-alives, answered by nobody.
bool IsKeepAlive(const Datagram& d);
// The parsed message, or null after reporting the source and logging "<mark> <from>\tBAD Parse" with the
// text's first line (the whole text at the full level) and the first parse fault (rate-limited).
std::unique_ptr<SipMessage> Parse(const Datagram& d, const char* mark);
// "<mark> <from>" with the whole text (LEVEL_FULL) and with its first line (LEVEL_SHORT), extra level bits
// added.
void LogReceived(const Datagram& d, const char* mark, int threshold, int extra = 0);
// Every name the request's routing needs (the Request-URI's and the Route set's hosts, at most
// kNamesPerMessage) asked of the name cache, each lookup charged to the sender. False when one is still
// being looked up: the datagram was kept and comes back through `again` on the reactor when the answer (or
// the lookup's time-out) arrives, with d.waits one higher. A datagram that cannot be kept (parking bounds)
// goes on at once: a pending name then counts as not resolved.
inline constexpr int kNamesPerMessage = 4;
bool NamesKnown(const Datagram& d, const SipMessage& msg, void (*again)(Datagram&));
// The worker's last step: a completed plain dialog goes, unless it lingers to answer retransmissions.
void DestroyIfDone(ObjectGuard<Dialog>& d);
// The work queue's ordering key of a message: a hash of its Call-ID (never 0), or 0 without one.
uint64_t OrderingKey(const SipMessage& msg);
// The first line of a message text, for the short log form.
std::string FirstLine(const char* text);

// Datagrams of one kind dropped silently: counted for the status dump, and told in the log by at most one
// line a second, "Warning: <what>: N dropped (last from a.b.c.d:p)", N counting since the last such line.
// Any thread.
class DropTally {
 public:
  explicit DropTally(const char* what) : what_(what) {}
  void Count(const InetAddress& from);
  uint64_t Total() const { return total_.load(std::memory_order_relaxed); }

 private:
  const char* what_;
  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> unlogged_{0};
  std::atomic<uint64_t> logged_ms_{0};
};

// Requests on the internal port from an address that is no server's (ServerDatagram).
extern DropTally g_stranger_requests;
// A client's retransmission from another address than its request's (ProcessClient).
extern DropTally g_foreign_retransmissions;

}  // namespace intake
