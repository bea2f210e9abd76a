#include "sip/headers/line_params.h"

#include "sip/scan.h"

using namespace sipscan;

bool LineParamsHeader::Parse(std::string_view value) {
  if (size_t semi = value.find(';'); semi != std::string_view::npos) {
    if (!SipParams::Parse(value.substr(semi))) return false;
    value = value.substr(0, semi);
  }
  value_.assign(Trim(value));
  return true;
}

std::string& LineParamsHeader::Assemble(std::string& out) const {
  out += value_;
  return SipParams::Assemble(out);
}

bool IdentityHeader::Parse(std::string_view value) {
  if (!LineParamsHeader::Parse(value)) return false;
  auto info = params_.find(std::string_view("info"));
  if (info == params_.end()) return false;
  info_ = std::move(info->second);
  params_.erase(info);
  if (auto ppt = params_.find(std::string_view("ppt")); ppt != params_.end()) {
    std::string_view v = ppt->second;
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    property_.assign(v);
    params_.erase(ppt);
  }
  if (info_.empty()) return false;
  if (info_.front() == '<' && info_.back() == '>' && info_.size() >= 2) {
    info_ = info_.substr(1, info_.size() - 2);
    return !info_.empty();
  }
  return info_.size() >= 2;
}

std::string& IdentityHeader::Assemble(std::string& out) const {
  out += value_;
  out += ";info=<";
  out += info_;
  out += '>';
  if (!property_.empty()) {
    out += ";ppt=\"";
    out += property_;
    out += '"';
  }
  return SipParams::Assemble(out);
}
