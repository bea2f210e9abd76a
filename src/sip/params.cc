#include "sip/params.h"

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {

// Stores one "name=value" / "name" item; an empty name is skipped, an existing name is replaced.
void StoreParam(ParamMap& params, std::string_view item) {
  std::string_view name = item, value;
  if (size_t eq = item.find('='); eq != std::string_view::npos) {
    name = item.substr(0, eq);
    value = Trim(item.substr(eq + 1));
  }
  name = Trim(name);
  if (name.empty()) return;
  params.insert_or_assign(std::string(name), std::string(value));
}

}  // namespace

bool SipParams::Parse(std::string_view text) {
  text = TrimLeft(text);
  if (text.empty()) return true;
  if (text[0] != ';') {
    SipReport("Parameters must begin with char ';'\n");
    return false;
  }
  // Taken apart from the end so that the first occurrence of a repeated name is the one that stays.
  while (!text.empty()) {
    bool quoted = false;
    size_t i = text.size();
    while (i > 0) {
      char c = text[i - 1];
      if (c == '"')
        quoted = !quoted;
      else if (c == ';' && !quoted)
        break;
      --i;
    }
    if (i == 0) {
      SipReport("Unmached \" in Params\n");
      return false;
    }
    StoreParam(params_, text.substr(i));
    text = text.substr(0, i - 1);
  }
  return true;
}

std::string& SipParams::Assemble(std::string& out) const {
  for (const auto& [name, value] : params_) {
    out += ';';
    out += name;
    if (!value.empty()) {
      out += '=';
      out += value;
    }
  }
  return out;
}

const char* SipParams::Param(std::string_view name) const {
  auto it = params_.find(name);
  return it == params_.end() ? nullptr : it->second.c_str();
}

void SipParams::Param(const std::string& name, const std::string& value) {
  params_.insert_or_assign(name, value);
}

void SipParams::Remove(std::string_view name) {
  if (auto it = params_.find(name); it != params_.end()) params_.erase(it);
}
