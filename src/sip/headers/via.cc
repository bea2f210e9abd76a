#include "sip/headers/via.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {

constexpr std::string_view kViaVersion = "SIP/2.0/";

bool IsAlphanumeric(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c); }

bool IsTokenChar(char c) {
  return IsAlphanumeric(c) || std::string_view("-.!%*_+`'~").find(c) != std::string_view::npos;
}

bool IsHexDigit(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f'); }

// A host name or IPv4 address (letters, digits, '-', '.'), or an IPv6 reference "[...]".
bool IsHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.empty()) return false;
    for (char c : host)
      if (!IsHexDigit(c) && c != ':' && c != '.') return false;
    return true;
  }
  if (host.empty()) return false;
  for (char c : host)
    if (!IsAlphanumeric(c) && c != '-' && c != '.') return false;
  return true;
}

// A parameter's name is a token; its value a token, a host (received=[2001:db8::1]) or a quoted string.
bool IsParameter(const std::string& name, const std::string& value) {
  if (name.empty()) return false;
  for (char c : name)
    if (!IsTokenChar(c)) return false;
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return true;
  for (char c : value)
    if (!IsTokenChar(c) && c != '[' && c != ']' && c != ':') return false;
  return true;
}

}  // namespace

bool ViaHeader::Parse(std::string_view value) {
  value = TrimLeft(value);
  if (value.substr(0, kViaVersion.size()) != kViaVersion) {
    SipReport("Incorrect SIP Version in Via\n");
    return false;
  }
  value.remove_prefix(kViaVersion.size());
  std::string_view transport = value.substr(0, 4);
  if (EqualsIgnoringCase(transport, "UDP "))
    protocol_ = PROTO_UDP;
  else if (EqualsIgnoringCase(transport, "TCP "))
    protocol_ = PROTO_TCP;
  else if (EqualsIgnoringCase(transport, "TLS "))
    protocol_ = PROTO_TLS;
  else {
    SipReport("Unknows transport in Via\n");
    return false;
  }
  // sent-by is host[:port] and nothing else; the relay forwards the Via it parsed, so what it could not
  // write back the same is refused here.
  if (!SipUri::Parse(value.substr(4), false)) return false;
  if (!user_.empty() || !uri_headers_.empty() || !IsHost(host_)) {
    SipReport("Incorrect Host in Via\n");
    return false;
  }
  for (const auto& [name, param] : params_) {
    if (!IsParameter(name, param)) {
      SipReport("Incorrect Parameter in Via\n");
      return false;
    }
  }
  return true;
}

std::string& ViaHeader::Assemble(std::string& out) const {
  out += kViaVersion;
  switch (protocol_) {
    case PROTO_UDP:
      out += "UDP ";
      break;
    case PROTO_TCP:
      out += "TCP ";
      break;
    case PROTO_TLS:
      out += "TLS ";
      break;
    default:
      break;
  }
  return SipUri::Assemble(out);
}

std::string ViaHeader::Address() const {
  const char* received = Param("received");
  const char* rport = Param("rport");
  std::string addr = received && *received ? received : host_;
  addr += ':';
  addr += rport && *rport ? std::string(rport) : std::to_string(SPort());
  return addr;
}
