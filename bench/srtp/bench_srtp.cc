// The cost of SRTP toward the client: one protect (RTP -> SRTP, toward the phone) and one unprotect (the
// phone's SRTP -> RTP) of a 172-byte PCMU packet (20 ms) through SrtpContext, as the relay's media thread
// calls them, for each suite the relay answers with. Two contexts: the sending one's own keys are the
// receiving one's client keys, as when a phone answers the relay's offer.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/rtp_header.h"
#include "media/srtp_context.h"

namespace {

constexpr int kPacket = 172;  // 12-byte header, 160 bytes of PCMU
constexpr size_t kBuffer = kPacket + rtp::kMaxTrailer;
// A client's keys; only the suite matters to the sender, whose own keys are fresh.
constexpr const char* kClient80 = "1 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";
constexpr const char* kClient32 = "1 AES_CM_128_HMAC_SHA1_32 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";

const char* ClientCrypto(int tag_bits) { return tag_bits == 80 ? kClient80 : kClient32; }

void Plain(uint8_t* pkt, uint32_t index) {
  std::memset(pkt, 0xD5, kPacket);  // PCMU silence
  pkt[0] = 0x80;
  pkt[1] = 0;  // PCMU
  pkt[2] = static_cast<uint8_t>(index >> 8);
  pkt[3] = static_cast<uint8_t>(index);
  const uint32_t stamp = index * 160;
  pkt[4] = static_cast<uint8_t>(stamp >> 24);
  pkt[5] = static_cast<uint8_t>(stamp >> 16);
  pkt[6] = static_cast<uint8_t>(stamp >> 8);
  pkt[7] = static_cast<uint8_t>(stamp);
  pkt[8] = 0x12;
  pkt[9] = 0x34;
  pkt[10] = 0x56;
  pkt[11] = 0x78;
}

// The relay's side toward the phone: its own keys in the client's suite.
void Sender(SrtpContext& ctx, int tag_bits) {
  ctx.SetRecvCrypto(ClientCrypto(tag_bits));
  ctx.SetSendCrypto();
}

// Other calls' relay contexts alive beside the measured ones, as on a relay carrying that many SRTP calls:
// each with the phone's keys and its own, and its libsrtp sessions built (one packet each way).
std::vector<std::unique_ptr<SrtpContext>> OtherCalls(int count, int tag_bits) {
  SrtpContext phone(3, 0);
  Sender(phone, tag_bits);
  std::array<uint8_t, kBuffer> srtp{};
  Plain(srtp.data(), 0);
  int srtp_len = kPacket;
  bool rtcp = false;
  phone.RTPEncrypt(srtp.data(), srtp_len, rtcp);
  std::vector<std::unique_ptr<SrtpContext>> calls;
  for (int i = 0; i < count; ++i) {
    auto relay = std::make_unique<SrtpContext>(10 + i, 0);
    relay->SetRecvCrypto(phone.GetSendCrypto().c_str());
    relay->SetSendCrypto();
    std::array<uint8_t, kBuffer> pkt = srtp;
    int len = srtp_len;
    relay->RTPDecrypt(pkt.data(), len, rtcp);
    Plain(pkt.data(), 0);
    len = kPacket;
    relay->RTPEncrypt(pkt.data(), len, rtcp);
    calls.push_back(std::move(relay));
  }
  return calls;
}

void BM_Protect(benchmark::State& state) {
  const int tag_bits = static_cast<int>(state.range(0));
  const auto others = OtherCalls(static_cast<int>(state.range(1)), tag_bits);
  SrtpContext ctx(1, 0);
  Sender(ctx, tag_bits);
  std::array<uint8_t, kBuffer> pkt{};
  uint32_t index = 0;
  int out = 0;
  for (auto _ : state) {
    Plain(pkt.data(), index++);  // a new sequence number each time: libsrtp refuses to protect one twice
    int len = kPacket;
    bool rtcp = false;
    ctx.RTPEncrypt(pkt.data(), len, rtcp);
    out = len;
    benchmark::DoNotOptimize(pkt.data());
  }
  if (out != kPacket + tag_bits / 8) state.SkipWithError("protect did not add the tag");
  state.SetLabel("AES_CM_128_HMAC_SHA1_" + std::to_string(tag_bits));
}

// Packets protected by the phone, unprotected by the relay. The replay window wants ever newer indices, so
// batches are protected outside the timing as the run goes.
void BM_Unprotect(benchmark::State& state) {
  const int tag_bits = static_cast<int>(state.range(0));
  const auto others = OtherCalls(static_cast<int>(state.range(1)), tag_bits);
  SrtpContext phone(1, 0), relay(2, 0);
  Sender(phone, tag_bits);
  if (!relay.SetRecvCrypto(phone.GetSendCrypto().c_str())) {
    state.SkipWithError("the phone's keys were refused");
    return;
  }
  relay.SetSendCrypto();
  constexpr size_t kBatch = 4096;
  std::vector<std::array<uint8_t, kBuffer>> batch(kBatch);
  std::vector<int> lens(kBatch);
  std::array<uint8_t, kBuffer> pkt{};
  uint32_t index = 0;
  size_t next = kBatch;
  uint64_t failed = 0;
  for (auto _ : state) {
    if (next == kBatch) {
      state.PauseTiming();
      for (size_t i = 0; i < kBatch; ++i) {
        Plain(batch[i].data(), index++);
        lens[i] = kPacket;
        bool rtcp = false;
        phone.RTPEncrypt(batch[i].data(), lens[i], rtcp);
      }
      next = 0;
      state.ResumeTiming();
    }
    std::memcpy(pkt.data(), batch[next].data(), static_cast<size_t>(lens[next]));
    int len = lens[next++];
    bool rtcp = false;
    relay.RTPDecrypt(pkt.data(), len, rtcp);
    failed += len != kPacket;
    benchmark::DoNotOptimize(pkt.data());
  }
  if (failed != 0) state.SkipWithError("packets did not authenticate");
  state.SetLabel("AES_CM_128_HMAC_SHA1_" + std::to_string(tag_bits));
}

BENCHMARK(BM_Protect)
    ->ArgNames({"tag_bits", "other_calls"})
    ->ArgsProduct({{80, 32}, {0, 250, 500, 1000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Unprotect)
    ->ArgNames({"tag_bits", "other_calls"})
    ->ArgsProduct({{80, 32}, {0, 250, 500, 1000}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
