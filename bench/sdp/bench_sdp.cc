// Cost of the SDP work every call does: reading an offer, the relay's edits and writing it back.
#include <benchmark/benchmark.h>

#include <string>

#include "sip/sdp/sdp.h"

namespace {

// A typical phone offer: audio with four codecs and DTMF, video with one.
const std::string kOffer =
    "v=0\r\n"
    "o=- 3868234567 3868234567 IN IP4 192.168.1.20\r\n"
    "s=softphone\r\n"
    "c=IN IP4 192.168.1.20\r\n"
    "t=0 0\r\n"
    "m=audio 40000 RTP/AVP 0 8 18 9 101\r\n"
    "a=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:18 G729/8000\r\n"
    "a=fmtp:18 annexb=no\r\n"
    "a=rtpmap:9 G722/8000\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-16\r\n"
    "a=ptime:20\r\n"
    "a=sendrecv\r\n"
    "m=video 40002 RTP/AVP 99\r\n"
    "a=rtpmap:99 H264/90000\r\n"
    "a=fmtp:99 profile-level-id=42801F\r\n"
    "a=sendrecv\r\n";

void BM_Parse(benchmark::State& state) {
  for (auto _ : state) {
    Sdp sdp;
    benchmark::DoNotOptimize(sdp.Parse(kOffer));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kOffer.size()));
}
BENCHMARK(BM_Parse);

void BM_Assemble(benchmark::State& state) {
  Sdp sdp;
  sdp.Parse(kOffer);
  for (auto _ : state) benchmark::DoNotOptimize(sdp.Assemble(true));
}
BENCHMARK(BM_Assemble);

// What a relayed offer costs end to end: parse, new address and port, signature, text.
void BM_RelayRewrite(benchmark::State& state) {
  for (auto _ : state) {
    Sdp sdp;
    sdp.Parse(kOffer);
    sdp.SetAddress("203.0.113.7", false);
    sdp.Media(SdpMedia::AUDIO)->Port(30000);
    sdp.Attributes().Remove("tool");
    sdp.Attributes().Attribute("tool", "ostrel-AAAAAAAAAAAAAAAA");
    sdp.MarkDirty();
    benchmark::DoNotOptimize(sdp.Assemble(true));
  }
}
BENCHMARK(BM_RelayRewrite);

}  // namespace

BENCHMARK_MAIN();
