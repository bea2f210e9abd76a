// A client's NAT/firewall type: the base type in the low 16 bits, modifiers and flags above. The
// values are fixed (they travel in HA records and the `subnet` keyword names them). Any thread.
#pragma once

#include <cstdint>
#include <string_view>

struct NatType {
  enum Mode : uint32_t {
    UNKNOWN = 0,
    TRANSPARENT = 1,
    RESTRICTED = 2,
    PORTPRESERVE = 3,
    OPAQUE = 4,
    ICMPREPL = 0x10000,
    LB = 0x20000,
    SNAT = 0x40000,
    MODIFMSK = 0xFF0000,
    PRXFRCD = 0x40000000,
    STICKY = 0x80000000,
    PREFIXES = 0xFFFF0000,
  };

  // Printable name with STICKY and PRXFRCD ignored; "<WRONG>" for a combination that does not exist.
  static const char* Name(Mode mode);

  // A configured type: optional modifiers and a type joined by '+', type last, any case
  // ("LB+Symmetric"). Only the combinations Name names are accepted; the result carries STICKY.
  static bool ParseConfigured(std::string_view text, Mode& mode);
};
