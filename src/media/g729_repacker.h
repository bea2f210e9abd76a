// G.729 between a client that sends and takes 60 ms packets (three 20-byte frames of 20 ms) and a server
// that uses 20 ms packets: the client's packets are split, the server's joined up to three at a
// time. Only the packetisation changes; the frames pass untouched. Media thread only, like Transcoder.
#pragma once

#include "media/transcoder.h"

class G729Repacker final : public Transcoder {
 public:
  static constexpr uint8_t kPayloadType = 18;
  static constexpr size_t kFrameBytes = 20;  // 20 ms of G.729 (two 10 ms codec frames)

  G729Repacker();

  const char* ClientLabel() const override { return "CLN Audio G729  "; }
  const char* ServerLabel() const override { return "SRV Audio G729  "; }
  void FromClient(uint8_t* pkt, size_t len, PacketSink& server) override;

 private:
  void SendBuffered(ReorderBuffer& buffer, PacketSink& client) override;
};
