// What each accepted configuration line sets, as the rest of the daemon reads it.
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "config_fixture.h"

namespace {

struct AcceptedLine {
  std::string line;
  std::function<void(const Config&)> check;
};

// clang-format off
const AcceptedLine kAccepted[] = {
    {"domain = *Example.COM srv sru full debug+trace sip:PBX.example.com", [](const Config& c) {
        ASSERT_EQ(c.domains.size(), 1u); const DomainOptions& d = c.domains[0];
        EXPECT_EQ(d.host, "example.com"); EXPECT_TRUE(d.ast && d.srv && d.sru && d.full);
        EXPECT_FALSE(d.extsrv || d.trns || d.srtp || d.checked); EXPECT_EQ(d.loglvl, 6);
        EXPECT_EQ(d.sbst, "sip:pbx.example.com"); }},
    {"domain = a.example sru trns", [](const Config& c) {
        EXPECT_FALSE(c.domains[0].sru) << "sru needs srv";
        EXPECT_TRUE(c.domains[0].full && c.domains[0].trns); }},
    {"domain = b.example extsrv srtp prsn smtr rstr xunr pcnt xck", [](const Config& c) {
        const DomainOptions& d = c.domains[0];
        EXPECT_TRUE(d.srv && d.extsrv && d.full && d.srtp && d.prsn && d.smtr && d.rstr && d.xunr);
        EXPECT_TRUE(d.pcnt && d.xck); }},
    {"server = Example.org 0 10.0.0.5", [](const Config& c) {
        auto it = c.servers.find("example.org"); ASSERT_NE(it, c.servers.end());
        EXPECT_EQ(it->second.s_pref, 0); EXPECT_EQ(it->second.s_weight, 1);
        EXPECT_EQ(it->second.s_port, 5060); EXPECT_EQ(it->second.s_name, "10.0.0.5");
        EXPECT_FALSE(c.servers.has_wildcard_); }},
    {"server = * 100 10.0.0.6:5070", [](const Config& c) {
        auto it = c.servers.find("*"); ASSERT_NE(it, c.servers.end()); EXPECT_EQ(it->second.s_weight, 101);
        EXPECT_EQ(it->second.s_port, 5070); EXPECT_TRUE(c.servers.has_wildcard_); }},
    {"fuser = Alice FULL lb error", [](const Config& c) {
        Config::UserOptions u; ASSERT_TRUE(c.CheckUser("alice", u)); EXPECT_TRUE(u.full && u.lb);
        EXPECT_FALSE(u.block || u.trns); EXPECT_EQ(u.loglvl, 1); }},
    {"trusted = 192.0.2.7", [](const Config& c) { EXPECT_TRUE(c.IsTrusted(Ip("192.0.2.7"))); }},
    {"broken = AB  Acme Phone", [](const Config& c) {
        EXPECT_EQ(c.DeviceDefects("Acme Phone 2.0").Letters(), "AB"); }},
    {"restrict_forward = SIP:Portal.corp.example", [](const Config& c) {
        EXPECT_EQ(c.restrict_forward, "sip:portal.corp.example"); }},
    {"slow_start = YES", [](const Config& c) { EXPECT_TRUE(c.slow_start); }},
    {"range = 40000 40010", [](const Config& c) {
        EXPECT_EQ(c.range_low, 40000); EXPECT_EQ(c.range_high, 40010); }},
    {"range = 40000 65536", [](const Config& c) { EXPECT_EQ(c.range_high, 65536); }},
    {"ipaddr = 127.0.0.1", [](const Config& c) { EXPECT_STREQ(c.myipaddr, "127.0.0.1"); }},
    {"second_ipaddr = 127.0.0.2", [](const Config& c) { EXPECT_STREQ(c.second_ipaddr, "127.0.0.2"); }},
    {"private_ipaddr = 127.0.0.3", [](const Config& c) { EXPECT_STREQ(c.private_ipaddr, "127.0.0.3"); }},
    {"server_ipaddr = 127.0.0.4", [](const Config& c) { EXPECT_STREQ(c.server_ipaddr, "127.0.0.4"); }},
    {"port = 5070 # main", [](const Config& c) { EXPECT_EQ(c.main_port, 5070); }},
    {"second_port = 65532", [](const Config& c) { EXPECT_EQ(c.second_port, 65532); }},
    {"log_level = DEBUG+full+short+reg_cache", [](const Config&) {
        EXPECT_EQ(g_log_block.level.load(), 1 | 2 | 16 | 0x200); }},
    {"log_level = log_trace+regregul", [](const Config&) { EXPECT_EQ(g_log_block.level.load(), 4 | 0x100); }},
    {"log_size_limit = 10M", [](const Config&) {
        EXPECT_EQ(g_log_block.size_limit.load(), 10485760 - 16384); }},
    {"log_name = front back", [](const Config& c) {
        EXPECT_EQ(c.app_master, "front"); EXPECT_EQ(c.app_slave, "back");
        EXPECT_STREQ(g_log_block.app_name.load(), "front"); }},
    {"log_name = solo", [](const Config& c) { EXPECT_EQ(c.app_slave, "solo"); }},
    {"full_mode = On", [](const Config& c) { EXPECT_TRUE(c.force_full_mode); }},
    {"quiet_mode = TRUE", [](const Config& c) { EXPECT_TRUE(c.quiet_mode); }},
    {"num_listeners = 4 2", [](const Config& c) {
        EXPECT_EQ(c.num_threads, 4); EXPECT_EQ(c.max_threads, 4) << "raised to the listener count"; }},
    {"num_listeners = 4 16", [](const Config& c) { EXPECT_EQ(c.max_threads, 16); }},
    {"media_threads = 3", [](const Config& c) { EXPECT_EQ(c.media_threads, 3); }},
    {"register_timeout = 45 900 7200", [](const Config& c) {
        EXPECT_EQ(c.register_timeout, 45); EXPECT_EQ(c.rgstr_limit, 900); EXPECT_EQ(c.rgstr_force, 7200); }},
    {"subnet = 10.0.0.0/8 5", [](const Config& c) {
        ASSERT_EQ(c.subnets.size(), 1u); EXPECT_EQ(c.subnets[0].tm, 10);
        EXPECT_EQ(c.subnets[0].net, 0x0A000000u); EXPECT_EQ(c.subnets[0].mask, 0xFF000000u); }},
    {"subnet = 10.0.0.0/8 60 lb+Symmetric 3 Defect:AB lbc", [](const Config& c) {
        const SubnetRule& s = c.subnets[0]; EXPECT_EQ(s.pool, 3);
        EXPECT_EQ(static_cast<uint32_t>(s.mode), 0x80020004u); EXPECT_EQ(s.dfct.Letters(), "AB");
        EXPECT_TRUE(s.lbc); }},
    {"subscribe_event = presence DROP", [](const Config& c) { EXPECT_EQ(c.CheckEvent("presence"), 0); }},
    {"check_rtp_flow = off", [](const Config& c) { EXPECT_FALSE(c.check_rtp_flow); }},
    {"check_rtp_flow = OFF", [](const Config& c) {
        EXPECT_TRUE(c.check_rtp_flow) << "reverse words are case-sensitive"; }},
    {"idle_timeout = 60", [](const Config& c) { EXPECT_EQ(c.idletm, 60000); }},
    {"dialogs_per_ip = 20", [](const Config& c) { EXPECT_EQ(c.dialogs_per_ip, 20); }},
    {"max_dialogs = 0", [](const Config& c) { EXPECT_EQ(c.max_dialogs, 0) << "no limit"; }},
    {"unanswered_calls_per_ip = 4", [](const Config& c) { EXPECT_EQ(c.unanswered_calls_per_ip, 4); }},
    {"anchored_calls_per_ip = 2", [](const Config& c) { EXPECT_EQ(c.anchored_calls_per_ip, 2); }},
    {"invite_timeout = 2", [](const Config& c) { EXPECT_EQ(c.invite_timeout, 2); }},
    {"agent_name = Edge Relay", [](const Config& c) { EXPECT_EQ(c.agent_name, "Edge Relay/25.07.10"); }},
    {"events_collector = 127.0.0.9:9000", [](const Config& c) {
        EXPECT_EQ(c.evnts.Text(), "127.0.0.9:9000"); }},
    {"ha_peer = 127.0.0.8", [](const Config& c) { EXPECT_EQ(c.ha_peer.Text(), "127.0.0.8:0"); }},
    {"ha_peer = 127.0.0.8:7063", [](const Config& c) { EXPECT_EQ(c.ha_peer.Text(), "127.0.0.8:7063"); }},
    {"state_store = redis://redis.example:6380/2",
     [](const Config& c) {
       EXPECT_EQ(c.state_store_host, "redis.example");
       EXPECT_EQ(c.state_store_port, 6380);
       EXPECT_EQ(c.state_store_db, 2);
     }},
    {"dos_level = LogOnly", [](const Config& c) { EXPECT_EQ(c.dos_mode, DL_LOG); }},
    {"dos_interval = 6 301 101 51", [](const Config& c) {
        EXPECT_EQ(c.interval, 6); EXPECT_EQ(c.block_time_first, 301); EXPECT_EQ(c.light_threshold_first, 101);
        EXPECT_EQ(c.heavy_threshold_first, 51); EXPECT_EQ(c.repeat_threshold_first, 2000); }},
    {"dos_multiple = 7 901 201 101 5001", [](const Config& c) {
        EXPECT_EQ(c.interval_count, 7); EXPECT_EQ(c.repeat_threshold_repeat, 5001); }},
    {"dos_max_mps = 150 600", [](const Config& c) {
        EXPECT_EQ(c.max_messages_per_second, 150u); EXPECT_EQ(c.block_time_rate, 600); }},
    {"dos_ip_max_mps = 0", [](const Config& c) { EXPECT_EQ(c.ip_max_messages_per_second, 0u); }},
    {"ddos_threshold = 70", [](const Config& c) { EXPECT_EQ(c.ddos_threshold, 70u); }},
    {"dos_whitelist = 192.168.0.0/16", [](const Config& c) {
        EXPECT_TRUE(c.IsDosWLists(Ip("192.168.4.4"))); }},
    {"sysfw_rule = EDGE", [](const Config& c) { EXPECT_EQ(c.rule_name, "EDGE"); }},
    {"sysfw_start = iptables -N OSTREL", [](const Config& c) {
        EXPECT_EQ(c.start_command, "iptables -N OSTREL"); }},
    {"sysfw_stop = s", [](const Config& c) { EXPECT_EQ(c.stop_command, "s"); }},
    {"sysfw_block = b", [](const Config& c) { EXPECT_EQ(c.block_command, "b"); }},
    {"sysfw_unblock = u", [](const Config& c) { EXPECT_EQ(c.unblock_command, "u"); }},
    {"throttling = 40 10", [](const Config& c) {
        EXPECT_EQ(c.throttle_register, 40); EXPECT_EQ(c.throttle_ddos, 10); }},
    {"attach_hole = yes", [](const Config& c) { EXPECT_TRUE(c.hole_attach); }},
    {"attach_hole = YES", [](const Config& c) { EXPECT_FALSE(c.hole_attach) << "case-sensitive"; }},
    {"assume_nosrtp = true", [](const Config& c) { EXPECT_TRUE(c.assume_nosrtp); }},
    {"assume_no_obp = on", [](const Config& c) { EXPECT_TRUE(c.assume_no_obp); }},
    {"bare_sdp = PCMU,pcma/8000,telephone-event ptime", [](const Config& c) {
        const std::map<std::string, int> codecs = {{"pcmu", 0}, {"pcma", 8000}, {"telephone-event", 0}};
        EXPECT_EQ(c.bare_codecs, codecs);
        EXPECT_EQ(c.bare_params, (std::set<std::string>{"ptime"})); }},
    {"rsvp = 203.0.113.5 192.168.1.10 5062", [](const Config& c) {
        EXPECT_EQ(c.CheckRsvp(RsvpKey(Ip("203.0.113.5"), Ip("192.168.1.10"))), 5062); }},
    {"transcoding = G729/60 G729/20", [](const Config& c) {
        ASSERT_EQ(c.transcoding_rules.size(), 1u); EXPECT_EQ(c.transcoding_rules[0].client_code, G729_60);
        EXPECT_EQ(c.transcoding_rules[0].server_code, G729_20); }},
    {"transcoding = ilbc/60 pcmu/20", [](const Config& c) {
        EXPECT_EQ(c.transcoding_rules[0].server_code, PCMU_20); }},
};
// clang-format on

class KeywordValues : public ConfigTest, public ::testing::WithParamInterface<AcceptedLine> {};

TEST_P(KeywordValues, SetsWhatTheDaemonReads) {
  EXPECT_EQ(Read({GetParam().line}), 1) << LogText();
  GetParam().check(*cfg_);
}

INSTANTIATE_TEST_SUITE_P(EveryKeyword, KeywordValues, ::testing::ValuesIn(kAccepted));

TEST_F(ConfigTest, LogKeywordOpensTheNamedLog) {
  setenv("OSTREL_TEST_DIR", dir_.c_str(), 1);
  EXPECT_EQ(Read({"log = ${OSTREL_TEST_DIR}/file.log"}), 1);
  EXPECT_EQ(cfg_->log_file, dir_ + "/file.log");
  Log("ostrel", 0, "into the configured log\n");
  RestoreOutput();
  EXPECT_NE(ReadText(dir_ + "/file.log").find("into the configured log"), std::string::npos);
}

TEST_F(ConfigTest, WithoutADomainLineEveryDomainIsServed) {
  EXPECT_EQ(Read({"quiet_mode = no"}), 1);
  EXPECT_NE(LogText().find("Warning: Domain unrestricted mode\n"), std::string::npos);
  ClearLog();
  EXPECT_EQ(Read({"domain = example.com"}), 1);
  EXPECT_EQ(LogText().find("Domain unrestricted"), std::string::npos);
}

TEST_F(ConfigTest, TabsAroundKeywordsAndValuesAndCarriageReturnsAreTrimmed) {
  WriteFile("ostrel.cfg", "\tport\t=\t5070\t\r\nrestrict_forward\t= \tsip:x\t# note\r\n");
  EXPECT_EQ(cfg_->Reread(), 1) << LogText();
  EXPECT_EQ(cfg_->main_port, 5070);
  EXPECT_EQ(cfg_->restrict_forward, "sip:x");
}

}  // namespace
