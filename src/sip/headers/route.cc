#include "sip/headers/route.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

bool SIP_Head_Route::parser(std::string_view value)
{
    value = ltrim(value);
    size_t from = 0;
    if (!value.empty() && value[0] == '"') {
        size_t close = closing_quote(value, 0);
        from = close == std::string_view::npos ? value.size() : close;
    }
    std::string_view name_addr, params;
    if (size_t gt = value.find('>', from); gt != std::string_view::npos) {
        name_addr = value.substr(0, gt + 1);
        params = value.substr(gt + 1);
    } else {
        // addr-spec form: parameters after a bare URI belong to the header, and a URI with headers
        // would need the brackets.
        size_t semi = value.find(';');
        name_addr = value.substr(0, semi);
        if (semi != std::string_view::npos) params = value.substr(semi);
        if (name_addr.find('?') != std::string_view::npos) {
            sip_report("Could not find < or > in Name\n");
            return false;
        }
    }
    if (!SIP_Name_Addr::parser(name_addr)) return false;
    return params.empty() || m_HParams.parser(params);
}

std::string& SIP_Head_Route::assemble(std::string& out) const
{
    SIP_Name_Addr::assemble(out);
    return m_HParams.assemble(out);
}

std::string SIP_Head_Route::Addr() const
{
    const char* maddr = Param("maddr");
    std::string addr = maddr ? maddr : m_Host;
    addr += ':';
    addr += std::to_string(SPort());
    return addr;
}

bool SIP_Head_Contact::parser(std::string_view value)
{
    if (trim(value) == "*") {
        m_Star = true;
        return true;
    }
    return SIP_Head_Route::parser(value);
}

std::string& SIP_Head_Contact::assemble(std::string& out) const
{
    if (m_Star) return out += '*';
    return SIP_Head_Route::assemble(out);
}
