#include "config/fw_type.h"

#include <strings.h>

#include <string>

namespace {

bool EqualNoCase(std::string_view a, const char* b) {
  std::string copy(a);
  return strcasecmp(copy.c_str(), b) == 0;
}

bool IsNamedCombination(uint32_t mode) {
  switch (mode) {
    case NatType::TRANSPARENT:
    case NatType::RESTRICTED:
    case NatType::PORTPRESERVE:
    case NatType::OPAQUE:
    case NatType::ICMPREPL | NatType::RESTRICTED:
    case NatType::ICMPREPL | NatType::PORTPRESERVE:
    case NatType::LB | NatType::OPAQUE:
    case NatType::SNAT | NatType::OPAQUE:
      return true;
    default:
      return false;
  }
}

}  // namespace

const char* NatType::Name(Mode mode) {
  switch (mode & ~(STICKY | PRXFRCD)) {
    case UNKNOWN:
      return "UNKNOWN";
    case TRANSPARENT:
      return "Transparent";
    case RESTRICTED:
      return "Restricted";
    case PORTPRESERVE:
      return "PortPreserve";
    case OPAQUE:
      return "Symmetric";
    case LB | OPAQUE:
      return "LB+Symmetric";
    case SNAT | OPAQUE:
      return "SNAT+Symmetric";
    case ICMPREPL | PORTPRESERVE:
      return "ICMP+PortPreserve";
    case ICMPREPL | RESTRICTED:
      return "ICMP+Restricted";
    default:
      return "<WRONG>";
  }
}

bool NatType::ParseConfigured(std::string_view text, Mode& mode) {
  uint32_t result = 0;
  bool have_type = false;
  while (!text.empty()) {
    size_t plus = text.find('+');
    std::string_view word = text.substr(0, plus);
    text = (plus == std::string_view::npos) ? std::string_view() : text.substr(plus + 1);
    if (have_type) return false;  // the type must come last
    if (EqualNoCase(word, "icmp")) {
      result |= ICMPREPL;
    } else if (EqualNoCase(word, "lb")) {
      result |= LB;
    } else if (EqualNoCase(word, "snat")) {
      result |= SNAT;
    } else if (EqualNoCase(word, "Transparent")) {
      result |= TRANSPARENT, have_type = true;
    } else if (EqualNoCase(word, "Restricted")) {
      result |= RESTRICTED, have_type = true;
    } else if (EqualNoCase(word, "PortPreserve")) {
      result |= PORTPRESERVE, have_type = true;
    } else if (EqualNoCase(word, "Symmetric")) {
      result |= OPAQUE, have_type = true;
    } else {
      return false;
    }
  }
  if (!have_type || !IsNamedCombination(result)) return false;
  mode = static_cast<Mode>(result | STICKY);
  return true;
}
