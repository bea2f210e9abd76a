// The header registry: which headers have a class, their compact letters, how their comma lists are
// treated, and which are parsed as soon as a message arrives.
#include "sip/headers/auth.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"
#include "foundation/text.h"
#include "sip/message.h"

std::array<SIP_HeadType, SIP::HID_LAST> SIP::s_Header_Types{};
std::map<std::string, SIP::HeadId, std::less<>> SIP::s_Header_Assoc;

void SIP::_Add_Header_Type(HeadId id, const char* name, char shortName, SIP_HeadType::MultiType_t multi,
                           t_HdrCreator creator, bool onArrival)
{
    if (id >= HID_LAST) return;
    if (onArrival) {
        std::string key(name);
        s_Header_Assoc[tolower(key)] = id;
        if (shortName) {
            std::string letter(1, shortName);
            s_Header_Assoc[tolower(letter)] = id;
        }
    }
    s_Header_Types[id] = SIP_HeadType{name, shortName, multi, creator};
}

const SIP_HeadType* SIP::_GetHeaderTypeByID(HeadId id)
{
    if (id >= HID_LAST || !s_Header_Types[id].m_Name) return nullptr;
    return &s_Header_Types[id];
}

SIP::HeadId SIP::_GetHeaderByName(std::string_view lowerName)
{
    auto it = s_Header_Assoc.find(lowerName);
    return it == s_Header_Assoc.end() ? HID_Blank : it->second;
}

t_HdrCreator SIP::_GetHeaderConstractor(HeadId id)
{
    const SIP_HeadType* type = _GetHeaderTypeByID(id);
    return type ? type->m_Constructor : nullptr;
}

std::unique_ptr<SIP_HeadLine> SIP::create_line(HeadId id)
{
    t_HdrCreator creator = _GetHeaderConstractor(id);
    return creator ? creator() : SIP_Head_Unknown::Creator();
}

namespace {

[[maybe_unused]] const bool registered = [] {
    using M = SIP_HeadType;
    // Parsed on arrival: the headers every message is routed and matched by.
    SIP::_Add_Header_Type(SIP::HID_Via, "Via", 'v', M::ALLOW, SIP_Hdr_Constr<SIP_Head_Via>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Route, "Route", 0, M::ALLOW, SIP_Hdr_Constr<SIP_Head_Route>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Record_Route, "Record-Route", 0, M::ALLOW,
                          SIP_Hdr_Constr<SIP_Head_Record_Route>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_From, "From", 'f', M::NEVER, SIP_Hdr_Constr<SIP_Head_From>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_To, "To", 't', M::NEVER, SIP_Hdr_Constr<SIP_Head_To>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Contact, "Contact", 'm', M::ALLOW, SIP_Hdr_Constr<SIP_Head_Contact>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Call_ID, "Call-ID", 'i', M::NEVER, SIP_Hdr_Constr<SIP_Head_Call_ID>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_CSeq, "CSeq", 0, M::NEVER, SIP_Hdr_Constr<SIP_Head_CSeq>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Expires, "Expires", 0, M::NEVER, SIP_Hdr_Constr<SIP_Head_Expires>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Max_Forwards, "Max-Forwards", 0, M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Max_Forwards>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_User_Agent, "User-Agent", 0, M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_User_Agent>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Server, "Server", 0, M::NEVER, SIP_Hdr_Constr<SIP_Head_Server>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Content_Type, "Content-Type", 'c', M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Content_Type>::Creator, true);
    SIP::_Add_Header_Type(SIP::HID_Content_Length, "Content-Length", 'l', M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Content_Length>::Creator, true);
    // Travel as raw text until a dialog asks for them with parse(id).
    SIP::_Add_Header_Type(SIP::HID_P_Asserted_Identity, "P-Asserted-Identity", 0, M::ALLOW,
                          SIP_Hdr_Constr<SIP_Head_P_Asserted_Identity>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Subject, "Subject", 's', M::NEVER, SIP_Hdr_Constr<SIP_Head_Subject>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Supported, "Supported", 'k', M::ALWAYS,
                          SIP_Hdr_Constr<SIP_Head_Supported>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Require, "Require", 0, M::ALWAYS, SIP_Hdr_Constr<SIP_Head_Require>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Event, "Event", 'o', M::NEVER, SIP_Hdr_Constr<SIP_Head_Event>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Allow_Events, "Allow-Events", 'u', M::ALWAYS,
                          SIP_Hdr_Constr<SIP_Head_Allow_Events>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Refer_To, "Refer-To", 'r', M::NEVER, SIP_Hdr_Constr<SIP_Head_Refer_To>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Referred_By, "Referred-By", 'b', M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Referred_By>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Call_Info, "Call-Info", 0, M::ALLOW, SIP_Hdr_Constr<SIP_Head_Call_Info>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Session_Expires, "Session-Expires", 'x', M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Session_Expires>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Proxy_Authenticate, "Proxy-Authenticate", 0, M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Proxy_Authenticate>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_WWW_Authenticate, "WWW-Authenticate", 0, M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_WWW_Authenticate>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Proxy_Authorization, "Proxy-Authorization", 0, M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Proxy_Authorization>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Authorization, "Authorization", 0, M::NEVER,
                          SIP_Hdr_Constr<SIP_Head_Authorization>::Creator, false);
    SIP::_Add_Header_Type(SIP::HID_Identity, "Identity", 0, M::ALLOW, SIP_Hdr_Constr<SIP_Head_Identity>::Creator, false);
    return true;
}();

} // namespace
