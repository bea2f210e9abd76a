#include "sip/headers/string.h"

#include "sip/scan.h"

bool StringHeader::Parse(std::string_view value) {
  value_.assign(sipscan::Trim(value));
  return true;
}
