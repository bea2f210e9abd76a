#include "sip/headers/line_params.h"

#include "sip/scan.h"

using namespace sipscan;

bool SIP_Head_LineParams::parser(std::string_view value)
{
    if (size_t semi = value.find(';'); semi != std::string_view::npos) {
        if (!SIP_Params::parser(value.substr(semi))) return false;
        value = value.substr(0, semi);
    }
    m_val.assign(trim(value));
    return true;
}

std::string& SIP_Head_LineParams::assemble(std::string& out) const
{
    out += m_val;
    return SIP_Params::assemble(out);
}

bool SIP_Head_Identity::parser(std::string_view value)
{
    if (!SIP_Head_LineParams::parser(value)) return false;
    auto info = m_Params.find(std::string_view("info"));
    if (info == m_Params.end()) return false;
    m_Info = std::move(info->second);
    m_Params.erase(info);
    if (auto ppt = m_Params.find(std::string_view("ppt")); ppt != m_Params.end()) {
        std::string_view v = ppt->second;
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        m_Ppt.assign(v);
        m_Params.erase(ppt);
    }
    if (m_Info.empty()) return false;
    if (m_Info.front() == '<' && m_Info.back() == '>' && m_Info.size() >= 2) {
        m_Info = m_Info.substr(1, m_Info.size() - 2);
        return !m_Info.empty();
    }
    return m_Info.size() >= 2;
}

std::string& SIP_Head_Identity::assemble(std::string& out) const
{
    out += m_val;
    out += ";info=<";
    out += m_Info;
    out += '>';
    if (!m_Ppt.empty()) {
        out += ";ppt=\"";
        out += m_Ppt;
        out += '"';
    }
    return SIP_Params::assemble(out);
}
