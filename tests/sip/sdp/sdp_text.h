// Builds SDP texts for tests from one string per line, each line ended with CR LF as on the wire, and parses
// texts a test expects to be accepted.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "sip/sdp/sdp.h"

inline std::string Crlf(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (auto l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

// The same from one string, lines joined by '|': tables of descriptions keep one row per case.
inline std::string Lines(std::string_view rows) {
  std::string out;
  for (size_t at = 0; at < rows.size();) {
    const size_t bar = std::min(rows.find('|', at), rows.size());
    out.append(rows.substr(at, bar - at)).append("\r\n");
    at = bar + 1;
  }
  return out;
}

inline Sdp Parsed(const std::string& text) {
  Sdp sdp;
  EXPECT_TRUE(sdp.Parse(text)) << text;
  return sdp;
}
