// The media policy queries that read SDP: transcoding rule choice and the bare-SDP filter.
#include <algorithm>
#include <optional>
#include <string_view>

#include "config/config.h"
#include "foundation/text.h"
#include "sip/headers/string.h"
#include "sip/message.h"
#include "sip/sdp/sdp.h"

namespace {

// The codec part of a transcoding code's name: "g729" of "g729/60". Packet times are not compared.
std::string_view CodecOf(TranscodeFormat code) {
  std::string_view name = TransCode[code];
  return name.substr(0, name.find('/'));
}

// The RTP payload type (0 to 127) a format names, or -1.
int PayloadType(const std::string& fmt) {
  if (fmt.empty() || fmt.size() > 3) return -1;
  int pt = 0;
  for (char c : fmt) {
    if (c < '0' || c > '9') return -1;
    pt = pt * 10 + (c - '0');
  }
  return pt <= 127 ? pt : -1;
}

std::string LowerCodecName(const SdpRtpMedia& media, size_t i) {
  std::string name = media.CodecName(i);
  return ToLower(name);
}

// The clock rate format i is sent at: its rtpmap's, else its static payload type's; 0 when neither says.
int ClockRate(const SdpRtpMedia& media, size_t i) {
  const SdpRtpMedia::CodecParams* own = media.FormatParameter(media.CodecFormat(i));
  if (own != nullptr && !own->CName().empty()) return own->CRate();
  int pt = SdpRtpMedia::StaticType(media.CodecFormat(i));
  return pt >= 0 ? SdpRtpMedia::kStaticCodecs[pt].CRate() : 0;
}

}  // namespace

int Config::CheckTransRules(const Sdp* sdp, uint8_t* payload, TranscodingRule* chosen) const {
  const SdpMedia* audio = sdp != nullptr ? sdp->Media(SdpMedia::AUDIO) : nullptr;
  const SdpRtpMedia* rtp = audio != nullptr ? audio->AsRTP() : nullptr;
  if (rtp == nullptr) return -1;
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  for (size_t rule = 0; rule < transcoding_rules.size(); ++rule) {
    const std::string_view wanted = CodecOf(transcoding_rules[rule].client_code);
    for (size_t i = 0; i < rtp->NCodecs(); ++i) {
      const int pt = PayloadType(rtp->CodecFormat(i));
      if (pt < 0 || LowerCodecName(*rtp, i) != wanted) continue;
      if (payload != nullptr) *payload = static_cast<uint8_t>(pt);
      if (chosen != nullptr) *chosen = transcoding_rules[rule];
      return static_cast<int>(rule) + 1;
    }
  }
  return -1;
}

void Config::BareSDP(Sdp* sdp) const {
  if (sdp == nullptr) return;
  SdpAttributes& session = sdp->Attributes();
  std::optional<std::string> tool;
  if (const char* value = session.Attribute("tool")) tool = value;
  session.Clear();
  if (tool) session.Attribute("tool", std::move(*tool));
  sdp->MarkDirty();

  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  for (SdpMedia::MediaKind type : {SdpMedia::AUDIO, SdpMedia::VIDEO}) {
    SdpMedia* media = sdp->Media(type);
    // Only an RTP section has codecs to filter: any other kind is left as it came.
    SdpRtpMedia* rtp = media != nullptr ? media->AsRTP() : nullptr;
    if (rtp != nullptr && !BareMedia(rtp)) sdp->RemoveMedia(type);
  }
}

bool Config::BareMedia(SdpRtpMedia* media) const {
  if (media->NCodecs() == 0) return false;
  for (size_t i = media->NCodecs(); i-- > 0;) {
    auto allowed = bare_codecs.find(LowerCodecName(*media, i));
    const bool keep = allowed != bare_codecs.end() && (allowed->second == 0 || ClockRate(*media, i) == 0 ||
                                                       ClockRate(*media, i) == allowed->second);
    if (!keep) media->RemoveFormat(i);
  }
  if (media->NCodecs() == 0) return false;

  SdpAttributes::AttributeList kept;
  for (const auto& attr : media->Attributes().Attributes()) {
    std::string name = attr.first;
    if (bare_params.count(ToLower(name)) != 0) kept.push_back(attr);
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  media->Attributes().Attributes() = std::move(kept);
  return true;
}

Defects Config::CheckDefect(const SipMessage& msg, int) const {
  const HeaderLine* line = msg.Header(SipHeaders::HID_USER_AGENT);
  if (line == nullptr) line = msg.Header(SipHeaders::HID_SERVER);
  const auto* device = dynamic_cast<const StringHeader*>(line);
  if (device == nullptr) return UnlistedDevice();
  return DeviceDefects(device->Value());
}

bool Config::TranscodingRuleAt(int number, TranscodingRule& out) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  if (number < 1 || static_cast<size_t>(number) > transcoding_rules.size()) return false;
  out = transcoding_rules[static_cast<size_t>(number) - 1];
  return true;
}

int Config::CheckTransRules(const SipMessage& msg, uint8_t* payload, TranscodingRule* chosen) const {
  // The body is parsed on demand; a message seen here belongs to the calling thread.
  Sdp* sdp = const_cast<SipMessage&>(msg).GetSDP();
  return sdp ? CheckTransRules(sdp, payload, chosen) : -1;
}
