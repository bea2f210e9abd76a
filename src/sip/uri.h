// SIP URIs ("sip:user:password@host:port;params?headers") and name-addr values ("Name" <uri>) with their
// parsers and assemblers. Value objects: one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include "sip/params.h"

// The inherited parameter map holds the URI parameters.
class SipUri : public SipParams {
 public:
  // Parses into this object without resetting it first; withScheme requires "sip:" or "sips:" in front.
  bool Parse(std::string_view text, bool withScheme);
  std::string& Assemble(std::string& out) const;

  const std::string& Scheme() const { return scheme_; }
  void Scheme(const std::string& s) { scheme_ = s; }
  const std::string& User() const { return user_; }
  void User(const std::string& u) { user_ = u; }
  const std::string& Password() const { return password_; }
  void Password(const std::string& p) { password_ = p; }
  const std::string& Host() const { return host_; }
  void Host(const std::string& h) { host_ = h; }
  int Port() const { return port_; }
  void Port(int p) { port_ = p; }
  // The port, or 5060 when the URI has none.
  int SPort() const { return port_ ? port_ : 5060; }
  // host:port with the default port filled in, e.g. "10.0.0.1:5060".
  std::string Address() const;

  const char* OHeads(std::string_view name) const;
  void OHeads(const std::string& name, const std::string& value) {
    uri_headers_.insert_or_assign(name, value);
  }
  void OHeadsRemove(std::string_view name);
  void OHClear() { uri_headers_.clear(); }
  const ParamMap& UriHeadersMap() const { return uri_headers_; }

 protected:
  std::string scheme_;
  std::string user_;
  std::string password_;
  std::string host_;
  int port_ = 0;
  ParamMap uri_headers_;
};

// A display name with a URI; the name is kept without its quotes.
class SipNameAddress : public SipUri {
 public:
  bool Parse(std::string_view text);
  std::string& Assemble(std::string& out) const;

  const std::string& FullName() const { return full_name_; }
  void FullName(const std::string& n) { full_name_ = n; }

 protected:
  std::string full_name_;
};

namespace sipscan {
// Position of the double quote closing a quoted string opened at text[open], or npos. A quote preceded
// by a backslash does not close.
size_t ClosingQuote(std::string_view text, size_t open);
}  // namespace sipscan
