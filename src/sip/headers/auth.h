// Digest authentication headers: challenges (Proxy-Authenticate, WWW-Authenticate) and credentials
// (Proxy-Authorization, Authorization). Value objects: one thread at a time; the parameter table is
// built before main and only read afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sip/head_line.h"

class SIP_Auth_Param_Header : public SIP_HeadLine {
public:
    enum ValueType_t { QUOTED = 0, TOKEN = 1, DEPENDENT = 2, BOOLEAN = 3, COUNTER = 4 };
    struct AuthParam {
        const char* name;
        ValueType_t type;
    };
    static constexpr int kParamCount = 12;
    // The digest parameters by index; entries are written in this order.
    static const AuthParam Auth_Params[kParamCount];
    static const std::map<std::string, int, std::less<>> param2id;

    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;
    // 0 for challenges (qop written quoted), 1 for credentials (qop written as a token).
    virtual int DependentType() const = 0;

    const char* Value(std::string_view name) const;
    char Stale() const { return m_Stale; }
    uint32_t NC() const { return m_NC; }

protected:
    std::map<int, std::string> m_Values;
    char m_Stale = 0;
    uint32_t m_NC = 0;
};

class SIP_Head_Proxy_Authenticate : public SIP_HeadCopyable<SIP_Head_Proxy_Authenticate, SIP_Auth_Param_Header> {
public:
    int DependentType() const override { return 0; }
};
class SIP_Head_WWW_Authenticate : public SIP_HeadCopyable<SIP_Head_WWW_Authenticate, SIP_Head_Proxy_Authenticate> {};

class SIP_Head_Proxy_Authorization : public SIP_HeadCopyable<SIP_Head_Proxy_Authorization, SIP_Auth_Param_Header> {
public:
    int DependentType() const override { return 1; }
};
class SIP_Head_Authorization : public SIP_HeadCopyable<SIP_Head_Authorization, SIP_Head_Proxy_Authorization> {};
