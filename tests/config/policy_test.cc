// The policy queries the intake and the dialogs ask: domains, users, events, trust, subnets, pools,
// device defects and RSVP ports, each read from configuration lines as an operator writes them.
#include "config_fixture.h"

namespace {

std::string FoundHost(Config& cfg, const std::string& domain) {
  auto it = cfg.FindDomain(domain);
  if (it == cfg.domains.end()) return "(none)";
  return (it->ast ? "*" : "") + it->host + (it->full ? " full" : "");
}

TEST_F(ConfigTest, DomainsMatchMostSpecificFirst) {
  ASSERT_EQ(Read({"domain = *example.com", "domain = sip.example.com full", "domain = Other.ORG"}), 1);
  EXPECT_EQ(FoundHost(*cfg_, "sip.example.com"), "sip.example.com full");
  EXPECT_EQ(FoundHost(*cfg_, "example.com"), "*example.com");
  EXPECT_EQ(FoundHost(*cfg_, "a.b.example.com"), "*example.com");
  EXPECT_EQ(FoundHost(*cfg_, "badexample.com"), "(none)") << "a wildcard matches at a '.' boundary only";
  EXPECT_EQ(FoundHost(*cfg_, "example.org"), "(none)");
  EXPECT_EQ(FoundHost(*cfg_, "other.org"), "other.org");
}

TEST_F(ConfigTest, WildcardComparisonsAreTracedOnlyAtTraceLevel) {
  ASSERT_EQ(Read({"domain = *example.com"}), 1);
  ClearLog();
  g_log_block.level = 1;
  cfg_->FindDomain("sip.example.com");
  EXPECT_EQ(LogText().find("Cmp:"), std::string::npos);
  g_log_block.level = 4;
  cfg_->FindDomain("sip.example.com");
  EXPECT_NE(LogText().find("Cmp: *example.com <==11==> sip.example.com  (T)"), std::string::npos)
      << LogText();
}

TEST_F(ConfigTest, ForcedPcntLastsUntilTheNextReread) {
  ASSERT_EQ(Read({"domain = example.com"}), 1);
  g_log_block.level = 3;
  cfg_->ForceKeepContactDomain("example.com");
  EXPECT_TRUE(cfg_->domains[0].pcnt);
  EXPECT_NE(LogText().find("Force Domain: 'example.com' to set PCNT\n"), std::string::npos);
  cfg_->ForceKeepContactDomain("unknown.example");
  ASSERT_EQ(Read({"domain = example.com", "quiet_mode = no"}), 1);
  EXPECT_FALSE(cfg_->domains[0].pcnt);
}

TEST_F(ConfigTest, WhiteListsAdmitTheirNetworksOnly) {
  std::string a = WriteFile("a.txt", "# offices\n10.1.0.0/16\n\n  192.168.5.0/24  # lab\n\t10.9.9.9\n");
  std::string b = WriteFile("b.txt", "172.16.0.0/12\r\n");
  ASSERT_EQ(Read({"domain = corp.example WhiteList:" + a + " whitelist:" + b, "domain = open.example"}), 1)
      << LogText();
  EXPECT_TRUE(cfg_->FindDomain("open.example")->Admits(Ip("203.0.113.1"))) << "no list: everyone";
  const DomainOptions& d = *cfg_->FindDomain("corp.example");
  EXPECT_TRUE(d.Admits(Ip("10.1.200.1")));
  EXPECT_TRUE(d.Admits(Ip("192.168.5.77")));
  EXPECT_TRUE(d.Admits(Ip("172.20.0.1")));
  EXPECT_FALSE(d.Admits(Ip("10.2.0.1")));
  EXPECT_FALSE(d.Admits(Ip("10.9.9.9"))) << "an entry without a mask is skipped";
  EXPECT_NE(LogText().find("Mask part of address (/xx) is missing\n"), std::string::npos);
}

// A white list that cannot be used admits nobody for its domain rather than everybody.
TEST_F(ConfigTest, WhiteListsFailClosed) {
  std::string empty = WriteFile("empty.txt", "# nobody yet\n");
  ASSERT_EQ(Read({"domain = corp.example whitelist:" + empty}), 1);
  EXPECT_FALSE(cfg_->domains[0].Admits(Ip("10.0.0.1")));
  EXPECT_FALSE(cfg_->domains[0].Admits(Ip("255.255.255.255")));
  EXPECT_NE(LogText().find("holds no network: domain 'corp.example' admits nobody"), std::string::npos);

  std::string big = WriteFile("big.txt", std::string(16384, '#'));
  std::vector<Network> list;
  EXPECT_FALSE(ReadWhitelist(big.c_str(), list));
  EXPECT_NE(LogText().find("White-List file: '" + big + "' is too long: 16384\n"), std::string::npos);
  EXPECT_TRUE(list.empty());

  std::string line = "corp.example whitelist:" + dir_ + "/missing.txt";
  Settings settings;
  EXPECT_FALSE(settings.ReadDomain(line));
  ASSERT_EQ(settings.domains.size(), 1u) << "the entry is still added";
  EXPECT_FALSE(settings.domains[0].Admits(Ip("10.0.0.1")));

  std::string exact = WriteFile("exact.txt", std::string(16382, '#') + "\n");
  EXPECT_TRUE(ReadWhitelist(exact.c_str(), list)) << "16383 bytes is the largest list";
}

// The sources the internal port takes requests from: `server` and `trusted` addresses, rebuilt by a read,
// and the learnt servers, forgotten after a day unused, the oldest giving way when the set is full.
TEST_F(ConfigTest, ServerSourcesAreConfiguredOrLearnt) {
  ASSERT_EQ(Read({"server = example.com 0 10.0.0.7:5070", "trusted = 10.0.0.8"}), 1);
  g_server_sources.clear();
  EXPECT_TRUE(cfg_->IsServerSource(0x0A000007));
  EXPECT_TRUE(cfg_->IsServerSource(0x0A000008));
  EXPECT_FALSE(cfg_->IsServerSource(0x0A000009));
  ASSERT_EQ(Read({"trusted = 10.0.0.8"}), 1);
  EXPECT_FALSE(cfg_->IsServerSource(0x0A000007)) << "a removed `server` line no longer vouches";

  const time_t t0 = 1000000;
  ServerSources learnt;
  learnt.Learn(0x0A000009, t0);
  EXPECT_TRUE(learnt.Knows(0x0A000009, t0 + ServerSources::kForgetSec)) << "its use keeps it";
  EXPECT_FALSE(learnt.Knows(0x0A000009, t0 + 2 * ServerSources::kForgetSec + 1));
  for (uint32_t ip = 1; ip <= ServerSources::kMaxLearned; ++ip) learnt.Learn(ip, t0 + ip);
  learnt.Learn(0x0B000001, t0 + ServerSources::kMaxLearned + 1);
  EXPECT_EQ(learnt.size(), ServerSources::kMaxLearned);
  EXPECT_FALSE(learnt.Knows(1, t0 + ServerSources::kMaxLearned + 2)) << "the oldest gave way";
  EXPECT_TRUE(learnt.Knows(2, t0 + ServerSources::kMaxLearned + 2));
  EXPECT_TRUE(learnt.Knows(0x0B000001, t0 + ServerSources::kMaxLearned + 2));
}

TEST_F(ConfigTest, UsersByLowerCaseName) {
  ASSERT_EQ(Read({"fuser = Bob block trns", "fuser = bob full"}), 1);
  Config::UserOptions u;
  ASSERT_TRUE(cfg_->CheckUser("bob", u));
  EXPECT_TRUE(u.block && u.trns && u.full) << "the first record of a user stays";
  EXPECT_FALSE(cfg_->CheckUser("Bob", u)) << "callers look up lower-case names";
  EXPECT_FALSE(cfg_->CheckUser("carol", u));
}

TEST_F(ConfigTest, SubscribeEventsPassDropOrAreUnlisted) {
  EXPECT_EQ(cfg_->CheckEvent("presence"), 1) << "nothing listed: everything passes";
  ASSERT_EQ(Read({"subscribe_event = presence", "subscribe_event = dialog drop",
                  "subscribe_event = presence drop"}),
            1);
  EXPECT_EQ(cfg_->CheckEvent("presence"), 1) << "first setting stays";
  EXPECT_EQ(cfg_->CheckEvent("dialog"), 0);
  EXPECT_EQ(cfg_->CheckEvent("message-summary"), -1);
}

TEST_F(ConfigTest, SubnetsGiveIntervalTypeDefectsMostSpecificFirst) {
  ASSERT_EQ(Read({"register_timeout = 45", "subnet = 10.0.0.0/8 60 Restricted Defect:A",
                  "subnet = 10.1.0.0/16 120 ICMP+PortPreserve LBC Defect:B"}),
            1);
  NatType::Mode mode = NatType::UNKNOWN;
  bool lbc = false;
  Defects dfct = Defects::FromLetters("X");
  EXPECT_EQ(cfg_->GetSubscribeTimeout(Ip("10.1.2.3"), mode, &lbc, &dfct), 120);
  EXPECT_EQ(static_cast<uint32_t>(mode), 0x80010003u);
  EXPECT_TRUE(lbc);
  EXPECT_EQ(dfct.Letters(), "XB");
  EXPECT_EQ(cfg_->GetSubscribeTimeout(Ip("10.2.0.1"), mode, nullptr, nullptr), 60);
  EXPECT_EQ(static_cast<uint32_t>(mode), 0x80000002u);

  mode = NatType::OPAQUE;
  dfct.Clear();
  EXPECT_EQ(cfg_->GetSubscribeTimeout(Ip("192.0.2.1"), mode, &lbc, &dfct), 45);
  EXPECT_EQ(mode, NatType::OPAQUE) << "no subnet: outputs untouched";
  EXPECT_EQ(dfct.Letters(), "");
}

TEST_F(ConfigTest, AddressesReachEachOtherInOnePool) {
  ASSERT_EQ(Read({"subnet = 10.1.0.0/16 60 7", "subnet = 10.2.0.0/16 60 7", "subnet = 10.3.0.0/16 60",
                  "subnet = 10.4.0.0/16 60 8"}),
            1);
  int pool = -5;
  EXPECT_TRUE(cfg_->CompareAddresses(Ip("10.1.0.1"), Ip("10.2.0.1"), &pool));
  EXPECT_EQ(pool, 7);
  EXPECT_FALSE(cfg_->CompareAddresses(Ip("10.1.0.1"), Ip("10.4.0.1"), nullptr));
  EXPECT_FALSE(cfg_->CompareAddresses(Ip("10.3.0.1"), Ip("10.3.0.2"), nullptr)) << "no pool";
  EXPECT_TRUE(cfg_->CompareAddresses(Ip("10.3.0.1"), Ip("10.3.0.1"), nullptr));
  EXPECT_FALSE(cfg_->CompareAddresses(Ip("192.0.2.1"), Ip("192.0.2.2"), nullptr));
  EXPECT_TRUE(cfg_->CompareAddresses(Ip("192.0.2.1"), Ip("192.0.2.1"), nullptr));
}

TEST_F(ConfigTest, RsvpKeepsTheFirstPortOfAPair) {
  ASSERT_EQ(Read({"rsvp = 203.0.113.5 192.168.1.10 5062", "rsvp = 203.0.113.5 192.168.1.10 5064"}), 1);
  EXPECT_EQ(cfg_->CheckRsvp(RsvpKey(Ip("203.0.113.5"), Ip("192.168.1.10"))), 5062);
  EXPECT_EQ(cfg_->CheckRsvp(RsvpKey(Ip("192.168.1.10"), Ip("203.0.113.5"))), 0) << "order matters";
}

}  // namespace
