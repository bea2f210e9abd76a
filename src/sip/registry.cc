// The header registry: which headers have a class, their compact letters, how their comma lists are
// treated, and which are parsed as soon as a message arrives.
#include "foundation/text.h"
#include "sip/headers/auth.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"
#include "sip/message.h"

std::array<HeaderType, SipMessage::HID_LAST> SipMessage::header_types_{};
std::map<std::string, SipMessage::HeadId, std::less<>> SipMessage::header_by_name_;

void SipMessage::AddHeaderType(HeadId id, const char* name, char short_name, HeaderType::Multiplicity multi,
                               HeaderCreator creator, bool on_arrival) {
  if (id >= HID_LAST) return;
  if (on_arrival) {
    std::string key(name);
    header_by_name_[ToLower(key)] = id;
    if (short_name) {
      std::string letter(1, short_name);
      header_by_name_[ToLower(letter)] = id;
    }
  }
  header_types_[id] = HeaderType{name, short_name, multi, creator};
}

const HeaderType* SipMessage::GetHeaderTypeById(HeadId id) {
  if (id >= HID_LAST || !header_types_[id].name_) return nullptr;
  return &header_types_[id];
}

SipMessage::HeadId SipMessage::GetHeaderByName(std::string_view lowerName) {
  auto it = header_by_name_.find(lowerName);
  return it == header_by_name_.end() ? HID_BLANK : it->second;
}

HeaderCreator SipMessage::GetHeaderCreator(HeadId id) {
  const HeaderType* type = GetHeaderTypeById(id);
  return type ? type->constructor_ : nullptr;
}

std::unique_ptr<HeaderLine> SipMessage::CreateLine(HeadId id) {
  HeaderCreator creator = GetHeaderCreator(id);
  return creator ? creator() : UnknownHeader::Creator();
}

namespace {

[[maybe_unused]] const bool registered = [] {
  using M = HeaderType;
  // Parsed on arrival: the headers every message is routed and matched by.
  SipMessage::AddHeaderType(SipMessage::HID_VIA, "Via", 'v', M::ALLOW, HeaderConstructor<ViaHeader>::Creator,
                            true);
  SipMessage::AddHeaderType(SipMessage::HID_ROUTE, "Route", 0, M::ALLOW,
                            HeaderConstructor<RouteHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_RECORD_ROUTE, "Record-Route", 0, M::ALLOW,
                            HeaderConstructor<RecordRouteHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_FROM, "From", 'f', M::NEVER,
                            HeaderConstructor<FromHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_TO, "To", 't', M::NEVER, HeaderConstructor<ToHeader>::Creator,
                            true);
  SipMessage::AddHeaderType(SipMessage::HID_CONTACT, "Contact", 'm', M::ALLOW,
                            HeaderConstructor<ContactHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_CALL_ID, "Call-ID", 'i', M::NEVER,
                            HeaderConstructor<CallIdHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_CSEQ, "CSeq", 0, M::NEVER, HeaderConstructor<CSeqHeader>::Creator,
                            true);
  SipMessage::AddHeaderType(SipMessage::HID_EXPIRES, "Expires", 0, M::NEVER,
                            HeaderConstructor<ExpiresHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_MAX_FORWARDS, "Max-Forwards", 0, M::NEVER,
                            HeaderConstructor<MaxForwardsHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_USER_AGENT, "User-Agent", 0, M::NEVER,
                            HeaderConstructor<UserAgentHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_SERVER, "Server", 0, M::NEVER,
                            HeaderConstructor<ServerHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_CONTENT_TYPE, "Content-Type", 'c', M::NEVER,
                            HeaderConstructor<ContentTypeHeader>::Creator, true);
  SipMessage::AddHeaderType(SipMessage::HID_CONTENT_LENGTH, "Content-Length", 'l', M::NEVER,
                            HeaderConstructor<ContentLengthHeader>::Creator, true);
  // Travel as raw text until a dialog asks for them with parse(id).
  SipMessage::AddHeaderType(SipMessage::HID_P_ASSERTED_IDENTITY, "P-Asserted-Identity", 0, M::ALLOW,
                            HeaderConstructor<PAssertedIdentityHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_SUBJECT, "Subject", 's', M::NEVER,
                            HeaderConstructor<SubjectHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_SUPPORTED, "Supported", 'k', M::ALWAYS,
                            HeaderConstructor<SupportedHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_REQUIRE, "Require", 0, M::ALWAYS,
                            HeaderConstructor<RequireHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_EVENT, "Event", 'o', M::NEVER,
                            HeaderConstructor<EventHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_ALLOW_EVENTS, "Allow-Events", 'u', M::ALWAYS,
                            HeaderConstructor<AllowEventsHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_REFER_TO, "Refer-To", 'r', M::NEVER,
                            HeaderConstructor<ReferToHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_REFERRED_BY, "Referred-By", 'b', M::NEVER,
                            HeaderConstructor<ReferredByHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_CALL_INFO, "Call-Info", 0, M::ALLOW,
                            HeaderConstructor<CallInfoHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_SESSION_EXPIRES, "Session-Expires", 'x', M::NEVER,
                            HeaderConstructor<SessionExpiresHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_PROXY_AUTHENTICATE, "Proxy-Authenticate", 0, M::NEVER,
                            HeaderConstructor<ProxyAuthenticateHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_WWW_AUTHENTICATE, "WWW-Authenticate", 0, M::NEVER,
                            HeaderConstructor<WwwAuthenticateHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_PROXY_AUTHORIZATION, "Proxy-Authorization", 0, M::NEVER,
                            HeaderConstructor<ProxyAuthorizationHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_AUTHORIZATION, "Authorization", 0, M::NEVER,
                            HeaderConstructor<AuthorizationHeader>::Creator, false);
  SipMessage::AddHeaderType(SipMessage::HID_IDENTITY, "Identity", 0, M::ALLOW,
                            HeaderConstructor<IdentityHeader>::Creator, false);
  return true;
}();

}  // namespace
