// Address headers: Route and the headers shaped like it (Record-Route, From, To, Refer-To, Referred-By,
// Call-Info, P-Asserted-Identity) and Contact. Each holds a name-addr and the header parameters after it.
// Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"
#include "sip/uri.h"

class RouteHeader : public CopyableHeader<RouteHeader, HeaderLine>, public SipNameAddress {
 public:
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  // Header parameters after the address (tag, expires, q, ...); URI parameters stay in the URI.
  SipParams& Params() { return header_params_; }
  const SipParams& Params() const { return header_params_; }
  // The maddr URI parameter or the host, then the port or 5060.
  std::string Address() const;

 protected:
  SipParams header_params_;
};

class RecordRouteHeader : public CopyableHeader<RecordRouteHeader, RouteHeader> {};
class FromHeader : public CopyableHeader<FromHeader, RouteHeader> {};
class ToHeader : public CopyableHeader<ToHeader, RouteHeader> {};
class ReferToHeader : public CopyableHeader<ReferToHeader, RouteHeader> {};
class ReferredByHeader : public CopyableHeader<ReferredByHeader, RouteHeader> {};
class CallInfoHeader : public CopyableHeader<CallInfoHeader, RouteHeader> {};
class PAssertedIdentityHeader : public CopyableHeader<PAssertedIdentityHeader, RouteHeader> {};

class ContactHeader : public CopyableHeader<ContactHeader, RouteHeader> {
 public:
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  bool Star() const { return star_; }

 private:
  bool star_ = false;
};
