// The event datagrams' texts as the events collector receives them (before the "Self: " line).
#include "ports/event_text.h"

#include <gtest/gtest.h>

namespace {

TEST(EventText, CallEvents) {
  const struct {
    events::CallEvent e;
    const char* text;
  } cases[] = {
      {{1, 65537, "example.com", "", true, "alice", "bob"},
       "Event: INVITE\nUniqNo: 65537\nDomain: example.com\nDirection: CLN\nFrom: alice\nTo: bob\n"},
      {{1, 65538, "example.com", "", false, "srv@other", "sip:alice@10.0.0.5"},
       "Event: INVITE\nUniqNo: 65538\nDomain: example.com\nDirection: SRV\nFrom: srv@other\nTo: "
       "sip:alice@10.0.0.5\n"},
      {{2, 7, "d", "ignored"}, "Event: TIMEOUT\nUniqNo: 7\nDomain: d\n"},
      {{3, 7, "d", ""}, "Event: CANCEL\nUniqNo: 7\nDomain: d\nExtra: Timeout\n"},
      {{3, 7, "d", "CLN"}, "Event: CANCEL\nUniqNo: 7\nDomain: d\nDirection: CLN\n"},
      {{4, 7, "d", ""}, "Event: REJECT\nUniqNo: 7\nDomain: d\n"},
      {{4, 7, "d", "486"}, "Event: REJECT\nUniqNo: 7\nDomain: d\nExtra: 486\n"},
      {{5, 7, "d", "", true, "", "", 'F'}, "Event: TALK\nUniqNo: 7\nDomain: d\nFMode: F\n"},
      {{6, 7, "d", "10.0.0.5:7078"}, "Event: CLN_AUDIO\nUniqNo: 7\nDomain: d\nFrom: 10.0.0.5:7078\n"},
      {{9, 7, "d", "1.2.3.4:9"}, "Event: SRV_VIDEO\nUniqNo: 7\nDomain: d\nFrom: 1.2.3.4:9\n"},
      {{10, 7, "d", "SRV"}, "Event: BYE\nUniqNo: 7\nDomain: d\nDirection: SRV\n"},
      {{10, 7, "d", ""}, "Event: BYE\nUniqNo: 7\nDomain: d\nExtra: Timeout\n"},
      {{11, 7, "d", ""}, "Event: DTOR\nUniqNo: 7\nDomain: d\n"},
      {{10, 7, "d", "CLN", true, "", "", '-', "pkts=5 lost=1 reord=0 jitter=2ms",
        "pkts=0 lost=0 reord=0 jitter=0ms"},
       "Event: BYE\nUniqNo: 7\nDomain: d\nDirection: CLN\nCLNMedia: pkts=5 lost=1 reord=0 jitter=2ms\n"
       "SRVMedia: pkts=0 lost=0 reord=0 jitter=0ms\n"},
      {{11, 7, "d", "", true, "", "", '-', "pkts=9 lost=0 reord=0 jitter=0ms",
        "pkts=8 lost=0 reord=1 jitter=1ms"},
       "Event: DTOR\nUniqNo: 7\nDomain: d\nCLNMedia: pkts=9 lost=0 reord=0 jitter=0ms\n"
       "SRVMedia: pkts=8 lost=0 reord=1 jitter=1ms\n"},
      {{0, 7, "d", ""}, ""},
      {{12, 7, "d", ""}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(events::CallText(c.e), c.text) << c.e.type;
}

TEST(EventText, RegistrationEventsAndTheirAddresses) {
  const struct {
    const char* addrs;
    unsigned port;
    const char* int_ip;
    const char* ext_ip;
  } addresses[] = {
      {"", 5062, "192.168.1.20:5062", "10.0.0.5:5062"},
      {"", 0, "192.168.1.20:5062", "10.0.0.5"},
      {"10.0.0.9:7000", 5062, "192.168.1.20:5062", "10.0.0.9:7000"},
      {"10.0.0.9:7000,192.168.1.30:5060", 5062, "192.168.1.30:5060", "10.0.0.9:7000"},
  };
  for (const auto& a : addresses) {
    std::string int_ip, ext_ip;
    events::RegistrationAddresses(a.addrs, "192.168.1.20:5062", "10.0.0.5", a.port, int_ip, ext_ip);
    EXPECT_EQ(int_ip, a.int_ip) << a.addrs;
    EXPECT_EQ(ext_ip, a.ext_ip) << a.addrs;
  }
  events::RegistrationEvent e{true,      "example.com",       "alice",        "sip:n@r", "c-1",
                              "Phone/1", "192.168.1.20:5062", "10.0.0.5:5062"};
  EXPECT_EQ(events::RegistrationText(e),
            "Event: REG\nDomain: example.com\nLine: alice\nAOR: sip:n@r\nCallID: c-1\nAgent: Phone/1\n"
            "IntIP: 192.168.1.20:5062\nExtIP: 10.0.0.5:5062\n");
  e.agent.clear();
  EXPECT_EQ(events::RegistrationText(e),
            "Event: REG\nDomain: example.com\nLine: alice\nAOR: sip:n@r\nCallID: c-1\n"
            "IntIP: 192.168.1.20:5062\nExtIP: 10.0.0.5:5062\n");
  e.registered = false;
  e.agent = "Phone/1";
  EXPECT_EQ(events::RegistrationText(e),
            "Event: UNREG\nDomain: example.com\nLine: alice\nAOR: sip:n@r\nIntIP: 192.168.1.20:5062\n"
            "ExtIP: 10.0.0.5:5062\n");
}

TEST(EventText, RefusedRegistration) {
  const struct {
    events::FailEvent e;
    const char* text;
  } cases[] = {
      {{"example.com", "alice", "c-1", "Phone/1", "192.168.1.20:5062", "10.0.0.5:5062", "Blocked"},
       "Event: FAILD\nDomain: example.com\nLine: alice\nCallID: c-1\nAgent: Phone/1\nIntIP: "
       "192.168.1.20:5062\n"
       "ExtIP: 10.0.0.5:5062\nReason: Blocked\n"},
      {{"example.com", "", "", "", "", "10.0.0.5:5062", ""},
       "Event: FAILD\nDomain: example.com\nExtIP: 10.0.0.5:5062\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(events::FailText(c.e), c.text);
}

TEST(EventText, StatisticsWithAndWithoutCounts) {
  events::StatEvent e;
  e.max_queue = 3;
  e.max_threads = 4;
  e.ext_done = 10;
  e.ext_longest = 2;
  e.int_done = 9;
  e.int_longest = 1;
  EXPECT_EQ(events::StatText(e), "Event: STAT\nMaxQueueSize: 3,4\nExtProc: 10,2\nIntProc: 9,1\n");
  e.methods = {{"REGISTER", 4}, {"INVITE", 2}};
  e.bounces = {{481, 1}, {403, 2}};
  e.dos = {{'L', 5}, {'H', 1}};
  e.bad_events = {{"dialog", 3}};
  EXPECT_EQ(events::StatText(e),
            "Event: STAT\nMaxQueueSize: 3,4\nExtProc: 10,2\nIntProc: 9,1\nMethod: INVITE:2,REGISTER:4\n"
            "Bounce: 403:2,481:1\nDos: H:1,L:5\nBadEvent: dialog:3\n");
}

TEST(EventText, NodeAndProtectionEvents) {
  EXPECT_EQ(events::StopText(), "Event: STOP\n");
  EXPECT_EQ(events::SelfLine("127.0.0.1", 5060), "Self: 127.0.0.1:5060\n");
  EXPECT_EQ(events::ActiveText({1700000000, 2, 5, 1, 0, "R:2,-:1"}),
            "Event: ACTIVE\nStarted: 1700000000\nRegs: 2\nDialogs: 5\nCalls: 1\nFull: 0\nExtra: R:2,-:1\n");
  EXPECT_EQ(events::BlockText(true, 0x0A000005, 5062), "Event: BLOCK\nIP: 10.0.0.5\nPort: 5062\n");
  EXPECT_EQ(events::BlockText(false, 0x0A000005, 0), "Event: UNBLOCK\nIP: 10.0.0.5\n");
  EXPECT_EQ(events::DdosText(true), "Event: DDOS\nShield: On\n");
  EXPECT_EQ(events::DdosText(false), "Event: DDOS\nShield: Off\n");
  EXPECT_EQ(events::StatLogLine(7, 5, 9, 12, 3), "07:05:09 Regs: 12\tCalls: 3\n");
}

}  // namespace
