// The RTP media section (m=audio and m=video over RTP/... or UDP/TLS/RTP/...) with its codecs, and the table
// of static RTP payload types. Owned by one SDP object: one thread at a time; kStaticCodecs is read-only.
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp/sdp_media.h"

class SdpRtpMedia : public SdpMedia {
 public:
  struct CodecParams {
    std::string codec_name_;
    int clock_rate_ = 0;
    int channels_ = 0;
    std::string codec_parameters_;
    std::vector<std::string> rtcp_feedback_;

    const std::string& CName() const { return codec_name_; }
    void CName(std::string name) { codec_name_ = std::move(name); }
    int CRate() const { return clock_rate_; }
    void CRate(int rate) { clock_rate_ = rate; }
    int NChan() const { return channels_; }
    void NChan(int n) { channels_ = n; }
    const std::string& CodecParameters() const { return codec_parameters_; }
    void CodecParameters(std::string parm) { codec_parameters_ = std::move(parm); }
  };
  using CodecMap = std::map<std::string, CodecParams, std::less<>>;

  // The static payload types 0 to 34 of the RTP/AVP profile; unassigned types have no name and rate 0.
  static const std::array<CodecParams, 35> kStaticCodecs;

  explicit SdpRtpMedia(MediaKind type = AUDIO) : media_type_(type == VIDEO ? VIDEO : AUDIO) {}

  void Assemble(std::string& out) const override;
  MediaKind MediaType() const override { return media_type_; }
  // rtpmap, fmtp and rtcp-fb of one payload type go to its codec parameters; the rest to the attributes.
  bool Attribute(std::string_view value) override;
  bool Parse(std::string_view line) override;
  std::unique_ptr<SdpMedia> Clone() const override { return CloneOf(*this); }
  SdpRtpMedia* AsRTP() override { return this; }
  const SdpRtpMedia* AsRTP() const override { return this; }

  // 0 for "RTP/<profile>", 1 for "UDP/TLS/RTP/<profile>".
  int Secure() const { return secure_; }
  void Secure(int secure) { secure_ = secure; }
  // The profile after the transport prefix: AVP, SAVP, SAVPF, ...
  const std::string& Transport() const { return protocol_; }
  void Transport(const std::string& proto) { protocol_ = proto; }

  // Format i's parameters: its own, else the static table's for a payload type below 35; null otherwise or
  // when i is out of range. The static entries are shared and read-only: edit through FormatParameter.
  const CodecParams* CodecParam(size_t i) const;
  // Format i's encoding name: its own, else the static table's; "" when neither names it.
  std::string CodecName(size_t i) const;
  CodecParams* FormatParameter(std::string_view fmt);
  const CodecParams* FormatParameter(std::string_view fmt) const;
  void FormatParameter(const std::string& fmt, const CodecParams& params) { codecs_[fmt] = params; }
  const CodecMap& Codecs() const { return codecs_; }

  // Shortens the section: drops rtpmap lines that only restate a static payload type and a sendrecv
  // direction that is the default anyway.
  void Brief();

  // The static payload type a format names (digits, below 35), or -1.
  static int StaticType(std::string_view fmt);

 private:
  bool CodecAttribute(std::string_view name, std::string_view value);
  void AssembleCodecs(std::string& out, const std::string& fmt, const CodecParams& params) const;

  MediaKind media_type_;
  int secure_ = 0;
  std::string protocol_;
  CodecMap codecs_;
};
