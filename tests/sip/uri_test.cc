// Parameter lists, URIs and name-addr values: parsing, assembly and the texts reported on refusal.
#include <gtest/gtest.h>

#include "flog_capture.h"
#include "sip/uri.h"

using sip_test::check_cases;
using sip_test::FlogCapture;
using sip_test::ParseCase;

namespace {

std::string assemble_params(const SipParams& p) {
  std::string out;
  return p.Assemble(out);
}

TEST(SipParams, ParseAndAssemble) {
  const ParseCase cases[] = {
      {"", "", true},
      {"   ", "", true},
      {";transport=udp;lr", ";lr;transport=udp", true},
      {";a=1;a=2", ";a=1", true},
      {";x=\"a;b\";y", ";x=\"a;b\";y", true},
      {" ;  tag  =  abc ", ";tag=abc", true},
      {";;;;", "", true},
      {"tag=1", "Parameters must begin with char ';'\n", false},
      {";x=\"a;b", "Unmached \" in Params\n", false},
  };
  check_cases<SipParams>(cases);
}

TEST(SipParams, Accessors) {
  SipParams p;
  ASSERT_TRUE(p.Parse(";lr;tag=7"));
  EXPECT_STREQ(p.Param("lr"), "");
  EXPECT_STREQ(p.Param("tag"), "7");
  EXPECT_EQ(p.Param("TAG"), nullptr);  // names are case-sensitive
  p.Param("tag", "8");
  p.Remove("lr");
  EXPECT_EQ(assemble_params(p), ";tag=8");
  p.PClear();
  EXPECT_EQ(assemble_params(p), "");
}

TEST(SipUri, ParseAndAssemble) {
  const ParseCase cases[] = {
      {"sip:alice@10.0.0.1:5070;transport=udp;lr?Subject=x&Priority=urgent",
       "sip:alice@10.0.0.1:5070;lr;transport=udp?Priority=urgent&Subject=x", true},
      {"sip:alice:secret@h", "sip:alice:secret@h", true},
      {"sips:h", "sips:h", true},
      {"  sip:bob@h  ", "sip:bob@h", true},
      {"sip:[2001:db8::1]:5060", "sip:[2001:db8::1]:5060", true},
      {"sip:[2001:db8::1]", "sip:[2001:db8::1]", true},
      {"sip:h:65535", "sip:h:65535", true},
      {"sip:h?a", "sip:h?a", true},  // reported, kept without value
      {"sip:user;par=u%40example.net@example.com", "sip:user;par=u%40example.net@example.com", true},
      {"sip:[2001:db8::1", "Mismatched [] in URI\n", false},
      {"sip:host:", "Incorrect Port in URI\n", false},
      {"sip:host:0", "Incorrect Port in URI\n", false},
      {"sip:host:5o60", "Incorrect Port in URI\n", false},
      {"sip:host:99999", "Incorrect Port in URI\n", false},
      {"sip:host:65536", "Incorrect Port in URI\n", false},
      {"sip:host:184467440737095516160", "Incorrect Port in URI\n", false},
      {"SIP:alice@host", "Unknown Scheme in URI\n", false},
      {"tel:+1234", "Unknown Scheme in URI\n", false},
      {"", "Unknown Scheme in URI\n", false},
      {"sip:", "Incorrect Host in URI\n", false},
      {"sip:alice@", "Incorrect Host in URI\n", false},
      {"sip:h?", "Declared Optional Header missing in URI\n", false},
      {"sip:h?a=1&&b=2", "Declared Optional Header missing in URI\n", false},
      {"sip:h;x=\"y", "Unmached \" in Params\n", false},
      {"sip:user@example.com; lr", "White space in URI\n", false},
      {"sip:@@a@10.0.0.5", "Empty User in URI\n", false},
      {"sip::pw@h", "Empty User in URI\n", false},
      {"sip:a@h\x19", "Incorrect Host in URI\n", false},
  };
  check_cases<SipUri>(cases, [](SipUri& uri, const char* text) { return uri.Parse(text, true); });
}

TEST(SipUri, FieldsAndAddresses) {
  SipUri uri;
  ASSERT_TRUE(uri.Parse("sip:alice:pw@10.0.0.1:5070;lr?Subject=x", true));
  EXPECT_EQ(uri.Scheme(), "sip:");
  EXPECT_EQ(uri.User(), "alice");
  EXPECT_EQ(uri.Password(), "pw");
  EXPECT_EQ(uri.Host(), "10.0.0.1");
  EXPECT_EQ(uri.Port(), 5070);
  EXPECT_STREQ(uri.Param("lr"), "");
  EXPECT_STREQ(uri.OHeads("Subject"), "x");
  EXPECT_EQ(uri.OHeads("Priority"), nullptr);
  EXPECT_EQ(uri.Address(), "10.0.0.1:5070");

  SipUri bare;
  ASSERT_TRUE(bare.Parse("sip:10.0.0.2", true));
  EXPECT_EQ(bare.Port(), 0);
  EXPECT_EQ(bare.SPort(), 5060);
  EXPECT_EQ(bare.Address(), "10.0.0.2:5060");
  std::string out;
  EXPECT_EQ(bare.Assemble(out), "sip:10.0.0.2");
}

TEST(SipUri, ValueWithoutEqualsIsReportedWithoutLineEnd) {
  FlogCapture log;
  SipUri uri;
  EXPECT_TRUE(uri.Parse("sip:h?flag&a=1", true));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "Optional Header without value");
}

TEST(SipNameAddr, ParseAndAssemble) {
  const ParseCase cases[] = {
      {"\"Alice\" <sip:alice@10.0.0.1>", "\"Alice\" <sip:alice@10.0.0.1>", true},
      {"Bob <sip:bob@h>", "\"Bob\" <sip:bob@h>", true},
      {"caller<sip:caller@example.com>", "\"caller\" <sip:caller@example.com>", true},
      {"sip:bob@h", "<sip:bob@h>", true},
      {"<sip:bob@h>", "<sip:bob@h>", true},
      {"\"a, b\" <sip:x@h>", "\"a, b\" <sip:x@h>", true},
      {"\"J Rosenberg \\\\\\\"\" <sip:j@h>", "\"J Rosenberg \\\\\\\"\" <sip:j@h>", true},
      {"\"\\\"Quoted\\\"\" <sip:q@h>", "\"Quoted\" <sip:q@h>", true},
      {"\"\\\"a\\\\\\\"\" <sip:q@h>", "\"\\\"a\\\\\\\"\" <sip:q@h>",
       true},  // unwrapping would end in a backslash
      {"\"a<b>\" <sip:x@h>", "\"a<b>\" <sip:x@h>", true},
      {"token1~` token2'+_ <sip:m@h>", "\"token1~` token2'+_\" <sip:m@h>", true},
      {"<sip:bob@h>;tag=1", "Could not find < or > in Name\n", false},
      {"<sip:bob@h", "Could not find < or > in Name\n", false},
      {"sip:bob@h>", "Could not find < or > in Name\n", false},
      {"\"Mr. J. User <sip:j.user@example.com>", "Unmached \" in Name\n", false},
      {"\"\\\"\"", "Unknown Scheme in URI\n", false},
      {"\"", "Unmached \" in Name\n", false},
      {"Bell, Alexander <sip:a@h>", "Incorrect Display Name\n", false},
      {"< sip:t.watson@example.org >", "White space in URI\n", false},
      {"<http://www.example.com>", "Unknown Scheme in URI\n", false},
  };
  check_cases<SipNameAddress>(cases);
}

TEST(SipNameAddr, DisplayNameForms) {
  SipNameAddress quoted;
  ASSERT_TRUE(quoted.Parse("\"Alice\" <sip:alice@10.0.0.1>"));
  EXPECT_EQ(quoted.FullName(), "Alice");
  SipNameAddress wrapped;
  ASSERT_TRUE(wrapped.Parse("\"\\\"x\" <sip:a@h>"));
  EXPECT_EQ(wrapped.FullName(), "\\\"x");
  SipNameAddress tiny;
  ASSERT_TRUE(tiny.Parse("\"\\\"\" <sip:a@h>"));
  EXPECT_EQ(tiny.FullName(), "");
  SipNameAddress bare;
  bare.FullName("stale");
  ASSERT_TRUE(bare.Parse("sip:a@h"));
  EXPECT_EQ(bare.FullName(), "");
}

}  // namespace
