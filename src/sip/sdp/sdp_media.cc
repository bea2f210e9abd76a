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

bool IsRtcpAttribute(std::string_view value) {
  return value.substr(0, value.find(':')) == "rtcp";
}

// The port of an rtcp attribute value ("5001" or "5001 IN IP4 10.0.0.9").
bool RtcpPort(std::string_view value, int& port) {
  std::string_view rest = SkipBlanks(value);
  return PortNumber(TakeWord(rest), port);
}

}  // namespace

std::string_view MediaWord(SDP_Media::MediaType_t type) { return kMediaWords[type]; }

bool ReadMediaPort(std::string_view& s, int& port) {
  s = SkipBlanks(s);
  std::string_view word = TakeWord(s);
  return PortNumber(word.substr(0, word.find('/')), port);
}

bool SDP_Media::attrib(std::string_view value) {
  if (IsRtcpAttribute(value)) {
    int port;
    size_t colon = value.find(':');
    if (colon == std::string_view::npos || !RtcpPort(value.substr(colon + 1), port)) {
      Fault("SDP wrong Port in 'a=rtcp'\n");
      return false;
    }
  }
  return MAttrs_m.parse(value);
}

const std::string& SDP_Media::CodecFrmt(size_t i) const { return i < Fmts_m.size() ? Fmts_m[i] : kEmpty; }

void SDP_Media::AddFrmt(const std::string& fmt) {
  for (const auto& f : Fmts_m)
    if (f == fmt) return;
  Fmts_m.push_back(fmt);
}

void SDP_Media::RemoveFrmt(size_t i) {
  if (i < Fmts_m.size()) Fmts_m.erase(Fmts_m.begin() + static_cast<std::ptrdiff_t>(i));
}

const char* SDP_Media::GetAttribute(std::string_view name) const {
  if (const char* v = MAttrs_m.Attribute(name)) return v;
  return Parent_m ? Parent_m->Attrs().Attribute(name) : nullptr;
}

SDP_Attrs::Mode_t SDP_Media::Mode() const {
  if (MAttrs_m.Mode() != SDP_Attrs::UNSPECIFIED) return MAttrs_m.Mode();
  return Parent_m ? Parent_m->Attrs().Mode() : SDP_Attrs::UNSPECIFIED;
}

const std::string& SDP_Media::EffectiveHost() const {
  if (!MConn_m.empty() || Parent_m == nullptr) return MConn_m.IpAddr_m;
  return Parent_m->Connect().IpAddr_m;
}

std::string SDP_Media::Host() const { return EffectiveHost(); }

bool SDP_Media::IsHold() const {
  if (Port_m == 0) return true;
  SDP_Attrs::Mode_t mode = Mode();
  if (mode == SDP_Attrs::SENDONLY || mode == SDP_Attrs::INACTIVE) return true;
  return EffectiveHost() == kHoldAddr;
}

std::string SDP_Media::Addr() const {
  if (IsHold()) return "0.0.0.0:0";
  return HostPort(EffectiveHost(), Port_m);
}

std::string SDP_Media::CAddr() const {
  if (IsHold()) return "0.0.0.0:0";
  int port;
  const char* rtcp = MAttrs_m.Attribute("rtcp");
  if (rtcp == nullptr || !RtcpPort(rtcp, port)) return HostPort(EffectiveHost(), Port_m + 1);
  // "<port> IN <addrtype> <host>" names the host; a bare port keeps the media host.
  std::vector<std::string> words;
  SplitWords(rtcp, words);
  if (words.size() >= 4 && words[1] == "IN") return HostPort(words[3], port);
  return HostPort(EffectiveHost(), port);
}

void SDP_Media::assembleCommon(std::string& out) const {
  if (!MInfo_m.empty()) {
    out += "i=";
    out += MInfo_m;
    out += "\r\n";
  }
  MConn_m.assemble(out);
  MBandw_m.assemble(out);
  if (!MKey_m.empty()) {
    out += "k=";
    out += MKey_m;
    out += "\r\n";
  }
}

void SDP_Media::assembleTail(std::string& out) const {
  MAttrs_m.assemble(out);
  for (const auto& line : Unknown_m) {
    out += line;
    out += "\r\n";
  }
}

bool SDP_Media_T38::parse(std::string_view line) {
  TakeWord(line);
  if (!ReadMediaPort(line, Port_m)) {
    Fault("SDP wrong Port in 'm'\n");
    return false;
  }
  if (SkipBlanks(line).substr(0, 9) != "udptl t38") {
    Fault("SDP wrong Proto in 'm=image'\n");
    return false;
  }
  return true;
}

void SDP_Media_T38::assemble(std::string& out) const {
  out += "m=image ";
  AppendInt(out, Port_m);
  out += " udptl t38\r\n";
  assembleCommon(out);
  assembleTail(out);
}

bool SDP_Media_Other::parse(std::string_view line) {
  std::string_view word = TakeWord(line);
  size_t type = 0;
  while (type < std::size(kMediaWords) && kMediaWords[type] != word) ++type;
  if (type == std::size(kMediaWords)) {
    Fault("SDP Unknown media format\n");
    return false;
  }
  MType_m = static_cast<MediaType_t>(type);
  if (!ReadMediaPort(line, Port_m)) {
    Fault("SDP wrong Port in 'm'\n");
    return false;
  }
  line = SkipBlanks(line);
  Proto_m.assign(TakeWord(line));
  SplitWords(line, Fmts_m);
  if (Proto_m.empty() || Fmts_m.empty()) {
    Fault("SDP wrong Codecs list in Media_Other\n");
    return false;
  }
  return true;
}

void SDP_Media_Other::assemble(std::string& out) const {
  out += "m=";
  out += MediaWord(MType_m);
  // audio, video and image with a blank would read back as RTP or T.38 sections: this one came with a tab.
  out += MType_m <= IMAGE ? '\t' : ' ';
  AppendInt(out, Port_m);
  out += ' ';
  out += Proto_m;
  for (const auto& f : Fmts_m) {
    out += ' ';
    out += f;
  }
  out += "\r\n";
  assembleCommon(out);
  assembleTail(out);
}
