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
// Route-set clean-up of a request before it is relayed (dir: 1 from the client, 2 from the server).
void PreProcessRoute(SipMessage& msg, int dir);
// A rewritten Contact of this relay: server_ipaddr, second_port+3, user "x*domain-ip+port".
bool ValidNewContact(const SipUri& uri);
// Resolves host into a, logging a resolution that took long.
void Assign(InetAddress& a, const char* host, const char* tag);
bool GotFromOstrel(const ViaHeader* via);
bool GotFromOstrel(const SipMessage& msg);
// The dialog number in a relay branch, 0 when the branch is not the relay's or the number is out of
// the dialog range (65537 .. 2^31-1).
unsigned RelayBranchNumber(const ViaHeader* via);
// A multipart body with an application/sdp part becomes that SDP alone.
void FixMultiBody(SipMessage& msg);
