// The media policy queries over real SDP offers: which transcoding rule an offer gets, and what the bare-SDP
// filter leaves of a description.
#include "config_fixture.h"
#include "sip/message.h"
#include "sip/sdp/sdp_text.h"

namespace {

TEST_F(ConfigTest, TransRuleByTheFirstOfferedCodecOfARule) {
  ASSERT_EQ(Read({"transcoding = ilbc/60 pcmu/20", "transcoding = g729/60 g729/20"}), 1);
  const struct {
    const char* name;
    std::string audio;
    int rule;
    int payload;
  } cases[] = {
      {"PCMU and G729 by static type", "m=audio 4000 RTP/AVP 0 18", 2, 18},
      {"PCMU only", "m=audio 4000 RTP/AVP 0 8", -1, -1},
      {"G729 by rtpmap, any case", "m=audio 4000 RTP/AVP 0 96\r\na=rtpmap:96 g729/8000", 2, 96},
      {"iLBC wins by rule order", "m=audio 4000 RTP/AVP 18 97\r\na=rtpmap:97 iLBC/8000", 1, 97},
      {"a renamed static type counts by its rtpmap", "m=audio 4000 RTP/AVP 18\r\na=rtpmap:18 G729a/8000", -1,
       -1},
      {"audio read as another transport", "m=audio\t4000 RTP/AVP 18", -1, -1},
  };
  for (const auto& c : cases) {
    Sdp sdp = Parsed("v=0\r\n" + c.audio + "\r\n");
    uint8_t payload = 255;
    EXPECT_EQ(cfg_->CheckTransRules(&sdp, &payload), c.rule) << c.name;
    if (c.rule > 0) {
      EXPECT_EQ(payload, c.payload) << c.name;
    }
  }
  EXPECT_EQ(cfg_->CheckTransRules(nullptr, nullptr), -1);
  Sdp video_only = Parsed(Crlf({"v=0", "m=video 5000 RTP/AVP 18"}));
  EXPECT_EQ(cfg_->CheckTransRules(&video_only, nullptr), -1);
}

TEST_F(ConfigTest, BareSdpKeepsConfiguredCodecsAndAttributes) {
  ASSERT_EQ(Read({"bare_sdp = pcmu,pcma/8000,telephone-event ptime"}), 1);
  Sdp sdp = Parsed(Crlf({"v=0",
                         "o=- 1 1 IN IP4 10.0.0.1",
                         "s=-",
                         "c=IN IP4 10.0.0.1",
                         "t=0 0",
                         "a=group:BUNDLE 0",
                         "a=tool:ostrel-AAAAAAAAAAAAAAAA",
                         "a=msid-semantic: WMS",
                         "m=audio 4000 RTP/AVP 0 8 96 18 97 101",
                         "a=rtpmap:96 PCMA/16000",
                         "a=rtpmap:97 PCMU/16000",
                         "a=rtpmap:101 telephone-event/8000",
                         "a=fmtp:101 0-15",
                         "a=rtcp-mux",
                         "a=PTIME:20",
                         "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:x",
                         "a=maxptime:40",
                         "a=ptime:30",
                         "m=video 5000 RTP/AVP 99",
                         "a=rtpmap:99 H264/90000",
                         "m=image 6000 udptl t38"}));
  cfg_->BareSDP(&sdp);
  EXPECT_TRUE(sdp.IsDirty());
  // PCMU at any rate, PCMA at 8000 Hz only, telephone-event; the ptime attributes in name order; video
  // without an allowed codec removed; the image section untouched.
  EXPECT_EQ(sdp.Assemble(true),
            Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=-", "c=IN IP4 10.0.0.1", "t=0 0",
                  "a=tool:ostrel-AAAAAAAAAAAAAAAA", "m=audio 4000 RTP/AVP 0 8 97 101",
                  "a=rtpmap:97 PCMU/16000", "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-15",
                  "a=PTIME:20", "a=ptime:30", "m=image 6000 udptl t38"}));
}

TEST_F(ConfigTest, BareSdpRemovesAudioWithoutAllowedCodecs) {
  ASSERT_EQ(Read({"bare_sdp = pcmu ptime"}), 1);
  Sdp sdp = Parsed(Crlf({"v=0", "a=recvonly", "m=audio 4000 RTP/AVP 8 18", "a=ptime:20",
                         "m=video 5000 RTP/AVP 0", "a=sendonly", "a=framerate:30"}));
  cfg_->BareSDP(&sdp);
  // No session attribute and no tool; the directions stay, as they say whether the call is on hold.
  EXPECT_EQ(sdp.Assemble(true),
            Crlf({"v=0", "s=-", "t=0 0", "a=recvonly", "m=video 5000 RTP/AVP 0", "a=sendonly"}));
}

TEST_F(ConfigTest, BareSdpLeavesNonRtpAudioAlone) {
  ASSERT_EQ(Read({"bare_sdp = pcmu ptime"}), 1);
  const std::string audio = Crlf({"m=audio\t4000 RTP/AVP 18", "a=rtpmap:18 G729/8000", "a=maxptime:40"});
  Sdp sdp = Parsed("v=0\r\ns=-\r\nt=0 0\r\n" + audio);
  cfg_->BareSDP(&sdp);
  EXPECT_EQ(sdp.Assemble(true), "v=0\r\ns=-\r\nt=0 0\r\n" + audio);
}

TEST_F(ConfigTest, BareMediaWithoutCodecs) {
  ASSERT_EQ(Read({"bare_sdp = pcmu ptime"}), 1);
  Sdp sdp = Parsed(Crlf({"v=0", "m=audio 0 RTP/AVP", "a=ptime:20"}));
  SdpRtpMedia* audio = sdp.Media(SdpMedia::AUDIO)->AsRTP();
  ReadGuard guard(cfg_->lock, MutexGuard::DO_LOCK);
  EXPECT_FALSE(cfg_->BareMedia(audio));
  EXPECT_EQ(audio->Attributes().Attributes().size(), 1u);
}

SipMessage Message(const std::string& headers, const std::string& body = "") {
  std::string text =
      "INVITE sip:b@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.2;branch=z9hG4bK-1\r\n"
      "From: <sip:a@x>;tag=1\r\nTo: <sip:b@x>\r\nCall-ID: q1\r\nCSeq: 1 INVITE\r\n" +
      headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  SipMessage msg;
  EXPECT_TRUE(msg.Parse(text)) << text;
  return msg;
}

TEST_F(ConfigTest, DeviceDefectsFromUserAgentElseServer) {
  ASSERT_EQ(Read({"broken = EU Acme Phone", "broken = T\tAcme Phone 2", "broken = n GW"}), 1);
  const struct {
    const char* headers;
    const char* want;
  } cases[] = {
      {"User-Agent: Acme Phone 2.1\r\n", "T"},
      {"User-Agent: Acme Phone 1.0\r\n", "EU"},
      {"User-Agent: acme phone 2\r\n", " "},  // names compare with their case
      {"User-Agent: acme phone 2\r\n", " "},  // names compare with their case
      {"Server: GW-100\r\n", "n"},
      {"User-Agent: Other\r\nServer: GW-100\r\n", " "},
      {"", " "},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cfg_->CheckDefect(Message(c.headers), 0).Letters(), c.want) << c.headers;
}

TEST_F(ConfigTest, TransRuleOfAnInviteBody) {
  ASSERT_EQ(Read({"transcoding = ilbc/60 pcmu/20"}), 1);
  uint8_t payload = 0;
  SipMessage offer = Message("Content-Type: application/sdp\r\n",
                             "v=0\r\nm=audio 4000 RTP/AVP 0 97\r\na=rtpmap:97 iLBC/8000\r\n");
  TranscodingRule chosen{G729_60, G729_20};
  EXPECT_EQ(cfg_->CheckTransRules(offer, &payload, &chosen), 1);
  EXPECT_EQ(payload, 97);
  EXPECT_EQ(chosen.client_code, ILBC_60);
  EXPECT_EQ(chosen.server_code, PCMU_20);
  EXPECT_EQ(cfg_->CheckTransRules(Message(""), &payload), -1);
}

}  // namespace
