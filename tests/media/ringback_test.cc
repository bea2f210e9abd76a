// The ring job on a media thread: what a ringing phone receives in each codec, the shared numbering and
// frame cycle, the reflection rule, and that stopping a call (or the last one) ends its packets.
#include "media/ringback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "media/rtp_header.h"
#include "media_fixture.h"

namespace {

// Two frames of each codec, told apart by their first byte (the frame's index + 1).
void LoadTone() {
  g_config.ring_count = 2;
  g_config.ring_ulaw.assign(2 * 160, 0);
  g_config.ring_g729.assign(2 * 20, 0);
  g_config.ring_gsm.assign(2 * 33, 0);
  for (int i = 0; i < 2; ++i) {
    g_config.ring_ulaw[static_cast<size_t>(i) * 160] = static_cast<uint8_t>(i + 1);
    g_config.ring_g729[static_cast<size_t>(i) * 20] = static_cast<uint8_t>(i + 1);
    g_config.ring_gsm[static_cast<size_t>(i) * 33] = static_cast<uint8_t>(i + 1);
  }
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

class RingbackTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    LoadTone();
  }
  // A ringing call toward phone, its pair aimed at the phone.
  RingTarget Target(ClientRtpPort& port, UdpPeer& phone, uint8_t codec) {
    EXPECT_GE(port.Open(), 0);
    port.RtpDestination(phone.addr());
    RingTarget t;
    t.port = &port;
    t.codec = codec;
    t.allowed_ips[0] = phone.addr().Ip();
    t.number = port.Number();
    return t;
  }
};

TEST_F(RingbackTest, EachPhoneHearsItsCodecEveryTwentyMillisecondsUntilItStops) {
  struct Case {
    uint8_t codec;
    uint8_t payload_type;
    size_t size;
  };
  const Case cases[] = {{0, 0, 172}, {8, 0, 172}, {18, 18, 32}, {3, 3, 45}};
  std::vector<std::unique_ptr<ClientRtpPort>> ports;
  std::vector<std::unique_ptr<UdpPeer>> phones;
  for (size_t i = 0; i < std::size(cases); ++i) {
    ports.push_back(std::make_unique<ClientRtpPort>(81000 + i));
    phones.push_back(std::make_unique<UdpPeer>(("127.0.0.1:" + std::to_string(42000 + i)).c_str()));
  }
  ASSERT_FALSE(Ringback::Instance().Running());
  for (size_t i = 0; i < std::size(cases); ++i)
    Ringback::Instance().Start(Target(*ports[i], *phones[i], cases[i].codec));
  Ringback::Instance().Start(Target(*ports[0], *phones[0], 0));  // a repeated start changes nothing
  EXPECT_EQ(log_.count("Start Ringing..."), std::size(cases));
  EXPECT_EQ(log_.count("Ring Thread started"), 1u);

  const auto begin = std::chrono::steady_clock::now();
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::vector<std::string> got;
    for (int k = 0; k < 6; ++k) got.push_back(phones[i]->Receive());
    for (size_t k = 0; k < got.size(); ++k) {
      ASSERT_EQ(got[k].size(), cases[i].size) << int(cases[i].codec);
      const uint8_t* p = Bytes(got[k]);
      EXPECT_EQ(p[1], cases[i].payload_type);
      if (k == 0) continue;
      const uint8_t* prev = Bytes(got[k - 1]);
      EXPECT_EQ(static_cast<uint16_t>(rtp::Sequence(p, 12) - rtp::Sequence(prev, 12)), 1);
      EXPECT_EQ(rtp::BigEndian32(p + 4) - rtp::BigEndian32(prev + 4), 160u);
      EXPECT_NE(p[12], prev[12]) << "the two frames alternate";
    }
  }
  // Six packets of one phone span five intervals of 20 ms (the schedule is absolute, so never much less).
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(90));

  Ringback::Instance().Stop(ports[1].get());
  EXPECT_FALSE(Ringback::Instance().Ringing(ports[1].get()));
  while (!phones[1]->Receive(nullptr, 50).empty()) {
  }
  EXPECT_TRUE(phones[1]->Quiet()) << "a stopped call hears nothing more";
  EXPECT_FALSE(phones[0]->Receive().empty()) << "the others still ring";

  for (auto& port : ports) Ringback::Instance().Stop(port.get());
  EXPECT_FALSE(Ringback::Instance().Running());
  EXPECT_EQ(log_.count("Ring Thread stoped"), 1u);
  for (auto& phone : phones) {
    while (!phone->Receive(nullptr, 50).empty()) {
    }
    EXPECT_TRUE(phone->Quiet());
  }
}

TEST_F(RingbackTest, NoToneGoesToAnAddressTheCallerDidNotSendFrom) {
  UdpPeer phone("127.0.0.1:42100");
  UdpPeer victim("127.0.0.3:42100");
  ClientRtpPort port(81100);
  RingTarget t = Target(port, phone, 0);
  port.RtpDestination(victim.addr());  // as an SDP could name it
  Ringback::Instance().Start(t);
  EXPECT_TRUE(victim.Quiet());
  port.RtpDestination(phone.addr());
  EXPECT_EQ(phone.Receive().size(), 172u);
  Ringback::Instance().Stop(&port);
}

TEST_F(RingbackTest, ClosingAPairRightAfterStopIsSafeWhileOthersRing) {
  UdpPeer phone("127.0.0.1:42200");
  ClientRtpPort steady(81200);
  Ringback::Instance().Start(Target(steady, phone, 0));
  for (int i = 0; i < 200; ++i) {
    auto port = std::make_unique<ClientRtpPort>(81300 + i);
    Ringback::Instance().Start(Target(*port, phone, 18));
    Ringback::Instance().Stop(port.get());
    port.reset();  // closes the sockets: the job must have let go of them
  }
  Ringback::Instance().Stop(&steady);
  EXPECT_FALSE(Ringback::Instance().Running());
}

}  // namespace
