// Builds SDP texts for tests from one string per line, each line ended with CR LF as on the wire, and parses
// texts a test expects to be accepted.
#pragma once

#include <gtest/gtest.h>

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

inline Sdp Parsed(const std::string& text) {
  Sdp sdp;
  EXPECT_TRUE(sdp.Parse(text)) << text;
  return sdp;
}
