// What the kernel alone charges a relay per datagram on this machine's loopback: one process sends 700-byte
// datagrams at a steady rate to another that sleeps in poll and takes each with recvmmsg, as the daemon does.
// Prints the CPU of one send to a sleeping receiver (delivery and wake-up included, both paid by the sender
// on loopback) and of one receiving wake-up. Single-threaded; run inside a private network namespace.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int kBatch = 32;
constexpr size_t kDatagram = 700;  // an INVITE with SDP, roughly

double CpuMicroseconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

// The receiver: poll, then take what is waiting; returns the CPU per wake-up.
double Receive(int sock, int count) {
  std::array<std::array<char, 2048>, kBatch> data{};
  std::array<mmsghdr, kBatch> headers{};
  std::array<iovec, kBatch> iov{};
  int got = 0;
  long wakeups = 0;
  const double start = CpuMicroseconds();
  while (got < count) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    ++wakeups;
    for (int i = 0; i < kBatch; ++i) {
      iov[i] = iovec{data[i].data(), data[i].size()};
      headers[i] = mmsghdr{};
      headers[i].msg_hdr.msg_iov = &iov[i];
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(sock, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (n > 0) got += n;
  }
  return wakeups > 0 ? (CpuMicroseconds() - start) / static_cast<double>(wakeups) : 0;
}

// The sender: one datagram per slot, sleeping until the next; with send false only the sleeping is measured.
double Send(const sockaddr_in& to, int count, int rate, bool send) {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  std::array<char, kDatagram> message{};
  message.fill('x');
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const double cpu = CpuMicroseconds();
  for (int i = 0; i < count; ++i) {
    if (send)
      sendto(sock, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const long long due = static_cast<long long>(i + 1) * 1000000000LL / rate;
    timespec next{start.tv_sec + static_cast<time_t>(due / 1000000000LL),
                  start.tv_nsec + static_cast<long>(due % 1000000000LL)};
    if (next.tv_nsec >= 1000000000L) {
      ++next.tv_sec;
      next.tv_nsec -= 1000000000L;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  close(sock);
  return (CpuMicroseconds() - cpu) / count;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rate = argc > 2 ? std::atoi(argv[2]) : 3500;
  if (count <= 0 || rate <= 0) {
    std::fprintf(stderr, "usage: loopback_floor [DATAGRAMS] [PER_SECOND]\n");
    return 2;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(47001);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0 || bind(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    std::perror("loopback_floor: bind 127.0.0.1:47001");
    return 1;
  }
  const pid_t child = fork();
  if (child == 0) {
    std::printf("receive: %.1f us CPU per wake-up (poll + recvmmsg)\n", Receive(sock, count));
    std::fflush(stdout);
    _exit(0);
  }
  usleep(200000);
  const double with_send = Send(to, count, rate, true);
  waitpid(child, nullptr, 0);
  const double sleep_only = Send(to, count / 4, rate, false);
  std::printf(
      "send: %.1f us CPU per %zu-byte sendto to a sleeping receiver (%.1f with the sender's own sleep)\n",
      with_send - sleep_only, kDatagram, with_send);
  return 0;
}
