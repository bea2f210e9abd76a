// A parsed SIP message (start line, headers, body), its text codec and in-place conversions, and the
// process-wide header registry. A SIP object belongs to one thread at a time; the registry is filled
// before main and read from any thread without locks.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "sip/body.h"
#include "sip/header.h"
#include "sip/registry.h"

class SipMessage : public SipHeaders, public SipBody {
 public:
  // Parses a whole datagram of the given byte count. A Content-Length larger than the bytes after the
  // header section fails; bytes beyond it are ignored.
  bool Parse(std::string_view text);
  // Parsing one header on demand keeps its name beside the whole-message forms.
  using SipHeaders::Parse;
  bool Parse(const char* data, size_t len) { return Parse(std::string_view(data, data ? len : 0)); }
  // NUL-terminated text.
  bool Parse(const char* text);
  // The whole message text, with a Content-Length that matches the body.
  std::string Assemble(bool long_form) const;

  // Turns the message into a request of method m (ACK, BYE, CANCEL from a stored message).
  void Convert(SipStartLine::RequestMethod m);
  // Turns a request into a response with that status and reason.
  void Convert(SipStatus status, const std::string& reason);

  // Percent-encoding of every byte but letters and digits, and its inverse.
  static std::string Escape(std::string_view s);
  static std::string Unescape(std::string_view s);
  // A URI header value (Refer-To's embedded Replaces): every byte outside the characters a header value
  // may carry as they are (letters, digits, "-_.!~*'()[]/?:+$") becomes "%" and two upper-case digits.
  static std::string EscapeHeaderValue(std::string_view s);
  // The decoded value, false (out unspecified) when a "%" is not followed by two hexadecimal digits, or a
  // NUL byte stands or is escaped in it: such a value cannot be decoded and encoded back unchanged.
  static bool UnescapeExactly(std::string_view s, std::string& out);
  // The value with every byte that a header value may not carry as it is escaped, and everything else
  // (including each "%" escape, whatever its case or the byte it names) exactly as it came, so that a
  // valid value comes back unchanged and decodes to what it did before. False, out unspecified, for a
  // value UnescapeExactly refuses.
  static bool ReescapeHeaderValue(std::string_view s, std::string& out);

  // Registry.
  static void AddHeaderType(HeadId id, const char* name, char short_name, HeaderType::Multiplicity multi,
                            HeaderCreator creator, bool on_arrival);
  static const HeaderType* GetHeaderTypeById(HeadId id);
  // Lower-case name or compact letter to identifier; HID_BLANK when not parsed on arrival.
  static HeadId GetHeaderByName(std::string_view lowerName);
  static HeaderCreator GetHeaderCreator(HeadId id);
  // A default line for a text value of id: the registered class, or an unknown line.
  static std::unique_ptr<HeaderLine> CreateLine(HeadId id);

  static std::array<HeaderType, HID_LAST> header_types_;
  static std::map<std::string, HeadId, std::less<>> header_by_name_;
};
