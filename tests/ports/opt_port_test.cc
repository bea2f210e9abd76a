// A call's probe port with the reactor running on its own thread: an ICMP refusal of its probe reaches the
// call's number once, and a port retired from another thread is unregistered and deleted by the reactor.
#include "ports/opt_port.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "config/config.h"

namespace {

using namespace std::chrono_literals;

// Records the thread its destructor ran on.
class TracedOptPort : public ProbePort {
 public:
  TracedOptPort(int uno, std::atomic<bool>& gone, pthread_t& where)
      : ProbePort(uno), gone_(gone), where_(where) {}
  ~TracedOptPort() override {
    where_ = pthread_self();
    gone_.store(true);
  }

 private:
  std::atomic<bool>& gone_;
  pthread_t& where_;
};

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 2000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class OptPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(g_config.second_ipaddr, "127.0.0.5");
    loop_ = std::thread([this] {
      loop_thread_ = pthread_self();
      reactor_.Run();
    });
    // The reactor owns its thread once it runs.
    ASSERT_TRUE(WaitFor([this] { return !pthread_equal(reactor_.Owner(), pthread_self()); }));
  }
  void TearDown() override {
    reactor_.Stop();
    loop_.join();
    ProbePort::OnICMP = nullptr;
    g_config.second_ipaddr[0] = '\0';
  }

  PollReactor reactor_;
  std::thread loop_;
  pthread_t loop_thread_{};
};

TEST_F(OptPortTest, RefusedProbeMarksTheCallOnceAndRetiringDeletesOnTheReactorThread) {
  std::atomic<int> refusals{0};
  std::atomic<int> who{0};
  ProbePort::OnICMP = [&](int uno) {
    who = uno;
    ++refusals;
  };
  std::atomic<bool> gone{false};
  pthread_t where{};
  auto port = std::make_unique<TracedOptPort>(70001, gone, where);
  ASSERT_TRUE(port->Usable());
  port->Enroll();
  EXPECT_EQ(port->LocalAddress().IpText(), "127.0.0.5");

  // The kernel's ICMP budget is shared by the whole machine: a refusal may need another probe.
  const char probe[] = "OPTIONS sip:x@127.0.0.9:9 SIP/2.0\r\n\r\n";
  for (int attempt = 0; attempt < 10 && refusals.load() == 0; ++attempt) {
    ASSERT_GT(port->sendto(probe, sizeof probe - 1, InetAddress("127.0.0.9:9"), 0), 0);
    WaitFor([&] { return refusals.load() > 0; }, 300ms);
  }
  ASSERT_GT(refusals.load(), 0);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(refusals.load(), 1) << "the error is read once, not reported again and again";
  EXPECT_EQ(who.load(), 70001);

  ProbePort::Retire(std::move(port));
  ASSERT_TRUE(WaitFor([&] { return gone.load(); }));
  EXPECT_TRUE(pthread_equal(where, loop_thread_)) << "deleted by the reactor, never under its callbacks";
}

TEST_F(OptPortTest, WithoutSecondAddressThePortIsNotUsable) {
  g_config.second_ipaddr[0] = '\0';
  ProbePort port(70002);
  EXPECT_FALSE(port.Usable());
}

}  // namespace
