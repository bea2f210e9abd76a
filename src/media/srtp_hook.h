// SrtpHook: the in-place packet transforms of a client leg's SRTP context, as the relay thread calls them.
// Called only from the relay thread of the call that owns the context.
#pragma once

#include <cstdint>

class SrtpHook {
 public:
  virtual ~SrtpHook() = default;
  // pkt has room for the largest trailer (rtp::kMaxTrailer) beyond len. `rtcp` is true for packets of an
  // RTCP socket and is set when a packet turns out to be RTCP; len is updated, and 0 means: drop the packet.
  virtual void RTPDecrypt(uint8_t* pkt, int& len, bool& rtcp) = 0;
  virtual void RTPEncrypt(uint8_t* pkt, int& len, bool& rtcp) = 0;
};
