// Message operations shared by the client-side and server-side roads and by the dialogs: answering a
// request in place, the client's reply address and rewritten Contact, route-set clean-up, recognising the
// relay's own Via branches and rewritten Contacts, name resolution with timing, multipart SDP bodies.
// Every function works on the message it is given and may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/defects.h"
#include "foundation/inet_addr.h"
#include "foundation/name_resolver.h"
#include "ports/sip_port.h"
#include "sip/message.h"

class ViaHeader;

// Every Via this relay inserts carries a branch with this prefix followed by the sending dialog's number.
inline constexpr char kRelayBranch[] = "z9hG4bK-ostrel-";
inline constexpr size_t kRelayBranchLen = sizeof(kRelayBranch) - 1;

// Turns msg into a response and sends it: Contact removed unless 200, Route removed, Server set.
void Bounce(SipMessage& msg, int code, const std::string& reason, const InetAddress& to, const SipPort& port);
// Counts answers above 299 by code for the statistics; set by the events code.
extern std::function<void(int code)> CountBounce;

// Fills the client's reply address, its Contact as received and the rewritten Contact
// ("sip:user*domain-ip+port@server_ipaddr:SecondPort+3"); true when the client is on a public address.
bool NewOldContacts(SipMessage& msg, InetAddress& reply, std::string& ocnt, std::string& ncnt,
                    const Defects& defects, int level);
// Route-set clean-up of a request before it is relayed (dir: 1 from the client, 2 from the server). Names in
// the Request-URI and the Route set are taken from the name cache only (the reader resolved them first).
void PreProcessRoute(SipMessage& msg, int dir);
// A rewritten Contact of this relay: server_ipaddr, second_port+3, user "x*domain-ip+port".
bool ValidNewContact(const SipUri& uri);
// The address of "host:port" without waiting for DNS: a literal address at once, a name from the name
// cache (NameResolver). start: a name the cache does not hold starts a lookup charged to source (host
// order, 0 for the relay's own) and counts as not resolved now. FOUND, or FAILED/PENDING (a left empty).
NameResolver::State CachedAddress(InetAddress& a, const std::string& hostport, bool start, uint32_t source);
// Before a worker resolves the target of an SRV record: waits (at most the resolver's time-out) for the
// name's answer to be in the cache. Nothing for a literal address.
void AwaitName(const std::string& host, uint32_t source);
// A worker's resolution of host into a (under a dialog's lock): the cache only, never the library; a name
// the cache does not hold yet is looked up (charged to source) for the next message and fails this one
// (logged at debug).
void Assign(InetAddress& a, const char* host, const char* tag, uint32_t source);
bool GotFromOstrel(const ViaHeader* via);
bool GotFromOstrel(const SipMessage& msg);
// The dialog number in a relay branch, 0 when the branch is not the relay's or the number is out of
// the dialog range (65537 .. 2^31-1).
unsigned RelayBranchNumber(const ViaHeader* via);
// A multipart body with an application/sdp part becomes that SDP alone.
void FixMultiBody(SipMessage& msg);
