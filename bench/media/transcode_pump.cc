// RTP load for transcoded iLBC<->PCMU calls (loopback only). The phone side (A) of every stream sends one
// 112-byte iLBC packet (payload type 97, two 30 ms frames) every 60 ms; the server side (B) sends one
// 172-byte PCMU packet (payload type 0) every 20 ms with consecutive sequence numbers. The audio is real: a
// few seconds of a synthetic voice-like signal, encoded once at start and sent in a loop. Each side counts
// what comes back against what the relay should make of the other side's packets: three PCMU packets per iLBC
// packet toward B, one iLBC packet per three PCMU packets toward A. Jitter is RFC 3550 interarrival jitter
// from the RTP timestamps the relay writes (8 kHz), toward B of the first packet of each group of three.
//
// Usage: transcode_pump STREAMFILE SECONDS
//   STREAMFILE lines: "a_port relay_port_for_a b_port relay_port_for_b" (as relay_host writes them).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <thread>
#include <vector>

#include "media/g711.h"
#include "media/ilbc/encoder.h"

namespace {

using ostrel::ilbc::kFrameBytes;
using ostrel::ilbc::kFrameSamples;

constexpr size_t kHeader = 12;
constexpr size_t kIlbcPacket = kHeader + 2 * kFrameBytes;  // 112
constexpr size_t kPcmuPacket = kHeader + 160;              // 172
constexpr uint8_t kIlbcPayload = 97;
constexpr uint8_t kPcmuPayload = 0;
constexpr int64_t kIlbcPeriodNs = 60000000;
constexpr int64_t kPcmuPeriodNs = 20000000;
constexpr int kAudioSeconds = 3;  // 50 iLBC packets, 150 PCMU packets

int64_t NowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int Bound(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int big = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("bind");
    std::exit(1);
  }
  return fd;
}

sockaddr_in To(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// kAudioSeconds of 8 kHz audio that keeps the codec busy the way speech does: a gliding voiced tone with
// harmonics, syllable-like loudness and a little noise.
std::vector<int16_t> Voice() {
  std::vector<int16_t> pcm(8000 * kAudioSeconds);
  uint32_t noise = 12345;
  double phase = 0;
  for (size_t i = 0; i < pcm.size(); ++i) {
    const double t = static_cast<double>(i) / 8000.0;
    const double f0 = 120.0 + 40.0 * std::sin(2 * M_PI * 0.7 * t);
    phase += 2 * M_PI * f0 / 8000.0;
    const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 3.0 * t);
    double s =
        std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase) + 0.12 * std::sin(5 * phase);
    noise = noise * 1103515245u + 12345u;
    s = envelope * s * 6000.0 + static_cast<double>(static_cast<int>(noise >> 16) % 600 - 300);
    pcm[i] = static_cast<int16_t>(std::clamp(s, -32000.0, 32000.0));
  }
  return pcm;
}

// One side of one stream: what it sends and what it gets back.
struct Side {
  int fd;
  sockaddr_in to;
  bool phone;  // sends iLBC, receives iLBC; else PCMU both ways
  uint32_t ssrc;
  uint16_t seq = 0;
  uint32_t timestamp = 0;
  size_t cursor = 0;  // next packet of the looped audio
  uint64_t sent = 0;
  int64_t last_send_ns = 0;
  // Receiver.
  uint64_t received = 0;
  uint64_t odd = 0;  // packets of another size than this side's codec
  double jitter_ms = 0, last_transit_ms = 0;
  bool seen = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s STREAMFILE SECONDS\n", argv[0]);
    return 2;
  }
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
  FILE* f = std::fopen(argv[1], "r");
  const double seconds = std::atof(argv[2]);
  if (f == nullptr || seconds <= 0) return 2;
  std::vector<Side> sides;  // even: phone, odd: server
  int pa, ra, pb, rb;
  while (std::fscanf(f, "%d %d %d %d", &pa, &ra, &pb, &rb) == 4) {
    const uint32_t id = static_cast<uint32_t>(sides.size());
    sides.push_back(Side{Bound(pa), To(ra), true, 0x20000000u + id});
    sides.push_back(Side{Bound(pb), To(rb), false, 0x20000001u + id});
  }
  std::fclose(f);
  if (sides.empty()) return 2;

  // The audio, encoded once: payloads of the phone's and of the server's packets.
  const std::vector<int16_t> voice = Voice();
  const size_t ilbc_packets = voice.size() / (2 * kFrameSamples);
  const size_t pcmu_packets = voice.size() / 160;
  std::vector<uint8_t> ilbc(ilbc_packets * 2 * kFrameBytes);
  std::vector<uint8_t> pcmu(voice.size());
  {
    ostrel::ilbc::Encoder encoder;
    for (size_t k = 0; k < 2 * ilbc_packets; ++k)
      encoder.Encode(std::span<const int16_t, kFrameSamples>(voice.data() + k * kFrameSamples, kFrameSamples),
                     std::span<uint8_t, kFrameBytes>(ilbc.data() + k * kFrameBytes, kFrameBytes));
    for (size_t i = 0; i < voice.size(); ++i) pcmu[i] = linear2ulaw(voice[i]);
  }

  const int ep = epoll_create1(0);
  for (size_t i = 0; i < sides.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, sides[i].fd, &ev);
  }
  std::atomic<bool> stop{false};
  std::thread receiver([&] {
    epoll_event evs[256];
    uint8_t buf[2048];
    while (!stop.load()) {
      const int n = epoll_wait(ep, evs, 256, 50);
      for (int k = 0; k < n; ++k) {
        Side& side = sides[evs[k].data.u32];
        for (;;) {
          const ssize_t len = recv(side.fd, buf, sizeof buf, MSG_DONTWAIT);
          if (len < 0) break;
          if (static_cast<size_t>(len) != (side.phone ? kIlbcPacket : kPcmuPacket)) {
            ++side.odd;
            continue;
          }
          const uint32_t ts =
              (uint32_t{buf[4]} << 24) | (uint32_t{buf[5]} << 16) | (uint32_t{buf[6]} << 8) | buf[7];
          ++side.received;
          // The three server packets of one phone packet leave the relay together; their jitter is that of
          // the first (the phone's timestamps are multiples of 480, the relay adds 160 to the first).
          if (!side.phone && ts % 480 != 160) continue;
          const double transit = static_cast<double>(NowNs()) / 1e6 - static_cast<double>(ts) / 8.0;
          if (side.seen) side.jitter_ms += (std::fabs(transit - side.last_transit_ms) - side.jitter_ms) / 16;
          side.seen = true;
          side.last_transit_ms = transit;
        }
      }
    }
  });

  // Each side sends every period at its own phase, spread evenly over the period.
  const int64_t t0 = NowNs() + 10000000;
  const int64_t end = t0 + static_cast<int64_t>(seconds * 1e9);
  std::vector<int64_t> due(sides.size());
  for (size_t i = 0; i < sides.size(); ++i) {
    const int64_t period = sides[i].phone ? kIlbcPeriodNs : kPcmuPeriodNs;
    due[i] = t0 + period * static_cast<int64_t>(i) / static_cast<int64_t>(sides.size());
  }
  uint8_t pkt[kPcmuPacket];
  uint64_t send_errors = 0;
  // Gaps between two server packets of one stream long enough for the relay to flush a partial group: the
  // pump's own stalls, told apart from the relay's.
  uint64_t long_gaps = 0;
  int64_t gap_max_ns = 0;
  for (;;) {
    const int64_t now = NowNs();
    if (now >= end) break;
    for (size_t i = 0; i < sides.size(); ++i) {
      if (due[i] > now) continue;
      Side& side = sides[i];
      size_t len;
      pkt[0] = 0x80;
      if (side.phone) {
        due[i] += kIlbcPeriodNs;
        len = kIlbcPacket;
        pkt[1] = kIlbcPayload;
        std::memcpy(pkt + kHeader, ilbc.data() + side.cursor * 2 * kFrameBytes, 2 * kFrameBytes);
        side.cursor = (side.cursor + 1) % ilbc_packets;
      } else {
        due[i] += kPcmuPeriodNs;
        len = kPcmuPacket;
        pkt[1] = kPcmuPayload;
        std::memcpy(pkt + kHeader, pcmu.data() + side.cursor * 160, 160);
        side.cursor = (side.cursor + 1) % pcmu_packets;
      }
      if (side.sent == 0) pkt[1] |= 0x80;  // marker on the first packet of the stream
      pkt[2] = static_cast<uint8_t>(side.seq >> 8);
      pkt[3] = static_cast<uint8_t>(side.seq);
      ++side.seq;
      const uint32_t ts = htonl(side.timestamp);
      std::memcpy(pkt + 4, &ts, 4);
      side.timestamp += side.phone ? 480 : 160;
      const uint32_t ssrc = htonl(side.ssrc);
      std::memcpy(pkt + 8, &ssrc, 4);
      if (sendto(side.fd, pkt, len, 0, reinterpret_cast<sockaddr*>(&side.to), sizeof side.to) < 0)
        ++send_errors;
      const int64_t sent_at = NowNs();
      if (!side.phone && side.sent > 0) {
        gap_max_ns = std::max(gap_max_ns, sent_at - side.last_send_ns);
        if (sent_at - side.last_send_ns >= 40000000) ++long_gaps;
      }
      side.last_send_ns = sent_at;
      ++side.sent;
    }
    timespec nap{0, 500000};
    nanosleep(&nap, nullptr);
  }
  timespec drain{0, 500000000};  // past the relay's 45 ms flush of a last partial group
  nanosleep(&drain, nullptr);
  stop = true;
  receiver.join();

  // Expected: the server gets 3 packets per phone packet; the phone 1 per complete group of 3.
  uint64_t phone_sent = 0, server_sent = 0, to_server = 0, to_phone = 0, exp_server = 0, exp_phone = 0,
           odd = 0;
  double jit_server = 0, jit_phone = 0, jit_max = 0;
  for (size_t i = 0; i < sides.size(); i += 2) {
    const Side& a = sides[i];
    const Side& b = sides[i + 1];
    phone_sent += a.sent;
    server_sent += b.sent;
    exp_server += 3 * a.sent;
    exp_phone += b.sent / 3;
    to_server += b.received;
    to_phone += a.received;
    odd += a.odd + b.odd;
    jit_server += b.jitter_ms;
    jit_phone += a.jitter_ms;
    jit_max = std::max({jit_max, a.jitter_ms, b.jitter_ms});
  }
  auto loss = [](uint64_t expected, uint64_t got) {
    return expected ? 100.0 * static_cast<double>(expected - std::min(expected, got)) /
                          static_cast<double>(expected)
                    : 0.0;
  };
  const double calls = static_cast<double>(sides.size() / 2);
  std::printf(
      "calls=%zu phone_sent=%llu server_sent=%llu to_server=%llu/%llu to_phone=%llu/%llu "
      "loss_to_server=%.4f%% loss_to_phone=%.4f%% odd=%llu jitter_mean_ms=%.3f/%.3f jitter_max_ms=%.3f "
      "send_err=%llu server_gap_max_ms=%.1f server_gaps_over_40ms=%llu\n",
      sides.size() / 2, static_cast<unsigned long long>(phone_sent),
      static_cast<unsigned long long>(server_sent), static_cast<unsigned long long>(to_server),
      static_cast<unsigned long long>(exp_server), static_cast<unsigned long long>(to_phone),
      static_cast<unsigned long long>(exp_phone), loss(exp_server, to_server), loss(exp_phone, to_phone),
      static_cast<unsigned long long>(odd), jit_server / calls, jit_phone / calls, jit_max,
      static_cast<unsigned long long>(send_errors), static_cast<double>(gap_max_ns) / 1e6,
      static_cast<unsigned long long>(long_gaps));
  return 0;
}
