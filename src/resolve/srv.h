// Server selection for a domain: an explicit host list, the configured servers, or DNS SRV records,
// returned in the order the servers are to be tried. Called from queue worker threads with no lock held.
#pragma once

#include <string>
#include <vector>

#include "config/servers.h"

// Appends the candidate servers of `domain` to `out` and sorts `out`, most preferred first (ServerRecord
// order). The first source that applies is used alone:
//  1. `xhsts` not empty: its "host[:port][/weight]" elements, hosts not resolved;
//  2. `servers` not null and some key matches: the configured entries (see ServerTable);
//  3. otherwise a DNS SRV query for `prefix` + `domain`, ordered by priority and RFC 2782 weight.
// True when `out` holds at least one candidate afterwards; false after a failed or empty DNS query
// (logged under "QUTLS").
// `servers` is normally &Cfg.servers, or null for DNS only. Cfg.Lock is taken for reading while they are
// read and released before DNS is asked, so a re-read can never free what is being read.
// Expects: Cfg.Lock not held by the caller. Blocks for as long as the DNS query takes.
bool ResolveSrv(const std::string& domain, const std::string& prefix, std::vector<ServerRecord>& out,
                const ServerTable* servers, const std::string& xhsts);
