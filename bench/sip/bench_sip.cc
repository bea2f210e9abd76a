// Parse + assemble round trips of the messages the relay handles most: an INVITE with SDP (~1 KB) and a
// REGISTER. OSTREL_BENCH_INVITE may name a file holding the INVITE to use instead of the built-in one,
// so that the same message can be fed to another parser for comparison.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/log.h"
#include "sip/message.h"

namespace {

const char* kInvite =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK776asdhds;rport\r\n"
    "Via: SIP/2.0/UDP 10.1.1.1:5060;branch=z9hG4bKnashds8;received=192.0.2.1\r\n"
    "Max-Forwards: 70\r\n"
    "To: Bob <sip:bob@biloxi.example.com>\r\n"
    "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710@10.0.0.5\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@10.0.0.5:5062;transport=udp>\r\n"
    "Record-Route: <sip:p1.example.com;lr>\r\n"
    "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, MESSAGE, SUBSCRIBE, INFO, UPDATE\r\n"
    "Supported: replaces, timer, 100rel\r\n"
    "User-Agent: SoftPhone/1.2.3\r\n"
    "Session-Expires: 1800\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 298\r\n"
    "\r\n"
    "v=0\r\n"
    "o=alice 2890844526 2890844526 IN IP4 10.0.0.5\r\n"
    "s=-\r\n"
    "c=IN IP4 192.0.2.101\r\n"
    "t=0 0\r\n"
    "m=audio 49172 RTP/AVP 0 8 18 101\r\n"
    "a=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:18 G729/8000\r\n"
    "a=fmtp:18 annexb=no\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-16\r\n"
    "a=ptime:20\r\n"
    "a=sendrecv\r\n"
    "a=rtcp:49173\r\n";

const char* kRegister =
    "REGISTER sip:10.0.0.1 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK-reg-1;rport\r\n"
    "Max-Forwards: 70\r\n"
    "From: <sip:100@10.0.0.1>;tag=a1b2c3\r\n"
    "To: <sip:100@10.0.0.1>\r\n"
    "Call-ID: reg-8c1f@10.0.0.5\r\n"
    "CSeq: 2 REGISTER\r\n"
    "Contact: <sip:100@10.0.0.5:5062;transport=udp>;expires=3600\r\n"
    "Authorization: Digest username=\"100\", realm=\"10.0.0.1\", nonce=\"4a3f\", uri=\"sip:10.0.0.1\", "
    "response=\"0d3b\", algorithm=MD5\r\n"
    "User-Agent: SoftPhone/1.2.3\r\n"
    "Expires: 3600\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

void quiet(const char*, ...) {}

std::string invite_text() {
  if (const char* path = std::getenv("OSTREL_BENCH_INVITE")) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    if (!s.str().empty()) return s.str();
  }
  return kInvite;
}

void round_trips(benchmark::State& state, const std::string& text) {
  g_parse_error_log = quiet;
  for (auto _ : state) {
    SipMessage m;
    if (!m.Parse(std::string_view(text))) {
      state.SkipWithError("message does not parse");
      break;
    }
    std::string out = m.Assemble(true);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["msgs/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel("len=" + std::to_string(text.size()));
}

void BM_InviteRoundTrip(benchmark::State& state) { round_trips(state, invite_text()); }
void BM_RegisterRoundTrip(benchmark::State& state) { round_trips(state, kRegister); }

void BM_InviteParseOnly(benchmark::State& state) {
  g_parse_error_log = quiet;
  std::string text = invite_text();
  for (auto _ : state) {
    SipMessage m;
    benchmark::DoNotOptimize(m.Parse(std::string_view(text)));
  }
}

void BM_InviteAssembleOnly(benchmark::State& state) {
  std::string text = invite_text();
  SipMessage m;
  m.Parse(std::string_view(text));
  for (auto _ : state) {
    std::string out = m.Assemble(true);
    benchmark::DoNotOptimize(out.data());
  }
}

}  // namespace

BENCHMARK(BM_InviteRoundTrip);
BENCHMARK(BM_RegisterRoundTrip);
BENCHMARK(BM_InviteParseOnly);
BENCHMARK(BM_InviteAssembleOnly);
BENCHMARK_MAIN();
