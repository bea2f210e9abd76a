#include "media/g729_repacker.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "media/rtp_header.h"

namespace {

constexpr size_t kFramesPerClientPacket = 3;
constexpr uint32_t kSamplesPerFrame = 160;  // 20 ms at 8 kHz

}  // namespace

G729Repacker::G729Repacker() : Transcoder(kPayloadType, rtp::kHeaderSize + kFrameBytes) {}

void G729Repacker::FromClient(uint8_t* pkt, size_t len, PacketSink& server) {
  if (len < rtp::kHeaderSize) return;
  if (PayloadType(pkt) != kPayloadType) {
    SendToServer(pkt, len, server);  // DTMF and anything else pass unchanged
    return;
  }
  // One server packet per whole frame; bytes after the last whole frame are not sent.
  const size_t frames = (len - rtp::kHeaderSize) / kFrameBytes;
  const uint32_t timestamp = Timestamp(pkt);
  std::array<uint8_t, rtp::kHeaderSize + kFrameBytes> out;
  std::memcpy(out.data(), pkt, rtp::kHeaderSize);
  for (size_t k = 0; k < frames; ++k) {
    if (k > 0) {
      out[1] = kPayloadType;  // the marker belongs to the first packet only
      SetTimestamp(out.data(), timestamp + static_cast<uint32_t>(k) * kSamplesPerFrame);
    }
    std::memcpy(out.data() + rtp::kHeaderSize, pkt + rtp::kHeaderSize + k * kFrameBytes, kFrameBytes);
    SendToServer(out.data(), out.size(), server);
  }
}

void G729Repacker::SendBuffered(ReorderBuffer& buffer, PacketSink& client) {
  std::array<uint8_t, rtp::kHeaderSize + kFramesPerClientPacket * kFrameBytes> out;
  while (!buffer.Empty()) {
    // The first packet's header, then the frames of up to three packets in sequence order (each buffered
    // packet is exactly a header and one frame).
    const size_t taken = std::min(buffer.Size(), kFramesPerClientPacket);
    std::memcpy(out.data(), buffer.Packet(0).data(), rtp::kHeaderSize);
    for (size_t k = 0; k < taken; ++k)
      std::memcpy(out.data() + rtp::kHeaderSize + k * kFrameBytes, buffer.Packet(k).data() + rtp::kHeaderSize,
                  kFrameBytes);
    SendToClient(out.data(), rtp::kHeaderSize + taken * kFrameBytes, client);
    buffer.DropFront(taken);
  }
}
