// IPv4 networks as the configuration writes them (a.b.c.d/n), and white-list files of such networks.
// Plain values and pure functions; the parsers log their complaints. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An IPv4 network in host byte order. The invalid value (both words all ones) contains no address.
struct Network {
  uint32_t net = 0xFFFFFFFFu;
  uint32_t mask = 0xFFFFFFFFu;

  Network() = default;
  Network(uint32_t n, uint32_t m) : net(n), mask(m) {}

  bool IsValid() const { return !(net == 0xFFFFFFFFu && mask == 0xFFFFFFFFu); }
  bool Contains(uint32_t addr) const { return IsValid() && (addr & mask) == net; }
  // Larger mask first, so a sorted list tries the most specific network first.
  bool operator<(const Network& other) const { return mask > other.mask; }
  bool operator==(const Network& other) const { return net == other.net && mask == other.mask; }
};

// "a.b.c.d/n" to a network; logs "Mask part of address (/xx) is missing" or "Incorrect address or
// mask" and returns the invalid value when the text is not one.
Network ParseSubnet(const std::string& text);

// Appends the valid networks of a white-list file (one per line, '#' comments) to `list`. False, with
// the complaint logged, when the file is missing, unreadable, cut short or larger than 16383 bytes.
bool ReadWhitelist(const char* path, std::vector<Network>& list);

// True when `addr` (host order) is in one of the networks of a non-empty list.
bool InNetworks(const std::vector<Network>& list, uint32_t addr);
