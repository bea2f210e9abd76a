#include "sip/head_line.h"

#include "sip/report.h"
#include "sip/message.h"

SIP_HeadLine::~SIP_HeadLine()
{
    std::unique_ptr<SIP_HeadLine> next = std::move(m_Next);
    while (next) next = std::move(next->m_Next);
}

std::unique_ptr<SIP_HeadLine> SIP_HeadLine::Copy() const
{
    std::unique_ptr<SIP_HeadLine> head = CopyOne();
    SIP_HeadLine* tail = head.get();
    for (const SIP_HeadLine* l = Next(); l; l = l->Next()) {
        tail->m_Next = l->CopyOne();
        tail = tail->m_Next.get();
    }
    return head;
}

SIP_HeadLine* SIP_HeadLine::last()
{
    SIP_HeadLine* l = this;
    while (l->m_Next) l = l->m_Next.get();
    return l;
}

void SIP_HeadLine::chain(std::unique_ptr<SIP_HeadLine> l) { last()->m_Next = std::move(l); }

void SIP_HeadLine::reverse(std::unique_ptr<SIP_HeadLine>& head)
{
    std::unique_ptr<SIP_HeadLine> reversed;
    while (head) {
        std::unique_ptr<SIP_HeadLine> rest = std::move(head->m_Next);
        head->m_Next = std::move(reversed);
        reversed = std::move(head);
        head = std::move(rest);
    }
    head = std::move(reversed);
}

std::string& SIP_HeadLine::line_assemble(std::string& out, HeadId id, bool longForm, bool noName) const
{
    const SIP_HeadType* type = SIP::_GetHeaderTypeByID(id);
    if (noName || !type || !type->m_Name) {
        // Only raw lines carry their own name; a typed line stored under such a key has none to write.
        for (const SIP_HeadLine* l = this; l; l = l->Next()) {
            if (!dynamic_cast<const SIP_Head_Unknown*>(l)) continue;
            l->assemble(out);
            out += "\r\n";
        }
        return out;
    }
    bool compact = !longForm && type->m_ShortName;
    bool joined = type->m_MultiplyEntity == SIP_HeadType::ALWAYS ||
                  (type->m_MultiplyEntity == SIP_HeadType::ALLOW && !longForm);
    for (const SIP_HeadLine* l = this; l; l = l->Next()) {
        if (l == this || !joined) {
            if (compact) out += type->m_ShortName;
            else out += type->m_Name;
            out += ": ";
        } else {
            out += ", ";
        }
        l->assemble(out);
        if (!joined || !l->Next()) out += "\r\n";
    }
    return out;
}

bool SIP_Head_Unknown::parser(std::string_view)
{
    sip_report("Parse Unknown header as a Specific one\n");
    return false;
}

std::string& SIP_Head_Unknown::assemble(std::string& out) const
{
    out += m_hdr;
    out += ": ";
    out += m_val;
    return out;
}
