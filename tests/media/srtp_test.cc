// SRTP toward a client: the "crypto" attribute in and out, the suite answered to each offer, packets built
// by hand from RFC 3711 (key derivation, AES counter mode, HMAC-SHA1) going through the contexts, replay and
// roll-over handling, and keys changing while the media thread runs.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/base64.h"
#include "media/rtp_header.h"
#include "media/srtp_context.h"
#include "media/srtp_keys.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// RFC 3711 Appendix B.3: the master key and salt, and the session keys they give.
const Bytes kRfcKey = Hex("E1F97A0D3E018BE0D64FA32C06DE4139");
const Bytes kRfcSalt = Hex("0EC675AD498AFEEBB6960B3AABE6");
const Bytes kRfcMaster = Cat(kRfcKey, kRfcSalt);

std::string Inline(const Bytes& master) { return "inline:" + Base64::Encode(master.data(), master.size()); }
std::string RfcCrypto(const char* suite, int tag = 1) {
  return std::to_string(tag) + " " + suite + " " + Inline(kRfcMaster);
}

Bytes AesBlock(const Bytes& key, const Bytes& block) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(block.size() + 16);
  int n = 0, tail = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out.data(), &n, block.data(), static_cast<int>(block.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

// AES counter mode as RFC 3711 uses it: the IV's last two bytes count the blocks.
void AesCm(const Bytes& key, Bytes iv, uint8_t* data, size_t n) {
  for (size_t block = 0; block * 16 < n; ++block) {
    iv[14] = static_cast<uint8_t>(block >> 8);
    iv[15] = static_cast<uint8_t>(block);
    const Bytes stream = AesBlock(key, iv);
    for (size_t i = 0; i < 16 && block * 16 + i < n; ++i) data[block * 16 + i] ^= stream[i];
  }
}

// The key derivation (RFC 3711 4.3, rate 0): the label goes into byte 7 of the master salt, and the AES-CM
// key stream of (salt || 0000) under the master key is the output.
Bytes Derive(const Bytes& master, uint8_t label, size_t n) {
  const Bytes key(master.begin(), master.begin() + 16);
  Bytes iv(master.begin() + 16, master.end());
  iv[7] ^= label;
  iv.resize(16, 0);
  Bytes out(n, 0);
  AesCm(key, iv, out.data(), n);
  return out;
}

Bytes Hmac(const Bytes& key, const Bytes& data, size_t tag_size) {
  uint8_t digest[20];
  unsigned n = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), digest, &n);
  return Bytes(digest, digest + tag_size);
}

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// An SRTP packet by hand: IV = session salt ^ SSRC (bytes 4..7) ^ index (bytes 8..13); the payload after
// the 12-byte header encrypted; the tag over the packet and the roll-over counter.
Bytes HandSrtp(const Bytes& master, const Bytes& rtp, uint32_t roc, size_t tag_size) {
  const Bytes key = Derive(master, 0, 16), auth = Derive(master, 1, 20);
  Bytes iv = Derive(master, 2, 14);
  iv.resize(16, 0);
  for (int i = 0; i < 4; ++i) iv[4 + i] ^= rtp[8 + i];
  const uint64_t index = (uint64_t{roc} << 16) | rtp::BigEndian16(rtp.data() + 2);
  for (int i = 0; i < 6; ++i) iv[8 + i] ^= static_cast<uint8_t>(index >> (40 - 8 * i));
  Bytes out = rtp;
  AesCm(key, iv, out.data() + 12, out.size() - 12);
  Bytes roc_bytes(4);
  Put32(roc_bytes.data(), roc);
  return Cat(out, Hmac(auth, Cat(out, roc_bytes), tag_size));
}

// An SRTCP packet by hand: encrypted after the sender SSRC, then the E flag with the 31-bit index, then an
// 80-bit tag over all of it.
Bytes HandSrtcp(const Bytes& master, const Bytes& rtcp, uint32_t index) {
  const Bytes key = Derive(master, 3, 16), auth = Derive(master, 4, 20);
  Bytes iv = Derive(master, 5, 14);
  iv.resize(16, 0);
  for (int i = 0; i < 4; ++i) iv[4 + i] ^= rtcp[4 + i];
  for (int i = 0; i < 4; ++i) iv[10 + i] ^= static_cast<uint8_t>(index >> (24 - 8 * i));
  Bytes out = rtcp;
  AesCm(key, iv, out.data() + 8, out.size() - 8);
  Bytes word(4);
  Put32(word.data(), 0x80000000u | index);
  out = Cat(out, word);
  return Cat(out, Hmac(auth, out, 10));
}

Bytes Rtp(uint16_t seq, uint32_t ssrc = 0x11223344, size_t size = 100) {
  Bytes p(size);
  p[0] = 0x80;
  p[1] = 0;  // PCMU
  p[2] = static_cast<uint8_t>(seq >> 8);
  p[3] = static_cast<uint8_t>(seq);
  Put32(&p[4], seq * 160u);
  Put32(&p[8], ssrc);
  for (size_t i = 12; i < size; ++i) p[i] = static_cast<uint8_t>(i * 7 + seq);
  return p;
}

// A receiver report of size bytes (a multiple of 4).
Bytes Rtcp(uint32_t ssrc = 0x11223344, size_t size = 100) {
  Bytes p(size);
  p[0] = 0x81;
  p[1] = 201;
  p[3] = static_cast<uint8_t>(size / 4 - 1);
  Put32(&p[4], ssrc);
  for (size_t i = 8; i < size; ++i) p[i] = static_cast<uint8_t>(i * 3);
  return p;
}

enum Direction { kEncrypt, kDecrypt };

// One transform on a buffer with exactly the room the relay's buffers leave; empty when dropped.
Bytes Transform(SrtpContext& ctx, Direction direction, const Bytes& in, bool rtcp = false,
                bool* as_rtcp = nullptr) {
  Bytes buf(in.size() + rtp::kMaxTrailer);
  std::copy(in.begin(), in.end(), buf.begin());
  int len = static_cast<int>(in.size());
  if (direction == kEncrypt) {
    ctx.RTPEncrypt(buf.data(), len, rtcp);
  } else {
    ctx.RTPDecrypt(buf.data(), len, rtcp);
  }
  if (as_rtcp != nullptr) *as_rtcp = rtcp;
  buf.resize(static_cast<size_t>(len));
  return buf;
}

// ---- The attribute ----

TEST(CryptoAttribute, ReadsWhatClientsSendAndRefusesTheRest) {
  const std::string key40 = Inline(kRfcMaster);
  struct Case {
    std::string value;
    bool ok;
    SrtpSuite suite;
    int tag, mki, mki_length;
    std::string error;  // the log line's text
  };
  const std::string bad = "1 AES_CM_128_HMAC_SHA1_80 inline:" + key40.substr(7, 39) + "*";
  const std::string short_key = "1 AES_CM_128_HMAC_SHA1_80 inline:" + key40.substr(7, 39);
  const std::string long_key = "1 AES_CM_128_HMAC_SHA1_80 " + key40 + "A";
  const std::string no_inline = "1 AES_CM_128_HMAC_SHA1_80 " + key40.substr(7);
  const std::vector<Case> cases = {
      {"1 AES_CM_128_HMAC_SHA1_80 " + key40 + "|2^20|1:4", true, SrtpSuite::AES_CM_128_HMAC_SHA1_80, 1, 1, 4,
       ""},
      {"2 AES_CM_128_HMAC_SHA1_32 " + key40, true, SrtpSuite::AES_CM_128_HMAC_SHA1_32, 2, 0, 0, ""},
      {"3 F8_128_HMAC_SHA1_32 " + key40 + "|2^31", true, SrtpSuite::F8_128_HMAC_SHA1_32, 3, 0, 0, ""},
      {"12 aes_cm_128_hmac_sha1_80 " + key40, true, SrtpSuite::AES_CM_128_HMAC_SHA1_80, 12, 0, 0, ""},
      {"1  AES_CM_128_HMAC_SHA1_32\t" + key40 + " KDR=0", true, SrtpSuite::AES_CM_128_HMAC_SHA1_32, 1, 0, 0,
       ""},
      {bad, false, SrtpSuite::NONE, 0, 0, 0, "ERROR: Incorrect 'inline:' key in Crypto: a=" + bad + "\n"},
      {short_key, false, SrtpSuite::NONE, 0, 0, 0,
       "ERROR: Incorrect 'inline:' key in Crypto: a=" + short_key + "\n"},
      {long_key, false, SrtpSuite::NONE, 0, 0, 0,
       "ERROR: Incorrect 'inline:' key in Crypto: a=" + long_key + "\n"},
      {no_inline, false, SrtpSuite::NONE, 0, 0, 0,
       "ERROR: Incorrect 'inline:' key in Crypto: a=" + no_inline + "\n"},
      {"1 AES_256_CM_HMAC_SHA1_80 " + key40, false, SrtpSuite::NONE, 0, 0, 0,
       "ERROR: Unknown Crypto-Suite: AES_256_CM_HMAC_SHA1_80\n"},
      {"1 AES_CM_128_HMAC_SHA1_80", false, SrtpSuite::NONE, 0, 0, 0, ""},
      {"", false, SrtpSuite::NONE, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string error = "stale";
    const auto attr = CryptoAttribute::Parse(c.value, &error);
    ASSERT_EQ(attr.has_value(), c.ok);
    EXPECT_EQ(error, c.error);
    if (!attr) continue;
    EXPECT_EQ(attr->suite, c.suite);
    EXPECT_EQ(attr->tag, c.tag);
    EXPECT_EQ(attr->mki, c.mki);
    EXPECT_EQ(attr->mki_length, c.mki_length);
    EXPECT_EQ(Bytes(attr->master.begin(), attr->master.end()), kRfcMaster);
  }
}

TEST(CryptoAttribute, WritesTheRelaysOwnKeysAndReadsThemBack) {
  for (SrtpSuite suite : {SrtpSuite::AES_CM_128_HMAC_SHA1_80, SrtpSuite::AES_CM_128_HMAC_SHA1_32,
                          SrtpSuite::F8_128_HMAC_SHA1_32}) {
    const CryptoAttribute a = CryptoAttribute::Fresh(suite, 7), b = CryptoAttribute::Fresh(suite, 0);
    EXPECT_EQ(b.tag, 1);
    EXPECT_NE(a.master, b.master) << "every call's keys are drawn afresh";
    const std::string text = a.Text();
    const std::string prefix = std::string("7 ") + SuiteName(suite) + " inline:";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.size(), prefix.size() + 40);
    const auto back = CryptoAttribute::Parse(text, nullptr);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->suite, suite);
    EXPECT_EQ(back->tag, 7);
    EXPECT_EQ(back->master, a.master);
  }
  EXPECT_STREQ(SuiteName(SrtpSuite::NONE), "UNKNOWN");
}

// ---- Offer and answer ----

TEST(SrtpContext, AnswersEachOfferWithASuiteBothSidesCanUse) {
  struct Case {
    const char* what;
    std::string offer;  // empty: no crypto attribute
    bool accepted;
    std::string answer_prefix;
  };
  const std::vector<Case> cases = {
      {"no offer: the relay offers the 32-bit tag", "", true, "1 AES_CM_128_HMAC_SHA1_32 inline:"},
      {"80-bit tag", RfcCrypto("AES_CM_128_HMAC_SHA1_80", 5), true, "5 AES_CM_128_HMAC_SHA1_80 inline:"},
      {"32-bit tag", RfcCrypto("AES_CM_128_HMAC_SHA1_32", 2), true, "2 AES_CM_128_HMAC_SHA1_32 inline:"},
      {"f8 is not supported", RfcCrypto("F8_128_HMAC_SHA1_32", 3), false,
       "1 AES_CM_128_HMAC_SHA1_32 inline:"},
      {"unknown suite", RfcCrypto("AES_256_CM_HMAC_SHA1_80", 4), false, "1 AES_CM_128_HMAC_SHA1_32 inline:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SrtpContext ctx(42, 0);
    EXPECT_EQ(ctx.GetSendCrypto(), "");
    EXPECT_FALSE(ctx.HasSendKeys());
    if (!c.offer.empty()) {
      EXPECT_EQ(ctx.SetRecvCrypto(c.offer.c_str()), c.accepted);
    }
    EXPECT_EQ(ctx.HasRecvKeys(), c.accepted && !c.offer.empty());
    ctx.SetSendCrypto();
    EXPECT_TRUE(ctx.HasSendKeys());
    const std::string answer = ctx.GetSendCrypto();
    EXPECT_EQ(answer.substr(0, c.answer_prefix.size()), c.answer_prefix);
    const auto keys = CryptoAttribute::Parse(answer, nullptr);
    ASSERT_TRUE(keys);
    EXPECT_NE(Bytes(keys->master.begin(), keys->master.end()), kRfcMaster) << "never the client's keys";
  }
}

TEST(SrtpContext, AnUnusableValueLeavesTheKeysInForce) {
  SrtpContext ctx(42, 0);
  ASSERT_TRUE(ctx.SetRecvCrypto(RfcCrypto("AES_CM_128_HMAC_SHA1_80", 3).c_str()));
  EXPECT_FALSE(ctx.SetRecvCrypto("3 AES_CM_128_HMAC_SHA1_80 inline:short"));
  EXPECT_FALSE(ctx.SetRecvCrypto(RfcCrypto("F8_128_HMAC_SHA1_32", 3).c_str()));
  ctx.SetSendCrypto();
  EXPECT_EQ(ctx.GetSendCrypto().substr(0, 26), "3 AES_CM_128_HMAC_SHA1_80 ");
  EXPECT_TRUE(ctx.SetRecvCrypto(nullptr));
  EXPECT_FALSE(ctx.HasRecvKeys());
  EXPECT_TRUE(Transform(ctx, kDecrypt, HandSrtp(kRfcMaster, Rtp(1), 0, 10)).empty())
      << "no receive keys: dropped";
}

// ---- RFC 3711 ----

TEST(SrtpRfc3711, KeyDerivationAndCounterModeGiveTheRfcValues) {
  EXPECT_EQ(Derive(kRfcMaster, 0, 16), Hex("C61E7A93744F39EE10734AFE3FF7A087"));
  EXPECT_EQ(Derive(kRfcMaster, 2, 14), Hex("30CBBC08863D8C85D49DB34A9AE1"));
  EXPECT_EQ(Derive(kRfcMaster, 1, 20), Hex("CEBE321F6FF7716B6FD4AB49AF256A156D38BAA4"));
  // Appendix B.2: the first key stream blocks of the AES-CM test vector.
  Bytes stream(32, 0);
  AesCm(Hex("2B7E151628AED2A6ABF7158809CF4F3C"), Hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD0000"), stream.data(), 32);
  EXPECT_EQ(stream, Hex("E03EAD0935C95E80E166B16DD92B4EB4D23513162B02D0F72A43A2FE4A5F97AB"));
}

TEST(SrtpRfc3711, HandBuiltPacketsFromTheRfcKeysDecrypt) {
  struct Case {
    const char* suite;
    size_t tag;
  };
  for (const Case& c : {Case{"AES_CM_128_HMAC_SHA1_80", 10}, Case{"AES_CM_128_HMAC_SHA1_32", 4}}) {
    SCOPED_TRACE(c.suite);
    SrtpContext ctx(42, 0);
    ASSERT_TRUE(ctx.SetRecvCrypto(RfcCrypto(c.suite).c_str()));
    // Across a wrap: the packet numbered 0 carries roll-over counter 1.
    const struct {
      uint16_t seq;
      uint32_t roc;
    } packets[] = {{65534, 0}, {65535, 0}, {0, 1}, {1, 1}};
    for (const auto& p : packets) {
      SCOPED_TRACE(p.seq);
      const Bytes srtp = HandSrtp(kRfcMaster, Rtp(p.seq), p.roc, c.tag);
      ASSERT_EQ(srtp.size(), 100 + c.tag);
      EXPECT_EQ(Transform(ctx, kDecrypt, srtp), Rtp(p.seq));
    }
    bool as_rtcp = false;
    EXPECT_EQ(Transform(ctx, kDecrypt, HandSrtcp(kRfcMaster, Rtcp(), 1), true), Rtcp());
    EXPECT_EQ(Transform(ctx, kDecrypt, HandSrtcp(kRfcMaster, Rtcp(), 2), false, &as_rtcp), Rtcp())
        << "RTCP multiplexed on the RTP port";
    EXPECT_TRUE(as_rtcp);
    EXPECT_EQ(ctx.AuthFailures() + ctx.Replays() + ctx.Dropped(), 0u);
  }
}

TEST(SrtpRfc3711, TheRelaysPacketsAreTheOnesTheRfcDescribes) {
  struct Case {
    std::string offer;
    size_t tag;
  };
  for (const Case& c : {Case{"", 4}, Case{RfcCrypto("AES_CM_128_HMAC_SHA1_80"), 10}}) {
    SCOPED_TRACE(c.offer);
    SrtpContext ctx(42, 0);
    if (!c.offer.empty()) {
      ASSERT_TRUE(ctx.SetRecvCrypto(c.offer.c_str()));
    }
    ctx.SetSendCrypto();
    const auto keys = CryptoAttribute::Parse(ctx.GetSendCrypto(), nullptr);
    ASSERT_TRUE(keys);
    const Bytes master(keys->master.begin(), keys->master.end());
    for (uint16_t seq : {65535, 0}) {
      EXPECT_EQ(Transform(ctx, kEncrypt, Rtp(seq)), HandSrtp(master, Rtp(seq), seq == 0 ? 1 : 0, c.tag));
    }
    bool as_rtcp = false;
    const Bytes srtcp = Transform(ctx, kEncrypt, Rtcp(), false, &as_rtcp);
    EXPECT_TRUE(as_rtcp);
    ASSERT_EQ(srtcp.size(), 114u);
    const uint32_t word = rtp::BigEndian32(srtcp.data() + 100);
    EXPECT_NE(word & 0x80000000u, 0u) << "encrypted";
    EXPECT_EQ(srtcp, HandSrtcp(master, Rtcp(), word & 0x7FFFFFFF));
  }
}

// ---- Two contexts: the relay's send keys given to a client's receive side ----

struct Pair {
  SrtpContext relay{1, 0}, client{2, 0};
  explicit Pair(const char* suite = nullptr) {
    if (suite != nullptr) relay.SetRecvCrypto(RfcCrypto(suite).c_str());
    relay.SetSendCrypto();
    client.SetRecvCrypto(relay.GetSendCrypto().c_str());
  }
  Bytes Send(const Bytes& plain, bool rtcp = false) { return Transform(relay, kEncrypt, plain, rtcp); }
  Bytes Receive(const Bytes& srtp, bool rtcp = false) { return Transform(client, kDecrypt, srtp, rtcp); }
};

TEST(SrtpContext, ForgedReplayedAndShortPacketsAreDroppedAndCounted) {
  Pair pair;
  const Bytes srtp = pair.Send(Rtp(100));
  const Bytes srtcp = pair.Send(Rtcp(), true);
  Bytes tampered = srtp;
  tampered[50] ^= 1;
  Bytes tampered_rtcp = srtcp;
  tampered_rtcp[20] ^= 1;
  EXPECT_TRUE(pair.Receive(tampered).empty());
  EXPECT_TRUE(pair.Receive(tampered_rtcp, true).empty());
  EXPECT_EQ(pair.client.AuthFailures(), 2u);
  EXPECT_EQ(pair.Receive(srtp), Rtp(100)) << "a forgery does not disturb the stream";
  EXPECT_EQ(pair.Receive(srtcp, true), Rtcp());
  EXPECT_TRUE(pair.Receive(srtp).empty());
  EXPECT_TRUE(pair.Receive(srtcp, true).empty());
  EXPECT_EQ(pair.client.Replays(), 2u);

  const struct {
    const char* what;
    Bytes packet;
    bool rtcp;
  } short_packets[] = {
      {"header and 3 bytes of a 4-byte tag", Bytes(srtp.begin(), srtp.begin() + 15), false},
      {"half a header", Bytes(srtp.begin(), srtp.begin() + 6), false},
      {"one byte", Bytes(srtp.begin(), srtp.begin() + 1), false},
      {"SRTCP header, index and 9 bytes of tag", Bytes(srtcp.begin(), srtcp.begin() + 21), true},
      {"SRTCP header alone", Bytes(srtcp.begin(), srtcp.begin() + 8), true},
      {"not version 2", Bytes(srtp.size(), 0x40), false},
  };
  for (const auto& s : short_packets) {
    SCOPED_TRACE(s.what);
    const uint64_t before = pair.client.Dropped();
    EXPECT_TRUE(pair.Receive(s.packet, s.rtcp).empty());
    EXPECT_EQ(pair.client.Dropped(), before + 1);
  }
  EXPECT_EQ(pair.client.AuthFailures(), 2u);
  EXPECT_EQ(pair.client.Replays(), 2u);
}

TEST(SrtpContext, SequenceNumbersFollowedAcrossAWrap) {
  Pair pair;
  for (uint16_t seq : {65534, 65535, 0, 1, 65533, 2}) {
    SCOPED_TRACE(seq);
    EXPECT_EQ(pair.Receive(pair.Send(Rtp(seq))), Rtp(seq));
  }
  // A re-INVITE repeating the same keys keeps the roll-over counter; new keys start over.
  ASSERT_TRUE(pair.client.SetRecvCrypto(pair.relay.GetSendCrypto().c_str()));
  EXPECT_EQ(pair.Receive(pair.Send(Rtp(3))), Rtp(3));
  pair.relay.SetSendCrypto();
  const Bytes under_new_keys = pair.Send(Rtp(4));
  EXPECT_TRUE(pair.Receive(under_new_keys).empty()) << "the client has not learnt the new keys yet";
  ASSERT_TRUE(pair.client.SetRecvCrypto(pair.relay.GetSendCrypto().c_str()));
  EXPECT_EQ(pair.Receive(pair.Send(Rtp(5))), Rtp(5));
  EXPECT_EQ(pair.client.AuthFailures(), 1u);
}

TEST(SrtpContext, NothingLeavesForTheClientBeforeTheRelaysKeys) {
  SrtpContext ctx(42, 0);
  ASSERT_TRUE(ctx.SetRecvCrypto(RfcCrypto("AES_CM_128_HMAC_SHA1_80").c_str()));
  EXPECT_TRUE(Transform(ctx, kEncrypt, Rtp(1)).empty());
  EXPECT_TRUE(Transform(ctx, kEncrypt, Rtcp(), true).empty());
  EXPECT_EQ(ctx.Dropped(), 2u);
  ctx.SetSendCrypto();
  EXPECT_EQ(Transform(ctx, kEncrypt, Rtp(2)).size(), 110u);
}

TEST(SrtpContext, ManySsrcsKeepWorking) {
  Pair pair;
  const uint32_t count = SrtpContext::kMaxStreams + 4;
  for (uint32_t ssrc = 1; ssrc <= count; ++ssrc) {
    EXPECT_EQ(pair.Receive(pair.Send(Rtp(10, ssrc))), Rtp(10, ssrc)) << ssrc;
  }
  for (uint32_t ssrc : {1u, count}) {
    EXPECT_EQ(pair.Receive(pair.Send(Rtp(11, ssrc))), Rtp(11, ssrc)) << ssrc;
  }
}

// ---- Keys changing under the media thread ----

TEST(SrtpContextThreads, KeysChangeWhileTheMediaThreadRuns) {
  // Two clients' streams, one per key, prepared in advance; the context switches between their keys.
  Pair first("AES_CM_128_HMAC_SHA1_80"), second("AES_CM_128_HMAC_SHA1_32");
  const std::string keys[2] = {first.relay.GetSendCrypto(), second.relay.GetSendCrypto()};
  constexpr int kPackets = 3000;
  std::vector<Bytes> streams[2];
  for (int i = 0; i < kPackets; ++i) {
    streams[0].push_back(first.Send(Rtp(static_cast<uint16_t>(i))));
    streams[1].push_back(second.Send(Rtp(static_cast<uint16_t>(i))));
  }
  SrtpContext ctx(42, 0);
  ASSERT_TRUE(ctx.SetRecvCrypto(keys[0].c_str()));
  ctx.SetSendCrypto();
  std::atomic<bool> started{false}, done{false};
  int decrypted = 0, sent = 0;
  std::thread media([&] {
    while (!started) std::this_thread::yield();  // the first packet already meets the second client's keys
    for (int i = 0; i < kPackets; ++i) {
      const Bytes out = Transform(ctx, kDecrypt, streams[i % 2][static_cast<size_t>(i)]);
      if (!out.empty()) {
        EXPECT_EQ(out, Rtp(static_cast<uint16_t>(i)));
        ++decrypted;
      }
      const Bytes srtp = Transform(ctx, kEncrypt, Rtp(static_cast<uint16_t>(i)));
      if (!srtp.empty()) {
        EXPECT_TRUE(srtp.size() == 104 || srtp.size() == 110) << srtp.size();
        ++sent;
      }
    }
    done = true;
  });
  for (int round = 1; !done; ++round) {
    EXPECT_TRUE(ctx.SetRecvCrypto(keys[round % 2].c_str()));
    ctx.SetSendCrypto();
    EXPECT_FALSE(ctx.GetSendCrypto().empty());
    EXPECT_TRUE(ctx.HasRecvKeys());
    started = true;
    std::this_thread::yield();
  }
  media.join();
  EXPECT_GT(ctx.AuthFailures(), 0u);
  EXPECT_GT(decrypted, 0);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(static_cast<uint64_t>(decrypted + sent) + ctx.AuthFailures() + ctx.Replays() + ctx.Dropped(),
            2u * kPackets);
}

}  // namespace
