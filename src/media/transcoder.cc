#include "media/transcoder.h"

#include "media/g729_repacker.h"
#include "media/ilbc_transcoder.h"
#include "media/rtp_header.h"

std::unique_ptr<Transcoder> Transcoder::Make(TranscodeFormat client_code, uint8_t client_payload) {
  switch (client_code) {
    case G729_60:
      return std::make_unique<G729Repacker>();
    case ILBC_60:
      return std::make_unique<IlbcTranscoder>(client_payload);
    default:
      return nullptr;
  }
}

Transcoder::Transcoder(uint8_t server_payload, size_t server_size)
    : server_payload_(server_payload), server_size_(server_size) {}

uint32_t Transcoder::Timestamp(const uint8_t* pkt) { return rtp::BigEndian32(pkt + 4); }

void Transcoder::SetTimestamp(uint8_t* pkt, uint32_t timestamp) {
  for (int i = 0; i < 4; ++i) pkt[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
}

void Transcoder::SetSequence(uint8_t* pkt, uint16_t seq) {
  pkt[2] = static_cast<uint8_t>(seq >> 8);
  pkt[3] = static_cast<uint8_t>(seq);
}

void Transcoder::SendToServer(uint8_t* pkt, size_t len, PacketSink& server) {
  SetSequence(pkt, ++to_server_seq_);
  server.Deliver(pkt, len);
}

void Transcoder::SendToClient(uint8_t* pkt, size_t len, PacketSink& client) {
  SetSequence(pkt, ++to_client_seq_);
  client.Deliver(pkt, len);
}

void Transcoder::FromServer(uint8_t* pkt, size_t len, uint64_t now_ms, PacketSink& client) {
  if (len < rtp::kHeaderSize) return;
  if (len != server_size_ || PayloadType(pkt) != server_payload_) {
    SendToClient(pkt, len, client);  // DTMF, comfort noise, another codec or size: not ours to join
    return;
  }
  // Cannot fail: four buffered packets are flushed below before a fifth arrives.
  if (!buffer_.Insert(pkt, len)) return;
  last_arrival_ms_ = now_ms;
  if (buffer_.Size() >= ReorderBuffer::kCapacity || buffer_.ThreeInARow()) Flush(client);
}

uint64_t Transcoder::FlushDue() const { return buffer_.Empty() ? 0 : last_arrival_ms_ + kFlushWaitMs; }

void Transcoder::Flush(PacketSink& client) {
  if (!buffer_.Empty()) SendBuffered(buffer_, client);
}
