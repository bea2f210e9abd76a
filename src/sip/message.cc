#include "sip/message.h"

#include <cstring>

#include "sip/report.h"
#include "sip/headers/cseq.h"
#include "sip/scan.h"

using namespace sipscan;

bool SIP::parser(const char* text)
{
    if (!text) {
        sip_report("Empty Message.\n");
        return false;
    }
    return parser(std::string_view(text, std::strlen(text)));
}

// The body is delimited by Content-Length when there is one: a datagram cut short is refused rather than
// relayed as complete, and bytes after the body are ignored.
bool SIP::parser(std::string_view text)
{
    ParseNotes notes;
    if (!parse_section(text, false, &notes)) return false;
    if (!notes.has_content_length) {
        while (!text.empty() && (text[0] == '\r' || text[0] == '\n')) text.remove_prefix(1);
        return SIP_Body::parser(text);
    }
    std::string_view value = trim(notes.content_length);
    if (value.empty() || !all_digits(value)) {
        sip_report("Incorrect Content-Length\n");
        return false;
    }
    uint64_t length = 0;
    if (!read_decimal(value, text.size(), length)) {
        sip_report("Content-Length larger than the message\n");
        return false;
    }
    return SIP_Body::parser(text.substr(0, length));
}

std::string SIP::assemble(bool longForm) const
{
    std::string out;
    out.reserve(2048);
    const std::string& body = Body();
    size_t length = body.size();
    assemble_heads(out, longForm, &length);
    out += "\r\n";
    out += body;
    return out;
}

void SIP::Convert(SIP_StartLine::Method_t m)
{
    SIP_Body::clear();
    restrict();
    for (HeadId id : {HID_Content_Type, HID_Server, HID_Expires, HID_Identity}) remove(id);
    if (m != INVITE && m != UPDATE) remove(HID_Contact);
    if (auto* cseq = Header<SIP_Head_CSeq>(HID_CSeq)) cseq->Method(m);
    m_Method = m;
    m_Status = 0;
    m_Reason.clear();
}

void SIP::Convert(SIP_Status status, const std::string& reason)
{
    SIP_Body::clear();
    restrict();
    for (HeadId id : {HID_Content_Type, HID_User_Agent, HID_Expires, HID_Identity}) remove(id);
    m_Method = Blank_Method;
    m_Status = status;
    m_Reason = reason;
}

std::string SIP::escape(std::string_view s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        auto b = (unsigned char)c;
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) {
            out += c;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

namespace {
int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

// A "%" not followed by two hexadecimal digits is copied as it stands.
std::string SIP::unescape(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
            c = char(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
            i += 2;
            if (c == '\0') break;
        }
        out += c;
    }
    return out;
}
