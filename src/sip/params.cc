#include "sip/params.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {

// Stores one "name=value" / "name" item; an empty name is skipped, an existing name is replaced.
void store_param(Attrb_t& params, std::string_view item)
{
    std::string_view name = item, value;
    if (size_t eq = item.find('='); eq != std::string_view::npos) {
        name = item.substr(0, eq);
        value = trim(item.substr(eq + 1));
    }
    name = trim(name);
    if (name.empty()) return;
    params.insert_or_assign(std::string(name), std::string(value));
}

} // namespace

bool SIP_Params::parser(std::string_view text)
{
    text = ltrim(text);
    if (text.empty()) return true;
    if (text[0] != ';') {
        sip_report("Parameters must begin with char ';'\n");
        return false;
    }
    // Taken apart from the end so that the first occurrence of a repeated name is the one that stays.
    while (!text.empty()) {
        bool quoted = false;
        size_t i = text.size();
        while (i > 0) {
            char c = text[i - 1];
            if (c == '"') quoted = !quoted;
            else if (c == ';' && !quoted) break;
            --i;
        }
        if (i == 0) {
            sip_report("Unmached \" in Params\n");
            return false;
        }
        store_param(m_Params, text.substr(i));
        text = text.substr(0, i - 1);
    }
    return true;
}

std::string& SIP_Params::assemble(std::string& out) const
{
    for (const auto& [name, value] : m_Params) {
        out += ';';
        out += name;
        if (!value.empty()) {
            out += '=';
            out += value;
        }
    }
    return out;
}

const char* SIP_Params::Param(std::string_view name) const
{
    auto it = m_Params.find(name);
    return it == m_Params.end() ? nullptr : it->second.c_str();
}

void SIP_Params::Param(const std::string& name, const std::string& value) { m_Params.insert_or_assign(name, value); }

void SIP_Params::Remove(std::string_view name)
{
    if (auto it = m_Params.find(name); it != m_Params.end()) m_Params.erase(it);
}
