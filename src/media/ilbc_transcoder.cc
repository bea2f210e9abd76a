#include "media/ilbc_transcoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "media/g711.h"
#include "media/rtp_header.h"

namespace {

using ostrel::ilbc::kFrameBytes;
using ostrel::ilbc::kFrameSamples;

constexpr size_t kFramesPerClientPacket = 2;
constexpr size_t kClientPacketSize = rtp::kHeaderSize + kFramesPerClientPacket * kFrameBytes;  // 112
constexpr size_t kServerPacketsPerClientPacket = 3;
constexpr uint32_t kSamplesPerServerPacket = 160;

}  // namespace

IlbcTranscoder::IlbcTranscoder(uint8_t client_payload)
    : Transcoder(kPcmuPayloadType, rtp::kHeaderSize + kPcmuBytes), client_payload_(client_payload & 0x7F) {}

void IlbcTranscoder::FromClient(uint8_t* pkt, size_t len, PacketSink& server) {
  if (len < rtp::kHeaderSize) return;
  if (len != kClientPacketSize || PayloadType(pkt) != client_payload_) {
    SendToServer(pkt, len, server);  // DTMF, another codec or packet size: passed unchanged
    return;
  }
  std::array<int16_t, kFramesPerClientPacket * kFrameSamples> pcm;
  for (size_t f = 0; f < kFramesPerClientPacket; ++f)
    decoder_.Decode(
        std::span<const uint8_t, kFrameBytes>(pkt + rtp::kHeaderSize + f * kFrameBytes, kFrameBytes),
        std::span<int16_t, kFrameSamples>(pcm.data() + f * kFrameSamples, kFrameSamples));

  // Three 20 ms packets; each timestamp is advanced before it is used, so the first is the client's plus 160.
  std::array<uint8_t, rtp::kHeaderSize + kPcmuBytes> out;
  std::memcpy(out.data(), pkt, rtp::kHeaderSize);
  out[1] = static_cast<uint8_t>((pkt[1] & kMarker) | kPcmuPayloadType);
  uint32_t timestamp = Timestamp(pkt);
  for (size_t k = 0; k < kServerPacketsPerClientPacket; ++k) {
    if (k > 0) out[1] = kPcmuPayloadType;  // the marker belongs to the first packet only
    timestamp += kSamplesPerServerPacket;
    SetTimestamp(out.data(), timestamp);
    for (size_t i = 0; i < kPcmuBytes; ++i) out[rtp::kHeaderSize + i] = linear2ulaw(pcm[k * kPcmuBytes + i]);
    SendToServer(out.data(), out.size(), server);
  }
}

void IlbcTranscoder::SendBuffered(ReorderBuffer& buffer, PacketSink& client) {
  // Every buffered packet is a header and exactly kPcmuBytes of mu-law (Transcoder buffers no other). Each
  // iLBC frame takes the next 240 bytes across them, so c packets make c - 1 frames, at most two: three
  // packets fill one client packet, two give one frame and lose the rest, one alone is dropped.
  const size_t frames = std::min(buffer.Size() - 1, kFramesPerClientPacket);
  if (frames > 0) {
    std::array<uint8_t, kClientPacketSize> out;
    std::memcpy(out.data(), buffer.Packet(0).data(), rtp::kHeaderSize);  // its timestamp and SSRC
    out[1] = static_cast<uint8_t>((out[1] & kMarker) | client_payload_);
    std::array<int16_t, kFrameSamples> pcm;
    size_t packet = 0, offset = 0;  // where the next mu-law byte is
    for (size_t f = 0; f < frames; ++f) {
      for (auto& sample : pcm) {
        sample = ulaw2linear(buffer.Packet(packet)[rtp::kHeaderSize + offset]);
        if (++offset == kPcmuBytes) {
          offset = 0;
          ++packet;
        }
      }
      encoder_.Encode(
          pcm, std::span<uint8_t, kFrameBytes>(out.data() + rtp::kHeaderSize + f * kFrameBytes, kFrameBytes));
    }
    SendToClient(out.data(), rtp::kHeaderSize + frames * kFrameBytes, client);
  }
  buffer.DropFront(kServerPacketsPerClientPacket);
}
