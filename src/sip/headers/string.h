// Headers whose value is kept as one trimmed text (Call-ID, User-Agent, Server, Content-Type, Subject,
// Supported, Require, Allow-Events, Session-Expires). Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"

class SIP_Head_String : public SIP_HeadCopyable<SIP_Head_String, SIP_HeadLine> {
public:
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override { return out += m_val; }

    const std::string& Value() const { return m_val; }
    void Value(const std::string& v) { m_val = v; }

protected:
    std::string m_val;
};

class SIP_Head_Call_ID : public SIP_HeadCopyable<SIP_Head_Call_ID, SIP_Head_String> {};
class SIP_Head_User_Agent : public SIP_HeadCopyable<SIP_Head_User_Agent, SIP_Head_String> {};
class SIP_Head_Server : public SIP_HeadCopyable<SIP_Head_Server, SIP_Head_String> {};
class SIP_Head_Content_Type : public SIP_HeadCopyable<SIP_Head_Content_Type, SIP_Head_String> {};
class SIP_Head_Subject : public SIP_HeadCopyable<SIP_Head_Subject, SIP_Head_String> {};
class SIP_Head_Supported : public SIP_HeadCopyable<SIP_Head_Supported, SIP_Head_String> {};
class SIP_Head_Require : public SIP_HeadCopyable<SIP_Head_Require, SIP_Head_String> {};
class SIP_Head_Allow_Events : public SIP_HeadCopyable<SIP_Head_Allow_Events, SIP_Head_String> {};
class SIP_Head_Session_Expires : public SIP_HeadCopyable<SIP_Head_Session_Expires, SIP_Head_String> {};
