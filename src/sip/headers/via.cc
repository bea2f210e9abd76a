#include "sip/headers/via.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {
constexpr std::string_view kViaVersion = "SIP/2.0/";
}

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
  return SipUri::Parse(value.substr(4), false);
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
