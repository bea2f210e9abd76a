// The RFC 4475 torture messages, read from the shared conformance folder: what this relay does with
// each one. Accepted messages must survive assembly and parse again to the same text; refused ones must
// report why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "flog_capture.h"
#include "sip/message.h"

using sip_test::FlogCapture;

namespace {

struct Torture {
  const char* file;
  const char* refusal;  // null: accepted; otherwise the text reported when it is refused
  const char* why;
};

// 3.1.1: valid messages.
const Torture kValid[] = {
    {"wsinv.dat", "Incorrect SIP Version in Via\n",
     "deliberately refused: a Via protocol with white space inside (\"SIP  /   2.0\") is not taken apart; "
     "the "
     "relay rewrites Via and only reads the canonical SIP/2.0/transport form"},
    {"intmeth.dat", "Unknown METHOD\n",
     "deliberately refused: the relay keeps dialog state per method and handles only the methods it knows"},
    {"esc01.dat", nullptr, "escaped characters are kept as written"},
    {"escnull.dat", nullptr, "escaped NULs stay escaped"},
    {"esc02.dat", "Unknown METHOD\n", "deliberately refused: RE%47IST%45R is not a method the relay knows"},
    {"lwsdisp.dat", nullptr, "a token display name directly before <"},
    {"longreq.dat", nullptr, "long values and 35 Via lines"},
    {"dblreq.dat", nullptr, "the bytes after the first message are ignored"},
    {"semiuri.dat", nullptr, "semicolons in the user part"},
    {"transports.dat", "Unknows transport in Via\n",
     "deliberately refused: the relay routes responses by Via and knows only UDP, TCP and TLS there"},
    {"mpart01.dat", nullptr, "a binary multipart body, NULs included, delimited by Content-Length"},
    {"unreason.dat", nullptr, "a UTF-8 reason phrase"},
    {"noreason.dat", nullptr, "an empty reason phrase"},
};

// 3.1.2: invalid messages. None may come out as a message to relay.
const Torture kInvalid[] = {
    {"badinv01.dat", "Incorrect SIP Version in Via\n", "empty Via values between the commas"},
    {"clerr.dat", "Content-Length larger than the message\n",
     "a datagram cut short is not relayed as complete"},
    {"ncl.dat", "Incorrect Content-Length\n", "negative Content-Length"},
    {"scalar02.dat", "Incorrect CSeq number\n", "CSeq beyond 2^31"},
    {"scalarlg.dat", "Incorrect CSeq number\n", "CSeq beyond 2^31 in a response"},
    {"quotbal.dat", "Unmached \" in Name\n", "unterminated display name"},
    {"ltgtruri.dat", "Unknown Scheme in URI\n", "<> around the Request-URI"},
    {"lwsruri.dat", "White space in URI\n", "blank inside the Request-URI"},
    {"lwsstart.dat", "White space in URI\n", "several blanks between request-line elements"},
    {"trws.dat", "Start Line dosn't contain correct SIP Version\n", "blanks after the version"},
    {"escruri.dat", "Headers not allowed in Request-URI\n", "URI headers in the Request-URI"},
    {"baddate.dat", nullptr,
     "accepted: the relay does not interpret Date and relays the line unchanged as an unknown header"},
    {"regbadct.dat", "Could not find < or > in Name\n", "a URI with headers outside <>"},
    {"badaspec.dat", "White space in URI\n", "blanks inside <>"},
    {"baddn.dat", "Incorrect Display Name\n", "a comma in an unquoted display name"},
    {"badvers.dat", "Start Line dosn't contain correct SIP Version\n", "SIP/7.0"},
    {"mismatch01.dat", "CSeq METHOD doesn't match Request METHOD\n", "OPTIONS with an INVITE CSeq"},
    {"mismatch02.dat", "Unknown METHOD\n", "unknown method"},
    {"bigcode.dat", "Incorrect Status Code\n", "status code 4294967301"},
};

// 3.2 to 3.4: well-formed messages that are semantically odd; the parser's part in them.
const Torture kSemantic[] = {
    {"badbranch.dat", nullptr, "the branch value is not the parser's business"},
    {"insuf.dat", "Required Header is Missing\n", "no From, To, Call-ID"},
    {"unkscm.dat", "Unknown Scheme in URI\n", "only sip: and sips: Request-URIs can be relayed"},
    {"novelsc.dat", "Unknown Scheme in URI\n", "only sip: and sips: Request-URIs can be relayed"},
    {"unksm2.dat", "Unknown Scheme in URI\n", "the relay needs SIP URIs in To and From to key its dialogs"},
    {"bext01.dat", nullptr, "Require and Proxy-Require travel as text"},
    {"invut.dat", nullptr, "unknown body type travels as text"},
    {"regaut01.dat", nullptr, "Authorization travels as text until a dialog asks for it"},
    {"multi01.dat", "Header must not be repeated\n", "two CSeq, Call-ID, From and To values"},
    {"mcl01.dat", "Header must not be repeated\n", "two Content-Length values cannot delimit one body"},
    {"bcast.dat", nullptr, "a broadcast Via is left to the routing code"},
    {"zeromf.dat", nullptr, "Max-Forwards 0 is left to the routing code"},
    {"cparam01.dat", nullptr, "header parameter after an addr-spec Contact"},
    {"cparam02.dat", nullptr, "URI parameter inside <>"},
    {"regescrt.dat", nullptr, "escaped Route header inside a bracketed Contact URI"},
    {"sdp01.dat", nullptr, "Accept travels as text"},
    {"inv2543.dat", nullptr, "RFC 2543 syntax without Max-Forwards, branch or Content-Length"},
};

std::string shared_dir() {
  if (const char* env = std::getenv("OSTREL_SHARED_DIR")) return env;
  return OSTREL_SHARED_DIR;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

class Rfc4475 : public ::testing::TestWithParam<Torture> {
 protected:
  void SetUp() override {
    std::string path = shared_dir() + "/conformance/rfc4475/" + GetParam().file;
    if (!read_file(path, text_)) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "missing " << path;
      GTEST_SKIP() << "missing " << path;
    }
  }
  std::string text_;
};

TEST_P(Rfc4475, ExpectedOutcome) {
  const Torture& t = GetParam();
  FlogCapture log;
  SipMessage m;
  bool ok = m.Parse(std::string_view(text_));
  if (t.refusal) {
    EXPECT_FALSE(ok) << t.why;
    EXPECT_EQ(log.last(), t.refusal) << t.why;
    return;
  }
  ASSERT_TRUE(ok) << t.why << "\n" << log.last();
  for (bool long_form : {true, false}) {
    std::string once = m.Assemble(long_form);
    SipMessage again;
    ASSERT_TRUE(again.Parse(std::string_view(once))) << once;
    EXPECT_EQ(again.Assemble(long_form), once);
    EXPECT_EQ(again.Body(), m.Body());
  }
}

std::string case_name(const ::testing::TestParamInfo<Torture>& info) {
  std::string name = info.param.file;
  return name.substr(0, name.find('.'));
}

INSTANTIATE_TEST_SUITE_P(Valid, Rfc4475, ::testing::ValuesIn(kValid), case_name);
INSTANTIATE_TEST_SUITE_P(Invalid, Rfc4475, ::testing::ValuesIn(kInvalid), case_name);
INSTANTIATE_TEST_SUITE_P(Semantic, Rfc4475, ::testing::ValuesIn(kSemantic), case_name);

std::string file_text(const char* name) {
  std::string text;
  EXPECT_TRUE(read_file(shared_dir() + "/conformance/rfc4475/" + name, text)) << name;
  return text;
}

TEST(Rfc4475Details, AcceptedMessagesKeepWhatMatters) {
  if (!std::getenv("CI") && file_text("dblreq.dat").empty()) GTEST_SKIP();
  SipMessage dbl;
  ASSERT_TRUE(dbl.Parse(std::string_view(file_text("dblreq.dat"))));
  EXPECT_TRUE(dbl.IsRegister());
  EXPECT_TRUE(dbl.empty());

  SipMessage mpart;
  ASSERT_TRUE(mpart.Parse(std::string_view(file_text("mpart01.dat"))));
  EXPECT_EQ(mpart.size(), 553u);
  EXPECT_NE(mpart.Body().find('\0'), std::string::npos);

  SipMessage noreason;
  ASSERT_TRUE(noreason.Parse(std::string_view(file_text("noreason.dat"))));
  EXPECT_EQ(noreason.Status(), 100);
  EXPECT_EQ(noreason.Reason(), "");

  SipMessage baddate;
  ASSERT_TRUE(baddate.Parse(std::string_view(file_text("baddate.dat"))));
  EXPECT_STREQ(baddate.Header("Date"), "Fri, 01 Jan 2010 16:00:00 EST");
  EXPECT_NE(baddate.Assemble(true).find("\r\nDate: Fri, 01 Jan 2010 16:00:00 EST\r\n"), std::string::npos);

  SipMessage longreq;
  ASSERT_TRUE(longreq.Parse(std::string_view(file_text("longreq.dat"))));
  size_t vias = 0;
  for (auto* l = longreq.Header(SipMessage::HID_VIA); l; l = l->Next()) ++vias;
  EXPECT_EQ(vias, 34u);
}

}  // namespace
