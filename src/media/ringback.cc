#include "media/ringback.h"

#include <unistd.h>

#include <cstring>
#include <ctime>

#include "config/config.h"
#include "foundation/log.h"
#include "foundation/reactor.h"

namespace {

struct RingCodec {
  uint8_t payload_type;
  size_t frame_bytes;
};

RingCodec CodecFor(uint8_t codec) {
  if (codec == 3) return {3, 33};
  if (codec == 18) return {18, 20};
  return {0, 160};
}

const std::vector<uint8_t>& FramesFor(uint8_t payload_type) {
  if (payload_type == 3) return g_config.ring_gsm;
  if (payload_type == 18) return g_config.ring_g729;
  return g_config.ring_ulaw;
}

void PutBigEndian(uint8_t* p, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

}  // namespace

// The engine's handle on the schedule: no sockets, only the timer.
class Ringback::Job : public MediaSession {
 public:
  explicit Job(Ringback& owner) : owner_(owner) {}
  void OnAttach(MediaLoop&) override {}
  void OnPacket(MediaLoop&, int, uint8_t*, size_t, const InetAddress&, uint64_t) override {}
  void OnTimer(MediaLoop& loop, uint64_t now_ms) override { owner_.Tick(loop, now_ms); }
  unsigned Number() const override { return 0; }

 private:
  Ringback& owner_;
};

Ringback& Ringback::Instance() {
  static Ringback* instance = new Ringback();  // immortal: calls may stop ringing during exit
  return *instance;
}

void Ringback::Start(const RingTarget& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (targets_.empty()) {
    Log("ostrel", LEVEL_DEBUG, "Ring Thread started\n");
    running_ = true;
    fresh_ = true;
    if (!job_) job_ = MediaEngine::Instance().Attach(std::make_unique<Job>(*this));
    if (job_) job_.loop->Wake(job_.id);
  }
  if (targets_.emplace(target.port, target).second)
    Log(static_cast<int>(target.number), LEVEL_DEBUG, target.log_threshold, "Start Ringing...\n");
}

void Ringback::Stop(const ClientRtpPort* port) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = targets_.find(port);
  if (it == targets_.end()) return;
  Log(static_cast<int>(it->second.number), LEVEL_DEBUG, it->second.log_threshold, "Stop Ringing...\n");
  targets_.erase(it);
  if (targets_.empty()) {
    Log("ostrel", LEVEL_DEBUG, "Ring Thread stoped\n");
    running_ = false;
  }
}

bool Ringback::Ringing(const ClientRtpPort* port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_.count(port) != 0;
}

size_t Ringback::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_.size();
}

bool Ringback::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void Ringback::Tick(MediaLoop& loop, uint64_t now_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return;  // the last call stopped ringing: the timer is not set again
  if (fresh_ || now_ms > start_ms_ + (ticks_ + kMaxLateFrames) * kFrameMs) {
    if (fresh_) {
      // A new stream: sequence from the low half of the process id, timestamp from the clock.
      ssrc_ = static_cast<uint32_t>(getpid()) & 0xFFFF;
      sequence_ = static_cast<uint16_t>(ssrc_);
      timestamp_ = static_cast<uint32_t>(time(nullptr)) - ssrc_;
      frame_ = 0;
    }
    fresh_ = false;
    start_ms_ = now_ms;
    ticks_ = 0;
  }
  SendFrame(loop);
  ++ticks_;
  loop.SetTimer(start_ms_ + ticks_ * kFrameMs);
}

void Ringback::SendFrame(MediaLoop& loop) {
  const int count = g_config.ring_count;
  if (count <= 0) return;
  ++sequence_;
  timestamp_ += 160;
  uint8_t packet[rtp::kHeaderSize + 160];
  packet[0] = 0x80;
  PutBigEndian(packet + 2, sequence_, 2);
  PutBigEndian(packet + 4, timestamp_, 4);
  PutBigEndian(packet + 8, ssrc_, 4);
  for (const auto& [port, target] : targets_) {
    const InetAddress to = port->RtpDestination();
    const int fd = port->GetHandle();
    if (to.Port() == 0 || fd < 0) continue;
    if (to.Ip() != target.allowed_ips[0] && to.Ip() != target.allowed_ips[1]) continue;
    const RingCodec codec = CodecFor(target.codec);
    const std::vector<uint8_t>& frames = FramesFor(codec.payload_type);
    const size_t at = static_cast<size_t>(frame_) * codec.frame_bytes;
    if (at + codec.frame_bytes > frames.size()) continue;
    packet[1] = codec.payload_type;
    std::memcpy(packet + rtp::kHeaderSize, frames.data() + at, codec.frame_bytes);
    loop.Send(fd, packet, rtp::kHeaderSize + codec.frame_bytes, to);
  }
  frame_ = (frame_ + 1) % count;
}
