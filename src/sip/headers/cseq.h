// The CSeq header: sequence number and method. Value object: one thread at a time.
#pragma once

#include "sip/head_line.h"
#include "sip/start_line.h"

class SIP_Head_CSeq : public SIP_HeadCopyable<SIP_Head_CSeq, SIP_HeadLine> {
public:
    // "number method"; fails on an unknown method, a missing blank, or a number outside 0..2^31-1.
    bool parser(std::string_view value) override;
    std::string& assemble(std::string& out) const override;

    int SeqNo() const { return m_SeqNo; }
    void SeqNo(int n) { m_SeqNo = n; }
    SIP_StartLine::Method_t Method() const { return m_Method; }
    void Method(SIP_StartLine::Method_t m) { m_Method = m; }

private:
    int32_t m_SeqNo = 0;
    SIP_StartLine::Method_t m_Method = SIP_StartLine::Blank_Method;
};
