// The reader halves of the client-side and server-side roads: screening, parsing, logging and queueing
// of each datagram, run by the port's reader thread or by the reactor in single-thread mode; and the
// worker halves that take queued messages to their dialogs.
#pragma once

#include <functional>

#include "core/queue_items.h"
#include "dialogs/dialog.h"
#include "ports/sip_port.h"

namespace intake {

// External port: keep-alives and blocked sources are dropped silently; unparsable datagrams are logged
// and reported; accepted requests and responses are queued as ClnMsg.
void ClientDatagram(Datagram& d);
// Internal port: the same for the server's datagrams, queued as IntMsg.
void ServerDatagram(Datagram& d);

// Seams to the registrations and dialogs, set at start-up by the code that owns them.
extern std::function<bool(SIP& msg, const std::string& ncnt, const std::string& fuser, int& threshold)> IsHitCache;
extern std::function<void(const std::string& event)> CountBadEvent;
extern std::function<void(TGuard<Dialog_t>& d, std::unique_ptr<ClnMsg> m)> ClientToDialog;
extern std::function<void(std::unique_ptr<ClnMsg> m, const std::string& key)> OpenClientDialog;

extern std::function<void(unsigned dialog_no)> NextPRACK;
extern std::function<void(TGuard<Dialog_t>& d, std::unique_ptr<IntMsg> m)> ServerToDialog;
extern std::function<void(std::unique_ptr<IntMsg> m, const std::string& key)> OpenServerDialog;

// Worker halves.
void ProcessClient(std::unique_ptr<ClnMsg> m);
void ProcessServer(std::unique_ptr<IntMsg> m);

}  // namespace intake
