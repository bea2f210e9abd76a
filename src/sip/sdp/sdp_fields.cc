#include "sip/sdp/sdp_fields.h"

#include "sip/sdp/sdp_scan.h"

using namespace sdp_scan;

namespace {

constexpr std::string_view kModeNames[] = {"", "sendrecv", "recvonly", "sendonly", "inactive"};

SDP_Attrs::Mode_t ModeOf(std::string_view name) {
  for (int m = SDP_Attrs::SENDRECV; m <= SDP_Attrs::INACTIVE; ++m)
    if (name == kModeNames[m]) return static_cast<SDP_Attrs::Mode_t>(m);
  return SDP_Attrs::UNSPECIFIED;
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

bool SDP_Connect::parse(std::string_view value) {
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
  IpAddr_m.assign(addr);
  AddrType_m.assign(type);
  TTL_m = ttl;
  Count_m = count;
  return true;
}

void SDP_Connect::assemble(std::string& out) const {
  if (IpAddr_m.empty()) return;
  out += "c=IN ";
  out += AddrType_m;
  out += ' ';
  out += IpAddr_m;
  if (TTL_m != 0) {
    out += '/';
    AppendInt(out, TTL_m);
    if (Count_m != 0) {
      out += '/';
      AppendInt(out, Count_m);
    }
  }
  out += "\r\n";
}

bool SDP_Bandwidth::parse(std::string_view value) {
  size_t colon = value.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view type = value.substr(0, colon);
  if (Values_m.find(type) == Values_m.end()) Values_m.emplace(type, value.substr(colon + 1));
  return true;
}

void SDP_Bandwidth::assemble(std::string& out) const {
  for (const auto& [type, bw] : Values_m) {
    out += "b=";
    out += type;
    out += ':';
    out += bw;
    out += "\r\n";
  }
}

const char* SDP_Attrs::Attribute(std::string_view name) const {
  for (const auto& [n, v] : Attrs_m)
    if (n == name) return v.c_str();
  return nullptr;
}

bool SDP_Attrs::Remove(std::string_view name) {
  for (auto it = Attrs_m.begin(); it != Attrs_m.end(); ++it) {
    if (it->first == name) {
      Attrs_m.erase(it);
      return true;
    }
  }
  return false;
}

bool SDP_Attrs::parse(std::string_view value) {
  size_t colon = value.find(':');
  std::string_view name = value.substr(0, colon);
  if (name.empty()) return false;
  if (colon != std::string_view::npos) {
    Attrs_m.emplace_back(name, value.substr(colon + 1));
    return true;
  }
  Mode_t mode = ModeOf(name);
  if (mode == UNSPECIFIED) {
    Attrs_m.emplace_back(name, std::string());
    return true;
  }
  if (Mode_m != UNSPECIFIED && Mode_m != mode) {
    Fault("SDP Controversy modes specified\n");
    return false;
  }
  Mode_m = mode;
  return true;
}

void SDP_Attrs::assemble(std::string& out) const {
  if (Mode_m != UNSPECIFIED) {
    out += "a=";
    out += kModeNames[Mode_m];
    out += "\r\n";
  }
  for (const auto& [name, value] : Attrs_m) {
    out += "a=";
    out += name;
    // A direction word received with a colon is an ordinary attribute: the colon keeps it one on re-reading.
    if (!value.empty() || ModeOf(name) != UNSPECIFIED) out += ':';
    out += value;
    out += "\r\n";
  }
}
