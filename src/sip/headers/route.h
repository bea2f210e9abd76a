// Address headers: Route and the headers shaped like it (Record-Route, From, To, Refer-To, Referred-By,
// Call-Info, P-Asserted-Identity) and Contact. Each holds a name-addr and the header parameters after it.
// Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"
#include "sip/uri.h"

class SIP_Head_Route : public SIP_HeadCopyable<SIP_Head_Route, SIP_HeadLine>, public SIP_Name_Addr {
public:
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    // Header parameters after the address (tag, expires, q, ...); URI parameters stay in the URI.
    SIP_Params& Params() { return m_HParams; }
    const SIP_Params& Params() const { return m_HParams; }
    // The maddr URI parameter or the host, then the port or 5060.
    std::string Addr() const;

protected:
    SIP_Params m_HParams;
};

class SIP_Head_Record_Route : public SIP_HeadCopyable<SIP_Head_Record_Route, SIP_Head_Route> {};
class SIP_Head_From : public SIP_HeadCopyable<SIP_Head_From, SIP_Head_Route> {};
class SIP_Head_To : public SIP_HeadCopyable<SIP_Head_To, SIP_Head_Route> {};
class SIP_Head_Refer_To : public SIP_HeadCopyable<SIP_Head_Refer_To, SIP_Head_Route> {};
class SIP_Head_Referred_By : public SIP_HeadCopyable<SIP_Head_Referred_By, SIP_Head_Route> {};
class SIP_Head_Call_Info : public SIP_HeadCopyable<SIP_Head_Call_Info, SIP_Head_Route> {};
class SIP_Head_P_Asserted_Identity : public SIP_HeadCopyable<SIP_Head_P_Asserted_Identity, SIP_Head_Route> {};

class SIP_Head_Contact : public SIP_HeadCopyable<SIP_Head_Contact, SIP_Head_Route> {
public:
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    bool Star() const { return m_Star; }

private:
    bool m_Star = false;
};
