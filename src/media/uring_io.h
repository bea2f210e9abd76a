// UringIo: the io_uring side of one media thread. Multishot receives put datagrams into a ring of provided
// buffers; a packet sent on is sent from the buffer it arrived in, and all sends and re-arms of a round leave
// with the next wait, so one system call carries many packets across many sockets. Media thread only.
#pragma once

#include <liburing.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/inet_addr.h"

class UringIo {
 public:
  // What a completion is about (the top two bits of its user data).
  static constexpr uint64_t kRecv = 1ull << 62;
  static constexpr uint64_t kSend = 2ull << 62;
  static constexpr uint64_t kOther = 3ull << 62;
  static constexpr uint64_t kWakeUp = kOther | 1;  // the wake-up descriptor is readable
  static constexpr uint64_t kCancel = kOther | 2;
  static constexpr uint64_t kTagMask = 3ull << 62;

  // One received datagram, valid until the handler returns (or, once Send took it, until the send ends).
  struct Datagram {
    uint8_t* data;
    size_t length;
    bool truncated;  // longer than the relay reads: drop it
    InetAddress source;
  };

  // nullptr with `why` set when io_uring (with deferred task work, kernel 6.1+) is not available.
  static std::unique_ptr<UringIo> Create(int wake_fd, std::string& why);
  ~UringIo();
  UringIo(const UringIo&) = delete;
  UringIo& operator=(const UringIo&) = delete;

  // Receives on fd until cancelled; completions carry kRecv | tag (tag below 2^62).
  void ArmReceive(int fd, uint64_t tag);
  // Ends the receive armed with tag; its last completion (without more to come) follows.
  void CancelReceive(uint64_t tag);
  // Sends pkt, which lies in the buffer of the datagram being handled, from that buffer; false when pkt is
  // elsewhere (the caller sends it itself).
  bool SendFromCurrent(int fd, const uint8_t* pkt, size_t len, const InetAddress& to);

  // Submits what the round prepared and waits up to timeout_ms (-1: no limit) for completions, then calls
  // handle(user_data, res, flags, datagram or nullptr) for each. The datagram's buffer goes back to the ring
  // after the handler unless a send took it.
  template <typename Handler>
  void Round(int timeout_ms, Handler&& handle);

 private:
  UringIo() = default;
  io_uring_sqe* NextSqe();
  void ReturnBuffer(unsigned id);
  void RearmWakeUp();
  void Wait(int timeout_ms);
  bool Decode(const io_uring_cqe& cqe, Datagram& out, unsigned& id);
  void Release(unsigned id);

  struct SendSlot {
    msghdr message{};
    iovec vector{};
    sockaddr_in to{};
  };

  io_uring ring_{};
  bool ring_ready_ = false;
  io_uring_buf_ring* buffer_ring_ = nullptr;
  size_t buffer_ring_bytes_ = 0;
  uint8_t* buffers_ = nullptr;
  unsigned mask_ = 0;
  unsigned returns_ = 0;
  msghdr receive_template_{};
  std::vector<SendSlot> send_slots_;
  int wake_fd_ = -1;
  // The buffer of the datagram being handled and whether a send took it.
  unsigned current_ = ~0u;
  bool current_taken_ = false;
  io_uring_cqe* batch_[1024];
};

template <typename Handler>
void UringIo::Round(int timeout_ms, Handler&& handle) {
  Wait(timeout_ms);
  const unsigned n = io_uring_peek_batch_cqe(&ring_, batch_, 1024);
  for (unsigned c = 0; c < n; ++c) {
    const io_uring_cqe& cqe = *batch_[c];
    const uint64_t kind = cqe.user_data & kTagMask;
    if (kind == kSend) {
      ReturnBuffer(static_cast<unsigned>(cqe.user_data & 0xFFFF));
      continue;
    }
    if (cqe.user_data == kWakeUp && (cqe.flags & IORING_CQE_F_MORE) == 0) RearmWakeUp();
    Datagram datagram{};
    unsigned id = 0;
    const bool has_data = kind == kRecv && Decode(cqe, datagram, id);
    if (has_data) {
      current_ = id;
      current_taken_ = false;
    }
    handle(cqe.user_data, cqe.res, cqe.flags, has_data ? &datagram : nullptr);
    if (has_data) Release(id);
  }
  io_uring_cq_advance(&ring_, n);
  if (returns_ > 0) {
    io_uring_buf_ring_advance(buffer_ring_, static_cast<int>(returns_));
    returns_ = 0;
  }
}
