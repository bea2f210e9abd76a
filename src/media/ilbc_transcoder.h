// iLBC in 30 ms mode toward the client (60 ms packets: two 50-byte frames) and G.711 mu-law (PCMU, 20 ms
// packets) toward the server. The client's iLBC is decoded (enhancer on; a frame that does not decode is
// concealed, never trusted) and re-encoded as three PCMU packets; the server's PCMU is joined three packets
// at a time and encoded as two iLBC frames. Media thread only, like Transcoder; the codec state of the
// call's two directions lives here.
#pragma once

#include "media/ilbc/decoder.h"
#include "media/ilbc/encoder.h"
#include "media/transcoder.h"

class IlbcTranscoder final : public Transcoder {
 public:
  static constexpr uint8_t kPcmuPayloadType = 0;
  static constexpr size_t kPcmuBytes = 160;  // 20 ms of mu-law

  // client_payload: the dynamic payload type the client's SDP gave iLBC.
  explicit IlbcTranscoder(uint8_t client_payload);

  const char* ClientLabel() const override { return "CLN Audio iLBC  "; }
  const char* ServerLabel() const override { return "SRV Audio G711  "; }
  void FromClient(uint8_t* pkt, size_t len, PacketSink& server) override;

 private:
  void SendBuffered(ReorderBuffer& buffer, PacketSink& client) override;

  const uint8_t client_payload_;
  ostrel::ilbc::Decoder decoder_{true};
  ostrel::ilbc::Encoder encoder_;
};
