// The SRTP context of a client leg on libsrtp2: the client's keys and the relay's own (from the SDP "crypto"
// attributes), and the packet transforms between SRTP toward the client and plain RTP toward the server.
//
// Threads: the worker thread (the call locked) sets and reads the keys; the call's media thread runs the
// transforms (SrtpHook). A key change is handed over as a whole: the worker thread writes the keys under
// mutex_ and bumps generation_; at its next packet the media thread sees the new generation, copies the
// keys under the mutex and rebuilds the libsrtp session of the direction whose keys changed. No packet is
// ever processed with half-installed keys, and the libsrtp sessions belong to the media thread alone. The
// counters may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media/srtp_hook.h"
#include "media/srtp_keys.h"

struct srtp_ctx_t_;

class SrtpContext : public SrtpHook {
 public:
  SrtpContext(unsigned call_number, int log_threshold);
  ~SrtpContext() override;
  SrtpContext(const SrtpContext&) = delete;
  SrtpContext& operator=(const SrtpContext&) = delete;

  // Worker thread, the call locked: the client's keys from the value of its "crypto" attribute (null clears
  // them). False (with the log line on the call's number) when the value is unusable; the keys in force
  // stay. F8_128_HMAC_SHA1_32 is unusable (libsrtp2 has no f8 mode): the SDP side may take another of the
  // client's crypto lines. The same keys again (a re-INVITE repeating its attribute) keep the running
  // state (roll-over counter, replay window).
  bool SetRecvCrypto(const char* value);
  // Worker thread: the relay's own keys for the leg: the client's suite when one was set, else
  // AES_CM_128_HMAC_SHA1_32; the client's tag (1 when none); fresh random master key and salt.
  void SetSendCrypto();
  // The "crypto" value announcing the relay's keys (empty before SetSendCrypto).
  std::string GetSendCrypto() const;
  bool HasRecvKeys() const;
  bool HasSendKeys() const;

  // Media thread (SrtpHook): in place; len 0 means drop. Before send keys exist every packet toward the
  // client is dropped; without receive keys every packet from the client is dropped. rtcp as in SrtpHook:
  // set when a packet on the RTP socket turns out to be RTCP (payload type byte 64..95, RFC 5761).
  void RTPDecrypt(uint8_t* pkt, int& len, bool& rtcp) override;
  void RTPEncrypt(uint8_t* pkt, int& len, bool& rtcp) override;

  // Counters (any thread): packets dropped for a bad tag, for a replay, and for other reasons.
  uint64_t AuthFailures() const { return auth_failures_.load(std::memory_order_relaxed); }
  uint64_t Replays() const { return replays_.load(std::memory_order_relaxed); }
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

  // A libsrtp session keeps one stream per SSRC; beyond this many the oldest is forgotten, so that a peer
  // changing its SSRC again and again cannot grow the context without bound.
  static constexpr size_t kMaxStreams = 16;

 private:
  // The keys as the worker thread set them; a version per direction counts the installations.
  struct Keys {
    std::optional<CryptoAttribute> recv, send;
    uint64_t recv_version = 0, send_version = 0;
  };
  // A libsrtp session of the media thread, the key version it was built from and the SSRCs of its streams
  // (oldest first).
  struct Session {
    srtp_ctx_t_* handle = nullptr;
    uint64_t version = 0;
    int tag_size = 0;
    std::vector<uint32_t> ssrcs;
  };

  void Refresh();
  void Rebuild(Session& session, const std::optional<CryptoAttribute>& keys, uint64_t version, bool inbound);
  void Track(Session& session, uint32_t ssrc);
  void Drop(int& len, std::atomic<uint64_t>& counter);
  void LogFailure(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  const unsigned call_number_;
  const int log_threshold_;

  mutable std::mutex mutex_;
  Keys keys_;                            // guarded by mutex_
  std::atomic<uint64_t> generation_{0};  // changed only under mutex_, with keys_

  // Media thread only.
  uint64_t applied_generation_ = 0;
  Session recv_, send_;

  std::atomic<int64_t> next_log_ms_{0};  // rate limit of the failure lines: one a second
  std::atomic<uint64_t> auth_failures_{0}, replays_{0}, dropped_{0};
};
