// The relay thread of an anchored call on loopback: what the phone and the server receive, where packets
// are sent after latching, what happens to foreign sources, and how the thread stops.
#include "media/relay.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "dos/dos_core.h"
#include "media/media_engine.h"
#include "media_fixture.h"

namespace {

const unsigned kUniq = 70100;
const uint32_t kClientIp = 0x7F000002;  // 127.0.0.2, the client's public media address

// What the call hears from its relay thread; read under the lock while the thread runs.
struct Recorder : RelayObserver {
  void StreamSeen(RelayEvent event, const std::string& source) override {
    std::lock_guard<std::mutex> lock(mu);
    events.emplace_back(event, source);
  }
  void ForeignPackets(const InetAddress& src, unsigned count, unsigned uniq_no) override {
    std::lock_guard<std::mutex> lock(mu);
    foreign.emplace_back(src, count);
    uniq = uniq_no;
  }
  // Waits until `total` foreign packets were reported; the batches that carried them.
  std::vector<std::pair<InetAddress, unsigned>> WaitForeign(unsigned total) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(mu);
        unsigned n = 0;
        for (auto& f : foreign) n += f.second;
        if (n >= total) return foreign;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }
  std::mutex mu;
  std::vector<std::pair<RelayEvent, std::string>> events;
  std::vector<std::pair<InetAddress, unsigned>> foreign;
  unsigned uniq = 0;
};

// The media side of an anchored call: its four pairs and its relay, declared after them.
struct Anchored {
  ClientRtpPort cln{kUniq};
  ServerRtpPort srv{kUniq};
  ClientRtpPort cln_video{kUniq};
  ServerRtpPort srv_video{kUniq};
  MediaRelay relay{cln, srv, cln_video, srv_video};
};

class RelayTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    ASSERT_GE(call.cln.Open(), 0);
    ASSERT_GE(call.srv.Open(), 0);
    // Destinations as the SDPs gave them.
    call.cln.RtpDestination(phone.addr());
    call.cln.RtcpDestination(phone_rtcp.addr());
    call.srv.RtpDestination(server.addr());
    call.srv.RtcpDestination(server_rtcp.addr());
  }
  static RelaySetup Setup(bool accept_any = false, bool video = false) {
    RelaySetup s;
    s.orig_ip = kClientIp;
    s.signalling_ip = kClientIp;
    s.accept_any = accept_any;
    s.video = video;
    return s;
  }
  void Start(bool accept_any = false) { ASSERT_TRUE(call.relay.Start(Setup(accept_any), &recorder)); }
  int ClnPort() const { return call.cln.LPort(); }
  int SrvPort() const { return call.srv.LPort(); }

  UdpPeer phone{"127.0.0.2:6000"};
  UdpPeer phone_rtcp{"127.0.0.2:6001"};
  UdpPeer server{"127.0.0.3:8000"};
  UdpPeer server_rtcp{"127.0.0.3:8001"};
  Recorder recorder;
  Anchored call;
};

TEST_F(RelayTest, PayloadsCrossUnchangedBothWaysFromTheRelaysOwnPorts) {
  Start();
  const std::string up = Rtp(1, 0x1234, 'u'), down = Rtp(1, 0xBEEF, 'd');
  phone.SendTo(up, ClnPort());
  InetAddress from;
  EXPECT_EQ(server.Receive(&from), up);
  EXPECT_EQ(from.Port(), SrvPort());
  server.SendTo(down, SrvPort());
  EXPECT_EQ(phone.Receive(&from), down);
  EXPECT_EQ(from.Port(), ClnPort());

  const std::string rr = {'\x81', '\xC9', '\0',   '\x07', '\x11', '\x22', '\x33', '\x44',
                          '\x55', '\x66', '\x77', '\x88', '\x05', '\0',   '\0',   '\x09',
                          '\0',   '\0',   '\0',   '\0',   '\0',   '\0',   '\0',   '\x2A',
                          '\0',   '\0',   '\0',   '\0',   '\0',   '\0',   '\0',   '\0'};
  phone_rtcp.SendTo(rr, ClnPort() + 1);
  EXPECT_EQ(server_rtcp.Receive(&from), rr);
  EXPECT_EQ(from.Port(), SrvPort() + 1);
  server_rtcp.SendTo(rr, SrvPort() + 1);
  EXPECT_EQ(phone_rtcp.Receive(), rr);

  call.relay.Stop();
  EXPECT_EQ(call.relay.ClientPacketCount(), 2u);
  EXPECT_EQ(call.relay.ServerPacketCount(), 2u);
  EXPECT_TRUE(Logged("[70100] ")) << "the call's number tags its media lines";
  EXPECT_TRUE(Logged("Got CLN Audio Stream SSRC:0x1234 from: 127.0.0.2:6000\n"));
  EXPECT_TRUE(Logged("Got SRV Audio Stream SSRC:0xBEEF from: 127.0.0.3:8000\n"));
  EXPECT_TRUE(Logged("Got CLN Audio RTCP   from: 127.0.0.2:6001\n"));
  EXPECT_TRUE(Logged("Got CLN Audio RTCP  RR  SSRC=0x11223344 R_SSRC=0x55667788 LOST=5/9 JTTR=42\n"));
  const auto& events = recorder.events;  // the thread has ended
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], std::make_pair(E_CLN_AUDIO, std::string("127.0.0.2:6000")));
  EXPECT_EQ(events[1], std::make_pair(E_SRV_AUDIO, std::string("127.0.0.3:8000")));
  EXPECT_EQ(events[2].first, E_NOP);
}

TEST_F(RelayTest, VideoPairsAreRelayedWhenTheCallHasVideo) {
  ASSERT_GE(call.cln_video.Open(), 0);
  ASSERT_GE(call.srv_video.Open(), 0);
  UdpPeer phone_video("127.0.0.2:6002"), server_video("127.0.0.3:8002");
  call.cln_video.RtpDestination(phone_video.addr());
  call.srv_video.RtpDestination(server_video.addr());
  ASSERT_TRUE(call.relay.Start(Setup(false, true), &recorder));
  const std::string frame = Rtp(7, 0x5151, 'v', 1200);
  phone_video.SendTo(frame, call.cln_video.LPort());
  EXPECT_EQ(server_video.Receive(), frame);
  server_video.SendTo(frame, call.srv_video.LPort());
  EXPECT_EQ(phone_video.Receive(), frame);
  call.relay.Stop();
  EXPECT_TRUE(Logged("Got CLN Video Stream SSRC:0x5151 from: 127.0.0.2:6002\n"));
}

TEST_F(RelayTest, ANonSymmetricServerIsHeardOnlyFromItsSdpAddress) {
  UdpPeer other("127.0.0.4:8000"), other_port("127.0.0.3:8010");
  Start();
  other.SendTo(Rtp(1, 0x7, 'e'), SrvPort());
  other_port.SendTo(Rtp(2, 0x7, 'p'), SrvPort());
  EXPECT_EQ(phone.Receive(), Rtp(2, 0x7, 'p')) << "early media from the server's address, any port, passes";
  EXPECT_TRUE(phone.Quiet()) << "a stranger's packet is never relayed toward the client";
  EXPECT_EQ(call.srv.RtpDestination(), server.addr()) << "and moves nothing";
  call.relay.Established(true);
  other_port.SendTo(Rtp(3, 0x7, 'x'), SrvPort());
  server.SendTo(Rtp(4, 0x8, 'y'), SrvPort());
  EXPECT_EQ(phone.Receive(), Rtp(4, 0x8, 'y')) << "once the dialog stands, only the exact address";
  EXPECT_TRUE(phone.Quiet());
}

TEST_F(RelayTest, AThirdAddressIsDroppedAndReportedInBatches) {
  UdpPeer intruder("127.0.0.9:9000");
  Start();
  for (int i = 0; i < 40; ++i) intruder.SendTo(Rtp(static_cast<uint16_t>(i), 0x666, 'x', 300), ClnPort());
  phone.SendTo(Rtp(1, 0x1, 'c'), ClnPort());
  EXPECT_EQ(server.Receive(), Rtp(1, 0x1, 'c')) << "nothing of the intruder reached the server";
  auto batches = recorder.WaitForeign(40);
  unsigned total = 0;
  for (auto& [src, n] : batches) {
    EXPECT_EQ(src, intruder.addr());
    total += n;
  }
  EXPECT_EQ(total, 40u);
  EXPECT_LT(batches.size(), 40u) << "reported in batches, not packet by packet";
  {
    std::lock_guard<std::mutex> lock(recorder.mu);
    EXPECT_EQ(recorder.uniq, kUniq);
  }
  server.SendTo(Rtp(2, 0x2, 's'), SrvPort());
  EXPECT_EQ(phone.Receive(), Rtp(2, 0x2, 's')) << "the client's destination did not move";
}

TEST_F(RelayTest, WithoutAnObserverForeignPacketsAreTalliedByTheFloodDetector) {
  DosSettings settings;
  settings.dos_mode = DL_LOCAL;
  settings.repeat_threshold_first = 30;
  DosCore::Hooks hooks;
  hooks.settings = [settings] { return settings; };
  g_dos.SetHooks(std::move(hooks));
  g_dos.DosReset();
  UdpPeer intruder("127.0.0.9:9002");
  ASSERT_TRUE(call.relay.Start(Setup(), nullptr));
  for (int i = 0; i < 30; ++i) intruder.SendTo(Rtp(static_cast<uint16_t>(i), 0x666, 'x', 300), ClnPort());
  phone.SendTo(Rtp(1, 0x1, 'c'), ClnPort());
  EXPECT_EQ(server.Receive(), Rtp(1, 0x1, 'c'));
  call.relay.Stop();  // hands on the last batch
  EXPECT_TRUE(g_dos.IsBlocked(0x7F000009, 9002));
  EXPECT_TRUE(Logged("Report R suspect: 127.0.0.9:9002"));
  g_dos.SetHooks({});
  g_dos.DosReset();
}

TEST_F(RelayTest, InLoadBalancerModeAnyClientAddressIsRelayed) {
  UdpPeer other("127.0.0.9:9000");
  Start(/*accept_any=*/true);
  for (uint16_t seq : {1, 2}) {
    other.SendTo(Rtp(seq, 0x5, 'a'), ClnPort());
    EXPECT_EQ(server.Receive(), Rtp(seq, 0x5, 'a'));
  }
  server.SendTo(Rtp(1, 0x6, 'b'), SrvPort());
  EXPECT_EQ(other.Receive(), Rtp(1, 0x6, 'b'));
}

TEST_F(RelayTest, OversizedDatagramsAreDroppedNotCut) {
  Start();
  phone.SendTo(Rtp(1, 0x1, 'L', 2100), ClnPort());
  const std::string fits = Rtp(2, 0x1, 'F', 2034 - 12);
  phone.SendTo(fits, ClnPort());
  EXPECT_EQ(server.Receive(), fits) << "the largest packet that leaves room for a trailer passes whole";
}

// A stand-in for the client leg's SRTP context: a 4-byte trailer added toward the client, checked and
// removed from the client.
class TrailerCrypto : public SrtpHook {
 public:
  void RTPDecrypt(uint8_t* pkt, int& len, bool& rtcp) override {
    if (len < 4 || std::memcmp(pkt + len - 4, "TAG!", 4) != 0) {
      len = 0;
      return;
    }
    len -= 4;
  }
  void RTPEncrypt(uint8_t* pkt, int& len, bool& rtcp) override {
    std::memcpy(pkt + len, "TAG!", 4);
    len += 4;
  }
};

TEST_F(RelayTest, TheClientLegIsTransformedInPlaceWhenTheCallTerminatesSrtp) {
  ASSERT_TRUE(call.cln.SetSrtp(std::make_unique<TrailerCrypto>()));
  EXPECT_FALSE(call.cln.SetSrtp(std::make_unique<TrailerCrypto>())) << "a context in use is never replaced";
  Start();
  call.relay.SrtpTerminated(true);
  phone.SendTo(Rtp(1, 0x1, 'p') + "TAG!", ClnPort());
  EXPECT_EQ(server.Receive(), Rtp(1, 0x1, 'p'));
  phone.SendTo(Rtp(2, 0x1, 'q') + "BAD!", ClnPort());
  phone.SendTo(Rtp(3, 0x1, 'r') + "TAG!", ClnPort());
  EXPECT_EQ(server.Receive(), Rtp(3, 0x1, 'r')) << "a packet the context refuses is dropped";
  server.SendTo(Rtp(1, 0x2, 's'), SrvPort());
  EXPECT_EQ(phone.Receive(), Rtp(1, 0x2, 's') + "TAG!");
}

size_t ThreadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

bool Served(unsigned number) {
  return MediaEngine::Instance().DumpText().find(std::to_string(number)) != std::string::npos;
}

TEST_F(RelayTest, StopTakesTheCallOffItsMediaThreadEvenUnderAFloodAndLeavesTheSocketsAlone) {
  Start();
  const size_t before = ThreadCount();
  EXPECT_FALSE(call.relay.Start(RelaySetup{}, &recorder)) << "a call runs once";
  EXPECT_GE(call.relay.ThreadIndex(), 0);
  EXPECT_TRUE(Served(kUniq));
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    UdpPeer intruder("127.0.0.9:9100");
    while (flooding) intruder.SendTo(Rtp(1, 0x666, 'f'), ClnPort());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  call.relay.Stop();
  flooding = false;
  flood.join();
  EXPECT_FALSE(call.relay.Running());
  EXPECT_FALSE(Served(kUniq));
  EXPECT_EQ(ThreadCount(), before) << "no thread per call";
  EXPECT_TRUE(Logged("Terminating thread: "));

  server.SendTo(Rtp(9, 0x2, 's'), SrvPort());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  char buf[256];
  EXPECT_GT(recv(call.srv.GetHandle(), buf, sizeof buf, MSG_DONTWAIT), 0) << "nobody reads the pair any more";

  Start();  // a re-INVITE may anchor again on the same pairs
  // The socket may still be full of the flood's leftovers, which the kernel keeps before the phone's packet
  // (or drops that packet for): the phone repeats it, as a voice stream would.
  std::string got;
  for (int i = 0; i < 50 && got != Rtp(1, 0x1, 'c'); ++i) {
    phone.SendTo(Rtp(1, 0x1, 'c'), ClnPort());
    got = server.Receive(nullptr, 200);
  }
  EXPECT_EQ(got, Rtp(1, 0x1, 'c'));

  call.relay.Stop();
  call.srv.close();
  EXPECT_FALSE(call.relay.Start(RelaySetup{}, &recorder)) << "the relay needs both audio pairs";
  EXPECT_FALSE(call.relay.Running());
}

// Calls started and stopped from several threads while packets flow through all of them; each call's
// sockets close and its memory goes the moment Stop returns (AddressSanitizer and ThreadSanitizer watch).
TEST_F(RelayTest, CallsComeAndGoFromSeveralThreadsWhilePacketsFlow) {
  g_config.range_high = 41000;
  std::atomic<bool> flowing{true};
  std::atomic<int> started{0};
  auto churn = [&](int worker) {
    UdpPeer source(("127.0.0." + std::to_string(20 + worker) + ":9200").c_str());
    for (int round = 0; round < 40; ++round) {
      auto media = std::make_unique<Anchored>();
      ASSERT_GE(media->cln.Open(), 0);
      ASSERT_GE(media->srv.Open(), 0);
      media->srv.RtpDestination(server.addr());
      RelaySetup setup = Setup(/*accept_any=*/true);
      ASSERT_TRUE(media->relay.Start(setup, nullptr));
      started.fetch_add(1);
      for (int k = 0; k < 5; ++k)
        source.SendTo(Rtp(static_cast<uint16_t>(k), 0x99, 'z', 40), media->cln.LPort());
      media->relay.Stop();
      media.reset();  // sockets closed and memory freed at once
    }
  };
  std::thread pump([&] {
    UdpPeer steady("127.0.0.30:9300");
    while (flowing) steady.SendTo(Rtp(1, 0x1, 's', 40), ClnPort());
  });
  Start(/*accept_any=*/true);
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) workers.emplace_back(churn, w);
  for (auto& w : workers) w.join();
  flowing = false;
  pump.join();
  EXPECT_EQ(started.load(), 120);
  EXPECT_GT(call.relay.ClientPacketCount(), 0u) << "the steady call was relayed throughout";
  call.relay.Stop();
}

}  // namespace
