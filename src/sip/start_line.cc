#include "sip/start_line.h"

#include <algorithm>

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {
constexpr std::string_view kVersion = "SIP/2.0";
}

const char* const SipStartLine::kMethodNames[METHOD_COUNT] = {
    "",       "INVITE", "ACK",   "REGISTER", "CANCEL", "BYE",     "OPTIONS",   "REFER", "SUBSCRIBE",
    "NOTIFY", "INFO",   "PRACK", "MESSAGE",  "UPDATE", "PUBLISH", "CHALLENGE", "PING"};

SipStartLine::RequestMethod SipStartLine::ParseMethod(std::string_view text) {
  text = Trim(text);
  for (int m = INVITE; m < METHOD_COUNT; ++m)
    if (text == kMethodNames[m]) return RequestMethod(m);
  SipReport("Unknown METHOD\n");
  return BLANK_METHOD;
}

bool SipStartLine::Parse(std::string_view line) {
  size_t version = line.rfind(kVersion);
  if (version == std::string_view::npos) {
    SipReport("Start Line dosn't contain correct SIP Version\n");
    return false;
  }
  method_ = BLANK_METHOD;
  status_ = 0;
  if (line.substr(0, kVersion.size()) == kVersion) return ParseResponse(line);
  return ParseRequest(line, version);
}

// Request line: METHOD SP Request-URI SP SIP/2.0, nothing more. Extra blanks or trailing text would be
// dropped by assembly, so a line that has them is refused rather than relayed altered.
bool SipStartLine::ParseRequest(std::string_view line, size_t version) {
  if (version + kVersion.size() != line.size() || version == 0 || !IsBlank(line[version - 1])) {
    SipReport("Start Line dosn't contain correct SIP Version\n");
    return false;
  }
  size_t method_end = std::min(FindBlank(line), version);
  method_ = ParseMethod(line.substr(0, method_end));
  if (method_ == BLANK_METHOD) return false;
  std::string_view uri;
  if (method_end + 1 < version - 1) uri = line.substr(method_end + 1, version - 1 - (method_end + 1));
  if (!uri.empty() && (IsBlank(uri.front()) || IsBlank(uri.back()))) {
    SipReport("White space in URI\n");
    return false;
  }
  if (!uri_.Parse(uri, true)) return false;
  if (!uri_.UriHeadersMap().empty()) {
    SipReport("Headers not allowed in Request-URI\n");
    return false;
  }
  return true;
}

bool SipStartLine::ParseResponse(std::string_view line) {
  std::string_view rest = line.substr(kVersion.size());
  if (!rest.empty()) rest.remove_prefix(1);
  rest = TrimLeft(rest);
  if (rest.size() < 3 || !IsDigit(rest[0]) || !IsDigit(rest[1]) || !IsDigit(rest[2]) ||
      (rest.size() > 3 && IsDigit(rest[3]))) {
    SipReport("Incorrect Status Code\n");
    return false;
  }
  int status = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
  if (status < 100 || status > 699) {
    SipReport("Incorrect Status Code\n");
    return false;
  }
  status_ = SipStatus(status);
  reason_.assign(Trim(rest.substr(3)));
  return true;
}

std::string& SipStartLine::Assemble(std::string& out) const {
  if (status_ == 0) {
    out += kMethodNames[method_ < METHOD_COUNT ? method_ : BLANK_METHOD];
    out += ' ';
    uri_.Assemble(out);
    out += ' ';
    out += kVersion;
  } else {
    out += kVersion;
    out += ' ';
    out += std::to_string(status_);
    if (!reason_.empty()) {
      out += ' ';
      out += reason_;
    }
  }
  out += "\r\n";
  return out;
}
