#include "sip/sdp/sdp_fields.h"

#include "sip/sdp/sdp_scan.h"

using namespace sdp_scan;

namespace {

constexpr std::string_view kModeNames[] = {"", "sendrecv", "recvonly", "sendonly", "inactive"};

SdpAttributes::MediaDirection ModeOf(std::string_view name) {
  for (int m = SdpAttributes::SENDRECV; m <= SdpAttributes::INACTIVE; ++m)
    if (name == kModeNames[m]) return static_cast<SdpAttributes::MediaDirection>(m);
  return SdpAttributes::UNSPECIFIED;
}

bool NonEmptyNumber(std::string_view part, int& out) { return !part.empty() && LeadingNumber(part, out); }

// "ttl[/count]": each part given must not be empty; anything after a further '/' is ignored.
bool TtlCount(std::string_view parts, int& ttl, int& count) {
  size_t slash = parts.find('/');
  if (!NonEmptyNumber(parts.substr(0, slash), ttl)) return false;
  if (slash == std::string_view::npos) return true;
  std::string_view rest = parts.substr(slash + 1);
  return NonEmptyNumber(rest.substr(0, rest.find('/')), count);
}

}  // namespace

bool SdpConnection::Parse(std::string_view value) {
  std::string_view rest = SkipBlanks(value);
  TakeWord(rest);  // network type: only "IN" is ever written
  rest = SkipBlanks(rest);
  std::string_view type = TakeWord(rest);
  rest = SkipBlanks(rest);
  size_t slash = rest.find('/');
  std::string_view addr = rest.substr(0, slash);
  if (addr.empty()) return false;
  int ttl = 0, count = 0;
  if (slash != std::string_view::npos && !TtlCount(rest.substr(slash + 1), ttl, count)) return false;
  address_.assign(addr);
  address_type_.assign(type);
  ttl_ = ttl;
  count_ = count;
  return true;
}

void SdpConnection::Assemble(std::string& out) const {
  if (address_.empty()) return;
  out += "c=IN ";
  out += address_type_;
  out += ' ';
  out += address_;
  if (ttl_ != 0) {
    out += '/';
    AppendInt(out, ttl_);
    if (count_ != 0) {
      out += '/';
      AppendInt(out, count_);
    }
  }
  out += "\r\n";
}

bool SdpBandwidth::Parse(std::string_view value) {
  size_t colon = value.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view type = value.substr(0, colon);
  if (values_.find(type) == values_.end()) values_.emplace(type, value.substr(colon + 1));
  return true;
}

void SdpBandwidth::Assemble(std::string& out) const {
  for (const auto& [type, bw] : values_) {
    out += "b=";
    out += type;
    out += ':';
    out += bw;
    out += "\r\n";
  }
}

const char* SdpAttributes::Attribute(std::string_view name) const {
  for (const auto& [n, v] : attributes_)
    if (n == name) return v.c_str();
  return nullptr;
}

bool SdpAttributes::Remove(std::string_view name) {
  for (auto it = attributes_.begin(); it != attributes_.end(); ++it) {
    if (it->first == name) {
      attributes_.erase(it);
      return true;
    }
  }
  return false;
}

bool SdpAttributes::Parse(std::string_view value) {
  size_t colon = value.find(':');
  std::string_view name = value.substr(0, colon);
  if (name.empty()) return false;
  if (colon != std::string_view::npos) {
    attributes_.emplace_back(name, value.substr(colon + 1));
    return true;
  }
  MediaDirection mode = ModeOf(name);
  if (mode == UNSPECIFIED) {
    attributes_.emplace_back(name, std::string());
    return true;
  }
  if (mode_ != UNSPECIFIED && mode_ != mode) {
    Fault("SDP Controversy modes specified\n");
    return false;
  }
  mode_ = mode;
  return true;
}

void SdpAttributes::Assemble(std::string& out) const {
  if (mode_ != UNSPECIFIED) {
    out += "a=";
    out += kModeNames[mode_];
    out += "\r\n";
  }
  for (const auto& [name, value] : attributes_) {
    out += "a=";
    out += name;
    // A direction word received with a colon is an ordinary attribute: the colon keeps it one on re-reading.
    if (!value.empty() || ModeOf(name) != UNSPECIFIED) out += ':';
    out += value;
    out += "\r\n";
  }
}
