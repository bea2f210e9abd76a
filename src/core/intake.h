// The reader halves of the client-side and server-side roads: screening, parsing, logging and queueing
// of each datagram, run by the port's reader thread or by the reactor in single-thread mode; and the
// worker halves that take queued messages to their dialogs.
#pragma once

#include <functional>

#include "core/queue_items.h"
#include "dialogs/dialog.h"
#include "dialogs/registration.h"
#include "ports/sip_port.h"

namespace intake {

// External port: keep-alives and blocked sources are dropped silently; unparsable datagrams are logged
// and reported; accepted requests and responses are queued as ClientMessage.
void ClientDatagram(Datagram& d);
// Internal port: the same for the server's datagrams, queued as ServerMessage.
void ServerDatagram(Datagram& d);

// Seams to the registrations and dialogs, set at start-up by the code that owns them.
extern std::function<bool(SipMessage& msg, const std::string& ncnt, const std::string& fuser, int& threshold)>
    IsHitCache;
extern std::function<void(const std::string& event)> CountBadEvent;
// Factories of the dialogs a client opens besides plain ones; the new dialog comes back locked (or null).
extern std::function<Dialog*(ClientMessage& m, const std::string& key)> NewRegDialog;
extern std::function<Dialog*(ClientMessage& m, const std::string& key)> NewCall;
// A dialog's client moved to the datagram's source: registrations and calls follow it.
extern std::function<void(Dialog& d, const ClientMessage& m)> MovedClient;

extern std::function<void(unsigned dialog_no)> NextPRACK;
// A call the server opens toward a registered client (the registration locked); the call comes back locked.
extern std::function<Dialog*(ServerMessage& m, const std::string& key, ObjectGuard<Registration>& reg)>
    NewServerCall;
// Defect 'b': true once for the first BYE of a replaced call, which is swallowed.
extern std::function<bool(Dialog& d)> ReplacedCallBye;

// Worker halves.
void ProcessClient(std::unique_ptr<ClientMessage> m);
void ProcessServer(std::unique_ptr<ServerMessage> m);

}  // namespace intake
