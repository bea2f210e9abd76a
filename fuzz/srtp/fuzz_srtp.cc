// A client's "crypto" attribute and any datagram a client or server sends: the attribute parser reads only
// its input and writes back what it read; unprotect never reads or writes past the packet, whatever its
// lengths claim; protect writes at most its trailer, and what it protected comes back whole.
//
// The first byte chooses: 0 attribute, 1 SRTP and 2 SRTCP from a client (fixed keys, 80- or 32-bit tag by
// the second byte's low bit), 3 any packet through a relay leg and back through the client's side.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "media/rtp_header.h"
#include "media/srtp_context.h"
#include "media/srtp_keys.h"

namespace {

constexpr char kKeys80[] = "1 AES_CM_128_HMAC_SHA1_80 inline:4fl6DT4Bi+DWT6MsBt5BOQ7Gda1Jiv7rtpYLOqvm";
constexpr char kKeys32[] = "1 AES_CM_128_HMAC_SHA1_32 inline:4fl6DT4Bi+DWT6MsBt5BOQ7Gda1Jiv7rtpYLOqvm";

struct Contexts {
  SrtpContext attribute{1, 0}, client80{2, 0}, client32{3, 0}, relay{4, 0}, peer{5, 0};
  Contexts() {
    if (!client80.SetRecvCrypto(kKeys80) || !client32.SetRecvCrypto(kKeys32)) std::abort();
    relay.SetSendCrypto();
    if (!peer.SetRecvCrypto(relay.GetSendCrypto().c_str())) std::abort();
  }
};

void Attribute(Contexts& c, const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto attr = CryptoAttribute::Parse(value, &error);
  if (attr) {
    if (!error.empty()) std::abort();
    const auto back = CryptoAttribute::Parse(attr->Text(), nullptr);
    if (!back || back->suite != attr->suite || back->master != attr->master || back->tag != attr->tag)
      std::abort();
  }
  (void)c.attribute.SetRecvCrypto(value.c_str());
  c.attribute.SetSendCrypto();
  (void)c.attribute.GetSendCrypto();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Contexts contexts;
  if (size < 2 || size > rtp::kMaxReceive) return 0;
  const uint8_t mode = data[0] % 4;
  const bool tag80 = (data[1] & 1) != 0;
  data += 2;
  size -= 2;
  if (mode == 0) {
    Attribute(contexts, data, size);
    return 0;
  }
  // Exactly the room the relay's buffers leave, so that any write past the trailer is caught.
  std::vector<uint8_t> pkt(data, data + size);
  pkt.resize(size + rtp::kMaxTrailer);
  int len = static_cast<int>(size);
  bool rtcp = mode == 2;
  if (mode != 3) {
    (tag80 ? contexts.client80 : contexts.client32).RTPDecrypt(pkt.data(), len, rtcp);
    if (len < 0 || static_cast<size_t>(len) > size) std::abort();
    return 0;
  }
  contexts.relay.RTPEncrypt(pkt.data(), len, rtcp);
  if (len == 0) return 0;
  if (static_cast<size_t>(len) > size + rtp::kMaxTrailer) std::abort();
  contexts.peer.RTPDecrypt(pkt.data(), len, rtcp);
  if (len != 0 && (static_cast<size_t>(len) != size || std::memcmp(pkt.data(), data, size) != 0))
    std::abort();
  return 0;
}
