#include "media/uring_io.h"

#include <poll.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "media/rtp_header.h"

namespace {

constexpr unsigned kSubmissionEntries = 4096;
constexpr unsigned kCompletionEntries = 32768;
// Datagrams in flight per media thread: a few hundred milliseconds of 2,000 calls.
constexpr unsigned kBuffers = 4096;
// What the kernel writes into a buffer: its header, the source address and at most what the relay reads.
constexpr size_t kWritten = sizeof(io_uring_recvmsg_out) + sizeof(sockaddr_in) + rtp::kMaxReceive;
// Each buffer keeps room behind the payload for what an in-place transform appends.
constexpr size_t kStride = (kWritten + rtp::kMaxTrailer + 63) & ~size_t{63};

}  // namespace

std::unique_ptr<UringIo> UringIo::Create(int wake_fd, std::string& why) {
  std::unique_ptr<UringIo> io(new UringIo);
  io_uring_params params{};
  // Completions are produced only while this thread waits (no interruption mid-round), which also keeps
  // the buffer ring from running dry under load.
  params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  params.cq_entries = kCompletionEntries;
  int rc = io_uring_queue_init_params(kSubmissionEntries, &io->ring_, &params);
  if (rc < 0) {
    why = std::string("io_uring_queue_init: ") + std::strerror(-rc);
    return nullptr;
  }
  io->ring_ready_ = true;
  // liburing 2.3 has no io_uring_setup_buf_ring: the ring is mapped here and registered.
  io->buffer_ring_bytes_ = kBuffers * sizeof(io_uring_buf);
  void* ring =
      mmap(nullptr, io->buffer_ring_bytes_, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (ring == MAP_FAILED) {
    why = std::string("buffer ring: ") + std::strerror(errno);
    return nullptr;
  }
  io->buffer_ring_ = static_cast<io_uring_buf_ring*>(ring);
  io_uring_buf_ring_init(io->buffer_ring_);
  io_uring_buf_reg reg{};
  reg.ring_addr = reinterpret_cast<uintptr_t>(ring);
  reg.ring_entries = kBuffers;
  reg.bgid = 0;
  rc = io_uring_register_buf_ring(&io->ring_, &reg, 0);
  if (rc != 0) {
    why = std::string("io_uring_register_buf_ring: ") + std::strerror(-rc);
    return nullptr;
  }
  io->buffers_ = static_cast<uint8_t*>(std::aligned_alloc(4096, kBuffers * kStride));
  if (io->buffers_ == nullptr) {
    why = "no memory for the packet buffers";
    return nullptr;
  }
  io->mask_ = static_cast<unsigned>(io_uring_buf_ring_mask(kBuffers));
  for (unsigned b = 0; b < kBuffers; ++b) io->ReturnBuffer(b);
  io_uring_buf_ring_advance(io->buffer_ring_, static_cast<int>(io->returns_));
  io->returns_ = 0;
  io->receive_template_.msg_namelen = sizeof(sockaddr_in);
  io->send_slots_.resize(kBuffers);
  io->wake_fd_ = wake_fd;
  io->RearmWakeUp();
  return io;
}

UringIo::~UringIo() {
  if (ring_ready_) io_uring_queue_exit(&ring_);
  if (buffer_ring_ != nullptr) munmap(buffer_ring_, buffer_ring_bytes_);
  std::free(buffers_);
}

io_uring_sqe* UringIo::NextSqe() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  if (sqe == nullptr) {
    io_uring_submit(&ring_);  // the queue filled up within a round: hand it over and go on
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;
}

void UringIo::ReturnBuffer(unsigned id) {
  io_uring_buf_ring_add(buffer_ring_, buffers_ + size_t{id} * kStride, static_cast<unsigned>(kWritten),
                        static_cast<unsigned short>(id), static_cast<int>(mask_),
                        static_cast<int>(returns_++));
}

void UringIo::RearmWakeUp() {
  if (io_uring_sqe* sqe = NextSqe()) {
    io_uring_prep_poll_multishot(sqe, wake_fd_, POLLIN);
    io_uring_sqe_set_data64(sqe, kWakeUp);
  }
}

void UringIo::ArmReceive(int fd, uint64_t tag) {
  io_uring_sqe* sqe = NextSqe();
  if (sqe == nullptr) return;
  io_uring_prep_recvmsg_multishot(sqe, fd, &receive_template_, MSG_TRUNC);
  sqe->flags |= IOSQE_BUFFER_SELECT;
  sqe->buf_group = 0;
  io_uring_sqe_set_data64(sqe, kRecv | tag);
}

void UringIo::CancelReceive(uint64_t tag) {
  io_uring_sqe* sqe = NextSqe();
  if (sqe == nullptr) return;
  io_uring_prep_cancel64(sqe, kRecv | tag, 0);
  io_uring_sqe_set_data64(sqe, kCancel);
}

bool UringIo::SendFromCurrent(int fd, const uint8_t* pkt, size_t len, const InetAddress& to) {
  if (current_ == ~0u || current_taken_) return false;
  const uint8_t* base = buffers_ + size_t{current_} * kStride;
  if (pkt < base || pkt + len > base + kStride) return false;
  io_uring_sqe* sqe = NextSqe();
  if (sqe == nullptr) return false;
  SendSlot& slot = send_slots_[current_];
  std::memcpy(&slot.to, to.SocketAddress(), sizeof slot.to);
  slot.vector = {const_cast<uint8_t*>(pkt), len};
  slot.message = msghdr{};
  slot.message.msg_name = &slot.to;
  slot.message.msg_namelen = sizeof slot.to;
  slot.message.msg_iov = &slot.vector;
  slot.message.msg_iovlen = 1;
  io_uring_prep_sendmsg(sqe, fd, &slot.message, MSG_DONTWAIT);
  io_uring_sqe_set_data64(sqe, kSend | current_);
  current_taken_ = true;
  return true;
}

void UringIo::Wait(int timeout_ms) {
  io_uring_cqe* first = nullptr;
  if (timeout_ms < 0) {
    io_uring_submit_and_wait(&ring_, 1);
    return;
  }
  __kernel_timespec ts{timeout_ms / 1000, static_cast<long long>(timeout_ms % 1000) * 1000000};
  io_uring_submit_and_wait_timeout(&ring_, &first, 1, &ts, nullptr);
}

bool UringIo::Decode(const io_uring_cqe& cqe, Datagram& out, unsigned& id) {
  if (cqe.res < 0 || (cqe.flags & IORING_CQE_F_BUFFER) == 0) return false;
  id = cqe.flags >> IORING_CQE_BUFFER_SHIFT;
  uint8_t* buffer = buffers_ + size_t{id} * kStride;
  io_uring_recvmsg_out* header = io_uring_recvmsg_validate(buffer, cqe.res, &receive_template_);
  if (header == nullptr) {
    ReturnBuffer(id);
    return false;
  }
  out.data = static_cast<uint8_t*>(io_uring_recvmsg_payload(header, &receive_template_));
  out.length = io_uring_recvmsg_payload_length(header, cqe.res, &receive_template_);
  out.truncated = (header->flags & MSG_TRUNC) != 0 || header->payloadlen > rtp::kMaxReceive;
  std::memcpy(out.source.SocketAddress(), io_uring_recvmsg_name(header), sizeof(sockaddr_in));
  return true;
}

void UringIo::Release(unsigned id) {
  if (!current_taken_) ReturnBuffer(id);
  current_ = ~0u;
  current_taken_ = false;
}
