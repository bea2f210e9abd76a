// The edits the relay makes to offers and answers: connection addresses, session fields, media sections,
// copies, and the dirty flag that decides whether the received text goes out unchanged.
#include <gtest/gtest.h>

#include "sdp_text.h"
#include "sip/flog_capture.h"

namespace {

TEST(SdpEdit, SetAddress) {
  const struct {
    const char* name;
    std::string text;
    bool force;
    std::string want;
  } cases[] = {
      {"session address replaced", Crlf({"v=0", "c=IN IP4 10.0.0.1", "m=audio 4000 RTP/AVP 0"}), false,
       Crlf({"v=0", "s=-", "c=IN IP4 192.0.2.1", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
      {"hold address stays", Crlf({"v=0", "c=IN IP4 0.0.0.0", "m=audio 4000 RTP/AVP 0"}), false,
       Crlf({"v=0", "s=-", "c=IN IP4 0.0.0.0", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
      {"hold address forced", Crlf({"v=0", "c=IN IP4 0.0.0.0", "m=audio 4000 RTP/AVP 0"}), true,
       Crlf({"v=0", "s=-", "c=IN IP4 192.0.2.1", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
      {"media addresses gathered at the session",
       Crlf({"v=0", "m=audio 4000 RTP/AVP 0", "c=IN IP4 10.0.0.1", "m=video 5000 RTP/AVP 31",
             "c=IN IP4 10.0.0.2"}),
       false,
       Crlf({"v=0", "s=-", "c=IN IP4 192.0.2.1", "t=0 0", "m=audio 4000 RTP/AVP 0",
             "m=video 5000 RTP/AVP 31"})},
      {"media hold address gathered and kept",
       Crlf({"v=0", "m=audio 4000 RTP/AVP 0", "c=IN IP4 0.0.0.0", "m=video 5000 RTP/AVP 31",
             "c=IN IP4 10.0.0.2"}),
       false,
       Crlf(
           {"v=0", "s=-", "c=IN IP4 0.0.0.0", "t=0 0", "m=audio 4000 RTP/AVP 0", "m=video 5000 RTP/AVP 31"})},
      // The address put in is this system's IPv4 address: type, ttl and count of the received one go.
      {"received IP6 address replaced by ours",
       Crlf({"v=0", "c=IN IP6 2001:db8::1/3", "m=audio 4000 RTP/AVP 0"}), false,
       Crlf({"v=0", "s=-", "c=IN IP4 192.0.2.1", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
      {"no address before", Crlf({"v=0", "m=audio 4000 RTP/AVP 0"}), false,
       Crlf({"v=0", "s=-", "c=IN IP4 192.0.2.1", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
      {"a hold address keeps its received type", Crlf({"v=0", "m=audio 4000 RTP/AVP 0", "c=IN IP6 0.0.0.0"}),
       false, Crlf({"v=0", "s=-", "c=IN IP6 0.0.0.0", "t=0 0", "m=audio 4000 RTP/AVP 0"})},
  };
  for (const auto& c : cases) {
    Sdp sdp = Parsed(c.text);
    sdp.SetAddress("192.0.2.1", c.force);
    EXPECT_EQ(sdp.Assemble(true), c.want) << c.name;
  }
}

TEST(SdpEdit, GetAddress) {
  EXPECT_EQ(
      Parsed(Crlf({"v=0", "c=IN IP4 10.0.0.1", "m=audio 4000 RTP/AVP 0", "c=IN IP4 10.0.0.2"})).GetAddress(),
      "10.0.0.1");
  EXPECT_EQ(Parsed(Crlf({"v=0", "m=audio 4000 RTP/AVP 0", "c=IN IP4 10.0.0.2"})).GetAddress(), "10.0.0.2");
  EXPECT_EQ(Parsed(Crlf({"v=0", "m=audio 4000 RTP/AVP 0", "m=video 5000 RTP/AVP 31", "c=IN IP4 10.0.0.3"}))
                .GetAddress(),
            "");
}

TEST(SdpEdit, Expand) {
  Sdp sdp = Parsed(Crlf({"v=0", "c=IN IP6 ff15::101/3", "a=sendonly", "m=audio 4000 RTP/AVP 0",
                         "m=video 5000 RTP/AVP 31", "c=IN IP4 10.0.0.2", "a=inactive"}));
  sdp.Expand();
  EXPECT_EQ(sdp.Assemble(true), Crlf({"v=0", "s=-", "c=IN IP6 ff15::101/3", "t=0 0", "a=sendonly",
                                      "m=audio 4000 RTP/AVP 0", "c=IN IP6 ff15::101/3", "a=sendonly",
                                      "m=video 5000 RTP/AVP 31", "c=IN IP4 10.0.0.2", "a=inactive"}));
}

TEST(SdpEdit, SessionFields) {
  sip_test::FlogCapture faults;
  Sdp sdp = Parsed(Crlf({"v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=phone", "m=audio 4000 RTP/AVP 0"}));
  for (char tag : std::string("osiuepzrk")) EXPECT_TRUE(sdp.Set(tag, std::string(1, tag) + "-value")) << tag;
  EXPECT_TRUE(sdp.Set('t', "1 2"));
  EXPECT_FALSE(sdp.Set('c', "IN IP4 1.2.3.4"));
  EXPECT_EQ(faults.lines(), std::vector<std::string>{"SDP set unknown tag\n"});
  EXPECT_FALSE(sdp.IsDirty());
  EXPECT_EQ(sdp.Origin(), "o-value");
  EXPECT_EQ(sdp.Assemble(true),
            Crlf({"v=0", "o=o-value", "s=s-value", "i=i-value", "u=u-value", "e=e-value", "p=p-value",
                  "t=1 2", "r=r-value", "z=z-value", "k=k-value", "m=audio 4000 RTP/AVP 0"}));
}

TEST(SdpEdit, MediaSections) {
  Sdp sdp =
      Parsed(Crlf({"v=0", "m=audio 4000 RTP/AVP 0", "m=video 5000 RTP/AVP 31", "m=audio 6000 RTP/AVP 8"}));
  EXPECT_EQ(sdp.Media(SdpMedia::AUDIO)->Port(), 4000);
  EXPECT_EQ(sdp.Media(SdpMedia::IMAGE), nullptr);

  auto image = std::make_unique<SdpT38Media>();
  image->Port(7000);
  sdp.Media(std::move(image));
  auto audio = std::make_unique<SdpRtpMedia>(SdpMedia::AUDIO);
  audio->Port(4100);
  audio->AddFormat("18");
  sdp.Media(std::move(audio));
  EXPECT_EQ(sdp.Media(SdpMedia::IMAGE)->Parent(), &sdp);
  EXPECT_EQ(sdp.Media(SdpMedia::AUDIO)->Parent(), &sdp);

  EXPECT_TRUE(sdp.RemoveMedia(SdpMedia::VIDEO));
  EXPECT_FALSE(sdp.RemoveMedia(SdpMedia::VIDEO));
  EXPECT_EQ(sdp.Assemble(true), Crlf({"v=0", "s=-", "t=0 0", "m=audio 4100 RTP/AVP 18",
                                      "m=audio 6000 RTP/AVP 8", "m=image 7000 udptl t38"}));
}

TEST(SdpEdit, DirtyFlag) {
  Sdp sdp = Parsed(Crlf({"v=0", "c=IN IP4 10.0.0.1", "m=audio 4000 RTP/AVP 0"}));
  EXPECT_FALSE(sdp.IsDirty());
  sdp.SetAddress("192.0.2.1", false);
  EXPECT_FALSE(sdp.IsDirty());  // the caller says when an edit is to be sent
  sdp.MarkDirty();
  EXPECT_TRUE(sdp.IsDirty());
  sdp.Assemble(true);
  EXPECT_FALSE(sdp.IsDirty());
}

TEST(SdpEdit, CopyGoesThroughTextAndLeavesTheSourceDirty) {
  sip_test::FlogCapture faults;
  Sdp source = Parsed(Crlf({"v=0", "c=IN IP6 2001:db8::1", "y=kept", "m=audio 4000 RTP/AVP 0 101",
                            "a=rtpmap:101 telephone-event/8000", "a=sendonly"}));
  source.Media(SdpMedia::AUDIO)->Port(4002);
  source.MarkDirty();
  Sdp copy(source);
  // The edit is still to be sent: a copy does not count as sending it.
  EXPECT_TRUE(source.IsDirty());
  EXPECT_TRUE(copy.ParsedOk());
  EXPECT_FALSE(copy.IsDirty());
  EXPECT_EQ(copy.Assemble(true), source.Assemble(true));
  EXPECT_EQ(copy.Media(SdpMedia::AUDIO)->Parent(), &copy);

  Sdp assigned;
  assigned = copy;
  EXPECT_EQ(assigned.Media(SdpMedia::AUDIO)->Port(), 4002);
  EXPECT_TRUE(assigned.Media(SdpMedia::AUDIO)->IsHold());
}

TEST(SdpEdit, MoveKeepsSectionsPointingAtTheirDescription) {
  Sdp source = Parsed(Crlf({"v=0", "c=IN IP4 10.0.0.1", "m=audio 4000 RTP/AVP 0"}));
  Sdp moved(std::move(source));
  const SdpMedia* audio = moved.Medias().front().get();
  EXPECT_EQ(audio->Parent(), &moved);
  EXPECT_EQ(audio->Address(), "10.0.0.1:4000");
  std::vector<Sdp> many;
  many.push_back(std::move(moved));
  many.emplace_back();
  EXPECT_EQ(many[0].Medias().front()->Parent(), &many[0]);
}

TEST(SdpEdit, ClonedSection) {
  Sdp sdp = Parsed(Crlf({"v=0", "m=video 5000 RTP/AVP 99", "c=IN IP4 10.0.0.2", "a=rtpmap:99 H264/90000"}));
  std::unique_ptr<SdpMedia> video = sdp.Media(SdpMedia::VIDEO)->Clone();
  EXPECT_EQ(video->Parent(), nullptr);
  video->Connect().clear();
  video->Port(6000);
  Sdp other;
  other.Media(std::move(video));
  EXPECT_EQ(other.Assemble(true),
            Crlf({"v=0", "s=-", "t=0 0", "m=video 6000 RTP/AVP 99", "a=rtpmap:99 H264/90000"}));
  EXPECT_EQ(sdp.Media(SdpMedia::VIDEO)->Port(), 5000);
}

}  // namespace
