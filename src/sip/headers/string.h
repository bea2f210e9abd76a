// Headers whose value is kept as one trimmed text (Call-ID, User-Agent, Server, Content-Type, Subject,
// Supported, Require, Allow-Events, Session-Expires). Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"

class StringHeader : public CopyableHeader<StringHeader, HeaderLine> {
 public:
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override { return out += value_; }

  const std::string& Value() const { return value_; }
  void Value(const std::string& v) { value_ = v; }

 protected:
  std::string value_;
};

class CallIdHeader : public CopyableHeader<CallIdHeader, StringHeader> {};
class UserAgentHeader : public CopyableHeader<UserAgentHeader, StringHeader> {};
class ServerHeader : public CopyableHeader<ServerHeader, StringHeader> {};
class ContentTypeHeader : public CopyableHeader<ContentTypeHeader, StringHeader> {};
class SubjectHeader : public CopyableHeader<SubjectHeader, StringHeader> {};
class SupportedHeader : public CopyableHeader<SupportedHeader, StringHeader> {};
class RequireHeader : public CopyableHeader<RequireHeader, StringHeader> {};
class AllowEventsHeader : public CopyableHeader<AllowEventsHeader, StringHeader> {};
class SessionExpiresHeader : public CopyableHeader<SessionExpiresHeader, StringHeader> {};
