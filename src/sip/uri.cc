#include "sip/uri.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace sipscan {

size_t ClosingQuote(std::string_view text, size_t open) {
  for (size_t i = open + 1; i < text.size(); ++i)
    if (text[i] == '"' && text[i - 1] != '\\') return i;
  return std::string_view::npos;
}

}  // namespace sipscan

namespace {

bool TakeScheme(std::string_view& text, std::string& scheme) {
  for (std::string_view s : {std::string_view("sip:"), std::string_view("sips:")}) {
    if (text.substr(0, s.size()) == s) {
      scheme.assign(s);
      text.remove_prefix(s.size());
      return true;
    }
  }
  SipReport("Unknown Scheme in URI\n");
  return false;
}

bool TakeHeaders(std::string_view& text, ParamMap& heads) {
  size_t q = text.find('?');
  if (q == std::string_view::npos) return true;
  std::string_view rest = text.substr(q + 1);
  text = text.substr(0, q);
  for (;;) {
    size_t amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    if (item.empty()) {
      SipReport("Declared Optional Header missing in URI\n");
      return false;
    }
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      SipReport("Optional Header without value");
      heads.insert_or_assign(std::string(item), std::string());
    } else {
      heads.insert_or_assign(std::string(item.substr(0, eq)), std::string(Trim(item.substr(eq + 1))));
    }
    if (amp == std::string_view::npos) return true;
    rest = rest.substr(amp + 1);
  }
}

// Host names and addresses have no blanks or control characters.
bool Printable(std::string_view host) {
  for (char c : host)
    if ((unsigned char)c <= ' ' || c == 0x7f) return false;
  return true;
}

// Ports are 1..65535; anything else after the ':' is refused.
bool TakePort(std::string_view& text, int& port) {
  size_t from = 0;
  if (!text.empty() && text[0] == '[') {
    from = text.find(']');
    if (from == std::string_view::npos) {
      SipReport("Mismatched [] in URI\n");
      return false;
    }
  }
  size_t colon = text.find(':', from);
  if (colon == std::string_view::npos) return true;
  uint64_t value = 0;
  if (!ReadDecimal(text.substr(colon + 1), 65535, value) || value == 0) {
    SipReport("Incorrect Port in URI\n");
    return false;
  }
  port = int(value);
  text = text.substr(0, colon);
  return true;
}

}  // namespace

bool SipUri::Parse(std::string_view text, bool withScheme) {
  text = Trim(text);
  if (withScheme) {
    if (!TakeScheme(text, scheme_)) return false;
    // A SIP URI has no white space inside; one that does cannot be relayed faithfully.
    if (HasBlank(text)) {
      SipReport("White space in URI\n");
      return false;
    }
  }
  user_.clear();
  password_.clear();
  if (size_t at = text.find('@'); at != std::string_view::npos) {
    std::string_view userinfo = text.substr(0, at);
    size_t colon = userinfo.find(':');
    user_.assign(userinfo.substr(0, colon));
    // Assembly writes no user info without a user, so "sip:@host" could not be relayed as received.
    if (user_.empty()) {
      SipReport("Empty User in URI\n");
      return false;
    }
    if (colon != std::string_view::npos) password_.assign(userinfo.substr(colon + 1));
    text.remove_prefix(at + 1);
  }
  if (!TakeHeaders(text, uri_headers_)) return false;
  if (size_t semi = text.find(';'); semi != std::string_view::npos) {
    if (!SipParams::Parse(text.substr(semi))) return false;
    text = text.substr(0, semi);
  }
  text = TrimRight(text);
  if (!TakePort(text, port_)) return false;
  if (text.empty() || !Printable(text)) {
    SipReport("Incorrect Host in URI\n");
    return false;
  }
  host_.assign(text);
  return true;
}

std::string& SipUri::Assemble(std::string& out) const {
  out += scheme_;
  if (!user_.empty()) {
    out += user_;
    if (!password_.empty()) {
      out += ':';
      out += password_;
    }
    out += '@';
  }
  out += host_;
  if (port_ != 0) {
    out += ':';
    out += std::to_string(port_);
  }
  SipParams::Assemble(out);
  char sep = '?';
  for (const auto& [name, value] : uri_headers_) {
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

std::string SipUri::Address() const { return host_ + ':' + std::to_string(SPort()); }

const char* SipUri::OHeads(std::string_view name) const {
  auto it = uri_headers_.find(name);
  return it == uri_headers_.end() ? nullptr : it->second.c_str();
}

void SipUri::OHeadsRemove(std::string_view name) {
  if (auto it = uri_headers_.find(name); it != uri_headers_.end()) uri_headers_.erase(it);
}

namespace {

// Removes the \" pairs some agents wrap a quoted display name in; never leaves a trailing backslash,
// which would escape the closing quote when the name is written back.
std::string_view UnwrapDisplayName(std::string_view name) {
  if (name.substr(0, 2) != "\\\"") return name;
  if (name.size() < 3) return {};
  if (name.size() >= 4 && name.substr(name.size() - 2) == "\\\"") {
    std::string_view inner = name.substr(2, name.size() - 4);
    if (inner.empty() || inner.back() != '\\') return inner;
  }
  return name;
}

bool IsTokenChar(char c) {
  if ((unsigned char)c >= 0x80) return true;  // unquoted UTF-8 names are common enough to let through
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-.!%*_+`'~ \t").find(c) != std::string_view::npos;
}

}  // namespace

bool SipNameAddress::Parse(std::string_view text) {
  text = TrimLeft(text);
  size_t from = 0;
  bool quoted = !text.empty() && text[0] == '"';
  std::string_view quoted_name;
  if (quoted) {
    size_t close = ClosingQuote(text, 0);
    if (close == std::string_view::npos) {
      SipReport("Unmached \" in Name\n");
      return false;
    }
    quoted_name = UnwrapDisplayName(text.substr(1, close - 1));
    from = close + 1;
  }
  size_t lt = text.find('<', from);
  size_t gt = text.find('>', from);
  if (lt == std::string_view::npos && gt == std::string_view::npos) {
    full_name_.clear();
    return SipUri::Parse(text, true);
  }
  if (lt == std::string_view::npos || gt == std::string_view::npos || gt != TrimRight(text).size() - 1 ||
      gt < lt) {
    SipReport("Could not find < or > in Name\n");
    return false;
  }
  if (quoted) {
    full_name_.assign(quoted_name);
  } else {
    std::string_view token = Trim(text.substr(0, lt));
    for (char c : token) {
      if (!IsTokenChar(c)) {
        SipReport("Incorrect Display Name\n");
        return false;
      }
    }
    full_name_.assign(token);
  }
  std::string_view inner = text.substr(lt + 1, gt - lt - 1);
  if (!inner.empty() && (IsBlank(inner.front()) || IsBlank(inner.back()))) {
    SipReport("White space in URI\n");
    return false;
  }
  return SipUri::Parse(inner, true);
}

std::string& SipNameAddress::Assemble(std::string& out) const {
  if (!full_name_.empty()) {
    out += '"';
    out += full_name_;
    out += "\" ";
  }
  out += '<';
  SipUri::Assemble(out);
  out += '>';
  return out;
}
