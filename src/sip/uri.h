// SIP URIs ("sip:user:password@host:port;params?headers") and name-addr values ("Name" <uri>) with their
// parsers and assemblers. Value objects: one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include "sip/params.h"

// The inherited parameter map holds the URI parameters.
class SIP_URI : public SIP_Params {
public:
    // Parses into this object without resetting it first; withScheme requires "sip:" or "sips:" in front.
    bool parser(std::string_view text, bool withScheme);
    std::string& assemble(std::string& out) const;

    const std::string& Scheme() const { return m_Scheme; }
    void Scheme(const std::string& s) { m_Scheme = s; }
    const std::string& User() const { return m_User; }
    void User(const std::string& u) { m_User = u; }
    const std::string& Password() const { return m_Password; }
    void Password(const std::string& p) { m_Password = p; }
    const std::string& Host() const { return m_Host; }
    void Host(const std::string& h) { m_Host = h; }
    int Port() const { return m_Port; }
    void Port(int p) { m_Port = p; }
    // The port, or 5060 when the URI has none.
    int SPort() const { return m_Port ? m_Port : 5060; }
    // host:port with the default port filled in, e.g. "10.0.0.1:5060".
    std::string Addr() const;

    const char* OHeads(std::string_view name) const;
    void OHeads(const std::string& name, const std::string& value) { m_OHeads.insert_or_assign(name, value); }
    void OHeadsRemove(std::string_view name);
    void OHClear() { m_OHeads.clear(); }
    const Attrb_t& OHeads_Map() const { return m_OHeads; }

protected:
    std::string m_Scheme;
    std::string m_User;
    std::string m_Password;
    std::string m_Host;
    int m_Port = 0;
    Attrb_t m_OHeads;
};

// A display name with a URI; the name is kept without its quotes.
class SIP_Name_Addr : public SIP_URI {
public:
    bool parser(std::string_view text);
    std::string& assemble(std::string& out) const;

    const std::string& FullName() const { return m_FullName; }
    void FullName(const std::string& n) { m_FullName = n; }

protected:
    std::string m_FullName;
};

namespace sipscan {
// Position of the double quote closing a quoted string opened at text[open], or npos. A quote preceded
// by a backslash does not close.
size_t closing_quote(std::string_view text, size_t open);
} // namespace sipscan
