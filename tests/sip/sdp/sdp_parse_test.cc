// Parsing and assembling whole descriptions: which texts are accepted, what is reported, and the exact text
// that goes back on the wire.
#include <gtest/gtest.h>

#include "sdp_text.h"
#include "sip/flog_capture.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kHead = Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=-", "c=IN IP4 10.0.0.1", "t=0 0"});

struct ParseCase {
  const char* name;
  std::string text;
  bool ok;
  Texts faults;
  bool dirty;
};

TEST(SdpParse, OutcomesAndFaultTexts) {
  const ParseCase cases[] = {
      {"no s= line",
       Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "c=IN IP4 10.0.0.1", "t=0 0", "m=audio 4000 RTP/AVP 0 8 101",
             "a=rtpmap:101 telephone-event/8000", "a=sendrecv"}),
       true,
       {},
       false},
      {"second s= keeps the first and marks dirty",
       kHead + Crlf({"s=again", "m=audio 4000 RTP/AVP 0"}),
       true,
       {"SDP Attempt to reassign value\n"},
       true},
      {"empty t= marks dirty",
       Crlf({"v=0", "t=", "m=audio 4000 RTP/AVP 0"}),
       true,
       {"SDP Value is missing\n"},
       true},
      {"second o= fails",
       kHead + Crlf({"o=x", "m=audio 4000 RTP/AVP 0"}),
       false,
       {"SDP Attempt to reassign value\n"},
       false},
      {"empty o= fails",
       Crlf({"v=0", "o=", "m=audio 4000 RTP/AVP 0"}),
       false,
       {"SDP Value is missing\n"},
       false},
      {"second media i= fails",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "i=a", "i=b"}),
       false,
       {"SDP Attempt to reassign value\n"},
       false},
      {"version other than 0 is only reported",
       Crlf({"v=1", "m=audio 4000 RTP/AVP 0"}),
       true,
       {"SDP version MUST be '0'\n"},
       false},
      {"unknown tag is reported and read on",
       kHead + Crlf({"y=0123456789", "m=audio 4000 RTP/AVP 0"}),
       true,
       {"SDP parse unknown tag\n"},
       false},
      {"formats must be numbers",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0 abc"}),
       false,
       {"SDP wrong Codecs list in Media_RTP\n"},
       true},
      {"no formats at a live port",
       kHead + Crlf({"m=audio 4000 RTP/AVP"}),
       false,
       {"SDP wrong Codecs list in Media_RTP\n"},
       true},
      {"port 0 needs no formats", kHead + Crlf({"m=audio 0 RTP/AVP"}), true, {}, false},
      {"tabs between formats", kHead + Crlf({"m=audio 4000 RTP/AVP 0\t8"}), true, {}, false},
      {"transport other than RTP",
       kHead + Crlf({"m=audio 4000 SRTP/AVP 0"}),
       false,
       {"SDP wrong Proto Type in 'm' for RTP\n"},
       true},
      {"RTP without profile",
       kHead + Crlf({"m=audio 4000 RTP/ 0"}),
       false,
       {"SDP wrong Proto Type in 'm' for RTP\n"},
       true},
      {"port above 65535",
       kHead + Crlf({"m=audio 65536 RTP/AVP 0"}),
       false,
       {"SDP wrong Port in 'm'\n"},
       true},
      {"port that is no number",
       kHead + Crlf({"m=audio x RTP/AVP 0"}),
       false,
       {"SDP wrong Port in 'm'\n"},
       true},
      {"highest port with a count", kHead + Crlf({"m=audio 65535/2 RTP/AVP 0"}), true, {}, false},
      {"rtcp port above 65535",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "a=rtcp:65536"}),
       false,
       {"SDP wrong Port in 'a=rtcp'\n"},
       false},
      {"rtcp without a port",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "a=rtcp:IN IP4 1.2.3.4"}),
       false,
       {"SDP wrong Port in 'a=rtcp'\n"},
       false},
      {"image over udptl", kHead + Crlf({"m=image 4000 udptl t38"}), true, {}, false},
      {"image over RTP",
       kHead + Crlf({"m=image 4000 RTP/AVP 0"}),
       false,
       {"SDP wrong Proto in 'm=image'\n"},
       true},
      {"unknown media word",
       kHead + Crlf({"m=foo 4000 RTP/AVP 0"}),
       false,
       {"SDP Unknown media format\n"},
       true},
      {"other media without formats",
       kHead + Crlf({"m=application 9 UDP/DTLS/SCTP"}),
       false,
       {"SDP wrong Codecs list in Media_Other\n"},
       true},
      {"other media", kHead + Crlf({"m=application 9 UDP/DTLS/SCTP webrtc-datachannel"}), true, {}, false},
      {"conflicting directions",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "a=sendonly", "a=recvonly"}),
       false,
       {"SDP Controversy modes specified\n"},
       false},
      {"repeated equal direction",
       kHead + Crlf({"a=sendonly", "a=sendonly", "m=audio 4000 RTP/AVP 0"}),
       true,
       {},
       false},
      {"rtpmap without rate",
       kHead + Crlf({"m=audio 4000 RTP/AVP 101", "a=rtpmap:101 telephone-event"}),
       false,
       {"SDP Clock Rate is missing\n"},
       false},
      {"rtpmap without payload type",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "a=rtpmap: 0 PCMU/8000"}),
       false,
       {"SDP Incorrect RTP attribute\n"},
       false},
      {"fmtp without payload type",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "a=fmtp:"}),
       false,
       {"SDP Incorrect RTP attribute\n"},
       false},
      {"rtpmap rate beyond any number",
       kHead + Crlf({"m=audio 4000 RTP/AVP 0", "a=rtpmap:0 PCMU/99999999999"}),
       false,
       {"SDP Incorrect RTP attribute\n"},
       false},
      {"no media section", kHead, false, {}, false},
      {"attribute without name", kHead + Crlf({"a=:x", "m=audio 4000 RTP/AVP 0"}), false, {}, false},
      {"bandwidth without colon", kHead + Crlf({"b=AS64", "m=audio 4000 RTP/AVP 0"}), false, {}, false},
      {"connection without address", Crlf({"v=0", "c=IN IP4", "m=audio 4000 RTP/AVP 0"}), false, {}, false},
      {"connection with empty ttl",
       Crlf({"v=0", "c=IN IP4 224.2.1.1/", "m=audio 4000 RTP/AVP 0"}),
       false,
       {},
       false},
      {"connection with empty count",
       Crlf({"v=0", "c=IN IP4 224.2.1.1/127/", "m=audio 4000 RTP/AVP 0"}),
       false,
       {},
       false},
      {"bare LF line ends and blank lines", "v=0\n\n\nm=audio 4000 RTP/AVP 0\na=sendrecv\n", true, {}, false},
      {"no line end at all", "m=audio 4000 RTP/AVP 0", true, {}, false},
  };
  for (const auto& c : cases) {
    sip_test::FlogCapture faults;
    Sdp sdp;
    EXPECT_EQ(sdp.Parse(c.text), c.ok) << c.name;
    EXPECT_EQ(sdp.ParsedOk(), c.ok) << c.name;
    EXPECT_EQ(faults.lines(), c.faults) << c.name;
    EXPECT_EQ(sdp.IsDirty(), c.dirty) << c.name;
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
