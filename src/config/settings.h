// Every value a configuration read produces, and the keyword handlers that fill them. A re-read fills
// a fresh copy and Config swaps it in only when the whole file was read cleanly. Handlers run on the
// reactor thread, on a copy no other thread sees; the live copy is read as Config documents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/domain_policy.h"
#include "config/dos_level.h"
#include "config/media_policy.h"
#include "config/servers.h"
#include "config/subnet.h"
#include "foundation/inet_addr.h"

inline constexpr const char* kOstrelVersion = "25.07.10";
inline constexpr size_t kAddrFieldSize = 64;

class Settings_t {
 public:
  // One `fuser` line, keyed by the lower-cased user name in FUsers.
  struct UserData_t {
    bool full = false;
    bool block = false;
    bool lb = false;
    bool trns = false;
    int loglvl = 0;
  };

  std::string CfgFile;
  std::string LogFName;
  std::string StatLog;
  bool statlog_set = false;
  std::string RingFileULaw;
  std::string RingFileG729;
  std::string RingFileGSM;
  std::string AgentName = std::string("Ostrel/") + kOstrelVersion;
  std::string SAppMaster;
  std::string SAppSlave;
  std::string RstrFwd;
  std::map<uint64_t, uint16_t> RSVPs;
  std::vector<SubNet_t> SubNets;
  std::vector<DomainOptions_t> Domains;
  std::map<std::string, bool> SubscrEvents;
  std::vector<std::pair<std::string, std::string>> Broken;
  std::map<std::string, UserData_t> FUsers;
  std::set<uint32_t> TrustSrc;
  HardSrvs_t HardSrvs;
  std::vector<TransRule_t> TransRules;
  std::map<std::string, int> BareCodecs;
  std::set<std::string> BareParams;
  char myipaddr[kAddrFieldSize] = {};
  char second_ipaddr[kAddrFieldSize] = {};
  char server_ipaddr[kAddrFieldSize] = {};
  char private_ipaddr[kAddrFieldSize] = {};
  char intern_ipaddr[kAddrFieldSize] = {};
  int MainPort = 0;
  int SecondPort = 0;
  bool force_full_mode = false;
  bool quiet_mode = false;
  bool slow_start = false;
  bool check_rtp_flow = true;
  bool hole_attach = false;
  bool assume_nosrtp = false;
  bool assume_no_obp = false;
  int num_threads = 0;
  int max_threads = 0;
  int lRange = 32768;
  int hRange = 65536;
  int TOS = 56;
  InetAddr evnts;
  InetAddr ha_peer;
  int rgstr_timout = 30;
  int rgstr_limit = 600;
  int rgstr_force = 3600;
  int idletm = 300000;
  std::vector<SNet_t> DosWList;
  std::string RuleName = "OSTREL";
  std::string FWCmdStart;
  std::string FWCmdStop;
  std::string FWCmdBlock;
  std::string FWCmdUnblock;
  bool doscfg_changed = false;
  DOSLevel_t DOSMode = DL_LOG;
  int Interval = 5;
  int BlockTime1 = 300;
  int LThreshold1 = 100;
  int HThreshold1 = 50;
  int RThreshold1 = 2000;
  int NumInterv = 5;
  int BlockTimeN = 900;
  int LThresholdN = 200;
  int HThresholdN = 100;
  int RThresholdN = 5000;
  unsigned MaxMPS = 100;
  int BlockTimeMps = 300;
  size_t DDthreshold = 50;
  int DDBlockTime = 300;
  int ThrottReg = 0;
  int ThrottDDOS = 20;

  // Keyword handlers: each takes the value text (it may change it) and returns true when accepted.
  bool cfg_domain(std::string& value);
  bool cfg_server(std::string& value);
  bool cfg_fuser(std::string& value);
  bool cfg_trusted(std::string& value);
  bool cfg_broken(std::string& value);
  bool cfg_restrict_forward(std::string& value);
  bool cfg_slow_start(std::string& value);
  bool cfg_range(std::string& value);
  bool cfg_ipaddr(std::string& value);
  bool cfg_second_ipaddr(std::string& value);
  bool cfg_private_ipaddr(std::string& value);
  bool cfg_server_ipaddr(std::string& value);
  bool cfg_port(std::string& value);
  bool cfg_second_port(std::string& value);
  bool cfg_ring_ulaw(std::string& value);
  bool cfg_ring_g729(std::string& value);
  bool cfg_ring_gsm(std::string& value);
  bool cfg_log(std::string& value);
  bool cfg_log_level(std::string& value);
  bool cfg_log_size_limit(std::string& value);
  bool cfg_log_name(std::string& value);
  bool cfg_stat_log(std::string& value);
  bool cfg_full_mode(std::string& value);
  bool cfg_quiet_mode(std::string& value);
  bool cfg_num_listeners(std::string& value);
  bool cfg_register_timeout(std::string& value);
  bool cfg_subnet(std::string& value);
  bool cfg_subscribe_event(std::string& value);
  bool cfg_check_rtp_flow(std::string& value);
  bool cfg_idle_timeout(std::string& value);
  bool cfg_agent_name(std::string& value);
  bool cfg_events_collector(std::string& value);
  bool cfg_ha_peer(std::string& value);
  bool cfg_dos_level(std::string& value);
  bool cfg_dos_interval(std::string& value);
  bool cfg_dos_multiple(std::string& value);
  bool cfg_dos_max_mps(std::string& value);
  bool cfg_ddos_threshold(std::string& value);
  bool cfg_dos_whitelist(std::string& value);
  bool cfg_sysfw_rule(std::string& value);
  bool cfg_sysfw_start(std::string& value);
  bool cfg_sysfw_stop(std::string& value);
  bool cfg_sysfw_block(std::string& value);
  bool cfg_sysfw_unblock(std::string& value);
  bool cfg_throttling(std::string& value);
  bool cfg_attach_hole(std::string& value);
  bool cfg_assume_nosrtp(std::string& value);
  bool cfg_assume_no_obp(std::string& value);
  bool cfg_bare_sdp(std::string& value);
  bool cfg_rsvp(std::string& value);
  bool cfg_transcoding(std::string& value);

  // `ha_peer` text ("a.b.c.d[:port]", port 0 when absent) into ha_peer; false when it is no address.
  bool SetHaPeer(const std::string& text);

 protected:
  friend class Config;  // drives the read on a separate copy

  // Copies the values that re-readable keywords set (see the keyword table) from a read into this one.
  void TakeRereadable(Settings_t&& read);

  // Empties the lists a read rebuilds and resets the per-read marks.
  void StartRead();

  // State of the read in progress, not settings.
  std::string CmdLogFName_m;     // -l: the `log` keyword must not override it
  int LogLevel_m = -1;           // mask from `log_level`, applied when the read is taken; -1 none
  std::string LogLimit_m;        // accepted `log_size_limit` text, applied likewise
  bool SlowStartSeen_m = false;  // `slow_start` appeared: a slow-start phase in progress ends
  bool AppNameSeen_m = false;    // `log_name` appeared: the log application name follows it

 private:
  bool SetAddressField(char (&field)[kAddrFieldSize], const std::string& value);
  bool SetPortField(int& field, const std::string& value, int max);
};
