#include "sip/uri.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace sipscan {

size_t closing_quote(std::string_view text, size_t open)
{
    for (size_t i = open + 1; i < text.size(); ++i)
        if (text[i] == '"' && text[i - 1] != '\\') return i;
    return std::string_view::npos;
}

} // namespace sipscan

namespace {

bool take_scheme(std::string_view& text, std::string& scheme)
{
    for (std::string_view s : {std::string_view("sip:"), std::string_view("sips:")}) {
        if (text.substr(0, s.size()) == s) {
            scheme.assign(s);
            text.remove_prefix(s.size());
            return true;
        }
    }
    sip_report("Unknown Scheme in URI\n");
    return false;
}

bool take_headers(std::string_view& text, Attrb_t& heads)
{
    size_t q = text.find('?');
    if (q == std::string_view::npos) return true;
    std::string_view rest = text.substr(q + 1);
    text = text.substr(0, q);
    for (;;) {
        size_t amp = rest.find('&');
        std::string_view item = rest.substr(0, amp);
        if (item.empty()) {
            sip_report("Declared Optional Header missing in URI\n");
            return false;
        }
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            sip_report("Optional Header without value");
            heads.insert_or_assign(std::string(item), std::string());
        } else {
            heads.insert_or_assign(std::string(item.substr(0, eq)), std::string(trim(item.substr(eq + 1))));
        }
        if (amp == std::string_view::npos) return true;
        rest = rest.substr(amp + 1);
    }
}

// Host names and addresses have no blanks or control characters.
bool printable(std::string_view host)
{
    for (char c : host)
        if ((unsigned char)c <= ' ' || c == 0x7f) return false;
    return true;
}

// Ports are 1..65535; anything else after the ':' is refused.
bool take_port(std::string_view& text, int& port)
{
    size_t from = 0;
    if (!text.empty() && text[0] == '[') {
        from = text.find(']');
        if (from == std::string_view::npos) {
            sip_report("Mismatched [] in URI\n");
            return false;
        }
    }
    size_t colon = text.find(':', from);
    if (colon == std::string_view::npos) return true;
    uint64_t value = 0;
    if (!read_decimal(text.substr(colon + 1), 65535, value) || value == 0) {
        sip_report("Incorrect Port in URI\n");
        return false;
    }
    port = int(value);
    text = text.substr(0, colon);
    return true;
}

} // namespace

bool SIP_URI::parser(std::string_view text, bool withScheme)
{
    text = trim(text);
    if (withScheme) {
        if (!take_scheme(text, m_Scheme)) return false;
        // A SIP URI has no white space inside; one that does cannot be relayed faithfully.
        if (has_blank(text)) {
            sip_report("White space in URI\n");
            return false;
        }
    }
    m_User.clear();
    m_Password.clear();
    if (size_t at = text.find('@'); at != std::string_view::npos) {
        std::string_view userinfo = text.substr(0, at);
        size_t colon = userinfo.find(':');
        m_User.assign(userinfo.substr(0, colon));
        // Assembly writes no user info without a user, so "sip:@host" could not be relayed as received.
        if (m_User.empty()) {
            sip_report("Empty User in URI\n");
            return false;
        }
        if (colon != std::string_view::npos) m_Password.assign(userinfo.substr(colon + 1));
        text.remove_prefix(at + 1);
    }
    if (!take_headers(text, m_OHeads)) return false;
    if (size_t semi = text.find(';'); semi != std::string_view::npos) {
        if (!SIP_Params::parser(text.substr(semi))) return false;
        text = text.substr(0, semi);
    }
    text = rtrim(text);
    if (!take_port(text, m_Port)) return false;
    if (text.empty() || !printable(text)) {
        sip_report("Incorrect Host in URI\n");
        return false;
    }
    m_Host.assign(text);
    return true;
}

std::string& SIP_URI::assemble(std::string& out) const
{
    out += m_Scheme;
    if (!m_User.empty()) {
        out += m_User;
        if (!m_Password.empty()) {
            out += ':';
            out += m_Password;
        }
        out += '@';
    }
    out += m_Host;
    if (m_Port != 0) {
        out += ':';
        out += std::to_string(m_Port);
    }
    SIP_Params::assemble(out);
    char sep = '?';
    for (const auto& [name, value] : m_OHeads) {
        out += sep;
        sep = '&';
        out += name;
        if (!value.empty()) {
            out += '=';
            out += value;
        }
    }
    return out;
}

std::string SIP_URI::Addr() const { return m_Host + ':' + std::to_string(SPort()); }

const char* SIP_URI::OHeads(std::string_view name) const
{
    auto it = m_OHeads.find(name);
    return it == m_OHeads.end() ? nullptr : it->second.c_str();
}

void SIP_URI::OHeadsRemove(std::string_view name)
{
    if (auto it = m_OHeads.find(name); it != m_OHeads.end()) m_OHeads.erase(it);
}

namespace {

// Removes the \" pairs some agents wrap a quoted display name in; never leaves a trailing backslash,
// which would escape the closing quote when the name is written back.
std::string_view unwrap_display_name(std::string_view name)
{
    if (name.substr(0, 2) != "\\\"") return name;
    if (name.size() < 3) return {};
    if (name.size() >= 4 && name.substr(name.size() - 2) == "\\\"") {
        std::string_view inner = name.substr(2, name.size() - 4);
        if (inner.empty() || inner.back() != '\\') return inner;
    }
    return name;
}

bool is_token_char(char c)
{
    if ((unsigned char)c >= 0x80) return true; // unquoted UTF-8 names are common enough to let through
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-.!%*_+`'~ \t").find(c) != std::string_view::npos;
}

} // namespace

bool SIP_Name_Addr::parser(std::string_view text)
{
    text = ltrim(text);
    size_t from = 0;
    bool quoted = !text.empty() && text[0] == '"';
    std::string_view quoted_name;
    if (quoted) {
        size_t close = closing_quote(text, 0);
        if (close == std::string_view::npos) {
            sip_report("Unmached \" in Name\n");
            return false;
        }
        quoted_name = unwrap_display_name(text.substr(1, close - 1));
        from = close + 1;
    }
    size_t lt = text.find('<', from);
    size_t gt = text.find('>', from);
    if (lt == std::string_view::npos && gt == std::string_view::npos) {
        m_FullName.clear();
        return SIP_URI::parser(text, true);
    }
    if (lt == std::string_view::npos || gt == std::string_view::npos || gt != rtrim(text).size() - 1 || gt < lt) {
        sip_report("Could not find < or > in Name\n");
        return false;
    }
    if (quoted) {
        m_FullName.assign(quoted_name);
    } else {
        std::string_view token = trim(text.substr(0, lt));
        for (char c : token) {
            if (!is_token_char(c)) {
                sip_report("Incorrect Display Name\n");
                return false;
            }
        }
        m_FullName.assign(token);
    }
    std::string_view inner = text.substr(lt + 1, gt - lt - 1);
    if (!inner.empty() && (is_blank(inner.front()) || is_blank(inner.back()))) {
        sip_report("White space in URI\n");
        return false;
    }
    return SIP_URI::parser(inner, true);
}

std::string& SIP_Name_Addr::assemble(std::string& out) const
{
    if (!m_FullName.empty()) {
        out += '"';
        out += m_FullName;
        out += "\" ";
    }
    out += '<';
    SIP_URI::assemble(out);
    out += '>';
    return out;
}
