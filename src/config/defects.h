// Device defects: the workarounds a client's device (or, for KEEP_CONTACT, the registrar) needs, as named
// flags. Operators list them as letters (`broken`, the `subnet` rules' "Defect:"), and the letters travel
// in HA records and log lines: Defects::FromLetters and Defects::Letters, over the one table of
// defects.cc, are the only places that read or write them.
// Plain values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One workaround; its letter is in the table of defects.cc.
enum class Defect : uint8_t {
  // 'A': an INVITE without SDP gets a placeholder offer, a CANCEL the INVITE's CSeq, a 0.0.0.0 ACK loses its
  // body.
  INVITE_NEEDS_SDP,
  // 'b': the server's first BYE of a call that was replaced is swallowed.
  IGNORE_REPLACED_CALL_BYE,
  // 'c': a server SDP without a session connection line takes the audio's.
  SESSION_CONNECTION_FROM_AUDIO,
  // 'C': a request to the relay's "ostrel" Contact gets the To URI back; the probe 183 names the relay.
  RESTORE_REQUEST_URI,
  // 'd': the probe 183 carries a Record-Route of the relay's outer face.
  RECORD_ROUTE_IN_PROBE_183,
  // 'D': the client's SDP answer keeps only its first codec and telephone-event.
  NARROW_ANSWER_CODECS,
  // 'e': the server's 183 becomes the zero-media 200 whatever the NAT type.
  EARLY_MEDIA_AS_ANSWER,
  // 'E': "100rel" leaves the client's Supported; behind a RESTRICTED NAT the 183 becomes the zero-media 200.
  NO_100REL,
  // 'F': the server SDP loses "ptime" and the T.38 FillBitRemoval, TranscodingMMR and TranscodingJBIG
  // attributes.
  NO_PTIME_OR_T38_EXTRAS,
  // 'H': the server's answer to a hold is the client's own offer, receiving only.
  HOLD_ANSWER_FROM_OFFER,
  // 'i': an INVITE with Call-Info and no Replaces loses a Request-URI user that is no number.
  EMPTY_UNDIALABLE_USER,
  // 'L': the call is load-balanced; media from another address than the SIP one anchors it.
  LOAD_BALANCED,
  // 'M': a server message without Max-Forwards gets "9".
  ADD_MAX_FORWARDS,
  // 'n': a NOTIFY waits while the call of its Call-ID is not complete.
  HOLD_NOTIFY_DURING_CALL_SETUP,
  // 'N': a server re-INVITE within 50 ms of the confirming ACK is dropped unanswered.
  DROP_FAST_REINVITE,
  // 'O': an SRTP offer keeps only its first audio and video; the relay's SRTP offers to it say RTP/SAVP.
  SRTP_SAVP_ONLY,
  // 'p': "<state>proceeding</state>" of a dialog NOTIFY reads "confirmed".
  PROCEEDING_AS_CONFIRMED,
  // 'P': a dialog-opening Request-URI naming the main port loses the port.
  DROP_MAIN_PORT_FROM_URI,
  // 'Q': a 180 after a 183 starts the ringback and becomes the zero-media 200.
  RINGBACK_AFTER_EARLY_MEDIA,
  // 'r': without "rport", answers still go to the source port, not to the Via's.
  REPLY_TO_SOURCE_PORT,
  // 's': a NOTIFY's Call-Info "appearance-state" alerting or held-private reads "active".
  ACTIVE_APPEARANCE_STATE,
  // 'S': the INVITE retried after a challenge gets the first INVITE's body.
  RESTORE_SDP_AFTER_CHALLENGE,
  // 't': the client's INVITE, and zero-media requests toward the client, lose Record-Route.
  NO_RECORD_ROUTE,
  // 'T': zero-media mode: the client is answered with the relay's own tags and dialog.
  ZERO_MEDIA,
  // 'U': the client's INVITE offers only PCMU and telephone-event.
  ULAW_ONLY,
  // 'v': a registrar's 200 switches its domain to keeping Contacts.
  KEEP_CONTACT,
  // 'V': the server SDP loses its video media and "group".
  NO_VIDEO,
  // 'X': the server SDP is stripped to the `bare_sdp` codecs.
  BARE_SDP,
  // 'Y': the device is admitted to a restricted (`rstr`) domain.
  RESTRICTED_DOMAIN_ADMITTED,
  // 'B': the client's REFER gets a Referred-By of its own Contact even when it brings one.
  RESTORE_REFERRED_BY,
  // 'R': the Replaces embedded in the server's Refer-To is escaped anew where it is not valid.
  REESCAPE_REPLACES,
};

// A device's defects: the flags the code asks, and the letters they came as.
class Defects {
 public:
  Defects() = default;

  // Letters as configured or recorded, kept as they came for printing; letters that name no workaround
  // are kept too but set no flag.
  static Defects FromLetters(std::string_view letters);
  // The letters as they came, with added letters after them: what the HA records and log lines show.
  const std::string& Letters() const { return letters_; }

  static char Letter(Defect d);
  static std::optional<Defect> FromLetter(char c);

  bool Has(Defect d) const { return (flags_ & Bit(d)) != 0; }
  // Appends the defect's letter (again, when it is there already: the text shows every addition).
  void Add(Defect d);
  // All of more's letters after these (a subnet rule's letters).
  void Append(const Defects& more);
  // Those of more's letters that are not there yet.
  void AddMissing(const Defects& more);
  // Removes every occurrence; true when there was one.
  bool Remove(Defect d);
  void Clear() { *this = Defects(); }

  // Not looked up at all: not even the blank of a device the `broken` table does not list.
  bool Empty() const { return letters_.empty(); }
  // The letters came from a device the `broken` table lists (the text does not start with the blank).
  bool FromListedDevice() const { return !letters_.empty() && letters_[0] != ' '; }

  bool operator==(const Defects&) const = default;

 private:
  static uint64_t Bit(Defect d) { return uint64_t{1} << static_cast<unsigned>(d); }
  void AppendLetter(char c);

  uint64_t flags_ = 0;
  std::string letters_;
};
