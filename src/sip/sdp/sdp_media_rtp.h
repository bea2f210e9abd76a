// The RTP media section (m=audio and m=video over RTP/... or UDP/TLS/RTP/...) with its codecs, and the table
// of static RTP payload types. Owned by one SDP object: one thread at a time; SCodecs is read-only.
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp/sdp_media.h"

class SDP_Media_RTP : public SDP_Media {
 public:
  struct CodecParams {
    std::string CName_m;
    int CRate_m = 0;
    int NChan_m = 0;
    std::string CParm_m;
    std::vector<std::string> RTCPfb_m;

    const std::string& CName() const { return CName_m; }
    void CName(std::string name) { CName_m = std::move(name); }
    int CRate() const { return CRate_m; }
    void CRate(int rate) { CRate_m = rate; }
    int NChan() const { return NChan_m; }
    void NChan(int n) { NChan_m = n; }
    const std::string& CParm() const { return CParm_m; }
    void CParm(std::string parm) { CParm_m = std::move(parm); }
  };
  using Codecs_t = std::map<std::string, CodecParams, std::less<>>;

  // The static payload types 0 to 34 of the RTP/AVP profile; unassigned types have no name and rate 0.
  static const std::array<CodecParams, 35> SCodecs;

  explicit SDP_Media_RTP(MediaType_t type = AUDIO) : MType_m(type == VIDEO ? VIDEO : AUDIO) {}

  void assemble(std::string& out) const override;
  MediaType_t MediaType() const override { return MType_m; }
  // rtpmap, fmtp and rtcp-fb of one payload type go to its codec parameters; the rest to the attributes.
  bool attrib(std::string_view value) override;
  bool parse(std::string_view line) override;
  std::unique_ptr<SDP_Media> Clone() const override { return CloneOf(*this); }
  SDP_Media_RTP* AsRTP() override { return this; }
  const SDP_Media_RTP* AsRTP() const override { return this; }

  // 0 for "RTP/<profile>", 1 for "UDP/TLS/RTP/<profile>".
  int Secure() const { return Secure_m; }
  void Secure(int secure) { Secure_m = secure; }
  // The profile after the transport prefix: AVP, SAVP, SAVPF, ...
  const std::string& Proto() const { return Proto_m; }
  void Proto(const std::string& proto) { Proto_m = proto; }

  // Format i's parameters: its own, else the static table's for a payload type below 35; null otherwise or
  // when i is out of range. The static entries are shared and read-only: edit through FrmtParam.
  const CodecParams* CodecParam(size_t i) const;
  // Format i's encoding name: its own, else the static table's; "" when neither names it.
  std::string CodecName(size_t i) const;
  CodecParams* FrmtParam(std::string_view fmt);
  const CodecParams* FrmtParam(std::string_view fmt) const;
  void FrmtParam(const std::string& fmt, const CodecParams& params) { Codecs_m[fmt] = params; }
  const Codecs_t& Codecs() const { return Codecs_m; }

  // Shortens the section: drops rtpmap lines that only restate a static payload type and a sendrecv
  // direction that is the default anyway.
  void brief();

  // The static payload type a format names (digits, below 35), or -1.
  static int StaticType(std::string_view fmt);

 private:
  bool codecAttrib(std::string_view name, std::string_view value);
  void assembleCodecs(std::string& out, const std::string& fmt, const CodecParams& params) const;

  MediaType_t MType_m;
  int Secure_m = 0;
  std::string Proto_m;
  Codecs_t Codecs_m;
};
