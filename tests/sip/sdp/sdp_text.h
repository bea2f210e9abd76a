// Builds SDP texts for tests from one string per line, each line ended with CR LF as on the wire.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

inline std::string Crlf(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (auto l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}
