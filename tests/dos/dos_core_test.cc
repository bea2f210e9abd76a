// Flood protection as the operator configures it: thresholds, rate limits, the shield, white lists and
// levels.
#include "dos/dos_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Harness {
  PollReactor reactor;
  DosCore dos;
  DosSettings settings;
  std::vector<std::tuple<bool, uint32_t, int>> blocks;
  std::vector<bool> shield;
  std::vector<char> letters;
  uint32_t white_net = 0, white_mask = 0;

  Harness() {
    settings.dos_mode = DL_LOCAL;
    DosCore::Hooks h;
    h.settings = [this] { return settings; };
    h.is_whitelisted = [this](uint32_t ip) { return white_mask != 0 && (ip & white_mask) == white_net; };
    h.event_block = [this](bool on, uint32_t ip, int port) { blocks.emplace_back(on, ip, port); };
    h.event_ddos = [this](bool on) { shield.push_back(on); };
    h.count_report = [this](char c) { letters.push_back(c); };
    dos.SetHooks(std::move(h));
  }
  void reset() { dos.DosReset(); }
  static InetAddress addr(const char* s) { return InetAddress(s); }
  void run_for(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      reactor.SetTimer(&dummy, 5, nullptr);
      reactor.RunOnce(true);
    }
  }
  struct Dummy : TimerCB {
    void OnTimer(const void*) override {}
  } dummy;
};

const uint32_t kSrc = 0x7F000105;  // 127.0.1.5

TEST(DosReport, HeavyThresholdBlocksExactlyAtTheCountAndRestartsTheTally) {
  Harness h;
  h.settings.heavy_threshold_first = 50;
  h.reset();
  InetAddress src = Harness::addr("127.0.1.5:5062");
  for (int i = 0; i < 49; ++i) h.dos.Report(src, DosCore::DOS_H, 0);
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 5062));
  h.dos.Report(src, DosCore::DOS_H, 0);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 5062));
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 5063)) << "one source port: only that port is blocked";
  ASSERT_EQ(h.blocks.size(), 1u);
  EXPECT_EQ(h.blocks[0], std::make_tuple(true, kSrc, 5062));
  EXPECT_EQ(h.letters.size(), 50u);
}

TEST(DosReport, SourceUsingTwoPortsIsBlockedOnAllPorts) {
  Harness h;
  h.settings.light_threshold_first = 3;
  h.reset();
  h.dos.Report(Harness::addr("127.0.1.5:1000"), DosCore::DOS_L, 0);
  h.dos.Report(Harness::addr("127.0.1.5:2000"), DosCore::DOS_L, 0);
  h.dos.Report(Harness::addr("127.0.1.5:1000"), DosCore::DOS_L, 0);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 4321));
  EXPECT_EQ(std::get<2>(h.blocks.at(0)), 0);
}

TEST(DosReport, WhiteListedSourceIsNeverTalliedOrBlocked) {
  Harness h;
  h.settings.light_threshold_first = 2;
  h.settings.max_messages_per_second = 1;
  h.white_net = 0x7F000100;
  h.white_mask = 0xFFFFFF00;
  h.reset();
  InetAddress src = Harness::addr("127.0.1.5:5060");
  for (int i = 0; i < 10; ++i) {
    h.dos.Report(src, DosCore::DOS_L, 0);
    h.dos.CheckMPS(src);
  }
  EXPECT_EQ(h.dos.BlockCount(), 0u);
  EXPECT_TRUE(h.letters.empty());
}

TEST(DosRate, TheDatagramAboveTheLimitBlocksItsExactPort) {
  Harness h;
  h.settings.max_messages_per_second = 100;
  h.settings.block_time_rate = 1;
  h.reset();
  InetAddress src = Harness::addr("127.0.1.5:5070");
  // Stay inside one wall-clock second.
  time_t start = time(nullptr);
  while (time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  for (int i = 0; i < 100; ++i) h.dos.CheckMPS(src);
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 5070));
  h.dos.CheckMPS(src);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 5070));
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 5071));
  h.run_for(1200);  // the block expires
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 5070));
  ASSERT_EQ(h.blocks.size(), 2u);
  EXPECT_EQ(h.blocks[1], std::make_tuple(false, kSrc, 5070));
}

TEST(DosLevels, LogOnlyNeverBlocksAndOffDoesNothing) {
  Harness h;
  h.settings.dos_mode = DL_LOG;
  h.settings.light_threshold_first = 1;
  h.reset();
  h.dos.Report(Harness::addr("127.0.1.5:5060"), DosCore::DOS_L, 0);
  EXPECT_EQ(h.dos.BlockCount(), 0u);
  h.settings.dos_mode = DL_OFF;
  h.reset();
  h.dos.RunSystemBlock(kSrc, 5060, 10);
  EXPECT_EQ(h.dos.BlockCount(), 0u);
}

TEST(DosLevels, NoIntervalsMeansNoTallyButTheRateLimitStillWorks) {
  Harness h;
  h.settings.interval_count = 0;
  h.settings.light_threshold_first = 1;
  h.settings.max_messages_per_second = 1;
  h.reset();
  InetAddress src = Harness::addr("127.0.1.5:5060");
  h.dos.Report(src, DosCore::DOS_L, 0);
  EXPECT_EQ(h.dos.BlockCount(), 0u);
  EXPECT_TRUE(h.letters.empty());
  h.run_for(30);  // no interval timer may fire on a missing ring
  time_t start = time(nullptr);
  while (time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  h.dos.CheckMPS(src);
  h.dos.CheckMPS(src);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 5060));
}

TEST(DosShield, ManyHeavySourcesRaiseTheShieldAndZeroDisablesIt) {
  Harness h;
  h.settings.ddos_threshold = 3;
  h.settings.ddos_block_time = 1;
  h.reset();
  h.dos.Report(Harness::addr("127.0.2.1:1"), DosCore::DOS_H, 0);
  h.dos.Report(Harness::addr("127.0.2.2:1"), DosCore::DOS_L, 0);
  h.dos.Report(Harness::addr("127.0.2.3:1"), DosCore::DOS_L, 0);
  EXPECT_EQ(h.dos.DDOSState(), -1) << "many sources but few heavy ones: armed";
  EXPECT_FALSE(h.dos.UnderDDOS());
  h.dos.Report(Harness::addr("127.0.2.2:1"), DosCore::DOS_H, 0);
  h.dos.Report(Harness::addr("127.0.2.3:1"), DosCore::DOS_H, 0);
  EXPECT_TRUE(h.dos.UnderDDOS());
  EXPECT_EQ(h.shield, (std::vector<bool>{true}));
  h.run_for(1200);
  EXPECT_FALSE(h.dos.UnderDDOS());
  EXPECT_EQ(h.shield, (std::vector<bool>{true, false}));

  h.settings.ddos_threshold = 0;
  h.reset();
  for (int i = 1; i < 50; ++i)
    h.dos.Report(Harness::addr(("127.0.3." + std::to_string(i) + ":1").c_str()), DosCore::DOS_H, 0);
  EXPECT_FALSE(h.dos.UnderDDOS());
}

TEST(DosIntervals, TheSummaryOverIntervalsBlocksAtOrAboveTheMultipleThreshold) {
  Harness h;
  h.settings.interval = 1;
  h.settings.interval_count = 3;
  h.settings.light_threshold_first = 1000;
  h.settings.light_threshold_repeat = 6;
  h.reset();
  InetAddress src = Harness::addr("127.0.1.5:5060");
  for (int i = 0; i < 3; ++i) h.dos.Report(src, DosCore::DOS_L, 0);
  h.run_for(1100);
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 5060));
  for (int i = 0; i < 3; ++i) h.dos.Report(src, DosCore::DOS_L, 0);
  h.run_for(1100);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 5060)) << "three plus three reports over two intervals reach six";
}

TEST(DosBlocks, DuplicateBlockKeepsTheFirstAndResetClearsSilently) {
  Harness h;
  h.reset();
  h.dos.RunSystemBlock(kSrc, 5060, 100);
  h.dos.RunSystemBlock(kSrc, 5060, 100);
  EXPECT_EQ(h.dos.BlockCount(), 1u);
  EXPECT_EQ(h.blocks.size(), 1u);
  h.reset();
  EXPECT_EQ(h.dos.BlockCount(), 0u);
  EXPECT_EQ(h.blocks.size(), 1u) << "a reset issues no unblock event";
}

TEST(DosBlocks, ExpiryRemovesTheDueBlocksEarliestFirstAndManyPortsBlockTheAddress) {
  Harness h;
  h.reset();
  const uint64_t start = PollReactor::NowMs();
  h.dos.RunSystemBlock(kSrc, 3000, 300);
  h.dos.RunSystemBlock(kSrc, 1000, 100);
  h.dos.RunSystemBlock(kSrc + 1, 2000, 200);
  h.blocks.clear();
  h.dos.ExpireBlocks(start + 250 * 1000);
  EXPECT_EQ(h.blocks,
            (std::vector<std::tuple<bool, uint32_t, int>>{{false, kSrc, 1000}, {false, kSrc + 1, 2000}}));
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 3000));
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 1000));
  EXPECT_FALSE(h.dos.IsBlocked(kSrc + 1, 2000));
  EXPECT_EQ(h.dos.BlockCount(), 1u);

  // A port-rotating source: past the bound of port blocks its whole address is blocked, once.
  for (int port = 1; port <= int(DosCore::kMaxPortBlocksPerIp) + 5; ++port)
    h.dos.RunSystemBlock(kSrc, port, 60);
  EXPECT_EQ(h.dos.BlockCount(), DosCore::kMaxPortBlocksPerIp + 1);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 40000));
  EXPECT_EQ(h.blocks.back(), std::make_tuple(true, kSrc, 0));
  h.blocks.clear();
  h.dos.ExpireBlocks(start + 400 * 1000);
  EXPECT_EQ(h.dos.BlockCount(), 0u);
  EXPECT_EQ(h.blocks.size(), DosCore::kMaxPortBlocksPerIp + 1);
  EXPECT_EQ(h.blocks.back(), std::make_tuple(false, kSrc, 3000)) << "the longest block ends last";
}

TEST(DosRate, ManyPortsOfOneAddressOverTheAddressLimitBlockTheAddress) {
  Harness h;
  h.settings.max_messages_per_second = 10;
  h.settings.ip_max_messages_per_second = 50;
  h.reset();
  time_t start = time(nullptr);
  while (time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  for (int i = 0; i < 50; ++i)
    h.dos.CheckMPS(Harness::addr(("127.0.1.5:" + std::to_string(6000 + i)).c_str()));
  h.dos.CheckMPS(Harness::addr("127.0.1.6:6000"));
  EXPECT_EQ(h.dos.BlockCount(), 0u) << "each port under its limit, the address at its own";
  h.dos.CheckMPS(Harness::addr("127.0.1.5:7000"));
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 1234));
  EXPECT_FALSE(h.dos.IsBlocked(kSrc + 1, 6000));
  EXPECT_EQ(h.blocks, (std::vector<std::tuple<bool, uint32_t, int>>{{true, kSrc, 0}}));
}

TEST(DosReport, ABatchThatCrossesTheThresholdBlocksOnce) {
  Harness h;
  h.settings.repeat_threshold_first = 100;
  h.reset();
  InetAddress src = Harness::addr("127.0.1.5:4000");
  h.dos.Report(src, DosCore::DOS_R, 0, 60);
  EXPECT_FALSE(h.dos.IsBlocked(kSrc, 4000));
  h.dos.Report(src, DosCore::DOS_R, 0, 60);
  EXPECT_TRUE(h.dos.IsBlocked(kSrc, 4000));
  EXPECT_EQ(h.letters.size(), 120u);
  EXPECT_EQ(h.blocks.size(), 1u);
}

}  // namespace
