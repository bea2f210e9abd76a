// Parsing of the start line and header section: line collection with folding, header lookup, and the
// checks a message must pass before it may be relayed.
#include <cstring>

#include "sip/report.h"
#include "sip/header.h"
#include "sip/headers/cseq.h"
#include "sip/message.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// One line end: CR optionally followed by LF, or LF optionally followed by CR.
void skip_line_end(std::string_view& text)
{
    if (text.empty()) return;
    char first = text[0];
    if (!is_line_end(first)) return;
    text.remove_prefix(1);
    if (!text.empty() && is_line_end(text[0]) && text[0] != first) text.remove_prefix(1);
}

std::string_view take_physical_line(std::string_view& text)
{
    size_t end = 0;
    while (end < text.size() && !is_line_end(text[end])) ++end;
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end);
    skip_line_end(text);
    return line;
}

// The next logical line with its continuation lines joined by one blank; false at the empty line that
// ends the header section (consumed) or at the end of the text. folded holds joined lines.
bool next_logical_line(std::string_view& text, std::string& folded, std::string_view& line)
{
    if (text.empty()) return false;
    if (is_line_end(text[0])) {
        skip_line_end(text);
        return false;
    }
    line = take_physical_line(text);
    if (text.empty() || !is_blank(text[0])) return true;
    folded.assign(line);
    while (!text.empty() && is_blank(text[0])) {
        folded += ' ';
        folded += ltrim(take_physical_line(text));
    }
    line = folded;
    return true;
}

// Lower-cases name into buf for the registry lookup; names longer than any registered one are not looked up.
bool lower_name(std::string_view name, char (&buf)[32], std::string_view& lowered)
{
    if (name.size() >= sizeof buf) return false;
    for (size_t i = 0; i < name.size(); ++i) buf[i] = lower(name[i]);
    lowered = std::string_view(buf, name.size());
    return true;
}

size_t chain_length(const SIP_HeadLine* l)
{
    size_t n = 0;
    for (; l; l = l->Next()) ++n;
    return n;
}

} // namespace

bool SIP_Header::parser(const char*& p, bool noRequiredCheck)
{
    if (!p) {
        sip_report("Empty Message.\n");
        return false;
    }
    std::string_view text(p, std::strlen(p));
    bool ok = parser(text, noRequiredCheck);
    p = text.data();
    return ok;
}

bool SIP_Header::parser(std::string_view& text, bool noRequiredCheck)
{
    if (!parse_section(text, noRequiredCheck, nullptr)) return false;
    while (!text.empty() && is_line_end(text[0])) text.remove_prefix(1);
    return true;
}

bool SIP_Header::parse_section(std::string_view& text, bool noRequiredCheck, ParseNotes* notes)
{
    if (text.empty()) {
        sip_report("Empty Message.\n");
        return false;
    }
    if (is_blank(text[0]) || is_line_end(text[0])) {
        sip_report("Message Begining with SPACE.\n");
        return false;
    }
    std::string folded;
    std::string_view line;
    bool start_line = true;
    while (next_logical_line(text, folded, line)) {
        if (line.find('\0') != std::string_view::npos) {
            sip_report("NUL character in Header\n");
            return false;
        }
        if (start_line) {
            if (!SIP_StartLine::parser(line)) return false;
            start_line = false;
        } else if (!parse_header_line(line, notes)) {
            return false;
        }
    }
    if (start_line) {
        // Only reachable for a text that starts with a line end, refused above; kept for safety.
        sip_report("Empty Message.\n");
        return false;
    }
    return check_section(noRequiredCheck);
}

bool SIP_Header::parse_header_line(std::string_view line, ParseNotes* notes)
{
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        sip_report("Incorrect Header line\n");
        return false;
    }
    std::string_view name = rtrim(line.substr(0, colon));
    if (name.empty() || has_blank(name)) {
        sip_report("Incorrect Header Type\n");
        return false;
    }
    std::string_view value = trim(line.substr(colon + 1));
    char buf[32];
    std::string_view lowered;
    HeadId id = HID_Blank;
    if (lower_name(name, buf, lowered)) id = SIP::_GetHeaderByName(lowered);
    if (id == HID_Blank) {
        m_Heads.emplace(getNextID(), std::make_unique<SIP_Head_Unknown>(name, value));
        return true;
    }
    if (id == HID_Content_Length && notes) {
        notes->has_content_length = true;
        notes->content_length.assign(value);
    }
    return line_set(id, value);
}

// Refuses what the relay could only pass on ambiguously: missing required headers, a second From, To,
// Call-ID, CSeq, Max-Forwards or Content-Length, and a request whose CSeq names another method.
bool SIP_Header::check_section(bool noRequiredCheck) const
{
    if (!noRequiredCheck) {
        for (HeadId id : ReqHeaders) {
            if (!Header(id)) {
                sip_report("Required Header is Missing\n");
                return false;
            }
        }
    }
    for (HeadId id : {HID_From, HID_To, HID_Call_ID, HID_CSeq, HID_Max_Forwards, HID_Content_Length}) {
        if (chain_length(Header(id)) > 1) {
            sip_report("Header must not be repeated\n");
            return false;
        }
    }
    if (IS_Request()) {
        auto* cseq = Header<SIP_Head_CSeq>(HID_CSeq);
        if (cseq && cseq->Method() != m_Method) {
            sip_report("CSeq METHOD doesn't match Request METHOD\n");
            return false;
        }
    }
    return true;
}
