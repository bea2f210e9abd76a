#include "sip/headers/auth.h"

#include <cstdio>

#include "foundation/text.h"
#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

const AuthParamHeader::AuthParam AuthParamHeader::kAuthParams[kParamCount] = {
    {"username", QUOTED}, {"realm", QUOTED},  {"domain", QUOTED},   {"nonce", QUOTED},
    {"opaque", QUOTED},   {"uri", QUOTED},    {"response", QUOTED}, {"algorithm", TOKEN},
    {"qop", DEPENDENT},   {"cnonce", QUOTED}, {"nc", COUNTER},      {"stale", BOOLEAN}};

namespace {
std::map<std::string, int, std::less<>> InitParamIds() {
  std::map<std::string, int, std::less<>> ids;
  for (int i = 0; i < AuthParamHeader::kParamCount; ++i) ids.emplace(AuthParamHeader::kAuthParams[i].name, i);
  return ids;
}

bool IsSkippedSeparator(char c) { return IsBlank(c) || c == '"' || c == ','; }

uint32_t ReadHex32(std::string_view s) {
  uint32_t value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      break;
    value = value * 16 + uint32_t(digit);
  }
  return value;
}
}  // namespace

const std::map<std::string, int, std::less<>> AuthParamHeader::param2id = InitParamIds();

bool AuthParamHeader::Parse(std::string_view value) {
  value = TrimLeft(value);
  if (StartsWithIgnoringCase(value, "Digest "))
    value.remove_prefix(7);
  else
    SipReport("Only 'Digest' authentication is supported\n");

  for (;;) {
    value = TrimLeft(value);
    size_t eq = value.find('=');
    if (value.empty() || eq == std::string_view::npos) break;
    std::string_view name = TrimRight(value.substr(0, eq));
    value = TrimLeft(value.substr(eq + 1));
    std::string_view param;
    if (!value.empty() && value[0] == '"') {
      size_t close = value.find('"', 1);
      param = value.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
      value = close == std::string_view::npos ? std::string_view() : value.substr(close + 1);
    } else {
      size_t comma = value.find(',');
      param = Trim(value.substr(0, comma));
      value = comma == std::string_view::npos ? std::string_view() : value.substr(comma);
    }
    while (!value.empty() && IsSkippedSeparator(value[0])) value.remove_prefix(1);

    auto id = param2id.find(name);
    if (id == param2id.end()) continue;
    if (kAuthParams[id->second].type == BOOLEAN) {
      std::string lowered(param);
      stale_ = ToLower(lowered) == "true" ? 'T' : 'F';
    } else if (kAuthParams[id->second].type == COUNTER) {
      nonce_count_ = ReadHex32(param);
    }
    values_[id->second].assign(param);
  }
  return true;
}

std::string& AuthParamHeader::Assemble(std::string& out) const {
  out += "Digest ";
  bool first = true;
  for (const auto& [index, text] : values_) {
    const AuthParam& p = kAuthParams[index];
    if ((p.type == COUNTER && nonce_count_ == 0) || (p.type == BOOLEAN && stale_ == 0)) continue;
    if (!first) out += ", ";
    first = false;
    out += p.name;
    out += '=';
    bool quoted = p.type == QUOTED || (p.type == DEPENDENT && DependentType() == 0);
    if (p.type == COUNTER) {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", nonce_count_);
      out += hex;
    } else if (p.type == BOOLEAN) {
      out += stale_ == 'T' ? "TRUE" : "FALSE";
    } else if (quoted) {
      out += '"';
      out += text;
      out += '"';
    } else {
      out += text;
    }
  }
  return out;
}

const char* AuthParamHeader::Value(std::string_view name) const {
  auto id = param2id.find(name);
  if (id == param2id.end()) return nullptr;
  auto it = values_.find(id->second);
  return it == values_.end() ? nullptr : it->second.c_str();
}
