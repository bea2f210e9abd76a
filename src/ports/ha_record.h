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

// Field pieces, also used by the tests.
std::string FormatDestinations(const MediaDestinations& d);
bool ParseDestinations(std::string_view text, MediaDestinations& d);
// "a.b.c.d:port" with every part in range; nothing else is an address here.
bool ParseAddress(std::string_view text, InetAddress& a);
std::vector<std::string_view> SplitFields(std::string_view text, char sep);

}  // namespace ha
