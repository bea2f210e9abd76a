// An SDP session description (RFC 4566 text): parsed from a SIP body, edited by the call code, written back.
// One object belongs to one SIP message and is used by one thread at a time; it has no locks.
//
// The SIP body keeps the received text and sends it unchanged while the object is not dirty; the code that
// edits the object calls dirty(), and the body then takes assemble(true) instead.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sdp/sdp_fields.h"
#include "sip/sdp/sdp_media.h"
#include "sip/sdp/sdp_media_rtp.h"

class SDP {
 public:
  using Medias_t = std::vector<std::unique_ptr<SDP_Media>>;

  SDP() = default;
  // A copy is made through the text (assembled, then parsed); the source's dirty flag is left as it is.
  SDP(const SDP& other);
  SDP& operator=(const SDP& other);
  SDP(SDP&& other) noexcept;
  SDP& operator=(SDP&& other) noexcept;
  ~SDP() = default;

  // Adds what the text describes to this object. True (also kept in pok()) when no line failed and at least
  // one media section was added. An empty text is as good as the media the object already has.
  bool parse(std::string_view text);
  // The description as text, lines ending in CR LF; complete fills in "s=-" and "t=0 0" when they are
  // missing. Clears the dirty flag.
  std::string assemble(bool complete) const;

  void dirty() { dirty_m = true; }
  bool isdirty() const { return dirty_m; }
  bool pok() const { return pok_m; }

  // The first section of that type, null when there is none.
  SDP_Media* Media(SDP_Media::MediaType_t type);
  const SDP_Media* Media(SDP_Media::MediaType_t type) const;
  // Puts m in place of the first section of its type, or appends it.
  void Media(std::unique_ptr<SDP_Media> m);
  // Deletes the first section of that type; false when there is none.
  bool RemoveMedia(SDP_Media::MediaType_t type);
  const Medias_t& Medias() const { return Medias_m; }

  const SDP_Connect& Connect() const { return SConn_m; }
  SDP_Connect& Connect() { return SConn_m; }
  void Connect(const SDP_Connect& c) { SConn_m = c; }
  const SDP_Bandwidth& Bandwidth() const { return SBandw_m; }
  SDP_Bandwidth& Bandwidth() { return SBandw_m; }
  const SDP_Attrs& Attrs() const { return SAttrs_m; }
  SDP_Attrs& Attrs() { return SAttrs_m; }
  const std::string& Origin() const { return Origin_m; }
  const std::string& SName() const { return SName_m; }

  // Replaces the session field of tag o, s, i, u, e, p, t, r, z or k; any other tag fails
  // ("SDP set unknown tag"). Does not mark the object dirty.
  bool set(char tag, std::string_view value);

  // Gathers every connection address at the session level, then puts addr there (an IPv4 address of this
  // system's choosing), unless the address is the hold address 0.0.0.0 and force is false.
  void SetAddr(std::string_view addr, bool force);
  // The session address, else the first section's, else "".
  std::string GetAddr() const;
  // Copies the session address and direction into every section that has none of its own.
  void expand();

  // Stores a single-value field: fails on an empty value ("SDP Value is missing") or when the field is
  // already set ("SDP Attempt to reassign value"), keeping the first value.
  static bool assign(std::string_view value, std::string& field);

 private:
  struct ParseState;

  void parseLine(std::string_view line, ParseState& st);
  bool parseMedia(std::string_view value, ParseState& st);
  void build(std::string& out, bool complete) const;
  void adopt();

  std::string Origin_m;
  std::string SName_m;
  std::string SInfo_m;
  std::string URI_m;
  std::string Email_m;
  std::string Phone_m;
  SDP_Connect SConn_m;
  SDP_Bandwidth SBandw_m;
  std::string Time_m;
  std::string Repeat_m;
  std::string TzAdjust_m;
  std::string Key_m;
  SDP_Attrs SAttrs_m;
  // Whole session-level lines ("x=...") with type letters this model does not interpret.
  std::vector<std::string> Unknown_m;
  Medias_t Medias_m;
  bool pok_m = true;
  mutable bool dirty_m = false;
};
