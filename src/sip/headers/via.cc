#include "sip/headers/via.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {
constexpr std::string_view kViaVersion = "SIP/2.0/";
}

bool SIP_Head_Via::parser(std::string_view value)
{
    value = ltrim(value);
    if (value.substr(0, kViaVersion.size()) != kViaVersion) {
        sip_report("Incorrect SIP Version in Via\n");
        return false;
    }
    value.remove_prefix(kViaVersion.size());
    std::string_view transport = value.substr(0, 4);
    if (iequals(transport, "UDP ")) m_Proto = PROTO_UDP;
    else if (iequals(transport, "TCP ")) m_Proto = PROTO_TCP;
    else if (iequals(transport, "TLS ")) m_Proto = PROTO_TLS;
    else {
        sip_report("Unknows transport in Via\n");
        return false;
    }
    return SIP_URI::parser(value.substr(4), false);
}

std::string& SIP_Head_Via::assemble(std::string& out) const
{
    out += kViaVersion;
    switch (m_Proto) {
    case PROTO_UDP: out += "UDP "; break;
    case PROTO_TCP: out += "TCP "; break;
    case PROTO_TLS: out += "TLS "; break;
    default: break;
    }
    return SIP_URI::assemble(out);
}

std::string SIP_Head_Via::Addr() const
{
    const char* received = Param("received");
    const char* rport = Param("rport");
    std::string addr = received && *received ? received : m_Host;
    addr += ':';
    addr += rport && *rport ? std::string(rport) : std::to_string(SPort());
    return addr;
}
