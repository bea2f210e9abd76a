#include "sip/headers/number.h"

#include "sip/scan.h"

bool MaxForwardsHeader::Parse(std::string_view value) {
  value_ = sipscan::SaturatingAtoi(value);
  return true;
}

std::string& MaxForwardsHeader::Assemble(std::string& out) const { return out += std::to_string(value_); }
