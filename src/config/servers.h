// Statically configured SIP servers (the `server` keyword) and the candidate record that server
// selection sorts. Filled while the configuration is read (reactor thread); read by queue workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

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
  bool has_wildcard_ = false;    // some key starts with '*', so wildcard keys are worth looking up
  std::set<uint32_t> addresses;  // every entry's address (host order): sources the internal port accepts

  void clear() {
    std::multimap<std::string, ServerRecord>::clear();
    has_wildcard_ = false;
    addresses.clear();
  }
};

// Parses "domain weight host[:port]" (weight 0..100, port 5060 when absent, host resolved now) and
// stores the entry. False, storing nothing, for a wrong number of words, weight, port or address.
bool AddHardServer(const std::string& value, ServerTable& servers);

// The server addresses the relay learnt by using them: the server a dialog was set up with (a domain's
// host, its SRV or X-LB candidates, the configured servers) and an HA peer's calls' servers. Together with
// the `server` and `trusted` addresses they are the only sources whose requests the internal port accepts.
// Learnt only where a dialog is set up, after the domain check: an in-dialog request's own Route teaches
// nothing, so a client cannot make its own address a server. Keyed by IPv4 address alone (a server may send
// from another port than it listens on). An entry is forgotten after kForgetSec without being used or
// heard from; at most kMaxLearned are kept, the oldest giving way. Any thread; the lock is a leaf.
class ServerSources {
 public:
  static constexpr size_t kMaxLearned = 4096;
  static constexpr time_t kForgetSec = 24 * 3600;

  // A server the relay sends a dialog's requests to (ip in host order).
  void Learn(uint32_t ip, time_t now);
  // Whether ip was learnt and not forgotten; a known server's use keeps it.
  bool Knows(uint32_t ip, time_t now);
  size_t size() const;
  void clear();

 private:
  mutable std::mutex lock_;
  std::unordered_map<uint32_t, time_t> learned_;  // address -> last use
};

extern ServerSources g_server_sources;
