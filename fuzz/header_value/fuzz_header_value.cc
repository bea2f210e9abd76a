// Fuzzes the escaping of URI header values (a Replaces inside a Refer-To): a value escaped anew decodes to
// what the value decoded to, carries only characters a header value may hold as they are, and stays as it
// is when escaped again; a value escaped from plain bytes decodes back to them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "sip/message.h"

namespace {

[[noreturn]] void die(const char* what, const std::string& in, const std::string& out) {
  std::fprintf(stderr, "%s\n---\n%s\n---\n%s\n---\n", what, in.c_str(), out.c_str());
  std::abort();
}

bool Plain(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr("-_.!~*'()[]/?:+$%", c) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::string out, decoded_in, decoded_out, twice;
  if (SipMessage::ReescapeHeaderValue(in, out)) {
    if (!SipMessage::UnescapeExactly(in, decoded_in)) die("accepted but does not decode", in, out);
    if (!SipMessage::UnescapeExactly(out, decoded_out) || decoded_out != decoded_in)
      die("escaped anew, decodes to something else", in, out);
    for (char c : out)
      if (!Plain(c)) die("a character a header value may not hold", in, out);
    if (!SipMessage::ReescapeHeaderValue(out, twice) || twice != out) die("not stable", out, twice);
  } else if (SipMessage::UnescapeExactly(in, decoded_in)) {
    die("refused although it decodes", in, "");
  }
  if (in.find('\0') == std::string::npos) {
    const std::string escaped = SipMessage::EscapeHeaderValue(in);
    if (!SipMessage::UnescapeExactly(escaped, decoded_out) || decoded_out != in)
      die("escaped plain bytes do not decode back", in, escaped);
  }
  return 0;
}
