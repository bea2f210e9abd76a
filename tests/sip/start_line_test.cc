// Request and status lines: what parses, how it is written back, and what is refused with which text.
#include <gtest/gtest.h>

#include "flog_capture.h"
#include "sip/start_line.h"

using sip_test::check_cases;
using sip_test::FlogCapture;
using sip_test::ParseCase;

namespace {

TEST(SipStartLine, ParseAndAssemble) {
  const ParseCase cases[] = {
      {"INVITE sip:bob@h SIP/2.0", "INVITE sip:bob@h SIP/2.0\r\n", true},
      {"OPTIONS sip:h;transport=udp;lr SIP/2.0", "OPTIONS sip:h;lr;transport=udp SIP/2.0\r\n", true},
      {"INVITE\tsip:bob@h SIP/2.0", "INVITE sip:bob@h SIP/2.0\r\n", true},
      {"SIP/2.0 200 OK", "SIP/2.0 200 OK\r\n", true},
      {"SIP/2.0 200", "SIP/2.0 200\r\n", true},
      {"SIP/2.0 100 ", "SIP/2.0 100\r\n", true},
      {"SIP/2.0 183 Session  Progress  ", "SIP/2.0 183 Session  Progress\r\n", true},
      {"SIP/2.0 699 x", "SIP/2.0 699 x\r\n", true},
      {"SIP/2.0 2000 OK", "Incorrect Status Code\n", false},
      {"SIP/2.0 099 x", "Incorrect Status Code\n", false},
      {"SIP/2.0 700 x", "Incorrect Status Code\n", false},
      {"SIP/2.0 4294967301 better not break the receiver", "Incorrect Status Code\n", false},
      {"SIP/2.0 20", "Incorrect Status Code\n", false},
      {"SIP/2.0", "Incorrect Status Code\n", false},
      {"SIP/2.0 ", "Incorrect Status Code\n", false},
      {"invite sip:bob@h SIP/2.0", "Unknown METHOD\n", false},
      {"NEWMETHOD sip:bob@h SIP/2.0", "Unknown METHOD\n", false},
      {"INVITE sip:bob@h SIP/1.0", "Start Line dosn't contain correct SIP Version\n", false},
      {"OPTIONS sip:t.watson@example.org SIP/7.0", "Start Line dosn't contain correct SIP Version\n", false},
      {"INVITE SIP/2.0", "Unknown Scheme in URI\n", false},
      {"INVITE <sip:user@example.com> SIP/2.0", "Unknown Scheme in URI\n", false},
      {"OPTIONS sip:remote-target@example.com SIP/2.0  ", "Start Line dosn't contain correct SIP Version\n",
       false},
      {"INVITE sip:bob@hSIP/2.0", "Start Line dosn't contain correct SIP Version\n", false},
      {"INVITE  sip:user@example.com  SIP/2.0", "White space in URI\n", false},
      {"INVITE sip:user@example.com; lr SIP/2.0", "White space in URI\n", false},
      {"INVITE sip:user@example.com?Route=%3Csip:example.com%3E SIP/2.0",
       "Headers not allowed in Request-URI\n", false},
  };
  check_cases<SipStartLine>(cases);
}

TEST(SipStartLine, MethodTable) {
  for (int m = SipStartLine::INVITE; m < SipStartLine::METHOD_COUNT; ++m)
    EXPECT_EQ(SipStartLine::ParseMethod(SipStartLine::kMethodNames[m]), m);
  EXPECT_EQ(SipStartLine::ParseMethod("  BYE\t"), SipStartLine::BYE);
  FlogCapture log;
  EXPECT_EQ(SipStartLine::ParseMethod("bye"), SipStartLine::BLANK_METHOD);
  EXPECT_EQ(log.last(), "Unknown METHOD\n");
}

}  // namespace
