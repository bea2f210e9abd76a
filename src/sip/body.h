// The body of a SIP message: the text received (bytes, NULs included) and, once asked for, its parsed SDP,
// which is written back into the text only when it was changed. Value object: one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sip/sdp/sdp.h"

class SIP_Body {
public:
    SIP_Body() = default;
    // A copy takes the text (regenerated from a changed SDP), never the SDP object.
    SIP_Body(const SIP_Body& other) : m_Body(other.Body()) {}
    SIP_Body& operator=(const SIP_Body& other)
    {
        if (this != &other) {
            m_Body = other.Body();
            m_sdp.reset();
        }
        return *this;
    }
    SIP_Body(SIP_Body&&) noexcept = default;
    SIP_Body& operator=(SIP_Body&&) noexcept = default;

    // The text; a changed SDP (or one whose text is empty) is assembled into it first.
    const std::string& Body() const
    {
        if (m_sdp && (m_sdp->isdirty() || m_Body.empty())) m_Body = m_sdp->assemble(true);
        return m_Body;
    }
    // Sets the text and forgets the parsed SDP.
    void Body(std::string_view text)
    {
        m_Body.assign(text);
        m_sdp.reset();
    }
    // The parsed SDP, parsed from the text on first use; null when it does not parse. A partly read SDP
    // stays when keepPartial and it has at least one media description.
    SDP* GetSDP(bool keepPartial = false)
    {
        if (m_sdp) return m_sdp.get();
        auto sdp = std::make_unique<SDP>();
        if (sdp->parse(m_Body) || (keepPartial && !sdp->Medias().empty())) m_sdp = std::move(sdp);
        return m_sdp.get();
    }
    // Takes ownership; the text is regenerated from it.
    void SetSDP(std::unique_ptr<SDP> sdp)
    {
        m_Body.clear();
        m_sdp = std::move(sdp);
    }
    bool HasSDP() const { return m_sdp != nullptr; }
    void clear()
    {
        m_Body.clear();
        m_sdp.reset();
    }
    size_t size() const { return Body().size(); }
    bool empty() const { return Body().empty(); }
    // Takes the rest of the text as the body; always succeeds.
    bool parser(std::string_view text)
    {
        Body(text);
        return true;
    }

protected:
    mutable std::string m_Body;
    std::unique_ptr<SDP> m_sdp;
};
