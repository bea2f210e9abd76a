#include "sip/message.h"

#include <cstring>

#include "sip/headers/cseq.h"
#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

bool SipMessage::Parse(const char* text) {
  if (!text) {
    SipReport("Empty Message.\n");
    return false;
  }
  return Parse(std::string_view(text, std::strlen(text)));
}

// The body is delimited by Content-Length when there is one: a datagram cut short is refused rather than
// relayed as complete, and bytes after the body are ignored.
bool SipMessage::Parse(std::string_view text) {
  ParseNotes notes;
  if (!ParseSection(text, false, &notes)) return false;
  if (!notes.has_content_length) {
    while (!text.empty() && (text[0] == '\r' || text[0] == '\n')) text.remove_prefix(1);
    return SipBody::Parse(text);
  }
  std::string_view value = Trim(notes.content_length);
  if (value.empty() || !AllDigits(value)) {
    SipReport("Incorrect Content-Length\n");
    return false;
  }
  uint64_t length = 0;
  if (!ReadDecimal(value, text.size(), length)) {
    SipReport("Content-Length larger than the message\n");
    return false;
  }
  return SipBody::Parse(text.substr(0, length));
}

std::string SipMessage::Assemble(bool long_form) const {
  std::string out;
  out.reserve(2048);
  const std::string& body = Body();
  size_t length = body.size();
  AssembleHeads(out, long_form, &length);
  out += "\r\n";
  out += body;
  return out;
}

void SipMessage::Convert(SipStartLine::RequestMethod m) {
  SipBody::clear();
  restrict();
  for (HeadId id : {HID_CONTENT_TYPE, HID_SERVER, HID_EXPIRES, HID_IDENTITY}) Remove(id);
  if (m != INVITE && m != UPDATE) Remove(HID_CONTACT);
  if (auto* cseq = Header<CSeqHeader>(HID_CSEQ)) cseq->Method(m);
  method_ = m;
  status_ = 0;
  reason_.clear();
}

void SipMessage::Convert(SipStatus status, const std::string& reason) {
  SipBody::clear();
  restrict();
  for (HeadId id : {HID_CONTENT_TYPE, HID_USER_AGENT, HID_EXPIRES, HID_IDENTITY}) Remove(id);
  method_ = BLANK_METHOD;
  status_ = status;
  reason_ = reason;
}

namespace {
bool Alphanumeric(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
}

bool HeaderValueChar(unsigned char b) {
  return Alphanumeric(b) || (b != 0 && std::strchr("-_.!~*'()[]/?:+$", b) != nullptr);
}

// s with every byte that keep() refuses written as %HH.
std::string PercentEscape(std::string_view s, bool (*keep)(unsigned char)) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    auto b = (unsigned char)c;
    if (keep(b)) {
      out += c;
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out;
}
}  // namespace

std::string SipMessage::Escape(std::string_view s) { return PercentEscape(s, Alphanumeric); }

std::string SipMessage::EscapeHeaderValue(std::string_view s) { return PercentEscape(s, HeaderValueChar); }

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

// A "%" not followed by two hexadecimal digits is copied as it stands.
std::string SipMessage::Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      c = char(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
      if (c == '\0') break;
    }
    out += c;
  }
  return out;
}

bool SipMessage::UnescapeExactly(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\0') return false;
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || HexValue(s[i + 1]) < 0 || HexValue(s[i + 2]) < 0) return false;
    const char c = char(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
    if (c == '\0') return false;
    out += c;
    i += 2;
  }
  return true;
}

bool SipMessage::ReescapeHeaderValue(std::string_view s, std::string& out) {
  std::string decoded;
  if (!UnescapeExactly(s, decoded)) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      out.append(s.substr(i, 3));
      i += 2;
    } else {
      out += EscapeHeaderValue(s.substr(i, 1));
    }
  }
  return true;
}
