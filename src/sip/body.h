// The body of a SIP message, kept as the text received (bytes, NULs included).
// Value object: one thread at a time.
#pragma once

#include <string>
#include <string_view>

// The parsed SDP model attaches here (an owned SDP object regenerated into the text when changed); until
// it does, the body travels as raw text.
class SIP_Body {
public:
    const std::string& Body() const { return m_Body; }
    void Body(std::string_view text) { m_Body.assign(text); }
    void clear() { m_Body.clear(); }
    size_t size() const { return m_Body.size(); }
    bool empty() const { return m_Body.empty(); }
    // Takes the rest of the text as the body; always succeeds.
    bool parser(std::string_view text)
    {
        m_Body.assign(text);
        return true;
    }

protected:
    std::string m_Body;
};
