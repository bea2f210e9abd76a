#include "sip/sdp/sdp_media.h"

#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_scan.h"

using namespace sdp_scan;

namespace {

constexpr std::string_view kMediaWords[] = {"audio", "video", "image", "text", "application", "message"};
constexpr std::string_view kHoldAddr = "0.0.0.0";
const std::string kEmpty;

std::string HostPort(std::string_view host, int port) {
  std::string out(host);
  out += ':';
  AppendInt(out, port);
  return out;
}

bool IsRtcpAttribute(std::string_view value) { return value.substr(0, value.find(':')) == "rtcp"; }

// The port of an rtcp attribute value ("5001" or "5001 IN IP4 10.0.0.9").
bool RtcpPort(std::string_view value, int& port) {
  std::string_view rest = SkipBlanks(value);
  return PortNumber(TakeWord(rest), port);
}

}  // namespace

std::string_view MediaWord(SdpMedia::MediaKind type) { return kMediaWords[type]; }

bool ReadMediaPort(std::string_view& s, int& port) {
  s = SkipBlanks(s);
  std::string_view word = TakeWord(s);
  return PortNumber(word.substr(0, word.find('/')), port);
}

bool SdpMedia::Attribute(std::string_view value) {
  if (IsRtcpAttribute(value)) {
    int port;
    size_t colon = value.find(':');
    if (colon == std::string_view::npos || !RtcpPort(value.substr(colon + 1), port)) {
      Fault("SDP wrong Port in 'a=rtcp'\n");
      return false;
    }
  }
  return attributes_.Parse(value);
}

const std::string& SdpMedia::CodecFormat(size_t i) const {
  return i < formats_.size() ? formats_[i] : kEmpty;
}

void SdpMedia::AddFormat(const std::string& fmt) {
  for (const auto& f : formats_)
    if (f == fmt) return;
  formats_.push_back(fmt);
}

void SdpMedia::RemoveFormat(size_t i) {
  if (i < formats_.size()) formats_.erase(formats_.begin() + static_cast<std::ptrdiff_t>(i));
}

const char* SdpMedia::GetAttribute(std::string_view name) const {
  if (const char* v = attributes_.Attribute(name)) return v;
  return parent_ ? parent_->Attributes().Attribute(name) : nullptr;
}

SdpAttributes::MediaDirection SdpMedia::Mode() const {
  if (attributes_.Mode() != SdpAttributes::UNSPECIFIED) return attributes_.Mode();
  return parent_ ? parent_->Attributes().Mode() : SdpAttributes::UNSPECIFIED;
}

const std::string& SdpMedia::EffectiveHost() const {
  if (!connection_.empty() || parent_ == nullptr) return connection_.address_;
  return parent_->Connect().address_;
}

std::string SdpMedia::Host() const { return EffectiveHost(); }

bool SdpMedia::IsHold() const {
  if (port_ == 0) return true;
  SdpAttributes::MediaDirection mode = Mode();
  if (mode == SdpAttributes::SENDONLY || mode == SdpAttributes::INACTIVE) return true;
  return EffectiveHost() == kHoldAddr;
}

std::string SdpMedia::Address() const {
  if (IsHold()) return "0.0.0.0:0";
  return HostPort(EffectiveHost(), port_);
}

std::string SdpMedia::ConnectionAddress() const {
  if (IsHold()) return "0.0.0.0:0";
  int port;
  const char* rtcp = attributes_.Attribute("rtcp");
  if (rtcp == nullptr || !RtcpPort(rtcp, port)) return HostPort(EffectiveHost(), port_ + 1);
  // "<port> IN <addrtype> <host>" names the host; a bare port keeps the media host.
  std::vector<std::string> words;
  SplitWords(rtcp, words);
  if (words.size() >= 4 && words[1] == "IN") return HostPort(words[3], port);
  return HostPort(EffectiveHost(), port);
}

void SdpMedia::AssembleCommon(std::string& out) const {
  if (!information_.empty()) {
    out += "i=";
    out += information_;
    out += "\r\n";
  }
  connection_.Assemble(out);
  bandwidth_.Assemble(out);
  if (!key_.empty()) {
    out += "k=";
    out += key_;
    out += "\r\n";
  }
}

void SdpMedia::AssembleTail(std::string& out) const {
  attributes_.Assemble(out);
  for (const auto& line : unknown_) {
    out += line;
    out += "\r\n";
  }
}

bool SdpT38Media::Parse(std::string_view line) {
  TakeWord(line);
  if (!ReadMediaPort(line, port_)) {
    Fault("SDP wrong Port in 'm'\n");
    return false;
  }
  if (SkipBlanks(line).substr(0, 9) != "udptl t38") {
    Fault("SDP wrong Proto in 'm=image'\n");
    return false;
  }
  return true;
}

void SdpT38Media::Assemble(std::string& out) const {
  out += "m=image ";
  AppendInt(out, port_);
  out += " udptl t38\r\n";
  AssembleCommon(out);
  AssembleTail(out);
}

bool SdpOtherMedia::Parse(std::string_view line) {
  std::string_view word = TakeWord(line);
  size_t type = 0;
  while (type < std::size(kMediaWords) && kMediaWords[type] != word) ++type;
  if (type == std::size(kMediaWords)) {
    Fault("SDP Unknown media format\n");
    return false;
  }
  media_type_ = static_cast<MediaKind>(type);
  if (!ReadMediaPort(line, port_)) {
    Fault("SDP wrong Port in 'm'\n");
    return false;
  }
  line = SkipBlanks(line);
  protocol_.assign(TakeWord(line));
  SplitWords(line, formats_);
  if (protocol_.empty() || formats_.empty()) {
    Fault("SDP wrong Codecs list in Media_Other\n");
    return false;
  }
  return true;
}

void SdpOtherMedia::Assemble(std::string& out) const {
  out += "m=";
  out += MediaWord(media_type_);
  // audio, video and image with a blank would read back as RTP or T.38 sections: this one came with a tab.
  out += media_type_ <= IMAGE ? '\t' : ' ';
  AppendInt(out, port_);
  out += ' ';
  out += protocol_;
  for (const auto& f : formats_) {
    out += ' ';
    out += f;
  }
  out += "\r\n";
  AssembleCommon(out);
  AssembleTail(out);
}
