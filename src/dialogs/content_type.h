// What a message's Content-Type says, for the call code that decides whether a body is SDP to rewrite.
// Any thread; reads only the message it is given.
#pragma once

#include <strings.h>

#include "sip/header.h"
#include "sip/headers/string.h"
#include "sip/message.h"

inline bool ContentTypeIs(const SipMessage& m, const char* type) {
  auto* ct = m.Header<ContentTypeHeader>(HeaderIds::HID_CONTENT_TYPE);
  return ct != nullptr && strcasecmp(ct->Value().c_str(), type) == 0;
}

inline bool IsSDP(const SipMessage& m) { return ContentTypeIs(m, "application/sdp"); }
