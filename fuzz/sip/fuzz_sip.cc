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

[[noreturn]] void die(const char* what, const std::string& text, const std::string& other)
{
    std::fprintf(stderr, "%s\n---\n", what);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fprintf(stderr, "\n---\n");
    std::fwrite(other.data(), 1, other.size(), stderr);
    std::fprintf(stderr, "\n---\n");
    std::abort();
}

// stable: the text assembled from the reparsed message must equal the first text. Headers converted on
// demand move to their registered place once and come back as text on the next parse, so they are not.
void reparse_or_die(const SIP& m, bool longForm, bool stable)
{
    std::string text = m.assemble(longForm);
    SIP again;
    if (!again.parser(std::string_view(text))) die("assembled text does not parse", text, "");
    std::string twice = again.assemble(longForm);
    if (stable && twice != text) die("assembly is not stable", text, twice);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    _flog = quiet;
    SIP m;
    if (!m.parser(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
    reparse_or_die(m, true, true);
    reparse_or_die(m, false, true);

    for (SIP::HeadId id : {SIP::HID_P_Asserted_Identity, SIP::HID_Subject, SIP::HID_Supported, SIP::HID_Require,
                           SIP::HID_Event, SIP::HID_Allow_Events, SIP::HID_Refer_To, SIP::HID_Referred_By,
                           SIP::HID_Call_Info, SIP::HID_Session_Expires, SIP::HID_Proxy_Authenticate,
                           SIP::HID_WWW_Authenticate, SIP::HID_Proxy_Authorization, SIP::HID_Authorization,
                           SIP::HID_Identity})
        m.parse(id);
    (void)m.Addr();
    SIP copy(m);
    reparse_or_die(copy, true, false);

    SIP turned(m);
    turned.RouteSetFrom(m, m.IS_Request());
    turned.swapFT();
    turned.Convert(SIP_StartLine::BYE);
    (void)turned.Addr();
    std::string text = turned.assemble(true);
    SIP again;
    again.parser(std::string_view(text));
    return 0;
}
