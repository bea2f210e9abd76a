// Candidates from an explicit host list and from the configured servers (wildcard keys, weights), and the
// RFC 2782 order of DNS records: what the dialog would try, and in which order.
#include "resolve/candidates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>

namespace {

constexpr int kRuns = 2000;

struct Listed {
  std::string name;
  int port;
  int min_pref;
  int max_pref;
};

struct HostListCase {
  const char* list;
  std::vector<Listed> expected;
};

const HostListCase kHostListCases[] = {
    {"pbx.example.org", {{"pbx.example.org", 5060, 1, 1}}},
    {"10.0.0.1:5070/0,10.0.0.2/100,b.example.org:5080",
     {{"10.0.0.1", 5070, 0, 0}, {"10.0.0.2", 5060, 100, 100}, {"b.example.org", 5080, 1, 1}}},
    {"a.example.org/7", {{"a.example.org", 5060, 1, 7}}},
    {"a.example.org/250", {{"a.example.org", 5060, 250, 250}}},
    {"a.example.org/-4", {{"a.example.org", 5060, 0, 0}}},
    {" a.example.org:5070 / 3 , b.example.org ,",
     {{"a.example.org", 5070, 1, 3}, {"b.example.org", 5060, 1, 1}}},
    {"a.example.org/heavy", {{"a.example.org", 5060, 1, 1}}},
    {"a.example.org/99999999999999", {{"a.example.org", 5060, 1, 1}}},
    {"a.example.org:0,b.example.org:70000,c.example.org:x,d.example.org:,:5060,,/5,e.example.org:5061",
     {{"e.example.org", 5061, 1, 1}}},
    {",", {}},
};

class HostListTest : public ::testing::TestWithParam<HostListCase> {};

TEST_P(HostListTest, OneCandidatePerUsableElementInListOrder) {
  const HostListCase& c = GetParam();
  for (int run = 0; run < 50; ++run) {
    std::vector<ServerRecord> got = HostListServers(c.list);
    ASSERT_EQ(got.size(), c.expected.size()) << c.list;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].s_name, c.expected[i].name);
      EXPECT_EQ(got[i].s_port, c.expected[i].port);
      EXPECT_GE(got[i].s_pref, c.expected[i].min_pref) << c.list;
      EXPECT_LE(got[i].s_pref, c.expected[i].max_pref) << c.list;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, HostListTest, ::testing::ValuesIn(kHostListCases));

TEST(RandomPreference, FollowsTheWeightRules) {
  std::map<int, int> seen;
  for (int run = 0; run < kRuns; ++run) {
    EXPECT_EQ(RandomPreference(0), 0);
    EXPECT_EQ(RandomPreference(-5), 0);
    EXPECT_EQ(RandomPreference(1), 1);
    EXPECT_EQ(RandomPreference(100), 100);
    EXPECT_EQ(RandomPreference(101), 101);
    ++seen[RandomPreference(5)];
    int key = RandomSortKey();
    EXPECT_GE(key, 0);
    EXPECT_LE(key, RAND_MAX);
  }
  // Uniform in 1..5: every value drawn, none outside, none far from a fifth.
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen.begin()->first, 1);
  EXPECT_EQ(seen.rbegin()->first, 5);
  for (auto [value, count] : seen) EXPECT_NEAR(count, kRuns / 5, kRuns / 10) << value;
}

// Configured servers as the `server` keyword stores them (literal addresses: nothing is resolved).
ServerTable Servers(std::initializer_list<std::string> lines) {
  ServerTable servers;
  for (const std::string& line : lines) EXPECT_TRUE(AddHardServer(line, servers)) << line;
  return servers;
}

std::vector<std::string> Names(const std::vector<ServerRecord>& list) {
  std::vector<std::string> names;
  for (const ServerRecord& s : list) names.push_back(s.s_name);
  std::sort(names.begin(), names.end());
  return names;
}

struct KeyCase {
  const char* domain;
  std::vector<std::string> expected;  // addresses of the chosen entries
};

struct KeyTable {
  const char* title;
  std::vector<std::string> lines;
  std::vector<KeyCase> cases;
};

const KeyTable kKeyTables[] = {
    {"exact key and star",
     {"example.org 0 10.0.0.1", "example.org 0 10.0.0.2", "* 0 10.0.0.9"},
     {{"example.org", {"10.0.0.1", "10.0.0.2"}},
      {"EXAMPLE.Org", {"10.0.0.1", "10.0.0.2"}},
      {"sub.example.org", {"10.0.0.9"}},
      {"example.net", {"10.0.0.9"}},
      {"", {"10.0.0.9"}}}},
    {"wildcards from the most to the least specific",
     {"example.org 0 10.0.0.1", "*.example.org 0 10.0.0.2", "*.org 0 10.0.0.3", "* 0 10.0.0.9"},
     {{"example.org", {"10.0.0.1"}},
      {"sub.example.org", {"10.0.0.2"}},
      {"a.b.sub.example.org", {"10.0.0.2"}},
      {"example2.org", {"10.0.0.3"}},
      {"org", {"10.0.0.3"}},
      {"example.com", {"10.0.0.9"}}}},
    {"wildcard for the domain itself",
     {"*.sub.example.org 0 10.0.0.4", "* 0 10.0.0.9"},
     {{"sub.example.org", {"10.0.0.4"}}, {"x.sub.example.org", {"10.0.0.4"}}, {"example.org", {"10.0.0.9"}}}},
    {"no star key: wildcard lookups stop before *",
     {"*.org 0 10.0.0.3"},
     {{"example.org", {"10.0.0.3"}}, {"example.com", {}}, {"com", {}}}},
    {"no wildcard at all: only the exact key",
     {"example.org 0 10.0.0.1"},
     {{"example.org", {"10.0.0.1"}}, {"sub.example.org", {}}, {"org", {}}}},
    {"no configured servers", {}, {{"example.org", {}}}},
};

class ConfiguredKeyTest : public ::testing::TestWithParam<KeyTable> {};

TEST_P(ConfiguredKeyTest, TheMostSpecificKeyWins) {
  const KeyTable& table = GetParam();
  ServerTable servers;
  for (const std::string& line : table.lines) ASSERT_TRUE(AddHardServer(line, servers)) << line;
  for (const KeyCase& c : table.cases) {
    std::vector<ServerRecord> got = ConfiguredServers(c.domain, servers);
    EXPECT_EQ(Names(got), c.expected) << table.title << ": " << c.domain;
    for (const ServerRecord& s : got) EXPECT_EQ(s.s_port, 5060);
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, ConfiguredKeyTest, ::testing::ValuesIn(kKeyTables));

// The first of the sorted candidates over many resolutions, counted by address.
std::map<std::string, int> FirstChoices(const ServerTable& servers, const std::string& domain) {
  std::map<std::string, int> first;
  for (int run = 0; run < kRuns; ++run) {
    std::vector<ServerRecord> got = ConfiguredServers(domain, servers);
    std::sort(got.begin(), got.end());
    ++first[got.at(0).s_name];
  }
  return first;
}

TEST(ConfiguredWeights, WeightZeroAlwaysBeforeWeightHundred) {
  ServerTable servers = Servers({"example.org 100 10.0.0.2", "example.org 0 10.0.0.1"});
  for (int run = 0; run < kRuns; ++run) {
    std::vector<ServerRecord> got = ConfiguredServers("example.org", servers);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].s_name, "10.0.0.1");
  }
}

TEST(ConfiguredWeights, WeightZeroLosesOnlyRareTiesToAMiddleWeight) {
  // Weight 0 draws pref 1; weight 50 draws 1..51, so it ties now and then and the tie-break decides.
  ServerTable servers = Servers({"example.org 50 10.0.0.3", "example.org 0 10.0.0.1"});
  std::map<std::string, int> first = FirstChoices(servers, "example.org");
  EXPECT_GT(first["10.0.0.1"], kRuns * 95 / 100);
  EXPECT_LT(first["10.0.0.1"], kRuns);
}

TEST(ConfiguredWeights, NinetyNineAndHundredBothComeLast) {
  ServerTable servers =
      Servers({"example.org 100 10.0.0.2", "example.org 99 10.0.0.1", "example.org 98 10.0.0.3"});
  for (int run = 0; run < kRuns; ++run) {
    std::vector<ServerRecord> got = ConfiguredServers("example.org", servers);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[1].s_name, "10.0.0.1");
    EXPECT_EQ(got[2].s_name, "10.0.0.2");
  }
}

TEST(ConfiguredWeights, EqualWeightsShareTheTraffic) {
  for (const char* weight : {"0", "10", "100"}) {
    ServerTable servers = Servers({std::string("example.org ") + weight + " 10.0.0.1",
                                   std::string("example.org ") + weight + " 10.0.0.2"});
    std::map<std::string, int> first = FirstChoices(servers, "example.org");
    EXPECT_NEAR(first["10.0.0.1"], kRuns / 2, kRuns / 10) << weight;
    EXPECT_NEAR(first["10.0.0.2"], kRuns / 2, kRuns / 10) << weight;
  }
}

TEST(ConfiguredWeights, TheStoredEntriesAreLeftAsTheyWere) {
  ServerTable servers = Servers({"example.org 40 10.0.0.1:5070"});
  ConfiguredServers("example.org", servers);
  const ServerRecord& stored = servers.find("example.org")->second;
  EXPECT_EQ(stored.s_pref, 0);
  EXPECT_EQ(stored.s_weight, 41);
  EXPECT_EQ(stored.s_port, 5070);
}

ServerRecord Record(int priority, int weight, const std::string& name) {
  ServerRecord r;
  r.s_pref = priority;
  r.s_weight = weight;
  r.s_port = 5060;
  r.s_name = name;
  return r;
}

// Sorted as ResolveSrv sorts, after OrderByWeight.
std::vector<ServerRecord> Ordered(std::vector<ServerRecord> records) {
  OrderByWeight(records);
  std::stable_sort(records.begin(), records.end());
  return records;
}

TEST(DnsOrder, LowerPriorityFirstWhateverTheWeights) {
  for (int run = 0; run < 200; ++run) {
    std::vector<ServerRecord> got = Ordered(
        {Record(10, 100, "ten"), Record(5, 0, "five"), Record(20, 50, "twenty"), Record(5, 0, "five-b")});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].s_pref, 5);
    EXPECT_EQ(got[1].s_pref, 5);
    EXPECT_EQ(got[2].s_name, "ten");
    EXPECT_EQ(got[3].s_name, "twenty");
    // The position within the priority replaces the weight.
    EXPECT_EQ(got[0].s_weight, 0);
    EXPECT_EQ(got[1].s_weight, 1);
    EXPECT_EQ(got[2].s_weight, 0);
  }
}

std::map<std::string, int> FirstRecords(const std::vector<ServerRecord>& records) {
  std::map<std::string, int> first;
  for (int run = 0; run < kRuns; ++run) ++first[Ordered(records).at(0).s_name];
  return first;
}

TEST(DnsOrder, HeavierRecordsArePickedFirstInProportion) {
  // RFC 2782: 90 against 10 takes the heavy one first about nine times in ten.
  std::map<std::string, int> first = FirstRecords({Record(1, 10, "light"), Record(1, 90, "heavy")});
  EXPECT_NEAR(first["heavy"], kRuns * 9 / 10, kRuns / 20);
}

TEST(DnsOrder, WeightZeroIsSeldomFirstButNeverLost) {
  std::map<std::string, int> first = FirstRecords({Record(1, 0, "spare"), Record(1, 10, "main")});
  EXPECT_GT(first["spare"], 0);
  EXPECT_LT(first["spare"], kRuns / 5);
  for (int run = 0; run < 100; ++run)
    EXPECT_EQ(Ordered({Record(1, 0, "spare"), Record(1, 10, "main")}).size(), 2u);
}

TEST(DnsOrder, AllWeightsZeroShareAtRandom) {
  std::map<std::string, int> first = FirstRecords({Record(1, 0, "a"), Record(1, 0, "b")});
  EXPECT_NEAR(first["a"], kRuns / 2, kRuns / 10);
}

}  // namespace
