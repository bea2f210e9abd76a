#include "sip/sdp/sdp_media_rtp.h"

#include "sip/sdp/sdp.h"
#include "sip/sdp/sdp_scan.h"

using namespace sdp_scan;

namespace {

using CodecParams = SdpRtpMedia::CodecParams;

std::array<CodecParams, 35> MakeStaticCodecs() {
  std::array<CodecParams, 35> t;
  auto set = [&t](int pt, const char* name, int rate, int channels) {
    t[pt].codec_name_ = name;
    t[pt].clock_rate_ = rate;
    t[pt].channels_ = channels;
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
  p.codec_name_.assign(value.substr(0, slash));
  p.clock_rate_ = rate;
  p.channels_ = channels;
  return true;
}

}  // namespace

const std::array<CodecParams, 35> SdpRtpMedia::kStaticCodecs = MakeStaticCodecs();

int SdpRtpMedia::StaticType(std::string_view fmt) {
  if (!IsDigits(fmt) || fmt.size() > 9) return -1;
  int pt = 0;
  LeadingNumber(fmt, pt);
  return pt < static_cast<int>(kStaticCodecs.size()) ? pt : -1;
}

bool SdpRtpMedia::Parse(std::string_view line) {
  TakeWord(line);
  if (!ReadMediaPort(line, port_)) {
    Fault("SDP wrong Port in 'm'\n");
    return false;
  }
  line = SkipBlanks(line);
  std::string_view transport = TakeWord(line);
  secure_ = transport.substr(0, kSecurePrefix.size()) == kSecurePrefix ? 1 : 0;
  const std::string_view prefix = secure_ ? kSecurePrefix : kPlainPrefix;
  if (transport.substr(0, prefix.size()) != prefix || transport.size() == prefix.size()) {
    Fault("SDP wrong Proto Type in 'm' for RTP\n");
    return false;
  }
  protocol_.assign(transport.substr(prefix.size()));
  SplitWords(line, formats_);
  if (port_ == 0) return true;
  if (formats_.empty() || !OnlyBlanksAndDigits(line)) {
    Fault("SDP wrong Codecs list in Media_RTP\n");
    return false;
  }
  return true;
}

bool SdpRtpMedia::Attribute(std::string_view value) {
  size_t colon = value.find(':');
  if (colon != std::string_view::npos) {
    std::string_view name = value.substr(0, colon);
    std::string_view rest = value.substr(colon + 1);
    std::string_view scan = rest;
    std::string_view pt = TakeWord(scan);
    // rtcp-fb for every payload type ("*") belongs to the section, not to one codec.
    if (name == "rtpmap" || name == "fmtp" || (name == "rtcp-fb" && pt != "*"))
      return CodecAttribute(name, rest);
  }
  return SdpMedia::Attribute(value);
}

// "<PT> <text>" of rtpmap, fmtp or rtcp-fb.
bool SdpRtpMedia::CodecAttribute(std::string_view name, std::string_view value) {
  std::string_view pt = TakeWord(value);
  if (pt.empty()) {
    Fault("SDP Incorrect RTP attribute\n");
    return false;
  }
  value = SkipBlanks(value);
  if (name == "rtpmap") {
    CodecParams parsed;
    if (!ReadRtpmap(value, parsed)) return false;
    CodecParams& p = codecs_[std::string(pt)];
    p.codec_name_ = std::move(parsed.codec_name_);
    p.clock_rate_ = parsed.clock_rate_;
    p.channels_ = parsed.channels_;
  } else if (name == "fmtp") {
    codecs_[std::string(pt)].codec_parameters_.assign(value);
  } else {
    codecs_[std::string(pt)].rtcp_feedback_.emplace_back(value);
  }
  return true;
}

void SdpRtpMedia::AssembleCodecs(std::string& out, const std::string& fmt, const CodecParams& p) const {
  if (!p.codec_name_.empty()) {
    out += "a=rtpmap:";
    out += fmt;
    out += ' ';
    out += p.codec_name_;
    out += '/';
    AppendInt(out, p.clock_rate_);
    if (p.channels_ != 0) {
      out += '/';
      AppendInt(out, p.channels_);
    }
    out += "\r\n";
  }
  if (!p.codec_parameters_.empty()) {
    out += "a=fmtp:";
    out += fmt;
    out += ' ';
    out += p.codec_parameters_;
    out += "\r\n";
  }
  for (const auto& fb : p.rtcp_feedback_) {
    out += "a=rtcp-fb:";
    out += fmt;
    out += ' ';
    out += fb;
    out += "\r\n";
  }
}

void SdpRtpMedia::Assemble(std::string& out) const {
  out += media_type_ == VIDEO ? "m=video " : "m=audio ";
  AppendInt(out, port_);
  out += ' ';
  out += secure_ ? kSecurePrefix : kPlainPrefix;
  out += protocol_.empty() ? std::string_view("AVP") : std::string_view(protocol_);
  for (const auto& f : formats_) {
    out += ' ';
    out += f;
  }
  out += "\r\n";
  AssembleCommon(out);
  for (size_t i = 0; i < formats_.size(); ++i) {
    const std::string& fmt = formats_[i];
    // A format listed twice gets its parameter lines once.
    bool seen = false;
    for (size_t j = 0; j < i && !seen; ++j) seen = formats_[j] == fmt;
    if (seen) continue;
    auto it = codecs_.find(fmt);
    if (it != codecs_.end()) AssembleCodecs(out, fmt, it->second);
  }
  AssembleTail(out);
}

const CodecParams* SdpRtpMedia::CodecParam(size_t i) const {
  if (i >= formats_.size()) return nullptr;
  if (const CodecParams* own = FormatParameter(formats_[i])) return own;
  int pt = StaticType(formats_[i]);
  return pt >= 0 ? &kStaticCodecs[pt] : nullptr;
}

std::string SdpRtpMedia::CodecName(size_t i) const {
  if (i >= formats_.size()) return std::string();
  const CodecParams* own = FormatParameter(formats_[i]);
  if (own != nullptr && !own->codec_name_.empty()) return own->codec_name_;
  int pt = StaticType(formats_[i]);
  return pt >= 0 ? kStaticCodecs[pt].codec_name_ : std::string();
}

CodecParams* SdpRtpMedia::FormatParameter(std::string_view fmt) {
  auto it = codecs_.find(fmt);
  return it == codecs_.end() ? nullptr : &it->second;
}

const CodecParams* SdpRtpMedia::FormatParameter(std::string_view fmt) const {
  auto it = codecs_.find(fmt);
  return it == codecs_.end() ? nullptr : &it->second;
}

void SdpRtpMedia::Brief() {
  for (const auto& fmt : formats_) {
    int pt = StaticType(fmt);
    CodecParams* own = pt >= 0 ? FormatParameter(fmt) : nullptr;
    if (own == nullptr) continue;
    const CodecParams& fixed = kStaticCodecs[pt];
    // A channel count other than the static one is not implied by the payload type: that rtpmap stays.
    const bool same_channels = own->channels_ == 0 || own->channels_ == fixed.channels_;
    if (IEquals(own->codec_name_, fixed.codec_name_) && own->clock_rate_ == fixed.clock_rate_ &&
        same_channels)
      own->codec_name_.clear();
  }
  SdpAttributes::MediaDirection session = parent_ ? parent_->Attributes().Mode() : SdpAttributes::UNSPECIFIED;
  if (attributes_.Mode() == SdpAttributes::SENDRECV &&
      (session == SdpAttributes::UNSPECIFIED || session == SdpAttributes::SENDRECV))
    attributes_.Mode(SdpAttributes::UNSPECIFIED);
}
