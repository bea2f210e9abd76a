// The admission and classification data the configuration defines per domain, user and client
// subnet. Plain values: filled while the file is read (reactor thread), copied out under the
// configuration's read lock by the queries of Config (reader and worker threads).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/defects.h"
#include "config/fw_type.h"
#include "config/subnet.h"

// One `domain` line; also the per-request result of the admission check.
struct DomainOptions {
  std::string host;   // lower-case, without the leading '*'
  std::string sbst;   // substitute Request-URI ("sip:..."), empty when none
  std::string xhsts;  // server list from an "X-LB" header, never from the file
  // Source networks allowed for this domain; empty = every source. An invalid entry stands for a
  // white-list file that could not be read: it admits nobody, but does not open the list either.
  std::vector<Network> whitelist;
  int loglvl = 0;
  bool ast = false;
  bool srv = false;
  bool extsrv = false;
  bool sru = false;
  bool full = false;
  bool prsn = false;
  bool trns = false;
  bool smtr = false;
  bool rstr = false;
  bool xunr = false;
  bool xck = false;
  bool srtp = false;
  bool pcnt = false;
  bool checked = false;

  // Longer host first, so the first match of a search is the most specific entry.
  bool operator<(const DomainOptions& other) const { return host.size() > other.host.size(); }

  // The white-list decision for a source address (host order).
  bool Admits(uint32_t addr) const { return whitelist.empty() || InNetworks(whitelist, addr); }

  // `ast`: `domain` ends with `host`; otherwise equal text.
  bool Matches(const std::string& domain) const;
};

// One `subnet` line.
struct SubnetRule : Network {
  Defects dfct;                           // defects appended to the device's
  int tm = 0;                             // registration interval, seconds (at least 10)
  int pool = 0;                           // address pool, 0 = none
  NatType::Mode mode = NatType::UNKNOWN;  // forced NAT type, 0 = not forced
  bool lbc = false;                       // clients use low-bit-rate codecs
};

// Log-level words joined by '+' ("debug+reg_cache") into a mask. Logs the first unknown word and
// returns false; `mask` is then unspecified.
bool ParseLogWords(std::string text, int& mask);
