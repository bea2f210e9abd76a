#include "sip/headers/route.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

bool RouteHeader::Parse(std::string_view value) {
  value = TrimLeft(value);
  size_t from = 0;
  if (!value.empty() && value[0] == '"') {
    size_t close = ClosingQuote(value, 0);
    from = close == std::string_view::npos ? value.size() : close;
  }
  std::string_view name_addr, params;
  if (size_t gt = value.find('>', from); gt != std::string_view::npos) {
    name_addr = value.substr(0, gt + 1);
    params = value.substr(gt + 1);
  } else {
    // addr-spec form: parameters after a bare URI belong to the header, and a URI with headers
    // would need the brackets.
    size_t semi = value.find(';');
    name_addr = value.substr(0, semi);
    if (semi != std::string_view::npos) params = value.substr(semi);
    if (name_addr.find('?') != std::string_view::npos) {
      SipReport("Could not find < or > in Name\n");
      return false;
    }
  }
  if (!SipNameAddress::Parse(name_addr)) return false;
  return params.empty() || header_params_.Parse(params);
}

std::string& RouteHeader::Assemble(std::string& out) const {
  SipNameAddress::Assemble(out);
  return header_params_.Assemble(out);
}

std::string RouteHeader::Address() const {
  const char* maddr = Param("maddr");
  std::string addr = maddr ? maddr : host_;
  addr += ':';
  addr += std::to_string(SPort());
  return addr;
}

bool ContactHeader::Parse(std::string_view value) {
  if (Trim(value) == "*") {
    star_ = true;
    return true;
  }
  return RouteHeader::Parse(value);
}

std::string& ContactHeader::Assemble(std::string& out) const {
  if (star_) return out += '*';
  return RouteHeader::Assemble(out);
}
