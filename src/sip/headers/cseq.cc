#include "sip/headers/cseq.h"

#include <climits>

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

bool SIP_Head_CSeq::parser(std::string_view value)
{
    value = ltrim(value);
    size_t blank = find_blank(value);
    if (blank == std::string_view::npos) return false;
    // strtol-like: optional sign, then digits; no digits give 0.
    std::string_view number = value.substr(0, blank);
    size_t i = 0;
    bool negative = false;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
    int64_t seq = 0;
    for (; i < number.size() && is_digit(number[i]); ++i) {
        seq = seq * 10 + (number[i] - '0');
        if (seq > INT_MAX) break;
    }
    if (seq > INT_MAX || (negative && seq != 0)) {
        sip_report("Incorrect CSeq number\n");
        return false;
    }
    m_SeqNo = int32_t(seq);
    m_Method = SIP_StartLine::Method_parser(value.substr(blank));
    return m_Method != SIP_StartLine::Blank_Method;
}

std::string& SIP_Head_CSeq::assemble(std::string& out) const
{
    out += std::to_string(m_SeqNo);
    out += ' ';
    out += SIP_StartLine::MethodStr[m_Method < SIP_StartLine::Method_Count ? m_Method : 0];
    return out;
}
