#include "media/srtp_context.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <srtp2/srtp.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "foundation/log.h"
#include "media/rtp_header.h"
#include "media/srtp_openssl.h"

namespace {

constexpr size_t kRtcpHeader = 8;         // up to and including the sender SSRC
constexpr size_t kSrtcpTrailer = 4 + 10;  // E flag and index, 80-bit tag (both suites, RFC 4568)
constexpr unsigned long kReplayWindow = 1024;

std::once_flag g_srtp_init;

// libsrtp2's own messages go to the debug log instead of standard error; the context logs every failure
// that matters to an operator itself.
void LibraryMessage(srtp_log_level_t, const char* msg, void*) { Log("SRTP", LEVEL_DEBUG, "%s\n", msg); }

// Payload type byte (marker bit cleared) of RTCP packet types 192..223 multiplexed on the RTP port
// (RFC 5761).
bool IsRtcpType(const uint8_t* pkt, int len) {
  if (len < 2) return false;
  const int type = pkt[1] & 0x7F;
  return type >= 64 && type <= 95;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SrtpContext::SrtpContext(unsigned call_number, int log_threshold)
    : call_number_(call_number), log_threshold_(log_threshold) {
  std::call_once(g_srtp_init, [] {
    srtp_init();
    srtp_install_log_handler(&LibraryMessage, nullptr);
    // Before any session: the key derivation of every session uses the cipher installed here.
    std::string error;
    if (!InstallSrtpOpenSsl(&error))
      Log("SRTP", LEVEL_ERROR, "SRTP crypto stays on libsrtp2's own: %s\n", error.c_str());
  });
}

SrtpContext::~SrtpContext() {
  if (recv_.handle != nullptr) srtp_dealloc(recv_.handle);
  if (send_.handle != nullptr) srtp_dealloc(send_.handle);
}

bool SrtpContext::SetRecvCrypto(const char* value) {
  if (value == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!keys_.recv) return true;
    keys_.recv.reset();
    ++keys_.recv_version;
    generation_.fetch_add(1, std::memory_order_release);
    return true;
  }
  std::string error;
  std::optional<CryptoAttribute> attr = CryptoAttribute::Parse(value, &error);
  if (!attr) {
    if (!error.empty()) Log(static_cast<int>(call_number_), LEVEL_ERROR, log_threshold_, "%s", error.c_str());
    return false;
  }
  if (attr->suite == SrtpSuite::F8_128_HMAC_SHA1_32) {
    Log(static_cast<int>(call_number_), LEVEL_ERROR, log_threshold_, "ERROR: Unsupported Crypto-Suite: %s\n",
        SuiteName(attr->suite));
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (keys_.recv && keys_.recv->SameKeys(*attr)) {
    keys_.recv = *attr;  // tag and MKI as announced now; the media thread's session stays as it is
    return true;
  }
  keys_.recv = *attr;
  ++keys_.recv_version;
  generation_.fetch_add(1, std::memory_order_release);
  return true;
}

void SrtpContext::SetSendCrypto() {
  std::lock_guard<std::mutex> lock(mutex_);
  const SrtpSuite suite = keys_.recv ? keys_.recv->suite : SrtpSuite::AES_CM_128_HMAC_SHA1_32;
  keys_.send = CryptoAttribute::Fresh(suite, keys_.recv ? keys_.recv->tag : 1);
  ++keys_.send_version;
  generation_.fetch_add(1, std::memory_order_release);
}

std::string SrtpContext::GetSendCrypto() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.send ? keys_.send->Text() : std::string();
}

bool SrtpContext::HasRecvKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.recv.has_value();
}

bool SrtpContext::HasSendKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.send.has_value();
}

// Media thread, at each packet: takes over the keys of a newer generation, whole.
void SrtpContext::Refresh() {
  if (generation_.load(std::memory_order_acquire) == applied_generation_) return;
  std::optional<CryptoAttribute> recv, send;
  uint64_t recv_version, send_version;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    applied_generation_ = generation_.load(std::memory_order_relaxed);
    recv_version = keys_.recv_version;
    send_version = keys_.send_version;
    if (recv_version != recv_.version) recv = keys_.recv;
    if (send_version != send_.version) send = keys_.send;
  }
  if (recv_version != recv_.version) Rebuild(recv_, recv, recv_version, true);
  if (send_version != send_.version) Rebuild(send_, send, send_version, false);
  if (recv) OPENSSL_cleanse(recv->master.data(), recv->master.size());
  if (send) OPENSSL_cleanse(send->master.data(), send->master.size());
}

void SrtpContext::Rebuild(Session& session, const std::optional<CryptoAttribute>& keys, uint64_t version,
                          bool inbound) {
  if (session.handle != nullptr) srtp_dealloc(session.handle);
  session.handle = nullptr;
  session.version = version;
  session.ssrcs.clear();
  if (!keys) return;
  srtp_policy_t policy{};
  if (keys->suite == SrtpSuite::AES_CM_128_HMAC_SHA1_80) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
    session.tag_size = 10;
  } else {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
    session.tag_size = 4;
  }
  srtp_crypto_policy_set_rtcp_default(&policy.rtcp);  // SRTCP keeps the 80-bit tag with either suite
  policy.ssrc.type = inbound ? ssrc_any_inbound : ssrc_any_outbound;
  std::array<uint8_t, CryptoAttribute::kKeySize + CryptoAttribute::kSaltSize> master = keys->master;
  policy.key = master.data();
  policy.window_size = kReplayWindow;
  policy.allow_repeat_tx = 0;
  policy.next = nullptr;
  srtp_t handle = nullptr;
  const srtp_err_status_t status = srtp_create(&handle, &policy);
  OPENSSL_cleanse(master.data(), master.size());
  if (status != srtp_err_status_ok) {
    if (handle != nullptr) srtp_dealloc(handle);
    LogFailure("SRTP Cannot prepare the %s keys: error %d\n", inbound ? "receive" : "send", status);
    return;
  }
  session.handle = handle;
}

// The streams libsrtp keeps, one per SSRC that got through; the oldest goes when there are too many.
void SrtpContext::Track(Session& session, uint32_t ssrc) {
  if (!session.ssrcs.empty() && session.ssrcs.back() == ssrc) return;
  const auto known = std::find(session.ssrcs.begin(), session.ssrcs.end(), ssrc);
  if (known != session.ssrcs.end()) {
    session.ssrcs.erase(known);
  } else if (session.ssrcs.size() >= kMaxStreams) {
    srtp_remove_stream(session.handle, htonl(session.ssrcs.front()));
    session.ssrcs.erase(session.ssrcs.begin());
  }
  session.ssrcs.push_back(ssrc);
}

void SrtpContext::Drop(int& len, std::atomic<uint64_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
  len = 0;
}

// At most one failure line a second: a flood of forged packets must not flood the log.
void SrtpContext::LogFailure(const char* fmt, ...) {
  const int64_t now = NowMs();
  int64_t next = next_log_ms_.load(std::memory_order_relaxed);
  if (now < next || !next_log_ms_.compare_exchange_strong(next, now + 1000, std::memory_order_relaxed))
    return;
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  Log(static_cast<int>(call_number_), LEVEL_ERROR, log_threshold_, "%s", line);
}

void SrtpContext::RTPDecrypt(uint8_t* pkt, int& len, bool& rtcp) {
  Refresh();
  if (len < 2 || !rtp::IsVersion2(pkt, static_cast<size_t>(len))) return Drop(len, dropped_);
  rtcp = rtcp || IsRtcpType(pkt, len);
  if (recv_.handle == nullptr) return Drop(len, dropped_);
  const int size = len;
  if (rtcp) {
    if (static_cast<size_t>(len) < kRtcpHeader + kSrtcpTrailer) {
      LogFailure("SRTCP Short packet dropped. sz=%u\n", size);
      return Drop(len, dropped_);
    }
  } else if (static_cast<size_t>(len) < rtp::kHeaderSize + static_cast<size_t>(recv_.tag_size)) {
    LogFailure("SRTP Short packet dropped. sz=%u\n", size);
    return Drop(len, dropped_);
  }
  const uint32_t ssrc = rtcp ? rtp::BigEndian32(pkt + 4) : rtp::BigEndian32(pkt + 8);
  const srtp_err_status_t status =
      rtcp ? srtp_unprotect_rtcp(recv_.handle, pkt, &len) : srtp_unprotect(recv_.handle, pkt, &len);
  switch (status) {
    case srtp_err_status_ok:
      Track(recv_, ssrc);
      return;
    case srtp_err_status_auth_fail:
      if (rtcp) {
        LogFailure("SRTCP Authentication (asz=%u) failure. sz=%u\n", 10u, size);
      } else {
        uint32_t roc = 0;
        srtp_get_stream_roc(recv_.handle, ssrc, &roc);
        LogFailure("SRTP Authentication (asz=%u) failure. ROC: %u  SeqNo: %u  sz=%u\n", recv_.tag_size, roc,
                   rtp::BigEndian16(pkt + 2), size);
      }
      return Drop(len, auth_failures_);
    case srtp_err_status_replay_fail:
    case srtp_err_status_replay_old:
      if (rtcp) {
        LogFailure("SRTCP Replayed packet dropped. sz=%u\n", size);
      } else {
        LogFailure("SRTP Replayed packet dropped. SeqNo: %u\n", rtp::BigEndian16(pkt + 2));
      }
      return Drop(len, replays_);
    default:
      LogFailure("%s Decryption error %d. sz=%u\n", rtcp ? "SRTCP" : "SRTP", status, size);
      return Drop(len, dropped_);
  }
}

void SrtpContext::RTPEncrypt(uint8_t* pkt, int& len, bool& rtcp) {
  Refresh();
  if (send_.handle == nullptr) return Drop(len, dropped_);
  if (len < 2 || !rtp::IsVersion2(pkt, static_cast<size_t>(len))) return Drop(len, dropped_);
  rtcp = rtcp || IsRtcpType(pkt, len);
  if (static_cast<size_t>(len) < (rtcp ? kRtcpHeader : rtp::kHeaderSize)) return Drop(len, dropped_);
  const int size = len;
  const uint32_t ssrc = rtcp ? rtp::BigEndian32(pkt + 4) : rtp::BigEndian32(pkt + 8);
  const srtp_err_status_t status =
      rtcp ? srtp_protect_rtcp(send_.handle, pkt, &len) : srtp_protect(send_.handle, pkt, &len);
  switch (status) {
    case srtp_err_status_ok:
      Track(send_, ssrc);
      return;
    case srtp_err_status_replay_fail:
    case srtp_err_status_replay_old:
      // Protecting a sequence number twice would reuse its key stream.
      if (!rtcp) LogFailure("SRTP Repeated packet not sent. SeqNo: %u\n", rtp::BigEndian16(pkt + 2));
      return Drop(len, replays_);
    default:
      LogFailure("%s Encryption error %d. sz=%u\n", rtcp ? "SRTCP" : "SRTP", status, size);
      return Drop(len, dropped_);
  }
}
