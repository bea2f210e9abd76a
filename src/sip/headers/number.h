// Headers holding one decimal number (Max-Forwards, Expires, Content-Length). Values outside the int range
// are clamped to it. Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"

class SIP_Head_Max_Forwards : public SIP_HeadCopyable<SIP_Head_Max_Forwards, SIP_HeadLine> {
public:
    // Like atoi (non-numeric text gives 0), saturating instead of wrapping; never fails.
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    int Value() const { return m_Value; }
    void Value(int v) { m_Value = v; }

protected:
    int m_Value = 0;
};

class SIP_Head_Expires : public SIP_HeadCopyable<SIP_Head_Expires, SIP_Head_Max_Forwards> {};
class SIP_Head_Content_Length : public SIP_HeadCopyable<SIP_Head_Content_Length, SIP_Head_Max_Forwards> {};
