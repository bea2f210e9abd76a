// Statically configured SIP servers (the `server` keyword) and the candidate record that server
// selection sorts. Filled while the configuration is read (reactor thread); read by queue workers.
#pragma once

#include <map>
#include <string>

// One candidate server: lower `s_pref`, then lower `s_weight`, is tried first.
struct ServerRecord {
  int s_pref = 0;
  int s_weight = 0;
  int s_port = 0;
  std::string s_name;

  bool operator<(const ServerRecord& other) const {
    return s_pref < other.s_pref || (s_pref == other.s_pref && s_weight < other.s_weight);
  }
};

// Configured servers by domain key: a domain, "*." + a domain suffix, or "*" alone.
struct ServerTable : std::multimap<std::string, ServerRecord> {
  bool has_wildcard_ = false;  // some key starts with '*', so wildcard keys are worth looking up

  void clear() {
    std::multimap<std::string, ServerRecord>::clear();
    has_wildcard_ = false;
  }
};

// Parses "domain weight host[:port]" (weight 0..100, port 5060 when absent, host resolved now) and
// stores the entry. False, storing nothing, for a wrong number of words, weight, port or address.
bool AddHardServer(const std::string& value, ServerTable& servers);
