#include "media/srtp_openssl.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <srtp2/auth.h>
#include <srtp2/cipher.h>
#include <srtp2/srtp.h>

#include <climits>
#include <cstring>
#include <new>

namespace {

constexpr int kAesKeySize = SRTP_AES_128_KEY_LEN;  // 16
constexpr int kSaltSize = SRTP_SALT_LEN;           // 14
constexpr int kBlockSize = 16;
constexpr int kSha1Size = 20;

// Fetched once at installation: an explicit fetch spares OpenSSL a provider look-up at every key.
EVP_CIPHER* g_aes_128_ctr = nullptr;
EVP_MAC* g_hmac = nullptr;

// ---- AES-128 in integer counter mode (RFC 3711 4.1.1) ----
//
// libsrtp2 hands init() the session key followed by the 14-byte session salt, and set_iv() a 16-byte IV
// (for a packet: SSRC and index; for key derivation: the label); the counter block is the salt, padded
// with two zero bytes (the block counter), XOR the IV. The key stays in the OpenSSL context; set_iv only
// loads the new counter block.

struct IcmState {
  EVP_CIPHER_CTX* ctx = nullptr;
  uint8_t offset[kBlockSize] = {};  // the salt, its last two bytes zero
};

struct IcmCipher {
  srtp_cipher_t cipher{};
  IcmState state;
};

extern const srtp_cipher_type_t kAesIcm128;

srtp_err_status_t IcmAlloc(srtp_cipher_t** c, int key_len, int /*tag_len*/) {
  if (key_len != SRTP_AES_ICM_128_KEY_LEN_WSALT) return srtp_err_status_bad_param;
  auto* icm = new (std::nothrow) IcmCipher;
  if (icm == nullptr) return srtp_err_status_alloc_fail;
  icm->state.ctx = EVP_CIPHER_CTX_new();
  if (icm->state.ctx == nullptr) {
    delete icm;
    return srtp_err_status_alloc_fail;
  }
  icm->cipher.type = &kAesIcm128;
  icm->cipher.state = &icm->state;
  icm->cipher.key_len = key_len;
  icm->cipher.algorithm = SRTP_AES_ICM_128;
  *c = &icm->cipher;
  return srtp_err_status_ok;
}

srtp_err_status_t IcmDealloc(srtp_cipher_t* c) {
  if (c == nullptr) return srtp_err_status_bad_param;
  auto* icm = reinterpret_cast<IcmCipher*>(c);  // cipher is the first member
  EVP_CIPHER_CTX_free(icm->state.ctx);          // cleanses the key schedule
  OPENSSL_cleanse(icm->state.offset, sizeof icm->state.offset);
  delete icm;
  return srtp_err_status_ok;
}

srtp_err_status_t IcmInit(void* state, const uint8_t* key) {
  auto* s = static_cast<IcmState*>(state);
  std::memcpy(s->offset, key + kAesKeySize, kSaltSize);
  s->offset[kSaltSize] = s->offset[kSaltSize + 1] = 0;
  if (EVP_EncryptInit_ex2(s->ctx, g_aes_128_ctr, key, nullptr, nullptr) != 1)
    return srtp_err_status_init_fail;
  return srtp_err_status_ok;
}

srtp_err_status_t IcmSetIv(void* state, uint8_t* iv, srtp_cipher_direction_t /*direction*/) {
  auto* s = static_cast<IcmState*>(state);
  uint8_t counter[kBlockSize];
  for (int i = 0; i < kBlockSize; ++i) counter[i] = s->offset[i] ^ iv[i];
  // A new IV restarts the key stream at its first byte.
  if (EVP_EncryptInit_ex2(s->ctx, nullptr, nullptr, counter, nullptr) != 1)
    return srtp_err_status_cipher_fail;
  return srtp_err_status_ok;
}

// Counter mode: encryption and decryption are the same XOR with the key stream, in place.
srtp_err_status_t IcmCrypt(void* state, uint8_t* buffer, unsigned int* octets) {
  if (*octets > static_cast<unsigned int>(INT_MAX)) return srtp_err_status_bad_param;
  auto* s = static_cast<IcmState*>(state);
  int out = 0;
  if (EVP_EncryptUpdate(s->ctx, buffer, &out, buffer, static_cast<int>(*octets)) != 1) {
    return srtp_err_status_cipher_fail;
  }
  *octets = static_cast<unsigned int>(out);
  return srtp_err_status_ok;
}

// RFC 3711 B.2: the key stream of session key 2B7E1516..., session salt F0F1...FD at index 0.
const uint8_t kIcmTestKey[SRTP_AES_ICM_128_KEY_LEN_WSALT] = {
    0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f,
    0x3c, 0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd};
uint8_t kIcmTestIv[kBlockSize] = {};
const uint8_t kIcmTestPlain[48] = {};
const uint8_t kIcmTestCipher[48] = {0xe0, 0x3e, 0xad, 0x09, 0x35, 0xc9, 0x5e, 0x80, 0xe1, 0x66, 0xb1, 0x6d,
                                    0xd9, 0x2b, 0x4e, 0xb4, 0xd2, 0x35, 0x13, 0x16, 0x2b, 0x02, 0xd0, 0xf7,
                                    0x2a, 0x43, 0xa2, 0xfe, 0x4a, 0x5f, 0x97, 0xab, 0x41, 0xe9, 0x5b, 0x3b,
                                    0xb0, 0xa2, 0xe8, 0xdd, 0x47, 0x79, 0x01, 0xe4, 0xfc, 0xa8, 0x94, 0xc0};

const srtp_cipher_test_case_t kIcmTest = {SRTP_AES_ICM_128_KEY_LEN_WSALT,
                                          kIcmTestKey,
                                          kIcmTestIv,
                                          sizeof kIcmTestPlain,
                                          kIcmTestPlain,
                                          sizeof kIcmTestCipher,
                                          kIcmTestCipher,
                                          0,
                                          nullptr,
                                          0,
                                          nullptr};

const srtp_cipher_type_t kAesIcm128 = {IcmAlloc,  IcmDealloc,      IcmInit,
                                       nullptr,   IcmCrypt,        IcmCrypt,
                                       IcmSetIv,  nullptr,         "AES-128 counter mode on OpenSSL EVP",
                                       &kIcmTest, SRTP_AES_ICM_128};

// ---- HMAC-SHA1 (RFC 2104), the tag cut to what libsrtp2 asks for ----
//
// init() keys the context and readies it for a message; start() readies it again with the same key;
// update() adds to the message; compute() adds the last part and writes the first tag_len bytes of the MAC.

struct HmacAuth {
  srtp_auth_t auth{};
  EVP_MAC_CTX* ctx = nullptr;
};

extern const srtp_auth_type_t kHmacSha1;

srtp_err_status_t HmacAlloc(srtp_auth_t** a, int key_len, int out_len) {
  if (key_len < 0 || key_len > kSha1Size || out_len < 0 || out_len > kSha1Size) {
    return srtp_err_status_bad_param;
  }
  auto* hmac = new (std::nothrow) HmacAuth;
  if (hmac == nullptr) return srtp_err_status_alloc_fail;
  hmac->ctx = EVP_MAC_CTX_new(g_hmac);
  if (hmac->ctx == nullptr) {
    delete hmac;
    return srtp_err_status_alloc_fail;
  }
  hmac->auth.type = &kHmacSha1;
  hmac->auth.state = hmac;
  hmac->auth.out_len = out_len;
  hmac->auth.key_len = key_len;
  hmac->auth.prefix_len = 0;
  *a = &hmac->auth;
  return srtp_err_status_ok;
}

srtp_err_status_t HmacDealloc(srtp_auth_t* a) {
  if (a == nullptr) return srtp_err_status_bad_param;
  auto* hmac = static_cast<HmacAuth*>(a->state);
  EVP_MAC_CTX_free(hmac->ctx);  // cleanses the key
  delete hmac;
  return srtp_err_status_ok;
}

srtp_err_status_t HmacInit(void* state, const uint8_t* key, int key_len) {
  if (key_len < 0 || key_len > kSha1Size) return srtp_err_status_bad_param;
  auto* hmac = static_cast<HmacAuth*>(state);
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(hmac->ctx, key, static_cast<size_t>(key_len), params) != 1) {
    return srtp_err_status_auth_fail;
  }
  return srtp_err_status_ok;
}

srtp_err_status_t HmacStart(void* state) {
  auto* hmac = static_cast<HmacAuth*>(state);
  if (EVP_MAC_init(hmac->ctx, nullptr, 0, nullptr) != 1) return srtp_err_status_auth_fail;
  return srtp_err_status_ok;
}

srtp_err_status_t HmacUpdate(void* state, const uint8_t* buffer, int octets) {
  if (octets < 0) return srtp_err_status_bad_param;
  auto* hmac = static_cast<HmacAuth*>(state);
  if (EVP_MAC_update(hmac->ctx, buffer, static_cast<size_t>(octets)) != 1) return srtp_err_status_auth_fail;
  return srtp_err_status_ok;
}

srtp_err_status_t HmacCompute(void* state, const uint8_t* buffer, int octets, int tag_len, uint8_t* tag) {
  if (tag_len < 0 || tag_len > kSha1Size) return srtp_err_status_bad_param;
  const srtp_err_status_t status = HmacUpdate(state, buffer, octets);
  if (status != srtp_err_status_ok) return status;
  auto* hmac = static_cast<HmacAuth*>(state);
  uint8_t mac[kSha1Size];
  size_t size = 0;
  if (EVP_MAC_final(hmac->ctx, mac, &size, sizeof mac) != 1 || size != sizeof mac) {
    return srtp_err_status_auth_fail;
  }
  std::memcpy(tag, mac, static_cast<size_t>(tag_len));
  OPENSSL_cleanse(mac, sizeof mac);
  return srtp_err_status_ok;
}

// RFC 2202 test case 1: key 20 x 0x0b, "Hi There".
const uint8_t kHmacTestKey[kSha1Size] = {0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b,
                                         0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b};
const uint8_t kHmacTestData[] = {'H', 'i', ' ', 'T', 'h', 'e', 'r', 'e'};
const uint8_t kHmacTestTag[kSha1Size] = {0xb6, 0x17, 0x31, 0x86, 0x55, 0x05, 0x72, 0x64, 0xe2, 0x8b,
                                         0xc0, 0xb6, 0xfb, 0x37, 0x8c, 0x8e, 0xf1, 0x46, 0xbe, 0x00};

const srtp_auth_test_case_t kHmacTest = {
    sizeof kHmacTestKey, kHmacTestKey, sizeof kHmacTestData, kHmacTestData, sizeof kHmacTestTag,
    kHmacTestTag,        nullptr};

const srtp_auth_type_t kHmacSha1 = {
    HmacAlloc,  HmacDealloc,   HmacInit, HmacCompute, HmacUpdate, HmacStart, "HMAC-SHA1 on OpenSSL EVP_MAC",
    &kHmacTest, SRTP_HMAC_SHA1};

}  // namespace

bool InstallSrtpOpenSsl(std::string* error) {
  if (g_aes_128_ctr == nullptr) g_aes_128_ctr = EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr);
  if (g_hmac == nullptr) g_hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (g_aes_128_ctr == nullptr || g_hmac == nullptr) {
    *error = "OpenSSL has no AES-128-CTR or no HMAC";
    return false;
  }
  srtp_err_status_t status = srtp_replace_cipher_type(&kAesIcm128, SRTP_AES_ICM_128);
  if (status != srtp_err_status_ok) {
    *error = "libsrtp2 refused the OpenSSL AES counter mode: error " + std::to_string(status);
    return false;
  }
  status = srtp_replace_auth_type(&kHmacSha1, SRTP_HMAC_SHA1);
  if (status != srtp_err_status_ok) {
    *error = "libsrtp2 refused the OpenSSL HMAC-SHA1: error " + std::to_string(status);
    return false;
  }
  return true;
}
