// Server selection end to end against a DNS server of the test's own (the test runs with a private
// resolv.conf naming 127.0.0.53): which source is used, the order of the result, and the log lines an
// operator sees when DNS fails.
#include "resolve/srv.h"

#include <resolv.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "config/config.h"
#include "foundation/locks.h"
#include "foundation/log_fixture.h"
#include "resolve/fake_dns.h"

namespace {

constexpr char kPrefix[] = "_sip._udp.";

ServerTable Servers(const std::vector<std::string>& lines) {
  ServerTable servers;
  for (const std::string& line : lines) EXPECT_TRUE(AddHardServer(line, servers)) << line;
  return servers;
}

std::vector<std::string> Targets(const std::vector<ServerRecord>& list) {
  std::vector<std::string> targets;
  for (const ServerRecord& s : list) targets.push_back(s.s_name + ":" + std::to_string(s.s_port));
  return targets;
}

class ResolveSrvTest : public LogFileTest {
 protected:
  void SetUp() override {
    // Never let these tests reach the machine's real resolver.
    ASSERT_EQ(ReadText("/etc/resolv.conf").find("nameserver 127.0.0.53\n"), 0u)
        << "run through ctest: the test needs its private resolv.conf and network namespace";
    ASSERT_EQ(res_init(), 0);
    dns_ = std::make_unique<FakeDns>();
    ASSERT_TRUE(dns_->Bound());
    LogFileTest::SetUp();
    g_log_block.level = saved_level_ | LEVEL_ERROR | LEVEL_DEBUG;
  }

  std::unique_ptr<FakeDns> dns_;
};

std::vector<uint8_t> NoRecords(const std::vector<uint8_t>& q) { return FakeDns::ReplyTo(q, 0, 0).bytes(); }
std::vector<uint8_t> ServFail(const std::vector<uint8_t>& q) {
  return FakeDns::ReplyTo(q, FakeDns::kRcodeServFail, 0).bytes();
}
std::vector<uint8_t> UnreadableOwner(const std::vector<uint8_t>& q) {
  DnsMessage reply = FakeDns::ReplyTo(q, 0, 2);
  reply.Srv(1, 1, 5060, "a.example.org");
  reply.Record(33, DnsMessage::SrvData(2, 1, 5060, "b.example.org"), 0x3FF0);
  return reply.bytes();
}
std::vector<uint8_t> CutInSecondRecord(const std::vector<uint8_t>& q) {
  DnsMessage reply = FakeDns::ReplyTo(q, 0, 2);
  reply.Srv(1, 1, 5060, "a.example.org");
  size_t keep = reply.size() + 7;
  reply.Srv(2, 1, 5060, "b.example.org");
  return reply.First(keep);
}

struct SrvCase {
  const char* title;
  std::function<void(FakeDns&)> dns = nullptr;  // what the DNS server answers; unlisted names get NXDOMAIN
  bool server = true;                           // false: nothing answers on 127.0.0.53
  std::vector<std::string> servers = {};        // `server` lines; none: no configured servers are given
  const char* hosts = "";
  const char* domain = "example.org";
  bool ok = true;
  std::vector<std::string> targets = {};
  int queries = -1;  // queries the DNS server saw; -1: not counted
  std::vector<std::string> logged = {};
  const char* not_logged = nullptr;
};

const SrvCase kSrvCases[] = {
    {.title = "SRV records come lowest priority first",
     .dns =
         [](FakeDns& d) {
           d.AnswerSrv("_sip._udp.example.org",
                       {{10, 1, 5070, "b.example.org"}, {5, 1, 5080, "a.example.org"}});
         },
     .targets = {"a.example.org:5080", "b.example.org:5070"},
     .queries = 1},
    {.title = "a host list is used alone and nothing else is asked",
     .dns =
         [](FakeDns& d) {
           d.AnswerSrv("_sip._udp.example.org", {{1, 1, 5060, "dns.example.org"}});
         },
     .servers = {"example.org 0 10.0.0.1", "* 0 10.0.0.9"},
     .hosts = "lb.example.org:5090/0,10.0.0.7/100",
     .targets = {"lb.example.org:5090", "10.0.0.7:5060"},
     .queries = 0},
    {.title = "a host list without usable elements gives nothing",
     .hosts = ":5060,host:0",
     .ok = false,
     .queries = 0},
    {.title = "configured servers spare the query",
     .servers = {"example.org 100 10.0.0.2:5070", "example.org 0 10.0.0.1"},
     .targets = {"10.0.0.1:5060", "10.0.0.2:5070"},
     .queries = 0},
    {.title = "without a star or exact key DNS is asked",
     .dns =
         [](FakeDns& d) {
           d.AnswerSrv("_sip._udp.sub.example.org", {{1, 1, 5060, "dns.example.org"}});
         },
     .servers = {"example.org 0 10.0.0.1"},
     .domain = "sub.example.org",
     .targets = {"dns.example.org:5060"},
     .queries = 1},
    {.title = "an unknown name is logged as no records",
     .domain = "missing.example",
     .ok = false,
     .logged = {"[QUTLS] ", "No SRV records found for: _sip._udp.missing.example\n"},
     .not_logged = "Error"},
    {.title = "a name without SRV records is logged as no records",
     .dns = [](FakeDns& d) { d.Answer("_sip._udp.example.org", NoRecords); },
     .ok = false,
     .logged = {"No SRV records found for: _sip._udp.example.org\n"}},
    {.title = "a server failure is logged as an error",
     .dns = [](FakeDns& d) { d.Answer("_sip._udp.example.org", ServFail); },
     .ok = false,
     .logged = {"[QUTLS] ", "Error 1 in SRV Lookup\n"},
     .not_logged = "No SRV records"},
    {.title = "no server answering is logged as an error",
     .server = false,
     .ok = false,
     .logged = {"Error 1 in SRV Lookup\n"}},
    {.title = "an unreadable owner name is logged and refused",
     .dns = [](FakeDns& d) { d.Answer("_sip._udp.example.org", UnreadableOwner); },
     .ok = false,
     .logged = {"Error 3 in SRV Lookup\n"}},
    {.title = "a cut answer keeps the records before the cut",
     .dns = [](FakeDns& d) { d.Answer("_sip._udp.example.org", CutInSecondRecord); },
     .targets = {"a.example.org:5060"}},
    {.title = "an answer without usable records gives nothing",
     .dns =
         [](FakeDns& d) {
           d.AnswerSrv("_sip._udp.example.org", {{0, 0, 0, "."}});
         },
     .ok = false},
};

TEST_F(ResolveSrvTest, SourcesOrderAndFailures) {
  for (const SrvCase& c : kSrvCases) {
    SCOPED_TRACE(c.title);
    dns_.reset();
    if (c.server) {
      dns_ = std::make_unique<FakeDns>();
      ASSERT_TRUE(dns_->Bound());
      if (c.dns) c.dns(*dns_);
    }
    ClearLog();
    ServerTable servers = Servers(c.servers);
    std::vector<ServerRecord> out;
    EXPECT_EQ(ResolveSrv(c.domain, kPrefix, out, c.servers.empty() ? nullptr : &servers, c.hosts), c.ok);
    EXPECT_EQ(Targets(out), c.targets);
    if (c.queries >= 0) {
      EXPECT_EQ(dns_->TotalQueries(), c.queries);
    }
    const std::string log = LogText();
    for (const std::string& text : c.logged)
      EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
    if (c.not_logged) {
      EXPECT_EQ(log.find(c.not_logged), std::string::npos) << log;
    }
  }
}

TEST_F(ResolveSrvTest, CandidatesAlreadyInTheListAreSortedWithTheNewOnes) {
  dns_->AnswerSrv("_sip._udp.example.org",
                  {{100, 1, 5060, "late.example.org"}, {5, 1, 5060, "early.example.org"}});
  std::vector<ServerRecord> out(1);
  out[0].s_pref = 50;
  out[0].s_port = 5060;
  out[0].s_name = "kept.example.org";
  ASSERT_TRUE(ResolveSrv("example.org", kPrefix, out, nullptr, ""));
  EXPECT_EQ(Targets(out), (std::vector<std::string>{"early.example.org:5060", "kept.example.org:5060",
                                                    "late.example.org:5060"}));
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
