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

#include "config/defects.h"
#include "config/domain_policy.h"
#include "config/dos_level.h"
#include "config/media_policy.h"
#include "config/servers.h"
#include "config/subnet.h"
#include "foundation/inet_addr.h"

inline constexpr const char* kOstrelVersion = "25.07.10";
inline constexpr size_t kAddrFieldSize = 64;
// Bounds of the HA secret's length in characters (`openssl rand -hex 32` writes 64).
inline constexpr size_t kMinHaSecret = 16;
inline constexpr size_t kMaxHaSecret = 256;

class Settings {
 public:
  // One `fuser` line, keyed by the lower-cased user name in full_users.
  struct UserOptions {
    bool full = false;
    bool block = false;
    bool lb = false;
    bool trns = false;
    int loglvl = 0;
  };

  std::string config_file;
  std::string log_file;
  std::string stat_log;
  bool statlog_set = false;
  std::string ring_file_ulaw;
  std::string ring_file_g729;
  std::string ring_file_gsm;
  std::string agent_name = std::string("Ostrel/") + kOstrelVersion;
  std::string app_master;
  std::string app_slave;
  std::string restrict_forward;
  std::map<uint64_t, uint16_t> rsvps;
  std::vector<SubnetRule> subnets;
  std::vector<DomainOptions> domains;
  std::map<std::string, bool> subscribe_events;
  std::vector<std::pair<std::string, Defects>> broken;  // device-name prefix, its defects
  std::map<std::string, UserOptions> full_users;
  std::set<uint32_t> trusted_sources;
  ServerTable servers;
  std::vector<TranscodingRule> transcoding_rules;
  std::map<std::string, int> bare_codecs;
  std::set<std::string> bare_params;
  char myipaddr[kAddrFieldSize] = {};
  char second_ipaddr[kAddrFieldSize] = {};
  char server_ipaddr[kAddrFieldSize] = {};
  char private_ipaddr[kAddrFieldSize] = {};
  char intern_ipaddr[kAddrFieldSize] = {};
  int main_port = 0;
  int second_port = 0;
  bool force_full_mode = false;
  bool check_only = false;  // -t
  bool quiet_mode = false;
  bool slow_start = false;
  bool check_rtp_flow = true;
  bool hole_attach = false;
  bool assume_nosrtp = false;
  bool assume_no_obp = false;
  int num_threads = 0;
  int max_threads = 0;
  int media_threads = 0;  // 0: one per core
  int range_low = 32768;
  int range_high = 65536;
  int tos = 56;
  InetAddress evnts;
  InetAddress ha_peer;
  InetAddress metrics;    // the metrics listener's address and port; port 0: no listener
  std::string ha_secret;  // from ha_secret_file; empty: the peer is known by its address alone
  // The state store (state_store = redis://host:port[/db]); empty host: none. Start-up only.
  std::string state_store_host;
  int state_store_port = 6379;
  int state_store_db = 0;
  std::string state_store_password;  // from state_store_password_file
  std::string node_name;             // empty: the host name, filled in at start
  std::string cluster = "ostrel";
  int register_timeout = 30;
  int rgstr_limit = 600;
  int rgstr_force = 3600;
  int idletm = 300000;
  // Limits on what one source address holds, and on the dialog table (0: no limit).
  int dialogs_per_ip = 1000;
  int max_dialogs = 50000;
  int unanswered_calls_per_ip = 32;
  int anchored_calls_per_ip = 128;
  int invite_timeout = 180;  // seconds an INVITE may stay provisional
  std::vector<Network> dos_whitelist;
  std::string rule_name = "OSTREL";
  std::string start_command;
  std::string stop_command;
  std::string block_command;
  std::string unblock_command;
  bool doscfg_changed = false;
  DosLevel dos_mode = DL_LOG;
  int interval = 5;
  int block_time_first = 300;
  int light_threshold_first = 100;
  int heavy_threshold_first = 50;
  int repeat_threshold_first = 2000;
  int interval_count = 5;
  int block_time_repeat = 900;
  int light_threshold_repeat = 200;
  int heavy_threshold_repeat = 100;
  int repeat_threshold_repeat = 5000;
  unsigned max_messages_per_second = 100;
  int block_time_rate = 300;
  unsigned ip_max_messages_per_second = 1000;
  size_t ddos_threshold = 50;
  int ddos_block_time = 300;
  int throttle_register = 0;
  int throttle_ddos = 20;

  // Keyword handlers: each takes the value text (it may change it) and returns true when accepted.
  bool ReadDomain(std::string& value);
  bool ReadServer(std::string& value);
  bool ReadFullUser(std::string& value);
  bool ReadTrusted(std::string& value);
  bool ReadBroken(std::string& value);
  bool ReadRestrictForward(std::string& value);
  bool ReadSlowStart(std::string& value);
  bool ReadRange(std::string& value);
  bool ReadIpAddress(std::string& value);
  bool ReadSecondIpAddress(std::string& value);
  bool ReadPrivateIpAddress(std::string& value);
  bool ReadServerIpAddress(std::string& value);
  bool ReadPort(std::string& value);
  bool ReadSecondPort(std::string& value);
  bool ReadRingUlaw(std::string& value);
  bool ReadRingG729(std::string& value);
  bool ReadRingGsm(std::string& value);
  bool ReadLog(std::string& value);
  bool ReadLogLevel(std::string& value);
  bool ReadLogSizeLimit(std::string& value);
  bool ReadLogName(std::string& value);
  bool ReadStatLog(std::string& value);
  bool ReadFullMode(std::string& value);
  bool ReadQuietMode(std::string& value);
  bool ReadNumListeners(std::string& value);
  bool ReadMediaThreads(std::string& value);
  bool ReadRegisterTimeout(std::string& value);
  bool ReadSubnet(std::string& value);
  bool ReadSubscribeEvent(std::string& value);
  bool ReadCheckRtpFlow(std::string& value);
  bool ReadIdleTimeout(std::string& value);
  bool ReadDialogsPerIp(std::string& value);
  bool ReadMaxDialogs(std::string& value);
  bool ReadUnansweredCallsPerIp(std::string& value);
  bool ReadAnchoredCallsPerIp(std::string& value);
  bool ReadInviteTimeout(std::string& value);
  bool ReadAgentName(std::string& value);
  bool ReadEventsCollector(std::string& value);
  bool ReadHaPeer(std::string& value);
  bool ReadHaSecretFile(std::string& value);
  bool ReadStateStore(std::string& value);
  bool ReadStateStorePasswordFile(std::string& value);
  bool ReadNodeName(std::string& value);
  bool ReadCluster(std::string& value);
  bool ReadDosLevel(std::string& value);
  bool ReadDosInterval(std::string& value);
  bool ReadDosMultiple(std::string& value);
  bool ReadDosMaxMps(std::string& value);
  bool ReadDosIpMaxMps(std::string& value);
  bool ReadDdosThreshold(std::string& value);
  bool ReadDosWhitelist(std::string& value);
  bool ReadSystemFirewallRule(std::string& value);
  bool ReadSystemFirewallStart(std::string& value);
  bool ReadSystemFirewallStop(std::string& value);
  bool ReadSystemFirewallBlock(std::string& value);
  bool ReadSystemFirewallUnblock(std::string& value);
  bool ReadThrottling(std::string& value);
  bool ReadAttachHole(std::string& value);
  bool ReadAssumeNoSrtp(std::string& value);
  bool ReadAssumeNoObp(std::string& value);
  bool ReadBareSdp(std::string& value);
  bool ReadRsvp(std::string& value);
  bool ReadTranscoding(std::string& value);
  bool ReadMetrics(std::string& value);

  // `ha_peer` text ("a.b.c.d[:port]", port 0 when absent) into ha_peer; false when it is no address.
  bool SetHaPeer(const std::string& text);

 protected:
  friend class Config;  // drives the read on a separate copy

  // Copies the values that re-readable keywords set (see the keyword table) from a read into this one.
  void TakeRereadable(Settings&& read);

  // Empties the lists a read rebuilds and resets the per-read marks.
  void StartRead();

  // State of the read in progress, not settings.
  std::string command_line_log_file_;  // -l: the `log` keyword must not override it
  int log_level_ = -1;                 // mask from `log_level`, applied when the read is taken; -1 none
  std::string log_limit_;              // accepted `log_size_limit` text, applied likewise
  bool slow_start_seen_ = false;       // `slow_start` appeared: a slow-start phase in progress ends
  bool app_name_seen_ = false;         // `log_name` appeared: the log application name follows it

 private:
  bool SetAddressField(char (&field)[kAddrFieldSize], const std::string& value);
  bool SetPortField(int& field, const std::string& value, int max);
  bool SetLimitField(int& field, const std::string& value, const char* keyword);
};
