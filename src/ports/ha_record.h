// The records two relays of a high-availability pair exchange (registration, un-registration, call start
// and end, the request for the peer's calls): their text forms, and a strict parser that accepts a record
// only when every field is well formed. Pure functions: safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/defects.h"
#include "foundation/inet_addr.h"

namespace ha {

// The longest record a relay reads from its peer.
constexpr size_t kMaxRecord = 2046;

// Registration flags as the record carries them (a decimal sum).
enum RegistrationFlag : unsigned {
  FULL_DOMAIN = 1,
  PUBLIC_IP = 2,
  INDIRECT = 4,
  SRTP_ALLOWED = 8,
  PERSISTENT = 16,
  TRANSCODING = 32,
  DOUBLE_NAT = 64,
  CHAINED = 128
};

struct RegistrationRecord {
  std::string ncont;  // the Contact the relay shows the server: the registration's key
  std::string ocont;  // the client's own Contact
  std::string callid;
  Defects defects;
  std::string user_domain;  // "user@domain"
  std::string full_user;
  InetAddress hole;     // the client's public SIP address
  long expires_in = 0;  // seconds until expiry
  int reg_tm = 0;       // the client's registration interval
  int log_level = 0;
  unsigned flags = 0;  // RegistrationFlag bits
  std::string to_tag;
  InetAddress unreg_server;  // empty: the relay does not unregister the client itself
  unsigned nat_type = 0;     // NatType::Mode
  uint32_t exp_rtp_ip = 0;   // host order
};

// Where one side's media goes: audio RTP and RTCP, and video when present.
struct MediaDestinations {
  InetAddress rtp, rtcp;
  bool video = false;
  InetAddress vrtp, vrtcp;
};

struct LocalPorts {
  unsigned audio = 0;  // 0: none
  unsigned video = 0;  // 0: none
};

struct CallRecord {
  bool full = false;  // "F": the media are relayed by the sender
  std::string key;
  std::string ncont;
  std::string ocont;
  Defects defects;
  int shift = 0;
  LocalPorts cln_ports;
  MediaDestinations cln_dests;
  bool has_cln_dests = false;
  InetAddress cln_sip;
  LocalPorts srv_ports;
  MediaDestinations srv_dests;
  bool has_srv_dests = false;
  InetAddress srv_sip;
  std::string route_set;  // "<contact>,<record-route>..." of the call's stored server message
  std::string to_tag;
  int transc = 0;
  std::string domain;
  unsigned flags = 0;  // the call's replicated flags
};

struct Record {
  enum Kind { REQUEST, REGISTER, UNREGISTER, CALL, CALL_END, UNKNOWN } kind = UNKNOWN;
  char command = '\0';
  std::string key;  // UnReg: the contact; CallEnd: the dialog key
  RegistrationRecord reg;
  CallRecord call;
};

// One datagram from the peer: its trailing newline dropped. Nothing for an empty text, for a known command
// with the wrong number of fields or with a field that is not what it must be, and for an over-long text.
// An unknown command gives kind Unknown with its letter, so that it can be logged.
std::optional<Record> Parse(std::string_view text);

std::string FormatRequest();
std::string FormatRegistration(const RegistrationRecord& r);
std::string FormatUnregistration(const std::string& ncont);
std::string FormatCall(const CallRecord& c);
std::string FormatCallEnd(const std::string& key);

// A flood-protection block shared by the relays of a cluster through the state store's channel (and kept
// in the store as the relay's own record): "K|<node>|<a.b.c.d>:<port>|<seconds>" sets it for the seconds
// left, "k|<node>|<a.b.c.d>:<port>" lifts it. Port 0 is the whole address. The node is the sender's name,
// so that a relay skips its own messages.
struct BlockRecord {
  bool on = false;
  std::string node;
  uint32_t ip = 0;  // host order
  int port = 0;
  long seconds = 0;  // on: left to run
};
// Nothing unless the text is exactly one of the two forms, with a node name of letters, digits, '.', '-'
// and '_', an address other than 0.0.0.0 and, to block, 1 to 86400 seconds.
std::optional<BlockRecord> ParseBlock(std::string_view text);
std::string FormatBlock(const BlockRecord& b);
// The characters a node or cluster name may hold (they name the store's keys and channel).
bool IsStoreName(std::string_view name);

// Field pieces, also used by the tests.
std::string FormatDestinations(const MediaDestinations& d);
bool ParseDestinations(std::string_view text, MediaDestinations& d);
// "a.b.c.d:port" with every part in range; nothing else is an address here.
bool ParseAddress(std::string_view text, InetAddress& a);
std::vector<std::string_view> SplitFields(std::string_view text, char sep);

// Why a formatted record cannot go to the peer as it is. A text field holding the separator or a line end
// would shift or cut the fields at the peer, which then drops the whole record; a datagram longer than
// kMaxRecord is not read there. `trailer` is what sealing adds (kTrailerLength with a secret, else 0).
enum class Unsendable { NONE, SEPARATOR, TOO_LONG };
Unsendable CheckOutgoing(std::string_view record, size_t trailer);

// With a shared secret each record carries a trailer: "<record>|<boot>.<counter>|<mac>". boot is the
// sender's start time in microseconds, counter its records since then (from 1), and mac the first 16 bytes
// of HMAC-SHA-256 under the secret over everything before the last '|', in lower-case hex.
struct Sequence {
  uint64_t boot = 0;
  uint64_t counter = 0;
};
constexpr size_t kMacHexLength = 32;
// The longest trailer: two separators, two 20-digit numbers and their dot, the MAC.
constexpr size_t kTrailerLength = 2 + 20 + 1 + 20 + kMacHexLength;

std::string Seal(std::string_view record, std::string_view secret, Sequence seq);
// The record inside a sealed datagram (its trailing newline dropped) and its sequence, when the trailer
// is well formed and its MAC right; nothing otherwise.
std::optional<std::string_view> Unseal(std::string_view text, std::string_view secret, Sequence& seq);

// What the receiver has accepted from its peer, to refuse a record it has seen. The peer's boot only
// grows: a record of a later boot is a restarted peer and starts afresh, one of an earlier boot is refused.
// Within a boot the counters of the last kWindow records are remembered, so that records sent at once by
// several threads may arrive out of order. A record carrying this relay's own boot is its own, reflected.
class ReplayWindow {
 public:
  enum Verdict { ACCEPTED, REPLAYED, OLD_BOOT, OWN };
  static constexpr uint64_t kWindow = 64;
  explicit ReplayWindow(uint64_t own_boot = 0) : own_boot_(own_boot) {}
  void OwnBoot(uint64_t boot) { own_boot_ = boot; }
  Verdict Check(Sequence s);

 private:
  uint64_t own_boot_;
  uint64_t boot_ = 0;
  uint64_t highest_ = 0;  // 0: nothing accepted from boot_ yet
  uint64_t seen_ = 0;     // bit i: highest_ - i accepted
};

}  // namespace ha
