#include "sip/start_line.h"

#include <algorithm>

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {
constexpr std::string_view kVersion = "SIP/2.0";
}

const char* const SIP_StartLine::MethodStr[Method_Count] = {
    "",       "INVITE", "ACK",     "REGISTER", "CANCEL", "BYE",    "OPTIONS",   "REFER", "SUBSCRIBE",
    "NOTIFY", "INFO",   "PRACK",   "MESSAGE",  "UPDATE", "PUBLISH", "CHALLENGE", "PING"};

SIP_StartLine::Method_t SIP_StartLine::Method_parser(std::string_view text)
{
    text = trim(text);
    for (int m = INVITE; m < Method_Count; ++m)
        if (text == MethodStr[m]) return Method_t(m);
    sip_report("Unknown METHOD\n");
    return Blank_Method;
}

bool SIP_StartLine::parser(std::string_view line)
{
    size_t version = line.rfind(kVersion);
    if (version == std::string_view::npos) {
        sip_report("Start Line dosn't contain correct SIP Version\n");
        return false;
    }
    m_Method = Blank_Method;
    m_Status = 0;
    if (line.substr(0, kVersion.size()) == kVersion) return parse_response(line);
    return parse_request(line, version);
}

// Request line: METHOD SP Request-URI SP SIP/2.0, nothing more. Extra blanks or trailing text would be
// dropped by assembly, so a line that has them is refused rather than relayed altered.
bool SIP_StartLine::parse_request(std::string_view line, size_t version)
{
    if (version + kVersion.size() != line.size() || version == 0 || !is_blank(line[version - 1])) {
        sip_report("Start Line dosn't contain correct SIP Version\n");
        return false;
    }
    size_t method_end = std::min(find_blank(line), version);
    m_Method = Method_parser(line.substr(0, method_end));
    if (m_Method == Blank_Method) return false;
    std::string_view uri;
    if (method_end + 1 < version - 1) uri = line.substr(method_end + 1, version - 1 - (method_end + 1));
    if (!uri.empty() && (is_blank(uri.front()) || is_blank(uri.back()))) {
        sip_report("White space in URI\n");
        return false;
    }
    if (!m_URI.parser(uri, true)) return false;
    if (!m_URI.OHeads_Map().empty()) {
        sip_report("Headers not allowed in Request-URI\n");
        return false;
    }
    return true;
}

bool SIP_StartLine::parse_response(std::string_view line)
{
    std::string_view rest = line.substr(kVersion.size());
    if (!rest.empty()) rest.remove_prefix(1);
    rest = ltrim(rest);
    if (rest.size() < 3 || !is_digit(rest[0]) || !is_digit(rest[1]) || !is_digit(rest[2]) ||
        (rest.size() > 3 && is_digit(rest[3]))) {
        sip_report("Incorrect Status Code\n");
        return false;
    }
    int status = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
    if (status < 100 || status > 699) {
        sip_report("Incorrect Status Code\n");
        return false;
    }
    m_Status = SIP_Status(status);
    m_Reason.assign(trim(rest.substr(3)));
    return true;
}

std::string& SIP_StartLine::assemble(std::string& out) const
{
    if (m_Status == 0) {
        out += MethodStr[m_Method < Method_Count ? m_Method : Blank_Method];
        out += ' ';
        m_URI.assemble(out);
        out += ' ';
        out += kVersion;
    } else {
        out += kVersion;
        out += ' ';
        out += std::to_string(m_Status);
        if (!m_Reason.empty()) {
            out += ' ';
            out += m_Reason;
        }
    }
    out += "\r\n";
    return out;
}
