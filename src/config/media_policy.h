// Media policy tables the configuration defines: transcoding codes and rules, and the helpers of the
// `broken`, `transcoding`, `bare_sdp` and `rsvp` keywords. Plain values and constant tables; any thread.
#pragma once

#include <cstdint>
#include <string>

enum TranscodeFormat { G729_60 = 0, ILBC_60 = 1, G729_20 = 2, PCMU_20 = 3 };

// Names ("g729/60", ...) and SDP media templates, indexed by TranscodeFormat. Port 65536 in a template is a
// placeholder the SDP rewriting replaces.
extern const char* const TransCode[4];
extern const char* const TransSDP[4];

struct TranscodingRule {
  TranscodeFormat client_code;  // codec the client offers; it decides how the media is converted
  TranscodeFormat server_code;  // codec used toward the server
};

// The supported (client, server) pairs, in lookup order.
extern const TranscodingRule TransVariants[2];

// The key of an `rsvp` rule: first address in the low half, second in the high half, host order.
inline uint64_t RsvpKey(uint32_t first, uint32_t second) {
  return static_cast<uint64_t>(first) | (static_cast<uint64_t>(second) << 32);
}
