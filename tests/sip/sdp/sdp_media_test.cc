// What the call code reads from a media section: hold, where media and RTCP go, codec names, the static
// payload table, and the shortened form used to make bodies smaller.
#include <gtest/gtest.h>

#include "sdp_text.h"
#include "sip/flog_capture.h"

namespace {

// The audio section's hold state, media and RTCP addresses (after "v=0").
TEST(SdpMedia, HoldForms) {
  const struct {
    const char* lines;
    bool hold;
    std::string addr, caddr;
  } cases[] = {
      // clang-format off
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0", false, "10.0.0.1:4000", "10.0.0.1:4001"},
      {"c=IN IP4 10.0.0.1|m=audio 0 RTP/AVP 0", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0|a=sendonly", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0|a=inactive", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 10.0.0.1|a=inactive|m=audio 4000 RTP/AVP 0", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 10.0.0.1|a=sendonly|m=audio 4000 RTP/AVP 0|a=sendrecv", false, "10.0.0.1:4000",
       "10.0.0.1:4001"},
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0|a=recvonly", false, "10.0.0.1:4000", "10.0.0.1:4001"},
      {"c=IN IP4 0.0.0.0|m=audio 4000 RTP/AVP 0", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0|c=IN IP4 0.0.0.0", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 0.0.0.0|m=audio 4000 RTP/AVP 0|c=IN IP4 10.0.0.2", false, "10.0.0.2:4000", "10.0.0.2:4001"},
      {"c=IN IP4 0.0.0.0/1|m=audio 4000 RTP/AVP 0", true, "0.0.0.0:0", "0.0.0.0:0"},
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0|a=rtcp:5001 IN IP4 10.0.0.9", false, "10.0.0.1:4000",
       "10.0.0.9:5001"},
      {"c=IN IP4 10.0.0.1|m=audio 4000 RTP/AVP 0|a=rtcp:5001", false, "10.0.0.1:4000", "10.0.0.1:5001"},
      {"m=audio 4000 RTP/AVP 0", false, ":4000", ":4001"},
      // clang-format on
  };
  for (const auto& c : cases) {
    Sdp sdp = Parsed("v=0\r\n" + Lines(c.lines));
    const SdpMedia* audio = sdp.Media(SdpMedia::AUDIO);
    ASSERT_NE(audio, nullptr) << c.lines;
    EXPECT_EQ(audio->IsHold(), c.hold) << c.lines;
    EXPECT_EQ(audio->Address(), c.addr) << c.lines;
    EXPECT_EQ(audio->ConnectionAddress(), c.caddr) << c.lines;
  }
}

TEST(SdpMedia, EffectiveValuesFallBackToTheSession) {
  Sdp sdp = Parsed(Crlf({"v=0", "c=IN IP4 10.0.0.1", "a=recvonly", "a=tool:x", "m=audio 4000 RTP/AVP 0",
                         "a=tool:y", "m=video 5000 RTP/AVP 31", "c=IN IP4 10.0.0.2", "a=sendonly"}));
  const SdpMedia* audio = sdp.Media(SdpMedia::AUDIO);
  const SdpMedia* video = sdp.Media(SdpMedia::VIDEO);
  EXPECT_EQ(audio->Host(), "10.0.0.1");
  EXPECT_EQ(video->Host(), "10.0.0.2");
  EXPECT_EQ(audio->Mode(), SdpAttributes::RECVONLY);
  EXPECT_EQ(video->Mode(), SdpAttributes::SENDONLY);
  EXPECT_STREQ(audio->GetAttribute("tool"), "y");
  EXPECT_STREQ(video->GetAttribute("tool"), "x");
  EXPECT_EQ(video->GetAttribute("ptime"), nullptr);
}

TEST(SdpMedia, SectionKinds) {
  sip_test::FlogCapture faults;
  Sdp sdp = Parsed(
      Crlf({"v=0", "m=audio 4000 RTP/SAVPF 0", "m=video 5000 UDP/TLS/RTP/SAVPF 96", "m=image 6000 udptl t38",
            "m=text 7000 RTP/AVP 98", "m=message 8000 TCP/MSRP *", "m=audio\t4000 RTP/AVP 0"}));
  ASSERT_EQ(sdp.Medias().size(), 6u);
  const SdpRtpMedia* audio = sdp.Medias()[0]->AsRTP();
  const SdpRtpMedia* video = sdp.Medias()[1]->AsRTP();
  ASSERT_NE(audio, nullptr);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(audio->Secure(), 0);
  EXPECT_EQ(audio->Transport(), "SAVPF");
  EXPECT_EQ(video->Secure(), 1);
  EXPECT_EQ(video->Transport(), "SAVPF");
  EXPECT_EQ(sdp.Medias()[2]->MediaType(), SdpMedia::IMAGE);
  EXPECT_EQ(sdp.Medias()[2]->AsRTP(), nullptr);
  EXPECT_EQ(sdp.Medias()[3]->MediaType(), SdpMedia::TEXT);
  EXPECT_EQ(sdp.Medias()[4]->MediaType(), SdpMedia::MSG);
  EXPECT_EQ(sdp.Medias()[4]->CodecFormat(0), "*");
  // An audio word followed by a tab is not read as an RTP section.
  EXPECT_EQ(sdp.Medias()[5]->MediaType(), SdpMedia::AUDIO);
  EXPECT_EQ(sdp.Medias()[5]->AsRTP(), nullptr);
}

TEST(SdpMedia, CodecNamesAndParameters) {
  Sdp sdp =
      Parsed(Crlf({"v=0", "m=audio 4000 RTP/AVP 8 96 18 0 101 120", "a=rtpmap:96 opus/48000/2",
                   "a=rtpmap:18 G729a/8000", "a=fmtp:18 annexb=no", "a=rtpmap:0 /8000", "a=fmtp:120 x=1"}));
  SdpRtpMedia* audio = sdp.Media(SdpMedia::AUDIO)->AsRTP();
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->NCodecs(), 6u);
  const struct {
    size_t i;
    std::string name;
    int rate;
    int channels;
  } cases[] = {
      {0, "PCMA", 8000, 1},                          // static type without rtpmap
      {1, "opus", 48000, 2}, {2, "G729a", 8000, 0},  // the format's own rtpmap wins over the static name
      {3, "PCMU", 8000, 0},  // an rtpmap without name: the static name, the rtpmap's parameters
      {4, "", -1, -1},       // dynamic type without rtpmap
      {5, "", 0, 0},         // dynamic type with fmtp only
  };
  for (const auto& c : cases) {
    EXPECT_EQ(audio->CodecName(c.i), c.name) << c.i;
    const SdpRtpMedia::CodecParams* p = audio->CodecParam(c.i);
    if (c.rate < 0) {
      EXPECT_EQ(p, nullptr) << c.i;
      continue;
    }
    ASSERT_NE(p, nullptr) << c.i;
    EXPECT_EQ(p->CRate(), c.rate) << c.i;
    EXPECT_EQ(p->NChan(), c.channels) << c.i;
  }
  EXPECT_EQ(audio->CodecName(6), "");
  EXPECT_EQ(audio->CodecParam(6), nullptr);
  EXPECT_EQ(audio->CodecFormat(6), "");
  EXPECT_EQ(audio->FormatParameter("18")->CodecParameters(), "annexb=no");
  EXPECT_EQ(audio->FormatParameter("8"), nullptr);

  // Renaming goes through the format's own entry; the static table is never touched.
  audio->FormatParameter("18")->CName("G729");
  EXPECT_EQ(audio->CodecName(2), "G729");
  EXPECT_EQ(SdpRtpMedia::kStaticCodecs[18].CName(), "G729");
}

// The RFC 3551 static payload types the relay names itself, its oddities (G722's clock, L16's channels)
// and unassigned numbers.
TEST(SdpMedia, StaticPayloadTable) {
  const auto& t = SdpRtpMedia::kStaticCodecs;
  ASSERT_EQ(t.size(), 35u);
  const struct {
    int pt;
    const char* name;
    int rate;
    int channels;
  } cases[] = {{0, "PCMU", 8000, 1},  {3, "GSM", 8000, 1},    {8, "PCMA", 8000, 1},  {9, "G722", 8000, 1},
               {10, "L16", 44100, 2}, {13, "CN", 8000, 1},    {18, "G729", 8000, 1}, {19, "", 0, 0},
               {1, "", 0, 0},         {31, "H261", 90000, 0}, {34, "H263", 90000, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(t[c.pt].CName(), c.name) << c.pt;
    EXPECT_EQ(t[c.pt].CRate(), c.rate) << c.pt;
    EXPECT_EQ(t[c.pt].NChan(), c.channels) << c.pt;
  }
  EXPECT_EQ(SdpRtpMedia::StaticType("34"), 34);
  EXPECT_EQ(SdpRtpMedia::StaticType("35"), -1);
  EXPECT_EQ(SdpRtpMedia::StaticType("x"), -1);
  EXPECT_EQ(SdpRtpMedia::StaticType(""), -1);
}

// The shortened section: its lines, the session's attribute lines above it, what is left.
TEST(SdpMedia, Brief) {
  const struct {
    const char* section;
    std::string session_attrs;
    const char* want;
  } cases[] = {
      // clang-format off
      // A restated static rtpmap goes, fmtp and rtcp-fb stay.
      {"m=audio 4000 RTP/AVP 0 18|a=rtpmap:0 PCMU/8000|a=rtpmap:18 g729/8000|a=fmtp:18 annexb=no|"
       "a=rtcp-fb:0 nack", "", "m=audio 4000 RTP/AVP 0 18|a=rtcp-fb:0 nack|a=fmtp:18 annexb=no"},
      // A static type renamed or re-clocked keeps its rtpmap, so does another channel count.
      {"m=audio 4000 RTP/AVP 0 8|a=rtpmap:0 PCMA/8000|a=rtpmap:8 PCMA/16000", "",
       "m=audio 4000 RTP/AVP 0 8|a=rtpmap:0 PCMA/8000|a=rtpmap:8 PCMA/16000"},
      {"m=audio 4000 RTP/AVP 11 10|a=rtpmap:11 L16/44100/2|a=rtpmap:10 L16/44100/2", "",
       "m=audio 4000 RTP/AVP 11 10|a=rtpmap:11 L16/44100/2"},
      {"m=audio 4000 RTP/AVP 101|a=rtpmap:101 telephone-event/8000", "",
       "m=audio 4000 RTP/AVP 101|a=rtpmap:101 telephone-event/8000"},
      // sendrecv is the default, unless the session says otherwise; other directions stay.
      {"m=audio 4000 RTP/AVP 0|a=sendrecv|a=ptime:20", "", "m=audio 4000 RTP/AVP 0|a=ptime:20"},
      {"m=audio 4000 RTP/AVP 0|a=sendrecv", "a=sendrecv\r\n", "m=audio 4000 RTP/AVP 0"},
      {"m=audio 4000 RTP/AVP 0|a=sendrecv", "a=inactive\r\n", "m=audio 4000 RTP/AVP 0|a=sendrecv"},
      {"m=audio 4000 RTP/AVP 0|a=sendonly", "", "m=audio 4000 RTP/AVP 0|a=sendonly"},
      // clang-format on
  };
  for (const auto& c : cases) {
    Sdp sdp = Parsed("v=0\r\n" + c.session_attrs + Lines(c.section));
    SdpRtpMedia* audio = sdp.Media(SdpMedia::AUDIO)->AsRTP();
    audio->Brief();
    std::string out;
    audio->Assemble(out);
    EXPECT_EQ(out, Lines(c.want)) << c.section;
  }
}

TEST(SdpMedia, FormatEdits) {
  Sdp sdp = Parsed(Crlf({"v=0", "m=audio 4000 RTP/AVP 0 18 101", "a=rtpmap:18 G729/8000",
                         "a=rtpmap:101 telephone-event/8000"}));
  SdpMedia* audio = sdp.Media(SdpMedia::AUDIO);
  audio->AddFormat("8");
  audio->AddFormat("0");
  EXPECT_EQ(audio->Formats(), (std::vector<std::string>{"0", "18", "101", "8"}));
  audio->RemoveFormat(1);
  audio->RemoveFormat(9);
  EXPECT_EQ(audio->Formats(), (std::vector<std::string>{"0", "101", "8"}));
  // The removed codec's parameters stay but are no longer written.
  EXPECT_NE(audio->AsRTP()->FormatParameter("18"), nullptr);
  std::string out;
  audio->Assemble(out);
  EXPECT_EQ(out, Crlf({"m=audio 4000 RTP/AVP 0 101 8", "a=rtpmap:101 telephone-event/8000"}));
  // Added back, it is written with its parameters again.
  audio->AddFormat("18");
  out.clear();
  audio->Assemble(out);
  EXPECT_EQ(out, Crlf({"m=audio 4000 RTP/AVP 0 101 8 18", "a=rtpmap:101 telephone-event/8000",
                       "a=rtpmap:18 G729/8000"}));
}

TEST(SdpMedia, AttributeList) {
  SdpAttributes attrs;
  EXPECT_TRUE(attrs.Parse("ptime:20"));
  EXPECT_TRUE(attrs.Parse("crypto:1 AES"));
  EXPECT_TRUE(attrs.Parse("crypto:2 AES"));
  EXPECT_TRUE(attrs.Parse("rtcp-mux"));
  EXPECT_STREQ(attrs.Attribute("crypto"), "1 AES");
  EXPECT_STREQ(attrs.Attribute("rtcp-mux"), "");
  EXPECT_EQ(attrs.Attribute("Crypto"), nullptr);
  EXPECT_TRUE(attrs.Remove("crypto"));
  EXPECT_STREQ(attrs.Attribute("crypto"), "2 AES");
  EXPECT_FALSE(attrs.Remove("absent"));
  attrs.Attribute("tool", "ostrel-x");
  attrs.Mode(SdpAttributes::INACTIVE);
  std::string out;
  attrs.Assemble(out);
  EXPECT_EQ(out, Crlf({"a=inactive", "a=ptime:20", "a=crypto:2 AES", "a=rtcp-mux", "a=tool:ostrel-x"}));
  attrs.Clear();
  EXPECT_EQ(attrs.Mode(), SdpAttributes::INACTIVE);
  EXPECT_TRUE(attrs.Attributes().empty());
}

}  // namespace
