// Networks as the configuration writes them, NAT type names, and configured servers.
#include <gtest/gtest.h>

#include "config/fw_type.h"
#include "config/servers.h"
#include "config/subnet.h"

namespace {

struct SubnetCase {
  const char* text;
  bool valid;
  uint32_t net;
  uint32_t mask;
};

TEST(ParseSubnet, AddressAndPrefix) {
  const SubnetCase cases[] = {
      {"10.0.0.0/8", true, 0x0A000000u, 0xFF000000u},
      {"10.1.2.3/8", true, 0x0A000000u, 0xFF000000u},
      {"192.168.1.7/32", true, 0xC0A80107u, 0xFFFFFFFFu},
      {"0.0.0.0/0", true, 0, 0},
      {"172.16.0.0/12", true, 0xAC100000u, 0xFFF00000u},
      {"10.0.0.1", false, 0, 0},
      {"300.1.1.1/8", false, 0, 0},
      {"10.0.0.0/33", false, 0, 0},
      {"10.0.0.0/", false, 0, 0},
      {"10.0.0.0/x", false, 0, 0},
      {"10.a.0.0/8", false, 0, 0},
      {"10.0.0.0/-1", false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Network net = ParseSubnet(c.text);
    EXPECT_EQ(net.IsValid(), c.valid);
    if (c.valid) {
      EXPECT_EQ(net.net, c.net);
      EXPECT_EQ(net.mask, c.mask);
    }
  }
}

TEST(ParseSubnet, InvalidValueContainsNothingAndSortsMostSpecificFirst) {
  Network invalid;
  EXPECT_FALSE(invalid.IsValid());
  EXPECT_FALSE(invalid.Contains(0xFFFFFFFFu));
  std::vector<Network> list = {ParseSubnet("10.0.0.0/8"), ParseSubnet("10.1.1.0/24"),
                               ParseSubnet("10.1.0.0/16")};
  std::stable_sort(list.begin(), list.end());
  EXPECT_EQ(list[0].mask, 0xFFFFFF00u);
  EXPECT_EQ(list[2].mask, 0xFF000000u);
}

TEST(FWTypeNames, PrintableNamesIgnoreFlags) {
  EXPECT_STREQ(NatType::Name(NatType::UNKNOWN), "UNKNOWN");
  EXPECT_STREQ(NatType::Name(NatType::OPAQUE), "Symmetric");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x80020004u)), "LB+Symmetric");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x40010002u)), "ICMP+Restricted");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x40004u)), "SNAT+Symmetric");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(0x10001u)), "<WRONG>");
  EXPECT_STREQ(NatType::Name(static_cast<NatType::Mode>(5)), "<WRONG>");
}

TEST(FWTypeNames, ConfiguredTypesAreSticky) {
  const struct {
    const char* text;
    bool ok;
    uint32_t mode;
  } cases[] = {
      {"Transparent", true, 0x80000001u},
      {"restricted", true, 0x80000002u},
      {"PORTPRESERVE", true, 0x80000003u},
      {"Symmetric", true, 0x80000004u},
      {"icmp+Restricted", true, 0x80010002u},
      {"ICMP+PortPreserve", true, 0x80010003u},
      {"LB+Symmetric", true, 0x80020004u},
      {"snat+symmetric", true, 0x80040004u},
      {"lb+Restricted", false, 0},
      {"Symmetric+LB", false, 0},
      {"icmp", false, 0},
      {"Cone", false, 0},
      {"lb+snat+Symmetric", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    NatType::Mode mode = NatType::UNKNOWN;
    EXPECT_EQ(NatType::ParseConfigured(c.text, mode), c.ok);
    if (c.ok) {
      EXPECT_EQ(static_cast<uint32_t>(mode), c.mode);
    }
  }
}

TEST(HardServers, OrderAndWildcardFlag) {
  ServerTable servers;
  EXPECT_TRUE(AddHardServer("example.org 0 127.0.0.5", servers));
  EXPECT_TRUE(AddHardServer("example.org 99 127.0.0.6:5070", servers));
  EXPECT_FALSE(servers.has_wildcard_);
  EXPECT_TRUE(AddHardServer("*.org 50 127.0.0.7", servers));
  EXPECT_TRUE(servers.has_wildcard_);
  EXPECT_EQ(servers.count("example.org"), 2u);
  ServerRecord first = servers.find("example.org")->second;
  ServerRecord second = std::next(servers.find("example.org"))->second;
  EXPECT_LT(first, second);
  EXPECT_EQ(second.s_weight, 100);
  EXPECT_EQ(second.s_port, 5070);
  servers.clear();
  EXPECT_FALSE(servers.has_wildcard_);
  EXPECT_TRUE(servers.empty());
  EXPECT_FALSE(AddHardServer("example.org -1 127.0.0.5", servers));
  EXPECT_FALSE(AddHardServer("example.org 5 127.0.0.5:0", servers));
  EXPECT_TRUE(servers.empty());
}

}  // namespace
