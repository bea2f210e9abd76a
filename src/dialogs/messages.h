// The two kinds of queued work: a client datagram accepted by the external reader, a server datagram
// read by the internal reader. Built by a reader thread, owned by the queue, consumed by one worker.
#pragma once

#include <memory>
#include <string>

#include "config/defects.h"
#include "config/domain_policy.h"
#include "foundation/inet_addr.h"
#include "sip/message.h"

// One queued datagram; the queue owns it until a worker has processed it.
struct QueueItem {
  virtual ~QueueItem() = default;
};

struct ClientMessage : QueueItem {
  std::unique_ptr<DomainOptions>
      domain_options;  // the options of the domain that admitted the request; may be null
  std::unique_ptr<SipMessage> message;
  std::string old_contact;  // the client's Contact as received
  std::string new_contact;  // the Contact rewritten to point at this relay
  std::string full_user;    // the user part used for admission
  Defects defects;          // the device's defects
  InetAddress source;       // source of the datagram
  InetAddress reply_to;     // where answers to this client go
  bool public_ip = false;   // the client's source address is public
};

struct ServerMessage : QueueItem {
  std::unique_ptr<SipMessage> message;
  InetAddress source;
};
