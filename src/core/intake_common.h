// Pieces shared by the client-side and server-side roads' reader halves: keep-alive screening, parsing
// with its failure report, and the log lines of a received datagram. Any reader thread or the reactor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dialogs/dialog.h"
#include "ports/sip_port.h"
#include "sip/message.h"

namespace intake {

// A first byte NUL, only blanks and line ends, or the 4-byte "jaK\0": keep-alives, answered by nobody.
bool IsKeepAlive(const Datagram& d);
// The parsed message, or null after logging "<mark> <from>\tBAD Parse" and reporting the source.
std::unique_ptr<SipMessage> Parse(const Datagram& d, const char* mark);
// "<mark> <from>" with the whole text (LEVEL_FULL) and with its first line (LEVEL_SHORT), extra level bits
// added.
void LogReceived(const Datagram& d, const char* mark, int threshold, int extra = 0);
// The worker's last step: a completed plain dialog goes, unless it lingers to answer retransmissions.
void DestroyIfDone(ObjectGuard<Dialog>& d);
// The work queue's ordering key of a message: a hash of its Call-ID (never 0), or 0 without one.
uint64_t OrderingKey(const SipMessage& msg);
// The first line of a message text, for the short log form.
std::string FirstLine(const char* text);

}  // namespace intake
