// The one-line description of an RTCP compound packet that the relay logs (reports, byes, other types).
// A pure function over caller-owned bytes: safe on any thread; every read stays inside the packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Sub-packet descriptions separated by ";   ". A sub-packet that claims more bytes than remain ends the walk;
// report blocks and sender information that do not fit their sub-packet are left out.
std::string DescribeRTCP(const uint8_t* pkt, size_t len);
