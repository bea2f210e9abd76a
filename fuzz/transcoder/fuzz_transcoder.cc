// Any RTP packet either side of a transcoded call can send, in any order and timing, through both
// transcoders (G.729 repacketising and iLBC to PCMU): nothing is read or written outside a packet, nothing
// shorter than a header goes on, every packet sent is numbered one after the last of its direction, and a
// flush leaves nothing waiting.
// Input: records of one control byte, one length byte and that many packet bytes (cut at the input's end).
// Control bit 0: from the server (else the client); bits 1-6: milliseconds the clock advances first;
// bit 7: flush now, due or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "media/rtp_header.h"
#include "media/transcoder.h"

namespace {

constexpr uint8_t kIlbcPayload = 97;
constexpr size_t kMaxRecords = 64;  // the iLBC codec is slow under the sanitizers

// Checks each packet a transcoder sends in one direction.
class CheckingSink : public PacketSink {
 public:
  explicit CheckingSink(uint16_t first) : next_seq_(first) {}
  size_t longest_input = 0;

  void Deliver(const uint8_t* pkt, size_t len) override {
    if (len < rtp::kHeaderSize || len > (longest_input > 172 ? longest_input : 172)) std::abort();
    if (rtp::Sequence(pkt, len) != next_seq_++) std::abort();
    unsigned sum = 0;  // reads every byte, so ASan sees a packet that runs past its storage
    for (size_t i = 0; i < len; ++i) sum += pkt[i];
    sink_ = sink_ + sum;
  }

 private:
  uint16_t next_seq_;
  volatile unsigned sink_ = 0;
};

struct Call {
  explicit Call(TranscodeFormat code) : transcoder(Transcoder::Make(code, kIlbcPayload)) {}
  std::unique_ptr<Transcoder> transcoder;
  CheckingSink server{501}, client{101};

  void Flush() {
    transcoder->Flush(client);
    if (transcoder->FlushDue() != 0) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Call calls[] = {Call(G729_60), Call(ILBC_60)};
  uint64_t now = 1000;
  size_t at = 0;
  for (size_t records = 0; at + 2 <= size && records < kMaxRecords; ++records) {
    const uint8_t control = data[at];
    size_t len = data[at + 1];
    at += 2;
    if (len > size - at) len = size - at;
    now += (control >> 1) & 0x3F;
    for (Call& call : calls) {
      if (call.transcoder->FlushDue() != 0 && call.transcoder->FlushDue() <= now) call.Flush();
      if (control & 0x80) call.Flush();
      std::vector<uint8_t> pkt(data + at, data + at + len);  // exact size: any overread is caught
      if (control & 1) {
        call.client.longest_input = len;
        call.transcoder->FromServer(pkt.data(), pkt.size(), now, call.client);
      } else {
        call.server.longest_input = len;
        call.transcoder->FromClient(pkt.data(), pkt.size(), call.server);
      }
    }
    at += len;
  }
  for (Call& call : calls) call.Flush();
  return 0;
}
