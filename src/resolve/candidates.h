// Candidate servers for a domain before they are sorted: from an explicit host list, from the configured
// servers, and the ordering of DNS SRV records. Any thread: the random source is per thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/servers.h"

// Randomised sort key from a weight: 0 below 1, uniform in 1..w from 1 to 99, w itself from 100 on.
int RandomPreference(int weight);
// Uniform in 0..RAND_MAX: the tie-break between equal prefs.
int RandomSortKey();

// "host[:port][/weight],...": one candidate per element, port 5060 and weight 1 by default, the host taken
// as it is (not resolved), the pref randomised from the weight. Blanks around an element are ignored;
// elements with no host or with a port outside 1..65535 are skipped; an unreadable weight counts as 1.
std::vector<ServerRecord> HostListServers(std::string_view list);

// The configured servers for `domain`: the entries under the domain itself, else (when some key is a
// wildcard) under the most specific of "*.<domain>", "*.<parent>", ..., "*". Prefs are randomised from
// the stored weights. Empty when no key matches.
// Expects: the lock guarding `servers` held (Cfg.Lock for reading when they are the configuration's).
std::vector<ServerRecord> ConfiguredServers(const std::string& domain, const ServerTable& servers);

// Orders DNS SRV records as RFC 2782 asks: by priority, and within a priority by weighted random
// selection (a record of weight w is picked next with probability w / sum of the remaining weights, weight
// 0 only when nothing else is left or by a small chance). The position is written into s_weight, so that
// sorting by ServerRecord order keeps it; s_pref keeps the priority.
void OrderByWeight(std::vector<ServerRecord>& records);
