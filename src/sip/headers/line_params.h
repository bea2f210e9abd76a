// Headers made of a value and parameters (Event, Identity). Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"
#include "sip/params.h"

class SIP_Head_LineParams : public SIP_HeadCopyable<SIP_Head_LineParams, SIP_HeadLine>, public SIP_Params {
public:
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    const std::string& Value() const { return m_val; }
    void Value(const std::string& v) { m_val = v; }

protected:
    std::string m_val;
};

class SIP_Head_Event : public SIP_HeadCopyable<SIP_Head_Event, SIP_Head_LineParams> {};

// The info parameter (without its angle brackets) and ppt (without its quotes) are kept apart from the
// other parameters.
class SIP_Head_Identity : public SIP_HeadCopyable<SIP_Head_Identity, SIP_Head_LineParams> {
public:
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    const std::string& Info() const { return m_Info; }
    const std::string& Ppt() const { return m_Ppt; }

private:
    std::string m_Info;
    std::string m_Ppt;
};
