// Any datagram a media port can receive: the RTCP description, the RTP header fields and the client guard's
// stream test read only inside the packet and never crash.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/client_guard.h"
#include "media/rtcp_text.h"
#include "media/rtp_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> pkt(data, data + size);  // exact size, so any overread is caught
  const uint8_t* p = pkt.data();
  (void)DescribeRTCP(p, pkt.size());
  (void)rtp::IsVersion2(p, pkt.size());
  (void)rtp::Ssrc(p, pkt.size());
  (void)rtp::Sequence(p, pkt.size());
  // A new call's guard (the pace test), then one that took the packet as the client's own stream.
  for (bool known : {false, true}) {
    ClientGuard guard(0x0A000001);
    if (known) (void)guard.Accepted(0x0A000001, true, p, pkt.size(), 0);
    for (uint64_t t = 0; t < 30; ++t) (void)guard.Check(0x0A000003, 0x0A000002, true, p, pkt.size(), t * 20);
  }
  return 0;
}
