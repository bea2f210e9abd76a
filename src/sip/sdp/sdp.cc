#include "sip/sdp/sdp.h"

#include "sip/sdp/sdp_scan.h"

using namespace sdp_scan;

namespace {

constexpr std::string_view kHoldAddr = "0.0.0.0";

void Line(std::string& out, char tag, const std::string& value) {
  out += tag;
  out += '=';
  out += value;
  out += "\r\n";
}

void LineIfSet(std::string& out, char tag, const std::string& value) {
  if (!value.empty()) Line(out, tag, value);
}

std::unique_ptr<SDP_Media> MakeMedia(std::string_view value) {
  if (value.substr(0, 6) == "audio ") return std::make_unique<SDP_Media_RTP>(SDP_Media::AUDIO);
  if (value.substr(0, 6) == "video ") return std::make_unique<SDP_Media_RTP>(SDP_Media::VIDEO);
  if (value.substr(0, 6) == "image ") return std::make_unique<SDP_Media_T38>();
  return std::make_unique<SDP_Media_Other>();
}

}  // namespace

struct SDP::ParseState {
  // The section the following lines belong to: null before the first m= line.
  SDP_Media* current = nullptr;
  // A section whose m= line failed: it takes its own lines and is dropped at the end.
  std::unique_ptr<SDP_Media> broken;
  bool failed = false;
  size_t added = 0;
};

SDP::SDP(const SDP& other) {
  std::string text;
  other.build(text, true);
  parse(text);
}

SDP& SDP::operator=(const SDP& other) {
  if (this != &other) *this = SDP(other);
  return *this;
}

SDP::SDP(SDP&& other) noexcept { *this = std::move(other); }

SDP& SDP::operator=(SDP&& other) noexcept {
  if (this == &other) return *this;
  Origin_m = std::move(other.Origin_m);
  SName_m = std::move(other.SName_m);
  SInfo_m = std::move(other.SInfo_m);
  URI_m = std::move(other.URI_m);
  Email_m = std::move(other.Email_m);
  Phone_m = std::move(other.Phone_m);
  SConn_m = std::move(other.SConn_m);
  SBandw_m = std::move(other.SBandw_m);
  Time_m = std::move(other.Time_m);
  Repeat_m = std::move(other.Repeat_m);
  TzAdjust_m = std::move(other.TzAdjust_m);
  Key_m = std::move(other.Key_m);
  SAttrs_m = std::move(other.SAttrs_m);
  Unknown_m = std::move(other.Unknown_m);
  Medias_m = std::move(other.Medias_m);
  pok_m = other.pok_m;
  dirty_m = other.dirty_m;
  adopt();
  return *this;
}

void SDP::adopt() {
  for (auto& m : Medias_m) m->Parent_m = this;
}

bool SDP::assign(std::string_view value, std::string& field) {
  if (value.empty()) {
    Fault("SDP Value is missing\n");
    return false;
  }
  if (!field.empty()) {
    Fault("SDP Attempt to reassign value\n");
    return false;
  }
  field.assign(value);
  return true;
}

bool SDP::parse(std::string_view text) {
  if (text.empty()) return pok_m = !Medias_m.empty();
  ParseState st;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == '\r' || text[pos] == '\n') {
      ++pos;
      continue;
    }
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    parseLine(text.substr(pos, end - pos), st);
    pos = end;
  }
  return pok_m = !st.failed && st.added > 0;
}

void SDP::parseLine(std::string_view line, ParseState& st) {
  const char tag = line[0];
  const bool has_equals = line.size() >= 2 && line[1] == '=';
  if (!has_equals) Fault("SDP no '=' error\n");
  // The value starts after "x=", also when the '=' is missing; a one-character line has an empty value.
  const std::string_view value = line.size() > 2 ? line.substr(2) : std::string_view();
  SDP_Media* media = st.current;
  bool ok = true;
  switch (tag) {
    case 'v':
      if (value != "0") Fault("SDP version MUST be '0'\n");
      break;
    case 'o': ok = assign(value, Origin_m); break;
    case 'u': ok = assign(value, URI_m); break;
    case 'e': ok = assign(value, Email_m); break;
    case 'p': ok = assign(value, Phone_m); break;
    case 'r': ok = assign(value, Repeat_m); break;
    case 'z': ok = assign(value, TzAdjust_m); break;
    case 'i': ok = assign(value, media ? media->MInfo_m : SInfo_m); break;
    case 'k': ok = assign(value, media ? media->MKey_m : Key_m); break;
    // A faulty s= or t= line does not spoil the description: the text is written again with defaults.
    case 's':
      if (!assign(value, SName_m)) dirty_m = true;
      break;
    case 't':
      if (!assign(value, Time_m)) dirty_m = true;
      break;
    case 'c': ok = (media ? media->MConn_m : SConn_m).parse(value); break;
    case 'b': ok = (media ? media->MBandw_m : SBandw_m).parse(value); break;
    case 'a': ok = media ? media->attrib(value) : SAttrs_m.parse(value); break;
    case 'm': ok = parseMedia(value, st); break;
    default:
      Fault("SDP parse unknown tag\n");
      if (has_equals) (media ? media->Unknown_m : Unknown_m).emplace_back(line);
      break;
  }
  if (!ok) st.failed = true;
}

bool SDP::parseMedia(std::string_view value, ParseState& st) {
  std::unique_ptr<SDP_Media> m = MakeMedia(value);
  if (!m->parse(value)) {
    dirty_m = true;
    st.broken = std::move(m);
    st.current = st.broken.get();
    return false;
  }
  m->Parent_m = this;
  st.current = m.get();
  Medias_m.push_back(std::move(m));
  ++st.added;
  return true;
}

std::string SDP::assemble(bool complete) const {
  std::string out;
  build(out, complete);
  dirty_m = false;
  return out;
}

void SDP::build(std::string& out, bool complete) const {
  out.reserve(out.size() + 1024);
  out += "v=0\r\n";
  LineIfSet(out, 'o', Origin_m);
  if (!SName_m.empty())
    Line(out, 's', SName_m);
  else if (complete)
    out += "s=-\r\n";
  LineIfSet(out, 'i', SInfo_m);
  LineIfSet(out, 'u', URI_m);
  LineIfSet(out, 'e', Email_m);
  LineIfSet(out, 'p', Phone_m);
  SConn_m.assemble(out);
  SBandw_m.assemble(out);
  if (!Time_m.empty())
    Line(out, 't', Time_m);
  else if (complete)
    out += "t=0 0\r\n";
  LineIfSet(out, 'r', Repeat_m);
  LineIfSet(out, 'z', TzAdjust_m);
  LineIfSet(out, 'k', Key_m);
  SAttrs_m.assemble(out);
  for (const auto& line : Unknown_m) {
    out += line;
    out += "\r\n";
  }
  for (const auto& m : Medias_m) m->assemble(out);
}

SDP_Media* SDP::Media(SDP_Media::MediaType_t type) {
  for (auto& m : Medias_m) {
    if (m->MediaType() == type) {
      m->Parent_m = this;
      return m.get();
    }
  }
  return nullptr;
}

const SDP_Media* SDP::Media(SDP_Media::MediaType_t type) const {
  for (const auto& m : Medias_m)
    if (m->MediaType() == type) return m.get();
  return nullptr;
}

void SDP::Media(std::unique_ptr<SDP_Media> m) {
  if (!m) return;
  m->Parent_m = this;
  for (auto& slot : Medias_m) {
    if (slot->MediaType() == m->MediaType()) {
      slot = std::move(m);
      return;
    }
  }
  Medias_m.push_back(std::move(m));
}

bool SDP::RemoveMedia(SDP_Media::MediaType_t type) {
  for (auto it = Medias_m.begin(); it != Medias_m.end(); ++it) {
    if ((*it)->MediaType() == type) {
      Medias_m.erase(it);
      return true;
    }
  }
  return false;
}

bool SDP::set(char tag, std::string_view value) {
  std::string* field = nullptr;
  switch (tag) {
    case 'o': field = &Origin_m; break;
    case 's': field = &SName_m; break;
    case 'i': field = &SInfo_m; break;
    case 'u': field = &URI_m; break;
    case 'e': field = &Email_m; break;
    case 'p': field = &Phone_m; break;
    case 't': field = &Time_m; break;
    case 'r': field = &Repeat_m; break;
    case 'z': field = &TzAdjust_m; break;
    case 'k': field = &Key_m; break;
    default:
      Fault("SDP set unknown tag\n");
      return false;
  }
  field->assign(value);
  return true;
}

void SDP::SetAddr(std::string_view addr, bool force) {
  for (auto& m : Medias_m) {
    if (m->MConn_m.empty()) continue;
    if (SConn_m.empty()) SConn_m = m->MConn_m;
    m->MConn_m.clear();
  }
  if (SConn_m.IpAddr_m == kHoldAddr && !force) return;
  // The address is this system's own choice, a unicast IPv4 address: no received type, TTL or count applies.
  SConn_m.clear();
  SConn_m.IpAddr_m.assign(addr);
}

std::string SDP::GetAddr() const {
  if (!SConn_m.empty()) return SConn_m.IpAddr_m;
  if (!Medias_m.empty()) return Medias_m.front()->MConn_m.IpAddr_m;
  return std::string();
}

void SDP::expand() {
  for (auto& m : Medias_m) {
    if (m->MConn_m.empty() && !SConn_m.empty()) m->MConn_m = SConn_m;
    if (m->MAttrs_m.Mode() == SDP_Attrs::UNSPECIFIED) m->MAttrs_m.Mode(SAttrs_m.Mode());
  }
}
