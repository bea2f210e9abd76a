// An SDP session description (RFC 4566 text): parsed from a SIP body, edited by the call code, written back.
// One object belongs to one SIP message and is used by one thread at a time; it has no locks.
//
// The SIP body keeps the received text and sends it unchanged while the object is not dirty; the code that
// edits the object calls MarkDirty(), and the body then takes Assemble(true) instead.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp/sdp_fields.h"
#include "sip/sdp/sdp_media.h"
#include "sip/sdp/sdp_media_rtp.h"

class Sdp {
 public:
  using MediaList = std::vector<std::unique_ptr<SdpMedia>>;

  Sdp() = default;
  // A copy is made through the text (assembled, then parsed); the source's dirty flag is left as it is.
  Sdp(const Sdp& other);
  Sdp& operator=(const Sdp& other);
  Sdp(Sdp&& other) noexcept;
  Sdp& operator=(Sdp&& other) noexcept;
  ~Sdp() = default;

  // Adds what the text describes to this object. True (also kept in ParsedOk()) when no line failed and at
  // least one media section was added. An empty text is as good as the media the object already has.
  bool Parse(std::string_view text);
  // The description as text, lines ending in CR LF; complete fills in "s=-" and "t=0 0" when they are
  // missing. Clears the dirty flag.
  std::string Assemble(bool complete) const;

  void MarkDirty() { dirty_ = true; }
  bool IsDirty() const { return dirty_; }
  bool ParsedOk() const { return parsed_ok_; }

  // The first section of that type, null when there is none.
  SdpMedia* Media(SdpMedia::MediaKind type);
  const SdpMedia* Media(SdpMedia::MediaKind type) const;
  // Puts m in place of the first section of its type, or appends it.
  void Media(std::unique_ptr<SdpMedia> m);
  // Deletes the first section of that type; false when there is none.
  bool RemoveMedia(SdpMedia::MediaKind type);
  // Removes every media section but `first` and `second` (either may be null); true when any went.
  bool KeepMedias(const SdpMedia* first, const SdpMedia* second);
  const MediaList& Medias() const { return medias_; }

  const SdpConnection& Connect() const { return connection_; }
  SdpConnection& Connect() { return connection_; }
  void Connect(const SdpConnection& c) { connection_ = c; }
  const SdpBandwidth& Bandwidth() const { return bandwidth_; }
  SdpBandwidth& Bandwidth() { return bandwidth_; }
  const SdpAttributes& Attributes() const { return attributes_; }
  SdpAttributes& Attributes() { return attributes_; }
  const std::string& Origin() const { return origin_; }
  const std::string& SName() const { return session_name_; }

  // Replaces the session field of tag o, s, i, u, e, p, t, r, z or k; any other tag fails
  // ("SDP set unknown tag"). Does not mark the object dirty.
  bool Set(char tag, std::string_view value);

  // Gathers every connection address at the session level, then puts addr there (an IPv4 address of this
  // system's choosing), unless the address is the hold address 0.0.0.0 and force is false.
  void SetAddress(std::string_view addr, bool force);
  // The session address, else the first section's, else "".
  std::string GetAddress() const;
  // Copies the session address and direction into every section that has none of its own.
  void Expand();

  // Stores a single-value field: fails on an empty value ("SDP Value is missing") or when the field is
  // already Set ("SDP Attempt to reassign value"), keeping the first value.
  static bool assign(std::string_view value, std::string& field);

 private:
  struct ParseState;

  void ParseLine(std::string_view line, ParseState& st);
  bool ParseMedia(std::string_view value, ParseState& st);
  void Build(std::string& out, bool complete) const;
  void Adopt();

  std::string origin_;
  std::string session_name_;
  std::string information_;
  std::string uri_;
  std::string email_;
  std::string phone_;
  SdpConnection connection_;
  SdpBandwidth bandwidth_;
  std::string time_;
  std::string repeat_;
  std::string time_zone_adjust_;
  std::string key_;
  SdpAttributes attributes_;
  // Whole session-level lines ("x=...") with type letters this model does not interpret.
  std::vector<std::string> unknown_;
  MediaList medias_;
  bool parsed_ok_ = true;
  mutable bool dirty_ = false;
};
