// Fuzzes the SIP message codec: whatever parses must assemble into text that parses again, in both the
// long and the compact form, also after the headers kept as text were parsed on demand and after the
// message was copied and turned around for a request to the other party.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/log.h"
#include "sip/message.h"

namespace {

void quiet(const char*, ...) {}

[[noreturn]] void die(const char* what, const std::string& text, const std::string& other) {
  std::fprintf(stderr, "%s\n---\n", what);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fprintf(stderr, "\n---\n");
  std::fwrite(other.data(), 1, other.size(), stderr);
  std::fprintf(stderr, "\n---\n");
  std::abort();
}

// stable: the text assembled from the reparsed message must equal the first text. Headers converted on
// demand move to their registered place once and come back as text on the next parse, so they are not.
void reparse_or_die(const SipMessage& m, bool long_form, bool stable) {
  std::string text = m.Assemble(long_form);
  SipMessage again;
  if (!again.Parse(std::string_view(text))) die("assembled text does not parse", text, "");
  std::string twice = again.Assemble(long_form);
  if (stable && twice != text) die("assembly is not stable", text, twice);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_parse_error_log = quiet;
  SipMessage m;
  if (!m.Parse(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
  reparse_or_die(m, true, true);
  reparse_or_die(m, false, true);

  for (SipMessage::HeadId id :
       {SipMessage::HID_P_ASSERTED_IDENTITY, SipMessage::HID_SUBJECT, SipMessage::HID_SUPPORTED,
        SipMessage::HID_REQUIRE, SipMessage::HID_EVENT, SipMessage::HID_ALLOW_EVENTS,
        SipMessage::HID_REFER_TO, SipMessage::HID_REFERRED_BY, SipMessage::HID_CALL_INFO,
        SipMessage::HID_SESSION_EXPIRES, SipMessage::HID_PROXY_AUTHENTICATE, SipMessage::HID_WWW_AUTHENTICATE,
        SipMessage::HID_PROXY_AUTHORIZATION, SipMessage::HID_AUTHORIZATION, SipMessage::HID_IDENTITY})
    m.Parse(id);
  (void)m.Address();
  SipMessage copy(m);
  reparse_or_die(copy, true, false);

  SipMessage turned(m);
  turned.RouteSetFrom(m, m.IsRequest());
  turned.SwapFromTo();
  turned.Convert(SipStartLine::BYE);
  (void)turned.Address();
  std::string text = turned.Assemble(true);
  SipMessage again;
  again.Parse(std::string_view(text));
  return 0;
}
