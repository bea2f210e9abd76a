// One media section of an SDP (m= and the lines that follow it): the common base, the T.38 image section and
// the section of any other transport. Owned by one SDP object: used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp/sdp_fields.h"

class Sdp;
class SdpRtpMedia;

class SdpMedia {
 public:
  enum MediaKind { AUDIO = 0, VIDEO = 1, IMAGE = 2, TEXT = 3, APP = 4, MSG = 5 };

  virtual ~SdpMedia() = default;
  // Appends the section's lines, starting with its m= line.
  virtual void Assemble(std::string& out) const = 0;
  virtual MediaKind MediaType() const = 0;
  // One a= value of this section.
  virtual bool Attribute(std::string_view value);
  // The m= value (the text after "m=").
  virtual bool Parse(std::string_view line) = 0;
  virtual std::unique_ptr<SdpMedia> Clone() const = 0;
  // The checked way down to an RTP section: null for every other kind.
  virtual SdpRtpMedia* AsRTP() { return nullptr; }
  virtual const SdpRtpMedia* AsRTP() const { return nullptr; }

  int Port() const { return port_; }
  void Port(int port) { port_ = port; }
  const SdpConnection& Connect() const { return connection_; }
  SdpConnection& Connect() { return connection_; }
  void Connect(const SdpConnection& c) { connection_ = c; }
  SdpBandwidth& Bandwidth() { return bandwidth_; }
  const SdpBandwidth& Bandwidth() const { return bandwidth_; }

  size_t NCodecs() const { return formats_.size(); }
  // Format i, "" when out of range.
  const std::string& CodecFormat(size_t i) const;
  const std::vector<std::string>& Formats() const { return formats_; }
  // Appends a format unless an equal one is present.
  void AddFormat(const std::string& fmt);
  // Removes format i when in range; its codec parameters stay (they are written only for listed formats).
  void RemoveFormat(size_t i);

  const SdpAttributes& Attributes() const { return attributes_; }
  SdpAttributes& Attributes() { return attributes_; }
  // The section's attribute of that name, else the session's; null when neither has it.
  const char* GetAttribute(std::string_view name) const;

  // Effective values: the section's own, else the session's (the host is "" when neither has one).
  SdpAttributes::MediaDirection Mode() const;
  std::string Host() const;
  // Port 0, a sendonly or inactive direction, or the address 0.0.0.0. A recvonly section is not on hold.
  bool IsHold() const;
  // "host:port" where the media goes; "0.0.0.0:0" on hold.
  std::string Address() const;
  // "host:port" where RTCP goes: the rtcp attribute, else the media host and port + 1; "0.0.0.0:0" on hold.
  std::string ConnectionAddress() const;
  Sdp* Parent() const { return parent_; }
  void Parent(Sdp* sdp) { parent_ = sdp; }

 protected:
  SdpMedia() = default;
  SdpMedia(const SdpMedia&) = default;
  SdpMedia& operator=(const SdpMedia&) = default;

  // A copy that belongs to no description until one takes it.
  template <class T>
  static std::unique_ptr<SdpMedia> CloneOf(const T& section) {
    auto copy = std::make_unique<T>(section);
    copy->parent_ = nullptr;
    return copy;
  }
  const std::string& EffectiveHost() const;

  // The lines every section writes after its m= line: i=, c=, b=, k=.
  void AssembleCommon(std::string& out) const;
  // The lines every section writes last: its attributes, then lines of types this model does not read.
  void AssembleTail(std::string& out) const;

  int port_ = 0;
  std::vector<std::string> formats_;
  std::string information_;
  SdpConnection connection_;
  SdpBandwidth bandwidth_;
  std::string key_;
  SdpAttributes attributes_;
  // Whole lines ("x=...") with type letters this model does not interpret, kept to be written back.
  std::vector<std::string> unknown_;
  Sdp* parent_ = nullptr;

  friend class Sdp;
};

// m=image with the udptl t38 transport.
class SdpT38Media : public SdpMedia {
 public:
  SdpT38Media() = default;
  void Assemble(std::string& out) const override;
  MediaKind MediaType() const override { return IMAGE; }
  bool Parse(std::string_view line) override;
  std::unique_ptr<SdpMedia> Clone() const override { return CloneOf(*this); }
};

// Any other media line: the media word, port, transport token and formats are kept as they are.
class SdpOtherMedia : public SdpMedia {
 public:
  SdpOtherMedia() = default;
  void Assemble(std::string& out) const override;
  MediaKind MediaType() const override { return media_type_; }
  bool Parse(std::string_view line) override;
  std::unique_ptr<SdpMedia> Clone() const override { return CloneOf(*this); }
  const std::string& Transport() const { return protocol_; }

 private:
  MediaKind media_type_ = APP;
  std::string protocol_;
};

// The media word of a type: audio, video, image, text, application, message.
std::string_view MediaWord(SdpMedia::MediaKind type);
// Reads "<port>[/<count>]" at the start of s (after blanks); the count is not kept. Ports above 65535 fail.
bool ReadMediaPort(std::string_view& s, int& port);
