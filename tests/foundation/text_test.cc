// Text utilities, Base64, addresses and guards, with the cases their callers depend on.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "foundation/base64.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/text.h"

namespace {

using Fields = std::vector<std::string>;

TEST(Split, Table) {
  struct Case {
    std::string in;
    char sep;
    Fields want;
  } cases[] = {
      {"  a , b ,,c ", ',', {"a", "b", "", "c"}},
      {"a,", ',', {"a"}},
      {"x\t y", '\0', {"x", "y"}},
      {"", ',', {}},
      {"   ", ',', {}},
      {"one", '+', {"one"}},
      {"debug+short", '+', {"debug", "short"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Split(c.in, c.sep), c.want) << "'" << c.in << "'";
  Fields out{"stale"};
  EXPECT_EQ(Split("p q", out, '\0'), 2u);
  EXPECT_EQ(out, (Fields{"p", "q"}));
  EXPECT_EQ(Combine(out, ','), "p,q");
  EXPECT_EQ(Combine({}, ','), "");
}

TEST(Hex, Forms) {
  const unsigned char bytes[16] = {0x00, 0x01, 0xab, 0xff, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7f};
  EXPECT_EQ(HexToText(bytes, 4), "0001abff");
  char out[33];
  Hex16Char(bytes, out);
  EXPECT_STREQ(out, "0001abff10000000000000000000007f");
}

TEST(SkipCRLF, EveryLineEnd) {
  for (const char* text : {"\r\nX", "\n\rX", "\rX", "\nX", "X"}) {
    const char* p = text;
    SkipCRLF(p);
    EXPECT_EQ(*p, 'X') << "for a line end of " << (p - text) << " bytes";
  }
}

TEST(EnvExpansion, References) {
  setenv("OSTREL_T_A", "alpha", 1);
  setenv("OSTREL_T_NEST", "${OSTREL_T_A}-x", 1);
  setenv("OSTREL_T_SELF", "<${OSTREL_T_SELF}>", 1);
  unsetenv("OSTREL_T_UNSET");
  struct Case {
    std::string in, want;
  } cases[] = {
      {"${OSTREL_T_UNSET}/x", "/x"},
      {"${A", "${A"},
      {"a/${OSTREL_T_A}/b", "a/alpha/b"},
      {"${OSTREL_T_NEST}", "alpha-x"},
  };
  for (auto c : cases) {
    EXPECT_TRUE(EnvExpansion(c.in));
    EXPECT_EQ(c.in, c.want);
  }
  std::string looping = "${OSTREL_T_SELF}";
  EXPECT_FALSE(EnvExpansion(looping)) << "a value that contains itself must fail, not loop for ever";
}

TEST(Base64, EncodeDecode) {
  auto enc = [](const char* s) {
    return Base64::Encode(reinterpret_cast<const unsigned char*>(s), strlen(s));
  };
  auto url = [](const char* s) {
    return Base64::EncodeURL(reinterpret_cast<const unsigned char*>(s), strlen(s));
  };
  EXPECT_EQ(enc("abc"), "YWJj");
  EXPECT_EQ(enc("a"), "YQ==");
  EXPECT_EQ(enc("ab"), "YWI=");
  EXPECT_EQ(url("abc"), "YWJj");
  EXPECT_EQ(url("a"), "YQ");
  const unsigned char plus[] = {0xfb, 0xff};
  EXPECT_EQ(Base64::Encode(plus, 2), "+/8=");
  EXPECT_EQ(Base64::EncodeURL(plus, 2), "-_8");

  unsigned char out[8] = {0};
  EXPECT_EQ(Base64::Decode(reinterpret_cast<const unsigned char*>("YQ=="), out, sizeof out), 1u);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(Base64::Decode(reinterpret_cast<const unsigned char*>("YQ"), out, sizeof out), 1u);
  EXPECT_EQ(Base64::Decode(reinterpret_cast<const unsigned char*>("-_8"), out, sizeof out), 2u);
  EXPECT_EQ(out[0], 0xfb);
  EXPECT_EQ(out[1], 0xff);
}

TEST(Base64, DecodeNeverWritesPastCapacity) {
  unsigned char out[4] = {0, 0, 0, 0x5a};
  const char* long_text = "YWJjZGVmZ2hpamtsbW5vcA==";
  EXPECT_EQ(Base64::Decode(reinterpret_cast<const unsigned char*>(long_text), out, 3), 3u);
  EXPECT_EQ(out[3], 0x5a);
  EXPECT_EQ(memcmp(out, "abc", 3), 0);
}

TEST(InetAddress, TextForms) {
  InetAddress a("10.1.2.3:5060");
  EXPECT_EQ(a.Text(), "10.1.2.3:5060");
  EXPECT_EQ(a.IpText(), "10.1.2.3");
  EXPECT_EQ(a.Port(), 5060);
  EXPECT_EQ(a.Ip(), 0x0A010203u);
  EXPECT_EQ(InetAddress::IpText(0x0A010203u), "10.1.2.3");
  EXPECT_EQ(InetAddress::KeyAsText(a.Key()), a.Text());
  InetAddress b;
  b.SetKey(a.Key());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.Key().b, (uint64_t{htons(5060)} << 32) | a.sin_addr.s_addr);

  InetAddress port_only("5060");
  EXPECT_EQ(port_only.Text(), "0.0.0.0:5060");
  InetAddress c;
  EXPECT_FALSE(c.Set(""));
  EXPECT_FALSE(c.Set(":5060"));
  EXPECT_FALSE(c.Set("0.0.0.0:0"));
  EXPECT_TRUE(c.Set(5070, "127.0.0.1"));
  EXPECT_EQ(c.Text(), "127.0.0.1:5070");
  EXPECT_TRUE(InetAddress().empty());
}

TEST(InetAddress, IsIPv4) {
  EXPECT_TRUE(InetAddress::IsIPv4("1.2.3.4:80"));
  EXPECT_TRUE(InetAddress::IsIPv4(""));
  EXPECT_FALSE(InetAddress::IsIPv4("gateway"));
}

TEST(Guards, LockStates) {
  Mutex m;
  {
    m.lock();
    MutexGuard adopt(m, MutexGuard::WAS_LOCKED);
  }
  EXPECT_EQ(m.trylock(), 0) << "WAS_LOCKED must release at scope end";
  m.unlock();
  {
    MutexGuard idle(m, MutexGuard::DONOT_LOCK);
    EXPECT_EQ(m.trylock(), 0);
    m.unlock();
    EXPECT_EQ(idle.unlock(), -1);
    EXPECT_EQ(idle.lock(), 0);
    EXPECT_EQ(idle.lock(), -1) << "a second lock() on one guard must not deadlock";
  }
  EXPECT_EQ(m.trylock(), 0);
  m.unlock();

  ReadWriteMutex rw;
  {
    WriteGuard w(rw);
    EXPECT_NE(rw.TryReadLock(), 0);
  }
  {
    ReadGuard r(rw);
    EXPECT_EQ(rw.TryReadLock(), 0);
    rw.unlock();
  }
}

struct Lockable {
  Mutex m;
  int locks = 0;
  void lock() {
    m.lock();
    ++locks;
  }
  void unlock() { m.unlock(); }
};

TEST(Guards, TGuardHandsTheLockOnByMove) {
  Lockable obj;
  auto find = [&]() { return ObjectGuard<Lockable>(&obj); };
  {
    ObjectGuard<Lockable> held = find();
    EXPECT_TRUE(held);
    EXPECT_NE(obj.m.trylock(), 0) << "the lock must stay held across the move";
  }
  EXPECT_EQ(obj.m.trylock(), 0);
  obj.m.unlock();
  EXPECT_EQ(obj.locks, 1);
}

}  // namespace
