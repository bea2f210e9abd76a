// Port pairs as the operator's range hands them out, the sockets' addresses and options, and probe mode.
#include "media/rtp_port.h"

#include <gtest/gtest.h>
#include <netinet/ip.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
#include "foundation/reactor.h"
#include "media_fixture.h"

namespace {

using PortTest = MediaTest;

InetAddress Bound(int fd) {
  InetAddress a;
  socklen_t len = sizeof(sockaddr_in);
  getsockname(fd, a.SocketAddress(), &len);
  return a;
}

TEST_F(PortTest, PairsAreEvenInsideTheRangeDistinctWhileHeldAndFoundAgainOnceReleased) {
  std::vector<std::unique_ptr<ClientRtpPort>> pairs;
  std::set<int> ports;
  for (int i = 0; i < 5; ++i) {
    pairs.push_back(std::make_unique<ClientRtpPort>(70000));
    ASSERT_GE(pairs.back()->Open(), 0);
    const int port = pairs.back()->LPort();
    EXPECT_EQ(port % 2, 0);
    EXPECT_EQ(Bound(pairs.back()->GetRtcpHandle()).Port(), port + 1);
    ports.insert(port);
  }
  EXPECT_EQ(ports, (std::set<int>{40000, 40002, 40004, 40006, 40008})) << "five pairs fill [40000-40010)";

  ClientRtpPort sixth(70001);
  EXPECT_EQ(sixth.Open(), -1);
  EXPECT_EQ(sixth.LPort(), -1);
  EXPECT_TRUE(Logged("[70001] ")) << "under the call's number";
  EXPECT_TRUE(Logged("Error: Cannot open port in range [40000-40010]. Err: 0 - Success !!!"));

  // Wherever the search starts, it goes round the whole range: the one free pair is always found.
  for (auto& pair : pairs) {
    const int port = pair->LPort();
    pair->close();
    EXPECT_EQ(pair->LPort(), -1);
    EXPECT_TRUE(Logged("Closing port: " + std::to_string(port) + " handle "));
    const int handle = sixth.Open();
    ASSERT_GE(handle, 0);
    EXPECT_EQ(sixth.LPort(), port) << "the only free pair is handed out again";
    EXPECT_EQ(sixth.Open(), handle) << "opening an open pair keeps it";
    sixth.close();
    ASSERT_GE(pair->Open(), 0);
    EXPECT_EQ(pair->LPort(), port);
  }
}

// Neither the same pair each time nor the one after the last: from one pair nobody can tell the next.
TEST_F(PortTest, EachSearchStartsAtARandomPair) {
  ClientRtpPort pair(70010);
  std::vector<int> ports;
  for (int i = 0; i < 40; ++i) {
    ASSERT_GE(pair.Open(), 0);
    ports.push_back(pair.LPort());
    pair.close();
  }
  std::set<int> steps;
  for (size_t i = 1; i < ports.size(); ++i) steps.insert((ports[i] - ports[i - 1] + 10) % 10);
  EXPECT_GT(steps.size(), 1u) << "every step between successive pairs alike";
}

TEST_F(PortTest, PortsInUseByOthersAreSkippedAndPortsStayEvenInAnOddRange) {
  g_config.range_low = 40001;
  g_config.range_high = 40011;
  UdpPeer squatter("127.0.0.1:40005");  // the RTCP port of the pair 40004
  std::vector<std::unique_ptr<ClientRtpPort>> pairs;
  std::set<int> ports;
  for (int i = 0; i < 4; ++i) {
    pairs.push_back(std::make_unique<ClientRtpPort>(70020));
    if (pairs.back()->Open() < 0) break;
    ports.insert(pairs.back()->LPort());
  }
  EXPECT_EQ(ports, (std::set<int>{40002, 40006, 40008})) << "pairs lie wholly inside [40001-40011)";
}

TEST_F(PortTest, EachSideBindsItsOwnAddress) {
  std::strcpy(g_config.private_ipaddr, "127.0.0.20");
  std::strcpy(g_config.intern_ipaddr, "127.0.0.21");
  ClientRtpPort cln(70030);
  ServerRtpPort srv(70030);
  ASSERT_GE(cln.Open(), 0);
  ASSERT_GE(srv.Open(), 0);
  EXPECT_EQ(Bound(cln.GetHandle()).IpText(), "127.0.0.20");
  EXPECT_EQ(Bound(srv.GetRtcpHandle()).IpText(), "127.0.0.21");
}

TEST_F(PortTest, AGivenPortIsOpenedExactly) {
  ServerRtpPort pair(70040);
  EXPECT_EQ(pair.Open(0), -1);
  ASSERT_GE(pair.Open(41000), 0);
  EXPECT_EQ(pair.LPort(), 41000);
  EXPECT_EQ(Bound(pair.GetRtcpHandle()).Port(), 41001);
  EXPECT_TRUE(Logged("Open RTP port: 41000\n"));
  ASSERT_GE(pair.Open(41010), 0) << "a pair open elsewhere moves";
  EXPECT_EQ(pair.LPort(), 41010);
  EXPECT_TRUE(Logged("Closing port: 41000 handle "));
  UdpPeer squatter("127.0.0.1:41020");
  ServerRtpPort other(70041);
  EXPECT_EQ(other.Open(41020), -1);
  EXPECT_TRUE(Logged("Error: Cannot Open RTP port: 41020\n"));
}

TEST_F(PortTest, SocketsHoldHundredsOfPacketsAndRtpCarriesTheTypeOfService) {
  g_config.tos = 0xB8;
  ClientRtpPort pair(70050);
  ASSERT_GE(pair.Open(), 0);
  long rmem_max = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
  const long expected = 2 * std::min<long>(RtpPort::kSocketBuffer, rmem_max);  // the kernel doubles and caps
  for (int fd : {pair.GetHandle(), pair.GetRtcpHandle()}) {
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len);
    EXPECT_EQ(size, expected);
  }
  int tos = 0;
  socklen_t len = sizeof tos;
  getsockopt(pair.GetHandle(), IPPROTO_IP, IP_TOS, &tos, &len);
  EXPECT_EQ(tos, 0xB8);
  g_config.tos = 56;
}

TEST_F(PortTest, DestinationsAndSendsUseTheLatestAddresses) {
  ClientRtpPort pair(70060);
  ASSERT_GE(pair.Open(), 0);
  UdpPeer rtp("127.0.0.2:6000"), rtcp("127.0.0.2:6001");
  pair.RtpDestination(rtp.addr());
  pair.RtcpDestination(rtcp.addr());
  EXPECT_EQ(pair.RtpSend("media", 5), 5);
  EXPECT_EQ(pair.RtcpSend("report", 6), 6);
  EXPECT_EQ(rtp.Receive(), "media");
  InetAddress from;
  EXPECT_EQ(rtcp.Receive(&from), "report");
  EXPECT_EQ(from.Port(), pair.LPort() + 1);
  rtcp.SendTo("back", pair.LPort() + 1);
  char buf[16];
  EXPECT_EQ(pair.RtcpReceive(buf, sizeof buf, from), 4);
  EXPECT_EQ(from, rtcp.addr());
}

struct Sink : ProbeSink {
  std::vector<std::pair<int, InetAddress>> seen;
  void ProbePacket(RtpPort& pair, const InetAddress& src) override { seen.emplace_back(pair.LPort(), src); }
};

struct Tick : TimerCB {
  void OnTimer(const void*) override {}
};

void RunFor(PollReactor& reactor, Tick& tick, const std::function<bool()>& done) {
  for (int i = 0; i < 20 && !done(); ++i) {
    reactor.SetTimer(&tick, 10, nullptr);
    reactor.RunOnce(true);
  }
}

TEST_F(PortTest, InProbeModeTheReactorHandsPacketsToTheirCall) {
  PollReactor reactor;
  DialogTable table;
  auto* call = new Dialog("probe-call");
  ASSERT_TRUE(call->Entered());
  call->unlock();
  Sink sink;
  Tick tick;
  auto pair = std::make_unique<ClientRtpPort>(call->Number());
  pair->Register(&sink);
  EXPECT_TRUE(pair->Registered());
  EXPECT_TRUE(Logged("Register port: " + std::to_string(pair->LPort()) + " with handle "));
  const int fd = pair->GetHandle();
  UdpPeer client("127.0.0.2:7000");

  // Before the table knows the handle no call claims it: the packet is read and dropped, so the reactor
  // does not spin on it.
  client.SendTo(Rtp(1, 1, 'a'), pair->LPort());
  RunFor(reactor, tick,
         [&] { return Logged("Warning: mUDP: Handle " + std::to_string(fd) + " for unregistered port"); });
  EXPECT_TRUE(Logged("Warning: mUDP: Handle " + std::to_string(fd) + " for unregistered port"));
  char buf[8];
  EXPECT_LT(recv(fd, buf, sizeof buf, MSG_DONTWAIT), 0);

  table.DrainKeyQueue();
  client.SendTo(Rtp(2, 1, 'b'), pair->LPort());
  RunFor(reactor, tick, [&] { return !sink.seen.empty(); });
  ASSERT_EQ(sink.seen.size(), 1u);
  EXPECT_EQ(sink.seen[0].second, client.addr());

  pair->Unregister();
  table.DrainKeyQueue();
  EXPECT_FALSE(table.GetDialog(fd)) << "the handle no longer leads to the call";
  EXPECT_TRUE(Logged("Removing from reactor port: "));
  pair.reset();
  table.Destroy(call->Number());
}

// A stand-in for the dialog table: which call number holds which handle, and one lock for "the call".
// `entered` runs when the reactor starts a delivery, before the call is looked up.
struct FakeCalls : ProbeCalls {
  void AddProbeHandle(unsigned number, int fd) override {
    std::lock_guard<std::mutex> lock(map_mu);
    holders[fd] = number;
  }
  void RemoveProbeHandle(unsigned, int fd) override {
    std::lock_guard<std::mutex> lock(map_mu);
    holders.erase(fd);
  }
  bool DeliverLocked(int fd, unsigned number, const std::function<void()>& deliver) override {
    if (entered) entered();
    std::lock_guard<std::mutex> call_lock(call);
    {
      std::lock_guard<std::mutex> lock(map_mu);
      auto it = holders.find(fd);
      if (it == holders.end() || it->second != number) return false;
    }
    deliver();
    return true;
  }
  std::function<void()> entered;
  std::mutex call;
  std::mutex map_mu;
  std::map<int, unsigned> holders;
};

struct CountingSink : ProbeSink {
  void ProbePacket(RtpPort&, const InetAddress&) override { ++packets; }
  std::atomic<int> packets{0};
};

// A call ends on a worker while the reactor is delivering its probe packet: the pair and its call are gone
// the moment Unregister returns and the reactor must never touch them afterwards (AddressSanitizer watches).
TEST_F(PortTest, APairDestroyedWhileTheReactorDeliversItsPacketIsNeverTouchedAgain) {
  FakeCalls calls;
  ProbeCalls* saved = ProbeCalls::Instance();
  ProbeCalls::SetInstance(&calls);
  std::mutex mu;
  std::condition_variable cv;
  bool inside = false, destroyed = false;
  calls.entered = [&] {  // the reactor, in the middle of its callback, waits until the pair is gone
    std::unique_lock<std::mutex> lock(mu);
    inside = true;
    cv.notify_all();
    cv.wait(lock, [&] { return destroyed; });
  };
  PollReactor reactor;
  std::thread loop([&] { reactor.Run(); });
  while (!reactor.Running()) std::this_thread::yield();
  CountingSink sink;
  UdpPeer client("127.0.0.2:7002");
  auto pair = std::make_unique<ClientRtpPort>(1000u);
  pair->Register(&sink);
  ASSERT_TRUE(pair->Registered());
  client.SendTo(Rtp(1, 7, 'p', 20), pair->LPort());
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return inside; }));
  }
  {
    std::lock_guard<std::mutex> call_lock(calls.call);  // the worker holds the call while it ends it
    pair->Unregister();
  }
  pair.reset();
  {
    std::lock_guard<std::mutex> lock(mu);
    destroyed = true;
  }
  cv.notify_all();
  std::this_thread::sleep_for(
      std::chrono::milliseconds(50));  // the reactor finishes and deletes what it held
  calls.entered = nullptr;
  reactor.Stop();
  loop.join();
  ProbeCalls::SetInstance(saved);
  EXPECT_EQ(sink.packets.load(), 0) << "the call was gone before its packet could be delivered";
}

}  // namespace
