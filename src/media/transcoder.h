// The audio of one transcoded call: the client speaks a codec or packet size the server does not take,
// and every audio RTP packet between them goes through one Transcoder. From the client, packets are
// split or decoded into 20 ms server packets at once; from the server, 20 ms packets wait in a small
// reordering buffer until enough of them (or the wait) make one client packet. RTCP does not pass here.
// Pure packet work without sockets or clocks of its own: the call's packet handler feeds it packets and
// the time and arms its timer at FlushDue(). Media thread only (the one serving the call); one object per
// call, which also holds the codec state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "config/media_policy.h"
#include "media/reorder_buffer.h"

// Where a transcoder's packets go (the relay session sends them from the call's port pair).
class PacketSink {
 public:
  virtual ~PacketSink() = default;
  virtual void Deliver(const uint8_t* pkt, size_t len) = 0;
};

class Transcoder {
 public:
  static constexpr uint64_t kFlushWaitMs = 45;
  virtual ~Transcoder() = default;
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // G729_60: repacketises G.729 between 60 ms client packets and 20 ms server packets; ILBC_60: converts
  // iLBC 30 ms mode (client, payload type client_payload) to and from PCMU (server). Null for other codes.
  static std::unique_ptr<Transcoder> Make(TranscodeFormat client_code, uint8_t client_payload);
  // Labels of the client's and the server's audio RTP streams for the "Got ... from" log lines:
  // G.729: "CLN Audio G729  " and "SRV Audio G729  "; iLBC: "CLN Audio iLBC  " and "SRV Audio G711  ".
  virtual const char* ClientLabel() const = 0;
  virtual const char* ServerLabel() const = 0;
  // An accepted RTP packet from the client (len bytes; pkt may be changed in place, and has at least
  // rtp::kMaxTrailer spare bytes after len — nothing here reads or writes them): what the server gets goes
  // to `server`. A packet shorter than an RTP header is dropped.
  virtual void FromClient(uint8_t* pkt, size_t len, PacketSink& server) = 0;
  // An accepted RTP packet from the server, taken at now_ms: buffered for the client or passed on at once
  // (pkt may be changed in place). A packet shorter than an RTP header is dropped.
  void FromServer(uint8_t* pkt, size_t len, uint64_t now_ms, PacketSink& client);
  // When what is buffered must go to the client even if nothing more comes (0: nothing buffered).
  uint64_t FlushDue() const;
  // Media thread, at FlushDue or later: the buffered server audio goes to the client.
  void Flush(PacketSink& client);

 protected:
  // A server packet is buffered when it is one 20 ms frame of the server's codec: exactly server_size
  // bytes with payload type server_payload.
  Transcoder(uint8_t server_payload, size_t server_size);

  // The packet gets the next sequence number of its direction and is sent.
  void SendToServer(uint8_t* pkt, size_t len, PacketSink& server);
  void SendToClient(uint8_t* pkt, size_t len, PacketSink& client);
  // Sends what the (non-empty) buffer holds in the client's codec and removes what was used or must be
  // given up; what stays waits for the next flush.
  virtual void SendBuffered(ReorderBuffer& buffer, PacketSink& client) = 0;

  // RTP header fields (the caller has checked that the header is there).
  static uint8_t PayloadType(const uint8_t* pkt) { return pkt[1] & 0x7F; }
  static constexpr uint8_t kMarker = 0x80;
  static uint32_t Timestamp(const uint8_t* pkt);
  static void SetTimestamp(uint8_t* pkt, uint32_t timestamp);

 private:
  static void SetSequence(uint8_t* pkt, uint16_t seq);

  const uint8_t server_payload_;
  const size_t server_size_;
  // Outgoing sequence numbers, each incremented before use: the server's first packet carries 501, the
  // client's 101.
  uint16_t to_server_seq_ = 500;
  uint16_t to_client_seq_ = 100;
  ReorderBuffer buffer_;
  uint64_t last_arrival_ms_ = 0;  // of the packet buffered last
};
