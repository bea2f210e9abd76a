// The reader halves of the client-side and server-side roads: screening, parsing, logging and queueing
// of each datagram, run by the port's reader thread or by the reactor in single-thread mode; and the
// worker halves that take queued messages to their dialogs.
#pragma once

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

// Worker halves.
void ProcessClient(std::unique_ptr<ClientMessage> m);
void ProcessServer(std::unique_ptr<ServerMessage> m);

}  // namespace intake
