// Server selection end to end against a DNS server of the test's own (the test runs with a private
// resolv.conf naming 127.0.0.53): which source is used, the order of the result, and the log lines an
// operator sees when DNS fails.
#include "resolve/srv.h"

#include <gtest/gtest.h>
#include <resolv.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "config/config.h"
#include "foundation/locks.h"
#include "foundation/log.h"
#include "resolve/fake_dns.h"

namespace {

constexpr char kPrefix[] = "_sip._udp.";

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

ServerTable Servers(std::initializer_list<std::string> lines) {
  ServerTable servers;
  for (const std::string& line : lines) EXPECT_TRUE(AddHardServer(line, servers)) << line;
  return servers;
}

std::vector<std::string> Targets(const std::vector<ServerRecord>& list) {
  std::vector<std::string> targets;
  for (const ServerRecord& s : list) targets.push_back(s.s_name + ":" + std::to_string(s.s_port));
  return targets;
}

class ResolveSrvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Never let these tests reach the machine's real resolver.
    ASSERT_EQ(ReadFile("/etc/resolv.conf").find("nameserver 127.0.0.53\n"), 0u)
        << "run through ctest: the test needs its private resolv.conf and network namespace";
    ASSERT_EQ(res_init(), 0);
    dns_ = std::make_unique<FakeDns>();
    ASSERT_TRUE(dns_->Bound());

    saved_out_ = dup(1);
    saved_err_ = dup(2);
    char path[] = "/tmp/ostrel-resolve-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    log_path_ = path;
    saved_level_ = g_log_block.level.load();
    g_log_block.level = saved_level_ | LEVEL_ERROR | LEVEL_DEBUG;
    ASSERT_EQ(OpenLog(log_path_), 1);
  }

  void TearDown() override {
    OpenLog("");
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    g_log_block.level = saved_level_;
    unlink(log_path_.c_str());
  }

  std::string LogText() const { return ReadFile(log_path_); }

  std::unique_ptr<FakeDns> dns_;

 private:
  int saved_out_ = -1;
  int saved_err_ = -1;
  int saved_level_ = 0;
  std::string log_path_;
};

TEST_F(ResolveSrvTest, SrvRecordsComeLowestPriorityFirst) {
  dns_->AnswerSrv("_sip._udp.example.org", {{10, 1, 5070, "b.example.org"}, {5, 1, 5080, "a.example.org"}});
  std::vector<ServerRecord> out;
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"a.example.org:5080", "b.example.org:5070"}));
  EXPECT_EQ(dns_->Queries("_sip._udp.example.org"), 1);
}

TEST_F(ResolveSrvTest, HostListIsUsedAloneAndNothingElseIsAsked) {
  dns_->AnswerSrv("_sip._udp.example.org", {{1, 1, 5060, "dns.example.org"}});
  ServerTable servers = Servers({"example.org 0 10.0.0.1", "* 0 10.0.0.9"});
  std::vector<ServerRecord> out;
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, &servers, "lb.example.org:5090/0,10.0.0.7/100"));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"lb.example.org:5090", "10.0.0.7:5060"}));
  EXPECT_EQ(dns_->TotalQueries(), 0);
}

TEST_F(ResolveSrvTest, HostListWithoutUsableElementsGivesNothing) {
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("example.org", kPrefix, out, nullptr, ":5060,host:0"));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(dns_->TotalQueries(), 0);
}

TEST_F(ResolveSrvTest, ConfiguredServersSpareTheQuery) {
  ServerTable servers = Servers({"example.org 100 10.0.0.2:5070", "example.org 0 10.0.0.1"});
  std::vector<ServerRecord> out;
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, &servers, ""));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"10.0.0.1:5060", "10.0.0.2:5070"}));
  EXPECT_EQ(dns_->TotalQueries(), 0);
}

TEST_F(ResolveSrvTest, WithoutStarOrExactKeyDnsIsAsked) {
  dns_->AnswerSrv("_sip._udp.sub.example.org", {{1, 1, 5060, "dns.example.org"}});
  ServerTable servers = Servers({"example.org 0 10.0.0.1"});
  std::vector<ServerRecord> out;
  ASSERT_TRUE(ResolveSrv("sub.example.org", kPrefix, out, &servers, ""));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"dns.example.org:5060"}));
  EXPECT_EQ(dns_->Queries("_sip._udp.sub.example.org"), 1);
}

TEST_F(ResolveSrvTest, WithheldConfiguredServersLeaveDnsOnly) {
  dns_->AnswerSrv("_sip._udp.example.org", {{1, 1, 5060, "dns.example.org"}});
  std::vector<ServerRecord> out;
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"dns.example.org:5060"}));
}

TEST_F(ResolveSrvTest, UnknownNameIsLoggedAsNoRecords) {
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("missing.example", kPrefix, out, nullptr, ""));
  EXPECT_TRUE(out.empty());
  EXPECT_NE(LogText().find("[QUTLS] "), std::string::npos);
  EXPECT_NE(LogText().find("No SRV records found for: _sip._udp.missing.example\n"), std::string::npos);
  EXPECT_EQ(LogText().find("Error"), std::string::npos);
}

TEST_F(ResolveSrvTest, NameWithoutSrvRecordsIsLoggedAsNoRecords) {
  dns_->Answer("_sip._udp.example.org",
               [](const std::vector<uint8_t>& q) { return FakeDns::ReplyTo(q, 0, 0).bytes(); });
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_NE(LogText().find("No SRV records found for: _sip._udp.example.org\n"), std::string::npos);
}

TEST_F(ResolveSrvTest, ServerFailureIsLoggedAsError) {
  dns_->Answer("_sip._udp.example.org",
               [](const std::vector<uint8_t>& q) { return FakeDns::ReplyTo(q, FakeDns::kRcodeServFail, 0).bytes(); });
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_NE(LogText().find("[QUTLS] "), std::string::npos);
  EXPECT_NE(LogText().find("Error 1 in SRV Lookup\n"), std::string::npos);
  EXPECT_EQ(LogText().find("No SRV records"), std::string::npos);
}

TEST_F(ResolveSrvTest, NoServerAnsweringIsLoggedAsError) {
  dns_.reset();
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_NE(LogText().find("Error 1 in SRV Lookup\n"), std::string::npos);
}

TEST_F(ResolveSrvTest, UnreadableOwnerNameIsLoggedAndRefused) {
  dns_->Answer("_sip._udp.example.org", [](const std::vector<uint8_t>& q) {
    DnsMessage reply = FakeDns::ReplyTo(q, 0, 2);
    reply.Srv(1, 1, 5060, "a.example.org");
    reply.Record(33, DnsMessage::SrvData(2, 1, 5060, "b.example.org"), 0x3FF0);
    return reply.bytes();
  });
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_TRUE(out.empty());
  EXPECT_NE(LogText().find("Error 3 in SRV Lookup\n"), std::string::npos);
}

TEST_F(ResolveSrvTest, CutAnswerKeepsTheRecordsBeforeTheCut) {
  dns_->Answer("_sip._udp.example.org", [](const std::vector<uint8_t>& q) {
    DnsMessage reply = FakeDns::ReplyTo(q, 0, 2);
    reply.Srv(1, 1, 5060, "a.example.org");
    size_t keep = reply.size() + 7;
    reply.Srv(2, 1, 5060, "b.example.org");
    return reply.First(keep);
  });
  std::vector<ServerRecord> out;
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"a.example.org:5060"}));
}

TEST_F(ResolveSrvTest, AnswerWithoutUsableRecordsGivesNothing) {
  dns_->AnswerSrv("_sip._udp.example.org", {{0, 0, 0, "."}});
  std::vector<ServerRecord> out;
  EXPECT_FALSE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_TRUE(out.empty());
}

TEST_F(ResolveSrvTest, CandidatesAlreadyInTheListAreSortedWithTheNewOnes) {
  dns_->AnswerSrv("_sip._udp.example.org", {{100, 1, 5060, "late.example.org"}, {5, 1, 5060, "early.example.org"}});
  std::vector<ServerRecord> out(1);
  out[0].s_pref = 50;
  out[0].s_port = 5060;
  out[0].s_name = "kept.example.org";
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_EQ(Targets(out),
            (std::vector<std::string>{"early.example.org:5060", "kept.example.org:5060", "late.example.org:5060"}));
}

// Workers resolve while the reactor thread swaps the configured servers in and out, as a re-read does:
// every resolution sees either the configured server or the DNS answer, never freed or half-built lists.
TEST_F(ResolveSrvTest, ResolutionRunsSafelyBesideReReads) {
  dns_->AnswerSrv("_sip._udp.example.org", {{1, 1, 5060, "dns.example.org"}});
  const ServerTable with_star = Servers({"* 0 10.0.0.9", "other.org 5 10.0.0.8", "*.net 5 10.0.0.7"});
  const ServerTable without = Servers({"other.org 5 10.0.0.8"});
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        std::vector<ServerRecord> out;
        if (!ResolveSrv("example.org", kPrefix, out, &g_config.servers, "") || out.size() != 1 ||
            (out[0].s_name != "10.0.0.9" && out[0].s_name != "dns.example.org")) {
          ++failures;
        }
      }
    });
  }
  std::thread rereads([&] {
    for (int i = 0; !done; ++i) {
      ServerTable next = (i % 2 == 0) ? with_star : without;
      WriteGuard guard(g_config.lock);
      g_config.servers = std::move(next);
    }
  });
  for (std::thread& w : workers) w.join();
  done = true;
  rereads.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(dns_->Queries("_sip._udp.example.org"), 0);
  WriteGuard guard(g_config.lock);
  g_config.servers.clear();
}

}  // namespace
