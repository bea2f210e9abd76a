#include "sip/sdp/sdp_media_rtp.h"

#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_scan.h"

using namespace sdp_scan;

namespace {

using CodecParams = SDP_Media_RTP::CodecParams;

std::array<CodecParams, 35> MakeStaticCodecs() {
  std::array<CodecParams, 35> t;
  auto set = [&t](int pt, const char* name, int rate, int channels) {
    t[pt].CName_m = name;
    t[pt].CRate_m = rate;
    t[pt].NChan_m = channels;
  };
  set(0, "PCMU", 8000, 1);
  set(3, "GSM", 8000, 1);
  set(4, "G723", 8000, 1);
  set(5, "DVI4", 8000, 1);
  set(6, "DVI4", 16000, 1);
  set(7, "LPC", 8000, 1);
  set(8, "PCMA", 8000, 1);
  set(9, "G722", 8000, 1);
  set(10, "L16", 44100, 2);
  set(11, "L16", 44100, 1);
  set(12, "QCELP", 8000, 1);
  set(13, "CN", 8000, 1);
  set(14, "MPA", 90000, 1);
  set(15, "G728", 8000, 1);
  set(16, "DVI4", 11025, 1);
  set(17, "DVI4", 22050, 1);
  set(18, "G729", 8000, 1);
  set(25, "CelB", 90000, 0);
  set(26, "JPEG", 90000, 0);
  set(28, "nv", 90000, 0);
  set(31, "H261", 90000, 0);
  set(32, "MPV", 90000, 0);
  set(33, "MP2T", 90000, 0);
  set(34, "H263", 90000, 0);
  return t;
}

constexpr std::string_view kSecurePrefix = "UDP/TLS/RTP/";
constexpr std::string_view kPlainPrefix = "RTP/";

bool OnlyBlanksAndDigits(std::string_view s) {
  for (char c : s)
    if (!IsBlank(c) && (c < '0' || c > '9')) return false;
  return true;
}

// "name/rate[/channels]" into the parameters.
bool ReadRtpmap(std::string_view value, CodecParams& p) {
  size_t slash = value.find('/');
  if (slash == std::string_view::npos) {
    Fault("SDP Clock Rate is missing\n");
    return false;
  }
  std::string_view rest = value.substr(slash + 1);
  size_t slash2 = rest.find('/');
  int rate = 0, channels = 0;
  if (!LeadingNumber(rest.substr(0, slash2), rate) ||
      (slash2 != std::string_view::npos && !LeadingNumber(rest.substr(slash2 + 1), channels))) {
    Fault("SDP Incorrect RTP attribute\n");
    return false;
  }
  p.CName_m.assign(value.substr(0, slash));
  p.CRate_m = rate;
  p.NChan_m = channels;
  return true;
}

}  // namespace

const std::array<CodecParams, 35> SDP_Media_RTP::SCodecs = MakeStaticCodecs();

int SDP_Media_RTP::StaticType(std::string_view fmt) {
  if (!IsDigits(fmt) || fmt.size() > 9) return -1;
  int pt = 0;
  LeadingNumber(fmt, pt);
  return pt < static_cast<int>(SCodecs.size()) ? pt : -1;
}

bool SDP_Media_RTP::parse(std::string_view line) {
  TakeWord(line);
  if (!ReadMediaPort(line, Port_m)) {
    Fault("SDP wrong Port in 'm'\n");
    return false;
  }
  line = SkipBlanks(line);
  std::string_view transport = TakeWord(line);
  Secure_m = transport.substr(0, kSecurePrefix.size()) == kSecurePrefix ? 1 : 0;
  const std::string_view prefix = Secure_m ? kSecurePrefix : kPlainPrefix;
  if (transport.substr(0, prefix.size()) != prefix || transport.size() == prefix.size()) {
    Fault("SDP wrong Proto Type in 'm' for RTP\n");
    return false;
  }
  Proto_m.assign(transport.substr(prefix.size()));
  SplitWords(line, Fmts_m);
  if (Port_m == 0) return true;
  if (Fmts_m.empty() || !OnlyBlanksAndDigits(line)) {
    Fault("SDP wrong Codecs list in Media_RTP\n");
    return false;
  }
  return true;
}

bool SDP_Media_RTP::attrib(std::string_view value) {
  size_t colon = value.find(':');
  if (colon != std::string_view::npos) {
    std::string_view name = value.substr(0, colon);
    std::string_view rest = value.substr(colon + 1);
    std::string_view scan = rest;
    std::string_view pt = TakeWord(scan);
    // rtcp-fb for every payload type ("*") belongs to the section, not to one codec.
    if (name == "rtpmap" || name == "fmtp" || (name == "rtcp-fb" && pt != "*")) return codecAttrib(name, rest);
  }
  return SDP_Media::attrib(value);
}

// "<PT> <text>" of rtpmap, fmtp or rtcp-fb.
bool SDP_Media_RTP::codecAttrib(std::string_view name, std::string_view value) {
  std::string_view pt = TakeWord(value);
  if (pt.empty()) {
    Fault("SDP Incorrect RTP attribute\n");
    return false;
  }
  value = SkipBlanks(value);
  if (name == "rtpmap") {
    CodecParams parsed;
    if (!ReadRtpmap(value, parsed)) return false;
    CodecParams& p = Codecs_m[std::string(pt)];
    p.CName_m = std::move(parsed.CName_m);
    p.CRate_m = parsed.CRate_m;
    p.NChan_m = parsed.NChan_m;
  } else if (name == "fmtp") {
    Codecs_m[std::string(pt)].CParm_m.assign(value);
  } else {
    Codecs_m[std::string(pt)].RTCPfb_m.emplace_back(value);
  }
  return true;
}

void SDP_Media_RTP::assembleCodecs(std::string& out, const std::string& fmt, const CodecParams& p) const {
  if (!p.CName_m.empty()) {
    out += "a=rtpmap:";
    out += fmt;
    out += ' ';
    out += p.CName_m;
    out += '/';
    AppendInt(out, p.CRate_m);
    if (p.NChan_m != 0) {
      out += '/';
      AppendInt(out, p.NChan_m);
    }
    out += "\r\n";
  }
  if (!p.CParm_m.empty()) {
    out += "a=fmtp:";
    out += fmt;
    out += ' ';
    out += p.CParm_m;
    out += "\r\n";
  }
  for (const auto& fb : p.RTCPfb_m) {
    out += "a=rtcp-fb:";
    out += fmt;
    out += ' ';
    out += fb;
    out += "\r\n";
  }
}

void SDP_Media_RTP::assemble(std::string& out) const {
  out += MType_m == VIDEO ? "m=video " : "m=audio ";
  AppendInt(out, Port_m);
  out += ' ';
  out += Secure_m ? kSecurePrefix : kPlainPrefix;
  out += Proto_m.empty() ? std::string_view("AVP") : std::string_view(Proto_m);
  for (const auto& f : Fmts_m) {
    out += ' ';
    out += f;
  }
  out += "\r\n";
  assembleCommon(out);
  for (size_t i = 0; i < Fmts_m.size(); ++i) {
    const std::string& fmt = Fmts_m[i];
    // A format listed twice gets its parameter lines once.
    bool seen = false;
    for (size_t j = 0; j < i && !seen; ++j) seen = Fmts_m[j] == fmt;
    if (seen) continue;
    auto it = Codecs_m.find(fmt);
    if (it != Codecs_m.end()) assembleCodecs(out, fmt, it->second);
  }
  assembleTail(out);
}

const CodecParams* SDP_Media_RTP::CodecParam(size_t i) const {
  if (i >= Fmts_m.size()) return nullptr;
  if (const CodecParams* own = FrmtParam(Fmts_m[i])) return own;
  int pt = StaticType(Fmts_m[i]);
  return pt >= 0 ? &SCodecs[pt] : nullptr;
}

std::string SDP_Media_RTP::CodecName(size_t i) const {
  if (i >= Fmts_m.size()) return std::string();
  const CodecParams* own = FrmtParam(Fmts_m[i]);
  if (own != nullptr && !own->CName_m.empty()) return own->CName_m;
  int pt = StaticType(Fmts_m[i]);
  return pt >= 0 ? SCodecs[pt].CName_m : std::string();
}

CodecParams* SDP_Media_RTP::FrmtParam(std::string_view fmt) {
  auto it = Codecs_m.find(fmt);
  return it == Codecs_m.end() ? nullptr : &it->second;
}

const CodecParams* SDP_Media_RTP::FrmtParam(std::string_view fmt) const {
  auto it = Codecs_m.find(fmt);
  return it == Codecs_m.end() ? nullptr : &it->second;
}

void SDP_Media_RTP::brief() {
  for (const auto& fmt : Fmts_m) {
    int pt = StaticType(fmt);
    CodecParams* own = pt >= 0 ? FrmtParam(fmt) : nullptr;
    if (own == nullptr) continue;
    const CodecParams& fixed = SCodecs[pt];
    // A channel count other than the static one is not implied by the payload type: that rtpmap stays.
    const bool same_channels = own->NChan_m == 0 || own->NChan_m == fixed.NChan_m;
    if (IEquals(own->CName_m, fixed.CName_m) && own->CRate_m == fixed.CRate_m && same_channels)
      own->CName_m.clear();
  }
  SDP_Attrs::Mode_t session = Parent_m ? Parent_m->Attrs().Mode() : SDP_Attrs::UNSPECIFIED;
  if (MAttrs_m.Mode() == SDP_Attrs::SENDRECV &&
      (session == SDP_Attrs::UNSPECIFIED || session == SDP_Attrs::SENDRECV))
    MAttrs_m.Mode(SDP_Attrs::UNSPECIFIED);
}
