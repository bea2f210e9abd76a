// SRTP master keys as SDP carries them: the value of a "crypto" attribute (RFC 4568, "inline:" keys only),
// read from a client's SDP and written for the relay's own keys. Values without shared state: safe on any
// thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class SrtpSuite : int {
  NONE = 0,
  AES_CM_128_HMAC_SHA1_80 = 1,
  AES_CM_128_HMAC_SHA1_32 = 2,
  F8_128_HMAC_SHA1_32 = 3
};

// One "crypto" attribute value (RFC 4568): "<tag> <suite> inline:<base64 key||salt>[|lifetime][|mki:len]".
struct CryptoAttribute {
  static constexpr size_t kKeySize = 16;
  static constexpr size_t kSaltSize = 14;

  int tag = 0;
  SrtpSuite suite = SrtpSuite::NONE;
  std::array<uint8_t, kKeySize + kSaltSize> master{};  // 16-byte master key, then 14-byte master salt
  int mki = 0, mki_length = 0;                         // kept, not used on packets

  // Parses a value; on failure returns nullopt and puts the log line's text in *error ("ERROR: Unknown
  // Crypto-Suite: ..." or "ERROR: Incorrect 'inline:' key in Crypto: a=..."); fewer than three fields:
  // nullopt with an empty error. error may be null.
  static std::optional<CryptoAttribute> Parse(std::string_view value, std::string* error);
  // "<tag> <SUITE NAME> inline:<40 base64 chars>" (no lifetime, no MKI).
  std::string Text() const;
  // A fresh attribute of the relay's own: random master key and salt from the cryptographic generator
  // (never derived from anything a peer could know or guess), tag 0 becomes 1.
  static CryptoAttribute Fresh(SrtpSuite suite, int tag);

  bool SameKeys(const CryptoAttribute& other) const { return suite == other.suite && master == other.master; }
};

// Upper-case names ("AES_CM_128_HMAC_SHA1_80", ...), "UNKNOWN" for NONE.
const char* SuiteName(SrtpSuite);
