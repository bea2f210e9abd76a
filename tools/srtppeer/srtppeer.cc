// srtppeer: a phone's SRTP side for the end-to-end tests, straight on libsrtp2.
//   srtppeer protect|unprotect "<tag> <suite> inline:<base64 key and salt>[|...]"
// Reads packets from standard input, each as a 2-byte big-endian length and the bytes, and writes each
// result the same way (length 0: libsrtp2 refused it). Packets whose second byte is 192 to 223 are RTCP.
// One session for the whole run, so replays and sequence wraps behave as in a call. Single-threaded.
#include <openssl/evp.h>
#include <srtp2/srtp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool ReadExact(uint8_t* p, size_t n) { return std::fread(p, 1, n, stdin) == n; }

void Write(const uint8_t* p, int n) {
  const uint8_t len[2] = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  std::fwrite(len, 1, 2, stdout);
  if (n > 0) std::fwrite(p, 1, static_cast<size_t>(n), stdout);
}

// The suite and the 30 bytes of master key and salt of an attribute value; false when unusable.
bool Keys(const std::string& value, srtp_policy_t& policy, uint8_t* master) {
  char suite[64];
  char key[128];
  if (std::sscanf(value.c_str(), "%*d %63s inline:%127[^| ]", suite, key) != 2 || std::strlen(key) != 40)
    return false;
  uint8_t decoded[32];
  if (EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(key), 40) != 30) return false;
  std::memcpy(master, decoded, 30);
  if (std::strcmp(suite, "AES_CM_128_HMAC_SHA1_80") == 0) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
  } else if (std::strcmp(suite, "AES_CM_128_HMAC_SHA1_32") == 0) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
  } else {
    return false;
  }
  srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "protect") != 0 && std::strcmp(argv[1], "unprotect") != 0)) {
    std::fprintf(stderr, "usage: srtppeer protect|unprotect CRYPTO-VALUE < packets > packets\n");
    return 1;
  }
  const bool protect = std::strcmp(argv[1], "protect") == 0;
  srtp_policy_t policy{};
  uint8_t master[30];
  if (!Keys(argv[2], policy, master)) {
    std::fprintf(stderr, "srtppeer: unusable crypto value\n");
    return 1;
  }
  policy.ssrc.type = protect ? ssrc_any_outbound : ssrc_any_inbound;
  policy.key = master;
  policy.window_size = 1024;
  srtp_t session = nullptr;
  if (srtp_init() != srtp_err_status_ok || srtp_create(&session, &policy) != srtp_err_status_ok) return 1;
  uint8_t packet[2048 + SRTP_MAX_TRAILER_LEN];
  uint8_t len_bytes[2];
  while (ReadExact(len_bytes, 2)) {
    int len = (len_bytes[0] << 8) | len_bytes[1];
    if (len > 2048 || !ReadExact(packet, static_cast<size_t>(len))) return 1;
    const bool rtcp = len >= 2 && packet[1] >= 192 && packet[1] <= 223;
    srtp_err_status_t status;
    if (protect) {
      status = rtcp ? srtp_protect_rtcp(session, packet, &len) : srtp_protect(session, packet, &len);
    } else {
      status = rtcp ? srtp_unprotect_rtcp(session, packet, &len) : srtp_unprotect(session, packet, &len);
    }
    Write(packet, status == srtp_err_status_ok ? len : 0);
  }
  srtp_dealloc(session);
  return 0;
}
