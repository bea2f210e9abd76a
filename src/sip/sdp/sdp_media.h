// One media section of an SDP (m= and the lines that follow it): the common base, the T.38 image section and
// the section of any other transport. Owned by one SDP object: used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp/sdp_fields.h"

class SDP;
class SDP_Media_RTP;

class SDP_Media {
 public:
  enum MediaType_t { AUDIO = 0, VIDEO = 1, IMAGE = 2, TEXT = 3, APP = 4, MSG = 5 };

  virtual ~SDP_Media() = default;
  // Appends the section's lines, starting with its m= line.
  virtual void assemble(std::string& out) const = 0;
  virtual MediaType_t MediaType() const = 0;
  // One a= value of this section.
  virtual bool attrib(std::string_view value);
  // The m= value (the text after "m=").
  virtual bool parse(std::string_view line) = 0;
  virtual std::unique_ptr<SDP_Media> Clone() const = 0;
  // The checked way down to an RTP section: null for every other kind.
  virtual SDP_Media_RTP* AsRTP() { return nullptr; }
  virtual const SDP_Media_RTP* AsRTP() const { return nullptr; }

  int Port() const { return Port_m; }
  void Port(int port) { Port_m = port; }
  const SDP_Connect& Connect() const { return MConn_m; }
  SDP_Connect& Connect() { return MConn_m; }
  void Connect(const SDP_Connect& c) { MConn_m = c; }
  SDP_Bandwidth& Bandwidth() { return MBandw_m; }
  const SDP_Bandwidth& Bandwidth() const { return MBandw_m; }

  size_t NCodecs() const { return Fmts_m.size(); }
  // Format i, "" when out of range.
  const std::string& CodecFrmt(size_t i) const;
  const std::vector<std::string>& Formats() const { return Fmts_m; }
  // Appends a format unless an equal one is present.
  void AddFrmt(const std::string& fmt);
  // Removes format i when in range; its codec parameters stay (they are written only for listed formats).
  void RemoveFrmt(size_t i);

  const SDP_Attrs& Attrs() const { return MAttrs_m; }
  SDP_Attrs& Attrs() { return MAttrs_m; }
  // The section's attribute of that name, else the session's; null when neither has it.
  const char* GetAttribute(std::string_view name) const;

  // Effective values: the section's own, else the session's (the host is "" when neither has one).
  SDP_Attrs::Mode_t Mode() const;
  std::string Host() const;
  // Port 0, a sendonly or inactive direction, or the address 0.0.0.0. A recvonly section is not on hold.
  bool IsHold() const;
  // "host:port" where the media goes; "0.0.0.0:0" on hold.
  std::string Addr() const;
  // "host:port" where RTCP goes: the rtcp attribute, else the media host and port + 1; "0.0.0.0:0" on hold.
  std::string CAddr() const;
  SDP* Parent() const { return Parent_m; }
  void Parent(SDP* sdp) { Parent_m = sdp; }

 protected:
  SDP_Media() = default;
  SDP_Media(const SDP_Media&) = default;
  SDP_Media& operator=(const SDP_Media&) = default;

  // A copy that belongs to no description until one takes it.
  template <class T>
  static std::unique_ptr<SDP_Media> CloneOf(const T& section) {
    auto copy = std::make_unique<T>(section);
    copy->Parent_m = nullptr;
    return copy;
  }
  const std::string& EffectiveHost() const;

  // The lines every section writes after its m= line: i=, c=, b=, k=.
  void assembleCommon(std::string& out) const;
  // The lines every section writes last: its attributes, then lines of types this model does not read.
  void assembleTail(std::string& out) const;

  int Port_m = 0;
  std::vector<std::string> Fmts_m;
  std::string MInfo_m;
  SDP_Connect MConn_m;
  SDP_Bandwidth MBandw_m;
  std::string MKey_m;
  SDP_Attrs MAttrs_m;
  // Whole lines ("x=...") with type letters this model does not interpret, kept to be written back.
  std::vector<std::string> Unknown_m;
  SDP* Parent_m = nullptr;

  friend class SDP;
};

// m=image with the udptl t38 transport.
class SDP_Media_T38 : public SDP_Media {
 public:
  SDP_Media_T38() = default;
  void assemble(std::string& out) const override;
  MediaType_t MediaType() const override { return IMAGE; }
  bool parse(std::string_view line) override;
  std::unique_ptr<SDP_Media> Clone() const override { return CloneOf(*this); }
};

// Any other media line: the media word, port, transport token and formats are kept as they are.
class SDP_Media_Other : public SDP_Media {
 public:
  SDP_Media_Other() = default;
  void assemble(std::string& out) const override;
  MediaType_t MediaType() const override { return MType_m; }
  bool parse(std::string_view line) override;
  std::unique_ptr<SDP_Media> Clone() const override { return CloneOf(*this); }
  const std::string& Proto() const { return Proto_m; }

 private:
  MediaType_t MType_m = APP;
  std::string Proto_m;
};

// The media word of a type: audio, video, image, text, application, message.
std::string_view MediaWord(SDP_Media::MediaType_t type);
// Reads "<port>[/<count>]" at the start of s (after blanks); the count is not kept. Ports above 65535 fail.
bool ReadMediaPort(std::string_view& s, int& port);
