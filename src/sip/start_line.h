// The first line of a SIP message: a request (method and Request-URI) or a response (status and reason),
// with the method table shared by CSeq. A value object: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/uri.h"

using SipStatus = uint16_t;

class SipStartLine {
 public:
  enum RequestMethod {
    BLANK_METHOD = 0,
    INVITE,
    ACK,
    REGISTER,
    CANCEL,
    BYE,
    OPTIONS,
    REFER,
    SUBSCRIBE,
    NOTIFY,
    INFO,
    PRACK,
    MESSAGE,
    UPDATE,
    PUBLISH,
    CHALLENGE,
    PING,
    METHOD_COUNT
  };
  // Method texts indexed by RequestMethod, for parsing and assembly alike.
  static const char* const kMethodNames[METHOD_COUNT];

  bool Parse(std::string_view line);
  // Appends the line and CR LF.
  std::string& Assemble(std::string& out) const;
  // Case-sensitive after trimming blanks; reports "Unknown METHOD" and gives BLANK_METHOD when unknown.
  static RequestMethod ParseMethod(std::string_view text);

  RequestMethod Method() const { return method_; }
  void Method(RequestMethod m) { method_ = m; }
  SipStatus Status() const { return status_; }
  void Status(SipStatus s) { status_ = s; }
  const std::string& Reason() const { return reason_; }
  void Reason(const std::string& r) { reason_ = r; }
  SipUri& URI() { return uri_; }
  const SipUri& URI() const { return uri_; }

  bool IsResponse() const { return status_ != 0; }
  bool IsRequest() const { return status_ == 0; }

  bool IsInvite() const { return method_ == INVITE; }
  bool IsAck() const { return method_ == ACK; }
  bool IsRegister() const { return method_ == REGISTER; }
  bool IsCancel() const { return method_ == CANCEL; }
  bool IsBye() const { return method_ == BYE; }
  bool IsOptions() const { return method_ == OPTIONS; }
  bool IsRefer() const { return method_ == REFER; }
  bool IsSubscribe() const { return method_ == SUBSCRIBE; }
  bool IsNotify() const { return method_ == NOTIFY; }
  bool IsInfo() const { return method_ == INFO; }
  bool IsPrack() const { return method_ == PRACK; }
  bool IsMessage() const { return method_ == MESSAGE; }
  bool IsUpdate() const { return method_ == UPDATE; }
  bool IsPublish() const { return method_ == PUBLISH; }
  bool IsChallenge() const { return method_ == CHALLENGE; }
  bool IsPing() const { return method_ == PING; }

 protected:
  bool ParseRequest(std::string_view line, size_t version);
  bool ParseResponse(std::string_view line);

  RequestMethod method_ = BLANK_METHOD;
  SipUri uri_;
  SipStatus status_ = 0;
  std::string reason_;
};
