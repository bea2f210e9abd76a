// Parsing and assembling whole descriptions: which texts are accepted, what is reported, and the exact text
// that goes back on the wire.
#include <gtest/gtest.h>

#include "sdp_text.h"
#include "sip/flog_capture.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kHead = Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=-", "c=IN IP4 10.0.0.1", "t=0 0"});

// One row per description: its lines joined by '|' (a leading '+' puts kHead before them), the outcome
// ("ok"/"fail", then " dirty" when the model was changed while reading) and the fault texts reported.
struct ParseCase {
  const char* lines;
  const char* outcome;
  Texts faults;
};

// A leading '+' puts kHead before the lines.
std::string Text(std::string_view rows) {
  return rows.starts_with('+') ? kHead + Lines(rows.substr(1)) : Lines(rows);
}

TEST(SdpParse, OutcomesAndFaultTexts) {
  // clang-format off
  const ParseCase cases[] = {
      {"v=0|o=- 1 1 IN IP4 10.0.0.1|t=0 0|m=audio 4000 RTP/AVP 0 8 101|a=sendrecv", "ok", {}},  // no s=
      {"+s=again|m=audio 4000 RTP/AVP 0", "ok dirty", {"SDP Attempt to reassign value\n"}},
      {"v=0|t=|m=audio 4000 RTP/AVP 0", "ok dirty", {"SDP Value is missing\n"}},
      {"+o=x|m=audio 4000 RTP/AVP 0", "fail", {"SDP Attempt to reassign value\n"}},
      {"v=0|o=|m=audio 4000 RTP/AVP 0", "fail", {"SDP Value is missing\n"}},
      {"+m=audio 4000 RTP/AVP 0|i=a|i=b", "fail", {"SDP Attempt to reassign value\n"}},
      {"v=1|m=audio 4000 RTP/AVP 0", "ok", {"SDP version MUST be '0'\n"}},
      {"+y=0123456789|m=audio 4000 RTP/AVP 0", "ok", {"SDP parse unknown tag\n"}},
      {"+m=audio 4000 RTP/AVP 0 abc", "fail dirty", {"SDP wrong Codecs list in Media_RTP\n"}},
      {"+m=audio 4000 RTP/AVP", "fail dirty", {"SDP wrong Codecs list in Media_RTP\n"}},
      {"+m=audio 0 RTP/AVP", "ok", {}},
      {"+m=audio 4000 RTP/AVP 0\t8", "ok", {}},
      {"+m=audio 4000 SRTP/AVP 0", "fail dirty", {"SDP wrong Proto Type in 'm' for RTP\n"}},
      {"+m=audio 4000 RTP/ 0", "fail dirty", {"SDP wrong Proto Type in 'm' for RTP\n"}},
      {"+m=audio 65536 RTP/AVP 0", "fail dirty", {"SDP wrong Port in 'm'\n"}},
      {"+m=audio x RTP/AVP 0", "fail dirty", {"SDP wrong Port in 'm'\n"}},
      {"+m=audio 65535/2 RTP/AVP 0", "ok", {}},
      {"+m=audio 4000 RTP/AVP 0|a=rtcp:65536", "fail", {"SDP wrong Port in 'a=rtcp'\n"}},
      {"+m=audio 4000 RTP/AVP 0|a=rtcp:IN IP4 1.2.3.4", "fail", {"SDP wrong Port in 'a=rtcp'\n"}},
      {"+m=image 4000 udptl t38", "ok", {}},
      {"+m=image 4000 RTP/AVP 0", "fail dirty", {"SDP wrong Proto in 'm=image'\n"}},
      {"+m=foo 4000 RTP/AVP 0", "fail dirty", {"SDP Unknown media format\n"}},
      {"+m=application 9 UDP/DTLS/SCTP", "fail dirty", {"SDP wrong Codecs list in Media_Other\n"}},
      {"+m=application 9 UDP/DTLS/SCTP webrtc-datachannel", "ok", {}},
      {"+m=audio 4000 RTP/AVP 0|a=sendonly|a=recvonly", "fail", {"SDP Controversy modes specified\n"}},
      {"+a=sendonly|a=sendonly|m=audio 4000 RTP/AVP 0", "ok", {}},
      {"+m=audio 4000 RTP/AVP 101|a=rtpmap:101 telephone-event", "fail", {"SDP Clock Rate is missing\n"}},
      {"+m=audio 4000 RTP/AVP 0|a=rtpmap: 0 PCMU/8000", "fail", {"SDP Incorrect RTP attribute\n"}},
      {"+m=audio 4000 RTP/AVP 0|a=fmtp:", "fail", {"SDP Incorrect RTP attribute\n"}},
      {"+m=audio 4000 RTP/AVP 0|a=rtpmap:0 PCMU/99999999999", "fail", {"SDP Incorrect RTP attribute\n"}},
      {"+", "fail", {}},  // no media section
      {"+a=:x|m=audio 4000 RTP/AVP 0", "fail", {}},
      {"+b=AS64|m=audio 4000 RTP/AVP 0", "fail", {}},
      {"v=0|c=IN IP4|m=audio 4000 RTP/AVP 0", "fail", {}},
      {"v=0|c=IN IP4 224.2.1.1/|m=audio 4000 RTP/AVP 0", "fail", {}},
      {"v=0|c=IN IP4 224.2.1.1/127/|m=audio 4000 RTP/AVP 0", "fail", {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    sip_test::FlogCapture faults;
    Sdp sdp;
    const bool ok = std::string_view(c.outcome).starts_with("ok");
    EXPECT_EQ(sdp.Parse(Text(c.lines)), ok) << c.lines;
    EXPECT_EQ(sdp.ParsedOk(), ok) << c.lines;
    EXPECT_EQ(faults.lines(), c.faults) << c.lines;
    EXPECT_EQ(sdp.IsDirty(), std::string_view(c.outcome).ends_with("dirty")) << c.lines;
  }
  // Bare LF ends, blank lines and no end at all.
  for (const char* text : {"v=0\n\n\nm=audio 4000 RTP/AVP 0\na=sendrecv\n", "m=audio 4000 RTP/AVP 0"}) {
    Sdp sdp;
    EXPECT_TRUE(sdp.Parse(text)) << text;
    EXPECT_FALSE(sdp.IsDirty());
  }
}

// A line shorter than "x=" is read with an empty value, never past its end.
TEST(SdpParse, OneCharacterLines) {
  const struct {
    std::string line;
    bool ok;
    Texts faults;
    bool dirty;
  } cases[] = {
      {"v", true, {"SDP no '=' error\n", "SDP version MUST be '0'\n"}, false},
      {"s", true, {"SDP no '=' error\n", "SDP Value is missing\n"}, true},
      {"o", false, {"SDP no '=' error\n", "SDP Value is missing\n"}, false},
      {"a", false, {"SDP no '=' error\n"}, false},
      {"x", true, {"SDP no '=' error\n", "SDP parse unknown tag\n"}, false},
      {"m", false, {"SDP no '=' error\n", "SDP Unknown media format\n"}, true},
      {"s=", true, {"SDP Value is missing\n"}, true},
  };
  for (const auto& c : cases) {
    sip_test::FlogCapture faults;
    Sdp sdp;
    // The line sits at the very end of the buffer, so a read past it would be caught by the sanitizer.
    std::string text = "m=audio 4000 RTP/AVP 0\r\n" + c.line;
    std::unique_ptr<char[]> exact(new char[text.size()]);
    std::copy(text.begin(), text.end(), exact.get());
    EXPECT_EQ(sdp.Parse(std::string_view(exact.get(), text.size())), c.ok) << c.line;
    EXPECT_EQ(faults.lines(), c.faults) << c.line;
    EXPECT_EQ(sdp.IsDirty(), c.dirty) << c.line;
  }
}

TEST(SdpParse, MissingEqualsStillReadsFromThirdCharacter) {
  sip_test::FlogCapture faults;
  Sdp sdp;
  EXPECT_TRUE(sdp.Parse(Crlf({"v=0", "s-Talk", "m=audio 4000 RTP/AVP 0"})));
  EXPECT_EQ(faults.lines(), Texts{"SDP no '=' error\n"});
  EXPECT_EQ(sdp.SName(), "Talk");
}

TEST(SdpParse, EmptyText) {
  sip_test::FlogCapture faults;
  Sdp sdp;
  EXPECT_FALSE(sdp.Parse(""));
  EXPECT_FALSE(sdp.ParsedOk());
  EXPECT_TRUE(sdp.Parse(kHead + Crlf({"m=audio 4000 RTP/AVP 0"})));
  // More of nothing: as good as the media already there.
  EXPECT_TRUE(sdp.Parse(""));
  EXPECT_TRUE(faults.lines().empty());
}

TEST(SdpParse, BrokenSectionTakesItsLinesAndIsDropped) {
  sip_test::FlogCapture faults;
  Sdp sdp;
  EXPECT_FALSE(sdp.Parse(kHead + Crlf({"m=audio 4000 RTP/AVP 0 x", "a=rtpmap:0 PCMU/8000", "i=broken",
                                       "a=sendonly", "m=video 5000 RTP/AVP 31", "i=fine"})));
  ASSERT_EQ(sdp.Medias().size(), 1u);
  EXPECT_EQ(sdp.Medias()[0]->MediaType(), SdpMedia::VIDEO);
  EXPECT_EQ(sdp.Attributes().Mode(), SdpAttributes::UNSPECIFIED);
  EXPECT_TRUE(sdp.IsDirty());
  EXPECT_EQ(sdp.Assemble(true), kHead + Crlf({"m=video 5000 RTP/AVP 31", "i=fine"}));
}

TEST(SdpParse, LevelsOfSessionAndMediaLines) {
  Sdp sdp;
  ASSERT_TRUE(sdp.Parse(Crlf({"v=0", "i=session info", "c=IN IP4 10.0.0.1", "b=AS:64", "k=prompt", "a=tool:x",
                              "m=audio 4000 RTP/AVP 0", "i=media info", "c=IN IP4 10.0.0.2", "b=AS:32",
                              "k=clear:abc", "a=ptime:20", "e=ops@example.net"})));
  const SdpMedia* audio = sdp.Media(SdpMedia::AUDIO);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(sdp.Connect().address_, "10.0.0.1");
  EXPECT_EQ(audio->Connect().address_, "10.0.0.2");
  EXPECT_EQ(sdp.Bandwidth().values_.at("AS"), "64");
  EXPECT_EQ(audio->Bandwidth().values_.at("AS"), "32");
  EXPECT_STREQ(sdp.Attributes().Attribute("tool"), "x");
  EXPECT_EQ(sdp.Attributes().Attribute("ptime"), nullptr);
  EXPECT_STREQ(audio->Attributes().Attribute("ptime"), "20");
  // e= has no media form: it is the session's wherever it stands.
  EXPECT_EQ(sdp.Assemble(true),
            Crlf({"v=0", "s=-", "i=session info", "e=ops@example.net", "c=IN IP4 10.0.0.1", "b=AS:64",
                  "t=0 0", "k=prompt", "a=tool:x", "m=audio 4000 RTP/AVP 0", "i=media info",
                  "c=IN IP4 10.0.0.2", "b=AS:32", "k=clear:abc", "a=ptime:20"}));
}

TEST(SdpParse, DuplicateLines) {
  sip_test::FlogCapture faults;
  Sdp sdp;
  ASSERT_TRUE(sdp.Parse(kHead + Crlf({"b=AS:64", "b=AS:128", "c=IN IP4 10.0.0.9",
                                      "m=audio 4000 RTP/AVP 0 8 0", "a=rtpmap:8 PCMA/8000",
                                      "a=rtpmap:8 PCMA/16000", "a=fmtp:8 a=1", "a=ptime:20", "a=ptime:20"})));
  // b= keeps its first value; a later c= replaces the earlier; a codec's last rtpmap and fmtp win; plain
  // attributes are kept as often as they came.
  EXPECT_EQ(sdp.Bandwidth().values_.at("AS"), "64");
  EXPECT_EQ(sdp.Connect().address_, "10.0.0.9");
  const SdpRtpMedia* audio = sdp.Media(SdpMedia::AUDIO)->AsRTP();
  EXPECT_EQ(audio->FormatParameter("8")->CRate(), 16000);
  EXPECT_EQ(audio->Attributes().Attributes().size(), 2u);
  EXPECT_TRUE(faults.lines().empty());
  // A payload type listed twice gets its rtpmap written once.
  EXPECT_EQ(sdp.Assemble(true), Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=-", "c=IN IP4 10.0.0.9", "b=AS:64",
                                      "t=0 0", "m=audio 4000 RTP/AVP 0 8 0", "a=rtpmap:8 PCMA/16000",
                                      "a=fmtp:8 a=1", "a=ptime:20", "a=ptime:20"}));
}

// Texts that are already in the form this model writes come back byte for byte.
TEST(SdpAssemble, CanonicalTextsRoundTrip) {
  const std::string cases[] = {
      Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=-", "c=IN IP4 10.0.0.1", "t=0 0",
            "m=audio 4000 RTP/AVP 0 8 101", "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-16",
            "a=sendrecv", "a=ptime:20"}),
      Crlf({"v=0", "o=alice 2890844526 2890844527 IN IP6 2001:db8::1", "s=call", "c=IN IP6 2001:db8::1",
            "t=0 0", "m=audio 49170 RTP/AVP 0", "m=video 51372 RTP/AVP 99", "c=IN IP6 2001:db8::2",
            "a=rtpmap:99 h263-1998/90000"}),
      Crlf({"v=0", "o=- 1 1 IN IP4 224.2.1.1", "s=multicast", "i=info", "u=http://example.net/x",
            "e=a@example.net", "p=+1 555 0100", "c=IN IP4 224.2.1.1/127/3", "b=AS:64", "b=CT:128", "t=1 2",
            "r=604800 3600 0 90000", "z=2882844526 -1h", "k=prompt", "a=recvonly", "a=tool:x",
            "m=audio 4000 RTP/AVP 0"}),
      Crlf({"v=0", "s=-", "t=0 0", "m=audio 4000 UDP/TLS/RTP/SAVPF 111", "a=rtpmap:111 opus/48000/2",
            "a=fmtp:111 minptime=10;useinbandfec=1", "a=rtcp-fb:111 transport-cc", "a=rtcp-fb:111 nack",
            "a=rtcp-fb:* ccm fir", "a=rtcp:4001 IN IP4 10.0.0.1",
            "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:x"}),
      Crlf({"v=0", "s=-", "t=0 0", "m=image 4000 udptl t38", "a=T38FaxVersion:0",
            "m=application 9 UDP/DTLS/SCTP webrtc-datachannel", "a=sctp-port:5000"}),
      // Lines of unknown types stay at their level; a direction word with a colon stays an attribute.
      Crlf({"v=0", "s=-", "t=0 0", "a=sendrecv:", "y=0100000001", "m=audio 4000 RTP/AVP 0",
            "f=v/////a/1/8/1"}),
      // An audio line whose media word is followed by a tab is not read as RTP, and stays that way.
      Crlf({"v=0", "s=-", "t=0 0", "m=audio\t4000 RTP/AVP abc", "m=audio 0 RTP/SAVP"}),
  };
  for (const auto& text : cases) {
    sip_test::FlogCapture faults;
    Sdp sdp;
    ASSERT_TRUE(sdp.Parse(text)) << text;
    EXPECT_FALSE(sdp.IsDirty()) << text;
    EXPECT_EQ(sdp.Assemble(true), text);
  }
}

TEST(SdpAssemble, NormalisedForms) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      // A typical offer: s=- after o=, the direction after the codec lines of its section.
      {Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "c=IN IP4 10.0.0.1", "t=0 0", "m=audio 4000 RTP/AVP 0 8 101",
             "a=rtpmap:101 telephone-event/8000", "a=sendrecv"}),
       Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=-", "c=IN IP4 10.0.0.1", "t=0 0",
             "m=audio 4000 RTP/AVP 0 8 101", "a=rtpmap:101 telephone-event/8000", "a=sendrecv"})},
      // Version, bandwidth order, the port count, tabs and multiple blanks.
      {Crlf({"v=1", "b=CT:1", "b=AS:2", "m=audio  4000/2\tRTP/AVP  0   8", "c=IN\tIP4 10.0.0.1",
             "a=rtpmap:8\tPCMA/8000", "a=rtpmap:0 PCMU/8000/1/x"}),
       Crlf({"v=0", "s=-", "b=AS:2", "b=CT:1", "t=0 0", "m=audio 4000 RTP/AVP 0 8", "c=IN IP4 10.0.0.1",
             "a=rtpmap:0 PCMU/8000/1", "a=rtpmap:8 PCMA/8000"})},
      // An rtpmap for a format not listed is not written; a zero ttl drops the count.
      {Crlf({"v=0", "c=IN IP4 224.2.1.1/0/3", "m=audio 4000 RTP/AVP 0", "a=rtpmap:96 x/1"}),
       Crlf({"v=0", "s=-", "c=IN IP4 224.2.1.1", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
      // Unknown lines without '=' are dropped.
      {Crlf({"v=0", "xyz", "m=audio 4000 RTP/AVP 0"}),
       Crlf({"v=0", "s=-", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
  };
  for (const auto& c : cases) {
    sip_test::FlogCapture faults;
    Sdp sdp;
    ASSERT_TRUE(sdp.Parse(c.in)) << c.in;
    EXPECT_EQ(sdp.Assemble(true), c.out);
  }
}

TEST(SdpAssemble, IncompleteLeavesOutDefaults) {
  Sdp sdp;
  ASSERT_TRUE(sdp.Parse(Crlf({"v=0", "m=audio 4000 RTP/AVP 0"})));
  EXPECT_EQ(sdp.Assemble(false), Crlf({"v=0", "m=audio 4000 RTP/AVP 0"}));
}

}  // namespace
