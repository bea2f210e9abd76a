// The Via header: transport, sent-by host and port, and the Via parameters (branch, received, rport, ...).
// Value object: one thread at a time.
#pragma once

#include "sip/head_line.h"
#include "sip/uri.h"

class ViaHeader : public CopyableHeader<ViaHeader, HeaderLine>, public SipUri {
 public:
  enum Protocol { PROTO_TCP = 6, PROTO_UDP = 17, PROTO_TLS = 56 };

  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  int Transport() const { return protocol_; }
  void Transport(int p) { protocol_ = p; }
  // Where responses go: received (or the host), then rport (or the port, or 5060).
  std::string Address() const;

 private:
  int protocol_ = PROTO_TCP;
};
