// The media engine as a packet handler sees it: sessions spread over the threads, descriptors and timers
// served on the session's own thread, and Detach returning only once nothing of the session runs any more.
#include "media/media_engine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/reactor.h"

namespace {

// Counts the datagrams on its socket; re-arms its timer every `period_ms` when set.
struct Probe {
  std::atomic<int> readable{0};
  std::atomic<int> timers{0};
  std::atomic<bool> detached{false};
  std::atomic<bool> touched_after_detach{false};
  std::atomic<pid_t> thread{0};
};

class ProbeSession : public MediaSession {
 public:
  ProbeSession(Probe& probe, int fd, int period_ms, unsigned number)
      : probe_(probe), fd_(fd), period_ms_(period_ms), number_(number) {}
  void OnAttach(MediaLoop& loop) override {
    Note();
    loop.Watch(fd_, 3);
    if (period_ms_ > 0) loop.SetTimer(PollReactor::NowMs() + static_cast<uint64_t>(period_ms_));
  }
  void OnPacket(MediaLoop&, int slot, uint8_t* pkt, size_t len, const InetAddress&, uint64_t) override {
    Note();
    if (slot == 3 && len == 4 && std::memcmp(pkt, "ping", 4) == 0) probe_.readable.fetch_add(1);
  }
  void OnTimer(MediaLoop& loop, uint64_t now_ms) override {
    Note();
    probe_.timers.fetch_add(1);
    loop.SetTimer(now_ms + static_cast<uint64_t>(period_ms_));
  }
  void OnDetach(MediaLoop&) override {
    Note();
    probe_.detached = true;
  }
  unsigned Number() const override { return number_; }

 private:
  void Note() {
    if (probe_.detached) probe_.touched_after_detach = true;
    probe_.thread = gettid();
  }
  Probe& probe_;
  const int fd_;
  const int period_ms_;
  const unsigned number_;
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

// A UDP socket on a loopback port of its own, which the engine watches.
int Socket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  InetAddress any(0, "127.0.0.1");
  EXPECT_EQ(bind(fd, any.SocketAddress(), sizeof(sockaddr_in)), 0);
  return fd;
}

void Signal(int fd) {
  InetAddress to;
  socklen_t len = sizeof(sockaddr_in);
  getsockname(fd, to.SocketAddress(), &len);
  const int out = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(sendto(out, "ping", 4, 0, to.SocketAddress(), sizeof(sockaddr_in)), 4);
  close(out);
}

TEST(MediaEngine, SessionsSpreadOverTheThreadsAndRunOnTheirOwnOnly) {
  MediaEngine& engine = MediaEngine::Instance();
  ASSERT_TRUE(engine.Start(2));
  ASSERT_GE(engine.ThreadCount(), 1);
  std::vector<std::unique_ptr<Probe>> probes;
  std::vector<int> fds;
  std::vector<SessionHandle> handles;
  for (unsigned i = 0; i < 6; ++i) {
    probes.push_back(std::make_unique<Probe>());
    fds.push_back(Socket());
    handles.push_back(engine.Attach(std::make_unique<ProbeSession>(*probes[i], fds[i], 0, 900 + i)));
    ASSERT_TRUE(handles.back());
  }
  if (engine.ThreadCount() > 1) {
    EXPECT_NE(handles[0].loop, handles[1].loop) << "the least loaded thread takes the next call";
  }
  EXPECT_NE(engine.DumpText().find("905"), std::string::npos);
  for (size_t i = 0; i < fds.size(); ++i) Signal(fds[i]);
  for (size_t i = 0; i < fds.size(); ++i) {
    EXPECT_TRUE(WaitFor([&] { return probes[i]->readable.load() == 1; })) << i;
    EXPECT_EQ(static_cast<unsigned long>(probes[i]->thread.load()), handles[i].loop->KernelId());
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    handles[i].loop->Detach(handles[i].id);
    EXPECT_TRUE(probes[i]->detached) << "Detach returns after the session's last callback";
    close(fds[i]);  // at once: the engine no longer watches it
  }
  EXPECT_EQ(engine.DumpText().find("905"), std::string::npos);
  for (auto& p : probes) EXPECT_FALSE(p->touched_after_detach);
}

TEST(MediaEngine, TimersKeepTheirScheduleAndStopWithTheSession) {
  MediaEngine& engine = MediaEngine::Instance();
  Probe probe;
  const int fd = Socket();
  SessionHandle h = engine.Attach(std::make_unique<ProbeSession>(probe, fd, 20, 950));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  h.loop->Detach(h.id);
  const int fired = probe.timers.load();
  EXPECT_GE(fired, 5) << "a 20 ms timer fired about 15 times in 300 ms";
  EXPECT_LE(fired, 16);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(probe.timers.load(), fired) << "no timer after Detach";
  EXPECT_FALSE(probe.touched_after_detach);
  close(fd);
}

}  // namespace
