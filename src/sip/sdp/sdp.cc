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

std::unique_ptr<SdpMedia> MakeMedia(std::string_view value) {
  if (value.substr(0, 6) == "audio ") return std::make_unique<SdpRtpMedia>(SdpMedia::AUDIO);
  if (value.substr(0, 6) == "video ") return std::make_unique<SdpRtpMedia>(SdpMedia::VIDEO);
  if (value.substr(0, 6) == "image ") return std::make_unique<SdpT38Media>();
  return std::make_unique<SdpOtherMedia>();
}

}  // namespace

struct Sdp::ParseState {
  // The section the following lines belong to: null before the first m= line.
  SdpMedia* current = nullptr;
  // A section whose m= line failed: it takes its own lines and is dropped at the end.
  std::unique_ptr<SdpMedia> broken;
  bool failed = false;
  size_t added = 0;
};

Sdp::Sdp(const Sdp& other) {
  std::string text;
  other.Build(text, true);
  Parse(text);
}

Sdp& Sdp::operator=(const Sdp& other) {
  if (this != &other) *this = Sdp(other);
  return *this;
}

Sdp::Sdp(Sdp&& other) noexcept { *this = std::move(other); }

Sdp& Sdp::operator=(Sdp&& other) noexcept {
  if (this == &other) return *this;
  origin_ = std::move(other.origin_);
  session_name_ = std::move(other.session_name_);
  information_ = std::move(other.information_);
  uri_ = std::move(other.uri_);
  email_ = std::move(other.email_);
  phone_ = std::move(other.phone_);
  connection_ = std::move(other.connection_);
  bandwidth_ = std::move(other.bandwidth_);
  time_ = std::move(other.time_);
  repeat_ = std::move(other.repeat_);
  time_zone_adjust_ = std::move(other.time_zone_adjust_);
  key_ = std::move(other.key_);
  attributes_ = std::move(other.attributes_);
  unknown_ = std::move(other.unknown_);
  medias_ = std::move(other.medias_);
  parsed_ok_ = other.parsed_ok_;
  dirty_ = other.dirty_;
  Adopt();
  return *this;
}

void Sdp::Adopt() {
  for (auto& m : medias_) m->parent_ = this;
}

bool Sdp::assign(std::string_view value, std::string& field) {
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

bool Sdp::Parse(std::string_view text) {
  if (text.empty()) return parsed_ok_ = !medias_.empty();
  ParseState st;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == '\r' || text[pos] == '\n') {
      ++pos;
      continue;
    }
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    ParseLine(text.substr(pos, end - pos), st);
    pos = end;
  }
  return parsed_ok_ = !st.failed && st.added > 0;
}

void Sdp::ParseLine(std::string_view line, ParseState& st) {
  const char tag = line[0];
  const bool has_equals = line.size() >= 2 && line[1] == '=';
  if (!has_equals) Fault("SDP no '=' error\n");
  // The value starts after "x=", also when the '=' is missing; a one-character line has an empty value.
  const std::string_view value = line.size() > 2 ? line.substr(2) : std::string_view();
  SdpMedia* media = st.current;
  bool ok = true;
  switch (tag) {
    case 'v':
      if (value != "0") Fault("SDP version MUST be '0'\n");
      break;
    case 'o':
      ok = assign(value, origin_);
      break;
    case 'u':
      ok = assign(value, uri_);
      break;
    case 'e':
      ok = assign(value, email_);
      break;
    case 'p':
      ok = assign(value, phone_);
      break;
    case 'r':
      ok = assign(value, repeat_);
      break;
    case 'z':
      ok = assign(value, time_zone_adjust_);
      break;
    case 'i':
      ok = assign(value, media ? media->information_ : information_);
      break;
    case 'k':
      ok = assign(value, media ? media->key_ : key_);
      break;
    // A faulty s= or t= line does not spoil the description: the text is written again with defaults.
    case 's':
      if (!assign(value, session_name_)) dirty_ = true;
      break;
    case 't':
      if (!assign(value, time_)) dirty_ = true;
      break;
    case 'c':
      ok = (media ? media->connection_ : connection_).Parse(value);
      break;
    case 'b':
      ok = (media ? media->bandwidth_ : bandwidth_).Parse(value);
      break;
    case 'a':
      ok = media ? media->Attribute(value) : attributes_.Parse(value);
      break;
    case 'm':
      ok = ParseMedia(value, st);
      break;
    default:
      Fault("SDP parse unknown tag\n");
      if (has_equals) (media ? media->unknown_ : unknown_).emplace_back(line);
      break;
  }
  if (!ok) st.failed = true;
}

bool Sdp::ParseMedia(std::string_view value, ParseState& st) {
  std::unique_ptr<SdpMedia> m = MakeMedia(value);
  if (!m->Parse(value)) {
    dirty_ = true;
    st.broken = std::move(m);
    st.current = st.broken.get();
    return false;
  }
  m->parent_ = this;
  st.current = m.get();
  medias_.push_back(std::move(m));
  ++st.added;
  return true;
}

std::string Sdp::Assemble(bool complete) const {
  std::string out;
  Build(out, complete);
  dirty_ = false;
  return out;
}

void Sdp::Build(std::string& out, bool complete) const {
  out.reserve(out.size() + 1024);
  out += "v=0\r\n";
  LineIfSet(out, 'o', origin_);
  if (!session_name_.empty())
    Line(out, 's', session_name_);
  else if (complete)
    out += "s=-\r\n";
  LineIfSet(out, 'i', information_);
  LineIfSet(out, 'u', uri_);
  LineIfSet(out, 'e', email_);
  LineIfSet(out, 'p', phone_);
  connection_.Assemble(out);
  bandwidth_.Assemble(out);
  if (!time_.empty())
    Line(out, 't', time_);
  else if (complete)
    out += "t=0 0\r\n";
  LineIfSet(out, 'r', repeat_);
  LineIfSet(out, 'z', time_zone_adjust_);
  LineIfSet(out, 'k', key_);
  attributes_.Assemble(out);
  for (const auto& line : unknown_) {
    out += line;
    out += "\r\n";
  }
  for (const auto& m : medias_) m->Assemble(out);
}

SdpMedia* Sdp::Media(SdpMedia::MediaKind type) {
  for (auto& m : medias_) {
    if (m->MediaType() == type) {
      m->parent_ = this;
      return m.get();
    }
  }
  return nullptr;
}

const SdpMedia* Sdp::Media(SdpMedia::MediaKind type) const {
  for (const auto& m : medias_)
    if (m->MediaType() == type) return m.get();
  return nullptr;
}

void Sdp::Media(std::unique_ptr<SdpMedia> m) {
  if (!m) return;
  m->parent_ = this;
  for (auto& slot : medias_) {
    if (slot->MediaType() == m->MediaType()) {
      slot = std::move(m);
      return;
    }
  }
  medias_.push_back(std::move(m));
}

bool Sdp::RemoveMedia(SdpMedia::MediaKind type) {
  for (auto it = medias_.begin(); it != medias_.end(); ++it) {
    if ((*it)->MediaType() == type) {
      medias_.erase(it);
      return true;
    }
  }
  return false;
}

bool Sdp::KeepMedias(const SdpMedia* first, const SdpMedia* second) {
  const size_t before = medias_.size();
  std::erase_if(medias_,
                [&](const std::unique_ptr<SdpMedia>& m) { return m.get() != first && m.get() != second; });
  return medias_.size() != before;
}

bool Sdp::Set(char tag, std::string_view value) {
  std::string* field = nullptr;
  switch (tag) {
    case 'o':
      field = &origin_;
      break;
    case 's':
      field = &session_name_;
      break;
    case 'i':
      field = &information_;
      break;
    case 'u':
      field = &uri_;
      break;
    case 'e':
      field = &email_;
      break;
    case 'p':
      field = &phone_;
      break;
    case 't':
      field = &time_;
      break;
    case 'r':
      field = &repeat_;
      break;
    case 'z':
      field = &time_zone_adjust_;
      break;
    case 'k':
      field = &key_;
      break;
    default:
      Fault("SDP set unknown tag\n");
      return false;
  }
  field->assign(value);
  return true;
}

void Sdp::SetAddress(std::string_view addr, bool force) {
  for (auto& m : medias_) {
    if (m->connection_.empty()) continue;
    if (connection_.empty()) connection_ = m->connection_;
    m->connection_.clear();
  }
  if (connection_.address_ == kHoldAddr && !force) return;
  // The address is this system's own choice, a unicast IPv4 address: no received type, TTL or count applies.
  connection_.clear();
  connection_.address_.assign(addr);
}

std::string Sdp::GetAddress() const {
  if (!connection_.empty()) return connection_.address_;
  if (!medias_.empty()) return medias_.front()->connection_.address_;
  return std::string();
}

void Sdp::Expand() {
  for (auto& m : medias_) {
    if (m->connection_.empty() && !connection_.empty()) m->connection_ = connection_;
    if (m->attributes_.Mode() == SdpAttributes::UNSPECIFIED) m->attributes_.Mode(attributes_.Mode());
  }
}
