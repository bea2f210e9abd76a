// HA records as the peer sends them: what is accepted, what each field becomes, and the texts this relay
// writes, which its peer must read back unchanged.
#include "ports/ha_record.h"

#include <gtest/gtest.h>

namespace {

const char* const kReg =
    "R|sip:alice*example.com-10.0.0.5+5062@127.0.0.1:5074|sip:alice@192.168.1.20:5062|reg-1|Xa|alice@example."
    "com|"
    "bob|10.0.0.5:5062|3590|45|0|18|srv-tag|127.0.0.9:5080|3|167772165";
const char* const kCall =
    "F|C&call-1@10.0.0.5&srv1|sip:a*x@127.0.0.1:5074|sip:alice@192.168.1.20:5062|N|2|40000,40004|"
    "10.0.0.5:7078,10.0.0.5:7079,10.0.0.5:9078,10.0.0.5:9100|10.0.0.5:5062|40002|127.0.0.9:6000|127.0.0.9:"
    "5080|"
    "<sip:bob@127.0.0.9:5080>,<sip:127.0.0.9;lr>|srv1|-1|example.com|42";

TEST(HaRecordParse, RegistrationFields) {
  auto r = ha::Parse(kReg);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->kind, ha::Record::REGISTER);
  const ha::RegistrationRecord& g = r->reg;
  EXPECT_EQ(g.ncont, "sip:alice*example.com-10.0.0.5+5062@127.0.0.1:5074");
  EXPECT_EQ(g.ocont, "sip:alice@192.168.1.20:5062");
  EXPECT_EQ(g.callid, "reg-1");
  EXPECT_EQ(g.defects.Letters(), "Xa");
  EXPECT_TRUE(g.defects.Has(Defect::BARE_SDP));
  EXPECT_EQ(g.user_domain, "alice@example.com");
  EXPECT_EQ(g.full_user, "bob");
  EXPECT_EQ(g.hole.Text(), "10.0.0.5:5062");
  EXPECT_EQ(g.expires_in, 3590);
  EXPECT_EQ(g.reg_tm, 45);
  EXPECT_EQ(g.flags, unsigned{ha::PUBLIC_IP | ha::PERSISTENT});
  EXPECT_EQ(g.to_tag, "srv-tag");
  EXPECT_EQ(g.unreg_server.Text(), "127.0.0.9:5080");
  EXPECT_EQ(g.nat_type, 3u);
  EXPECT_EQ(g.exp_rtp_ip, 167772165u);
  EXPECT_EQ(ha::FormatRegistration(g), kReg);
}

TEST(HaRecordParse, CallFieldsAndMediaDestinations) {
  auto r = ha::Parse(std::string(kCall) + "\n");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->kind, ha::Record::CALL);
  const ha::CallRecord& c = r->call;
  EXPECT_TRUE(c.full);
  EXPECT_EQ(c.key, "C&call-1@10.0.0.5&srv1");
  EXPECT_EQ(c.shift, 2);
  EXPECT_EQ(c.cln_ports.audio, 40000u);
  EXPECT_EQ(c.cln_ports.video, 40004u);
  EXPECT_TRUE(c.cln_dests.video);
  EXPECT_EQ(c.cln_dests.vrtcp.Text(), "10.0.0.5:9100");
  EXPECT_EQ(c.srv_ports.audio, 40002u);
  EXPECT_EQ(c.srv_dests.rtp.Text(), "127.0.0.9:6000");
  EXPECT_EQ(c.srv_dests.rtcp.Text(), "127.0.0.9:6001");  // a missing RTCP destination is the next port
  EXPECT_EQ(c.route_set, "<sip:bob@127.0.0.9:5080>,<sip:127.0.0.9;lr>");
  EXPECT_EQ(c.transc, -1);
  EXPECT_EQ(c.domain, "example.com");
  EXPECT_EQ(c.flags, 42u);
  EXPECT_EQ(ha::FormatCall(c), kCall);
}

TEST(HaRecordParse, ShortRecords) {
  const struct {
    const char* text;
    ha::Record::Kind kind;
    const char* key;
  } cases[] = {
      {"?", ha::Record::REQUEST, ""},
      {"?\n", ha::Record::REQUEST, ""},
      {"U|sip:a@b", ha::Record::UNREGISTER, "sip:a@b"},
      {"B|C&x&y", ha::Record::CALL_END, "C&x&y"},
      {"B|C&x&y|extra", ha::Record::CALL_END, "C&x&y"},
      {"Z|whatever", ha::Record::UNKNOWN, ""},
  };
  for (const auto& c : cases) {
    auto r = ha::Parse(c.text);
    ASSERT_TRUE(r) << c.text;
    EXPECT_EQ(r->kind, c.kind) << c.text;
    EXPECT_EQ(r->key, c.key) << c.text;
  }
}

// Nothing may be created from these: each is refused as a whole.
TEST(HaRecordParse, MalformedRecordsAreRefused) {
  auto replace_field = [](std::string rec, size_t index, const std::string& value) {
    auto fields = ha::SplitFields(rec, '|');
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i) out += "|";
      out += i == index ? value : std::string(fields[i]);
    }
    return out;
  };
  const std::string reg = kReg, call = kCall;
  const std::string cases[] = {
      "",
      "\n",
      "U",
      "U|",
      "B|",
      reg + "|extra",                            // 17 fields
      reg.substr(0, reg.rfind('|')),             // 15 fields
      replace_field(reg, 1, ""),                 // no key
      replace_field(reg, 7, "10.0.0.5"),         // hole without port
      replace_field(reg, 7, "10.0.0.256:5062"),  // octet out of range
      replace_field(reg, 7, "10.0.0.5:70000"),   // port out of range
      replace_field(reg, 8, "12x"),
      replace_field(reg, 8, ""),
      replace_field(reg, 9, "-5"),
      replace_field(reg, 11, "256"),
      replace_field(reg, 13, "server"),
      replace_field(reg, 15, "-1"),
      replace_field(reg, 15, "4294967296"),
      call + "|",
      replace_field(call, 5, "+2"),
      replace_field(call, 6, "40000,40004,40008"),
      replace_field(call, 6, "0"),
      replace_field(call, 7, "10.0.0.5:7078,,10.0.0.5:9078"),
      replace_field(call, 7, "a,b,c,d,e"),
      replace_field(call, 14, "-2"),
      replace_field(call, 14, "300"),
      replace_field(call, 16, "1.5"),
      std::string(ha::kMaxRecord + 1, '?'),
  };
  for (const auto& text : cases) EXPECT_FALSE(ha::Parse(text)) << text;
}

TEST(HaRecordDests, RtcpWrittenOnlyWhenNeeded) {
  auto addr = [](const char* s) {
    InetAddress a;
    EXPECT_TRUE(ha::ParseAddress(s, a)) << s;
    return a;
  };
  const struct {
    ha::MediaDestinations d;
    const char* text;
  } cases[] = {
      {{}, ""},
      {{addr("1.2.3.4:1000"), addr("1.2.3.4:1001")}, "1.2.3.4:1000"},
      {{addr("1.2.3.4:1000"), InetAddress()}, "1.2.3.4:1000"},
      {{addr("1.2.3.4:1000"), addr("1.2.3.4:1005")}, "1.2.3.4:1000,1.2.3.4:1005"},
      {{addr("1.2.3.4:1000"), addr("1.2.3.5:1001")}, "1.2.3.4:1000,1.2.3.5:1001"},
      {{addr("1.2.3.4:1000"), addr("1.2.3.4:1001"), true, addr("1.2.3.4:2000"), addr("1.2.3.4:2001")},
       "1.2.3.4:1000,1.2.3.4:1001,1.2.3.4:2000"},
      {{addr("1.2.3.4:1000"), addr("1.2.3.4:1001"), true, addr("1.2.3.4:2000"), addr("1.2.3.4:2010")},
       "1.2.3.4:1000,1.2.3.4:1001,1.2.3.4:2000,1.2.3.4:2010"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ha::FormatDestinations(c.d), c.text);
    ha::MediaDestinations back;
    ASSERT_TRUE(ha::ParseDestinations(c.text, back)) << c.text;
    EXPECT_EQ(ha::FormatDestinations(back), c.text);
  }
}

TEST(HaRecordFormat, ShortRecordsAndSingleAudioPort) {
  EXPECT_EQ(ha::FormatRequest(), "?");
  EXPECT_EQ(ha::FormatUnregistration("sip:a@b"), "U|sip:a@b");
  EXPECT_EQ(ha::FormatCallEnd("C&x&y"), "B|C&x&y");
  ha::CallRecord c;
  c.key = "S&k&t";
  c.cln_ports.audio = 40000;
  ASSERT_TRUE(ha::ParseAddress("10.0.0.5:7078", c.cln_dests.rtp));
  c.has_cln_dests = true;
  c.transc = -3;
  EXPECT_EQ(ha::FormatCall(c), "S|S&k&t||||0|40000|10.0.0.5:7078|||||||-1||0");
  auto back = ha::Parse(ha::FormatCall(c));
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->call.full);
  EXPECT_EQ(back->call.cln_ports.video, 0u);
}

// With a secret: the trailer is pinned (a peer of another build must compute the same MAC), and a record
// altered anywhere, signed with another secret or without its trailer is refused.
TEST(HaRecordSeal, TrailerAndMac) {
  const std::string secret = "0123456789abcdef";
  const std::string sealed = ha::Seal("U|sip:a@b", secret, {1700000000000000, 7});
  EXPECT_EQ(sealed, "U|sip:a@b|1700000000000000.7|65729fabf257d308090e3b4a9b1cb7ae");
  ha::Sequence seq;
  const std::string datagram = sealed + "\n";
  auto body = ha::Unseal(datagram, secret, seq);
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, "U|sip:a@b");
  EXPECT_EQ(seq.boot, 1700000000000000u);
  EXPECT_EQ(seq.counter, 7u);
  for (size_t i = 0; i < sealed.size(); ++i) {
    std::string altered = sealed;
    altered[i] = altered[i] == '1' ? '2' : '1';
    EXPECT_FALSE(ha::Unseal(altered, secret, seq)) << altered;
  }
  EXPECT_FALSE(ha::Unseal(sealed, "0123456789abcdeF", seq));
  EXPECT_FALSE(ha::Unseal("U|sip:a@b", secret, seq));
  EXPECT_FALSE(ha::Unseal(ha::Seal("U|sip:a@b", secret, {1, 0}), secret, seq));  // counters start at 1
}

// The peer's restart is accepted (a later boot starts afresh), an earlier boot, a record seen before and
// this relay's own record sent back are refused; records sent at once may arrive out of order.
TEST(HaRecordReplay, RestartReorderAndReplay) {
  using W = ha::ReplayWindow;
  W window(500);
  const struct {
    uint64_t boot, counter;
    W::Verdict verdict;
  } steps[] = {
      {100, 5, W::ACCEPTED},   {100, 5, W::REPLAYED}, {100, 7, W::ACCEPTED},   {100, 6, W::ACCEPTED},
      {100, 6, W::REPLAYED},   {100, 4, W::ACCEPTED}, {100, 200, W::ACCEPTED}, {100, 136, W::REPLAYED},
      {100, 137, W::ACCEPTED}, {500, 300, W::OWN},    {200, 1, W::ACCEPTED},   {100, 201, W::OLD_BOOT},
      {200, 1, W::REPLAYED},   {200, 2, W::ACCEPTED},
  };
  for (const auto& s : steps)
    EXPECT_EQ(window.Check({s.boot, s.counter}), s.verdict) << s.boot << "." << s.counter;
}

// What the peer would drop or misread is refused at the sender.
TEST(HaRecordSend, FieldsHoldingTheSeparatorAndOverLongRecords) {
  ha::RegistrationRecord r;
  r.ncont = "sip:a@b";
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatRegistration(r), ha::kTrailerLength), ha::Unsendable::NONE);
  r.callid = "x|y";
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatRegistration(r), 0), ha::Unsendable::SEPARATOR);
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatUnregistration("sip:a|b"), 0), ha::Unsendable::SEPARATOR);
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatCallEnd("C&x\n"), 0), ha::Unsendable::SEPARATOR);
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatRequest(), 0), ha::Unsendable::NONE);
  const std::string key(ha::kMaxRecord - 2, 'k');
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatCallEnd(key), 0), ha::Unsendable::NONE);
  EXPECT_EQ(ha::CheckOutgoing(ha::FormatCallEnd(key), 1), ha::Unsendable::TOO_LONG);
}

// The blocks shared through the state store's channel: the two forms, and what a relay must not apply.
TEST(HaRecordBlock, SetAndLiftAcceptedTheRestRefused) {
  auto on = ha::ParseBlock("K|relay-a|192.0.2.7:5060|300");
  ASSERT_TRUE(on);
  EXPECT_TRUE(on->on);
  EXPECT_EQ(on->node, "relay-a");
  EXPECT_EQ(on->ip, 0xC0000207u);
  EXPECT_EQ(on->port, 5060);
  EXPECT_EQ(on->seconds, 300);
  EXPECT_EQ(ha::FormatBlock(*on), "K|relay-a|192.0.2.7:5060|300");
  auto off = ha::ParseBlock("k|relay-a|192.0.2.7:0");
  ASSERT_TRUE(off);
  EXPECT_FALSE(off->on);
  EXPECT_EQ(ha::FormatBlock(*off), "k|relay-a|192.0.2.7:0");
  for (const char* bad :
       {"K|relay-a|192.0.2.7:5060", "K|relay-a|192.0.2.7:5060|0", "K|relay-a|192.0.2.7:5060|86401",
        "K|relay-a|0.0.0.0:0|10", "K|relay:a|192.0.2.7:0|10", "K||192.0.2.7:0|10", "k|relay-a|192.0.2.7:0|10",
        "K|relay-a|192.0.2.7|10", "X|relay-a|192.0.2.7:0|10", "K|relay-a|192.0.2.7:0|+10", ""})
    EXPECT_FALSE(ha::ParseBlock(bad)) << bad;
}

}  // namespace
