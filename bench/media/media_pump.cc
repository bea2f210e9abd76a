// Bidirectional G.711 RTP load for media relay benchmarks (loopback only): every stream sends 172-byte
// packets both ways at a fixed rate, and the receiver measures loss, latency and RFC 3550 jitter per
// direction.
//
// Usage: media_pump STREAMFILE SECONDS PPS_PER_DIRECTION [SRTP_KEYFILE]
//   STREAMFILE lines: "a_port relay_port_for_a b_port relay_port_for_b". A (127.0.0.1:a_port) sends to
//   relay_port_for_a and receives B's packets; B does the reverse through relay_port_for_b.
//   With SRTP_KEYFILE (relay_host's STREAMFILE.srtp: "<phone's crypto value>\t<relay's crypto value>" per
//   stream) A is an SRTP phone: it protects its packets with its own keys (one libsrtp session per stream)
//   and unprotects B's packets with the relay's keys (libsrtp2 on the relay's OpenSSL crypto); packets of the
//   wrong size or that do not authenticate are counted apart and not received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <srtp2/srtp.h>

#include "media/srtp_keys.h"
#include "media/srtp_openssl.h"

namespace {

constexpr size_t kPacket = 172;
constexpr size_t kMaxTag = 10;

// A libsrtp session for one direction of a phone; null on failure.
srtp_t Session(const CryptoAttribute& keys, bool outbound) {
  srtp_policy_t policy{};
  if (keys.suite == SrtpSuite::AES_CM_128_HMAC_SHA1_80) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
  } else {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
  }
  srtp_crypto_policy_set_rtcp_default(&policy.rtcp);
  policy.ssrc.type = outbound ? ssrc_any_outbound : ssrc_any_inbound;
  auto master = keys.master;
  policy.key = master.data();
  policy.window_size = 1024;
  srtp_t session = nullptr;
  return srtp_create(&session, &policy) == srtp_err_status_ok ? session : nullptr;
}

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

// One direction of one stream.
struct Leg {
  int tx_fd, rx_fd;
  sockaddr_in to;
  uint32_t ssrc;
  uint16_t seq = 0;
  uint64_t sent = 0;
  // Receiver side.
  uint64_t received = 0;
  double jitter_ms = 0, last_transit_ms = 0, transit_sum_ms = 0;
  bool seen = false;
  srtp_t protect = nullptr;    // sender: the phone's own keys (A's legs only, with SRTP)
  srtp_t unprotect = nullptr;  // receiver: the relay's keys (the legs A receives, with SRTP)
  size_t expect = kPacket;     // size of the packets this leg's receiver should get
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s STREAMFILE SECONDS PPS_PER_DIRECTION [SRTP_KEYFILE]\n", argv[0]);
    return 2;
  }
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
  FILE* f = std::fopen(argv[1], "r");
  const double seconds = std::atof(argv[2]);
  const int pps = std::atoi(argv[3]);
  if (f == nullptr || seconds <= 0 || pps <= 0) return 2;
  std::vector<Leg> legs;
  int pa, ra, pb, rb;
  while (std::fscanf(f, "%d %d %d %d", &pa, &ra, &pb, &rb) == 4) {
    int a = Bound(pa), b = Bound(pb);
    const uint32_t id = static_cast<uint32_t>(legs.size());
    legs.push_back(Leg{a, b, To(ra), 0x10000000u + id});
    legs.push_back(Leg{b, a, To(rb), 0x10000001u + id});
  }
  std::fclose(f);
  if (legs.empty()) return 2;
  int tag_bits = 0;
  if (argc == 5) {
    srtp_init();
    // The relay's crypto for the phones too: on libsrtp2's NSS back end the pump could not keep up from
    // 500 calls on and paced its packets unlike the plain run.
    std::string error;
    if (!InstallSrtpOpenSsl(&error)) std::fprintf(stderr, "media_pump: %s\n", error.c_str());
    FILE* k = std::fopen(argv[4], "r");
    if (k == nullptr) return 2;
    char line[512];
    size_t stream = 0;
    for (; stream * 2 < legs.size() && std::fgets(line, sizeof line, k) != nullptr; ++stream) {
      char* tab = std::strchr(line, '\t');
      if (tab == nullptr) break;
      *tab = '\0';
      const std::optional<CryptoAttribute> phone = CryptoAttribute::Parse(line, nullptr);
      const std::optional<CryptoAttribute> relay = CryptoAttribute::Parse(tab + 1, nullptr);
      if (!phone || !relay) break;
      legs[2 * stream].protect = Session(*phone, true);
      legs[2 * stream + 1].unprotect = Session(*relay, false);
      if (legs[2 * stream].protect == nullptr || legs[2 * stream + 1].unprotect == nullptr) break;
      tag_bits = relay->suite == SrtpSuite::AES_CM_128_HMAC_SHA1_80 ? 80 : 32;
      legs[2 * stream + 1].expect = kPacket + (tag_bits == 80 ? 10 : 4);
    }
    std::fclose(k);
    if (stream * 2 != legs.size()) {
      std::fprintf(stderr, "%s: no usable keys for stream %zu\n", argv[4], stream);
      return 2;
    }
  }

  const int ep = epoll_create1(0);
  for (size_t i = 0; i < legs.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);  // leg i's receive socket gets leg i's packets
    epoll_ctl(ep, EPOLL_CTL_ADD, legs[i].rx_fd, &ev);
  }
  std::atomic<bool> stop{false};
  uint64_t wrong_size = 0, auth_failures = 0;  // receiver thread's until joined
  std::thread receiver([&] {
    epoll_event evs[256];
    uint8_t buf[2048];
    while (!stop.load()) {
      const int n = epoll_wait(ep, evs, 256, 50);
      for (int k = 0; k < n; ++k) {
        Leg& leg = legs[evs[k].data.u32];
        for (;;) {
          const ssize_t len = recv(leg.rx_fd, buf, sizeof buf, MSG_DONTWAIT);
          if (len < 20) break;
          if (static_cast<size_t>(len) != leg.expect) {
            ++wrong_size;
            continue;
          }
          if (leg.unprotect != nullptr) {
            int plain = static_cast<int>(len);
            if (srtp_unprotect(leg.unprotect, buf, &plain) != srtp_err_status_ok) {
              ++auth_failures;
              continue;
            }
          }
          int64_t sent_ns;
          std::memcpy(&sent_ns, buf + 12, sizeof sent_ns);
          const double transit = static_cast<double>(NowNs() - sent_ns) / 1e6;
          if (leg.seen) leg.jitter_ms += (std::fabs(transit - leg.last_transit_ms) - leg.jitter_ms) / 16;
          leg.seen = true;
          leg.last_transit_ms = transit;
          leg.transit_sum_ms += transit;
          ++leg.received;
        }
      }
    }
  });

  // Each leg sends every period at its own phase, spread evenly over the period.
  const int64_t period = 1000000000LL / pps;
  const int64_t t0 = NowNs() + 10000000;
  const int64_t end = t0 + static_cast<int64_t>(seconds * 1e9);
  std::vector<int64_t> due(legs.size());
  for (size_t i = 0; i < legs.size(); ++i)
    due[i] = t0 + period * static_cast<int64_t>(i) / static_cast<int64_t>(legs.size());
  uint8_t pkt[kPacket + kMaxTag];
  uint8_t wire[kPacket + kMaxTag];
  std::memset(pkt, 0xFF, sizeof pkt);
  pkt[0] = 0x80;
  pkt[1] = 0;
  uint64_t send_errors = 0;
  for (;;) {
    const int64_t now = NowNs();
    if (now >= end) break;
    for (size_t i = 0; i < legs.size(); ++i) {
      if (due[i] > now) continue;
      Leg& leg = legs[i];
      due[i] += period;
      pkt[2] = static_cast<uint8_t>(leg.seq >> 8);
      pkt[3] = static_cast<uint8_t>(leg.seq);
      ++leg.seq;
      const uint32_t ssrc = htonl(leg.ssrc);
      std::memcpy(pkt + 8, &ssrc, 4);
      const int64_t stamp = NowNs();
      std::memcpy(pkt + 12, &stamp, sizeof stamp);
      const uint8_t* out = pkt;
      int len = kPacket;
      if (leg.protect != nullptr) {
        std::memcpy(wire, pkt, kPacket);
        if (srtp_protect(leg.protect, wire, &len) != srtp_err_status_ok) std::abort();
        out = wire;
      }
      if (sendto(leg.tx_fd, out, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&leg.to),
                 sizeof leg.to) < 0)
        ++send_errors;
      ++leg.sent;
    }
    timespec nap{0, 500000};
    nanosleep(&nap, nullptr);
  }
  timespec drain{0, 500000000};
  nanosleep(&drain, nullptr);
  stop = true;
  receiver.join();

  uint64_t sent = 0, received = 0;
  double jitter_sum = 0, jitter_max = 0, transit_sum = 0;
  for (const Leg& leg : legs) {
    sent += leg.sent;
    received += leg.received;
    jitter_sum += leg.jitter_ms;
    jitter_max = std::max(jitter_max, leg.jitter_ms);
    transit_sum += leg.transit_sum_ms;
  }
  std::printf(
      "legs=%zu sent=%llu recv=%llu loss=%.4f%% jitter_mean_ms=%.3f jitter_max_ms=%.3f latency_mean_ms=%.3f "
      "send_err=%llu",
      legs.size(), static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
      sent ? 100.0 * static_cast<double>(sent - std::min(sent, received)) / static_cast<double>(sent) : 0.0,
      jitter_sum / static_cast<double>(legs.size()), jitter_max,
      received ? transit_sum / static_cast<double>(received) : 0.0,
      static_cast<unsigned long long>(send_errors));
  if (tag_bits != 0) {
    std::printf(" srtp=AES_CM_128_HMAC_SHA1_%d wrong_size=%llu auth_fail=%llu", tag_bits,
                static_cast<unsigned long long>(wrong_size), static_cast<unsigned long long>(auth_failures));
  } else {
    std::printf(" wrong_size=%llu", static_cast<unsigned long long>(wrong_size));
  }
  std::printf("\n");
  return 0;
}
