// The signature a relayed client SDP carries in its session attribute "tool", so that the relay recognises
// the SDP of another of its clients (behind the same NAT) coming back from the server. Pure functions.
// Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SignatureBlock {
  uint32_t csip = 0;   // the client's public address
  uint32_t csdp = 0;   // the address in the client's own SDP
  uint16_t aport = 0;  // the audio port of the client's SDP; 0 once a double NAT was seen
  uint16_t vport = 0;  // the client's video port
};

// "tool" values are this prefix followed by the 16 Base64 characters of the block's 12 bytes.
inline constexpr std::string_view kToolPrefix = "ostrel-";
inline constexpr size_t kToolLength = 23;

// The 16 characters (the block's words in host byte order, as they are in memory).
std::string EncodeSignature(const SignatureBlock& block);
// Decodes as far as the text goes; missing bytes stay 0.
SignatureBlock DecodeSignature(std::string_view text);
// The 16 characters of a "tool" value that carries a signature; empty when it carries none.
std::string_view SignatureOfTool(const char* tool);
