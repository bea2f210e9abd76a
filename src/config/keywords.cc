// The keyword table and the handlers of the plain settings (addresses, ports, files, logging,
// switches, flood-protection numbers). Policy keywords live with their policies.
#include "config/keywords.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "foundation/log.h"
#include "foundation/text.h"

namespace {

bool IsLowerYesWord(std::string& value) { return IsYesWord(tolower(value)); }

// The text after the last ':' is a port number that fits 16 bits (the address part is left to the
// resolver, which would otherwise take a larger number modulo 65536 or refuse it silently).
bool PortTextFits(const std::string& text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return true;
  std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return std::atoi(port.c_str()) <= 65535;
}

template <typename T>
void AssignCounted(T& field, long value, bool* changed) {
  T next = static_cast<T>(value);
  if (changed != nullptr && field != next) *changed = true;
  field = next;
}

// Up to `fields.size()` numbers into the fields in order; more words are refused.
template <typename... T>
bool SetNumbers(const std::string& value, bool* changed, T&... fields) {
  std::vector<std::string> words = split(value, '\0');
  if (words.size() > sizeof...(fields)) {
    Log("ostrel", 0, "Too many params\n");
    return false;
  }
  size_t i = 0;
  (
      [&] {
        if (i < words.size()) AssignCounted(fields, std::atol(words[i].c_str()), changed);
        ++i;
      }(),
      ...);
  return true;
}

}  // namespace

bool IsYesWord(const std::string& value) { return value == "yes" || value == "on" || value == "true"; }

bool ParseLogWords(std::string text, int& mask) {
  static const struct {
    const char* word;
    int bit;
  } kWords[] = {
      {"error", 1},        {"log_error", 1},      {"debug", 2},         {"log_debug", 2},
      {"trace", 4},        {"log_trace", 4},      {"short", 8},         {"log_short", 8},
      {"full", 16},        {"log_full", 16},      {"reg_regul", 0x100}, {"log_reg_regul", 0x100},
      {"regregul", 0x100}, {"reg_cache", 0x200},  {"log_reg_cache", 0x200}, {"regcache", 0x200},
  };
  mask = 0;
  for (const std::string& word : split(tolower(text), '+')) {
    auto found = std::find_if(std::begin(kWords), std::end(kWords),
                              [&](const auto& w) { return word == w.word; });
    if (found == std::end(kWords)) {
      Log("ostrel", 0, "Incorrect log param: %s, Use: TRACE, DEBUG, ERROR, SHORT, FULL, REG_REGULAR, REG_CACHE\n",
          word.c_str());
      return false;
    }
    mask |= found->bit;
  }
  return true;
}

bool Settings_t::SetAddressField(char (&field)[kAddrFieldSize], const std::string& value) {
  if (field[0] != '\0') return true;  // given on the command line
  if (value.size() >= kAddrFieldSize) {
    Log("ostrel", 0, "Address is too long: %s\n", value.c_str());
    return false;
  }
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

bool Settings_t::SetPortField(int& field, const std::string& value, int max) {
  if (field != 0) return true;  // given on the command line
  bool digits = !value.empty() && value.size() <= 5 &&
                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  int port = digits ? std::atoi(value.c_str()) : -1;
  if (port < 0 || port > max) {
    Log("ostrel", 0, "Port must be a number in range [0-%d]: %s\n", max, value.c_str());
    return false;
  }
  field = port;
  return true;
}

bool Settings_t::cfg_range(std::string& value) {
  std::vector<std::string> words = split(value, '\0');
  if (words.size() == 2) {
    lRange = std::atoi(words[0].c_str());
    hRange = std::atoi(words[1].c_str());
  }
  if (words.size() != 2 || !(hRange > 1023 && lRange > 1023 && hRange > lRange && hRange <= 65536)) {
    lRange = 32768;
    hRange = 65536;
    Log("ostrel", 0, "Wrong range of Ports\n");
    return false;
  }
  return true;
}

bool Settings_t::cfg_ipaddr(std::string& value) { return SetAddressField(myipaddr, value); }
bool Settings_t::cfg_second_ipaddr(std::string& value) { return SetAddressField(second_ipaddr, value); }
bool Settings_t::cfg_private_ipaddr(std::string& value) { return SetAddressField(private_ipaddr, value); }
bool Settings_t::cfg_server_ipaddr(std::string& value) { return SetAddressField(server_ipaddr, value); }

bool Settings_t::cfg_port(std::string& value) { return SetPortField(MainPort, value, 65535); }
// The internal port is SecondPort + 3: it must fit too.
bool Settings_t::cfg_second_port(std::string& value) { return SetPortField(SecondPort, value, 65532); }

bool Settings_t::cfg_ring_ulaw(std::string& value) {
  RingFileULaw = value;
  return true;
}
bool Settings_t::cfg_ring_g729(std::string& value) {
  RingFileG729 = value;
  return true;
}
bool Settings_t::cfg_ring_gsm(std::string& value) {
  RingFileGSM = value;
  return true;
}

bool Settings_t::cfg_log(std::string& value) {
  if (CmdLogFName_m.empty()) LogFName = value;
  return true;
}

bool Settings_t::cfg_log_level(std::string& value) {
  int mask = 0;
  if (!ParseLogWords(value, mask)) return false;
  if (mask & 16) mask &= ~8;
  if (mask & 2) mask |= 1;
  LogLevel_m = mask;
  return true;
}

bool Settings_t::cfg_log_size_limit(std::string& value) {
  // The log block refuses anything but a number and a unit; ask it to complain right away, and keep
  // an accepted text for the moment the read is taken.
  size_t unit = value.find_first_not_of("0123456789 \t");
  char letter = unit == std::string::npos ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(value[unit])));
  if (letter == 'K' || letter == 'M' || letter == 'G' || letter == 'T') {
    LogLimit_m = value;
  } else {
    GLogBlock.SetLimit(value);
  }
  return true;
}

bool Settings_t::cfg_log_name(std::string& value) {
  std::vector<std::string> words = split(value, '\0');
  SAppMaster = words[0];
  SAppSlave = words.size() > 1 ? words[1] : words[0];
  AppNameSeen_m = true;
  return true;
}

bool Settings_t::cfg_stat_log(std::string& value) {
  statlog_set = true;
  if (value == StatLog) return true;
  StatLog = value;
  if (StatLog.empty()) return true;
  int fd = open(StatLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd < 0) {
    Log("ostrel", 0, "Cannot open StatLog file: %s\n", StatLog.c_str());
    return false;
  }
  close(fd);
  return true;
}

bool Settings_t::cfg_full_mode(std::string& value) {
  if (IsLowerYesWord(value)) force_full_mode = true;
  return true;
}

bool Settings_t::cfg_quiet_mode(std::string& value) {
  quiet_mode = IsLowerYesWord(value);
  return true;
}

bool Settings_t::cfg_slow_start(std::string& value) {
  slow_start = IsLowerYesWord(value);
  SlowStartSeen_m = true;
  return true;
}

bool Settings_t::cfg_num_listeners(std::string& value) {
  std::vector<std::string> words = split(value, '\0');
  int count = std::atoi(words[0].c_str());
  if (count < 1 || count > 64) {
    Log("ostrel", 0, "Number of listener shoud be in range [1-64]\n");
    num_threads = 1;
    return false;
  }
  num_threads = count;
  if (words.size() > 1) max_threads = std::max(std::atoi(words[1].c_str()), num_threads);
  return true;
}

bool Settings_t::cfg_register_timeout(std::string& value) {
  std::vector<std::string> words = split(value, '\0');
  rgstr_timout = std::atoi(words[0].c_str());
  if (words.size() > 1) rgstr_limit = std::atoi(words[1].c_str());
  if (words.size() > 2) rgstr_force = std::atoi(words[2].c_str());
  rgstr_timout = std::max(rgstr_timout, 10);
  rgstr_force = std::max(rgstr_force, 300);
  return true;
}

bool Settings_t::cfg_check_rtp_flow(std::string& value) {
  check_rtp_flow = !(value == "no" || value == "off" || value == "false");
  return true;
}

bool Settings_t::cfg_idle_timeout(std::string& value) {
  int seconds = std::atoi(value.c_str());
  if (seconds < 30 || seconds > 1800) {
    Log("ostrel", 0, "Param: idle_timeout must be in range [30-1800], Set to default: 300\n");
    seconds = 300;
  }
  idletm = seconds * 1000;
  return true;
}

bool Settings_t::cfg_agent_name(std::string& value) {
  if (value.find_first_of("'\"/") != std::string::npos) {
    Log("ostrel", 0, "Name of Agent can't contain ' , \" or /\n");
    return false;
  }
  AgentName = value + "/" + kOstrelVersion;
  return true;
}

bool Settings_t::cfg_events_collector(std::string& value) {
  InetAddr addr;
  if (!PortTextFits(value) || !addr.set(value.c_str()) || addr.IpAddr() == 0 || addr.Port() == 0) {
    Log("ostrel", 0, "Incorrect Events Collector address:\n");
    evnts.reset();
    return false;
  }
  evnts = addr;
  return true;
}

bool Settings_t::cfg_ha_peer(std::string& value) {
  if (!ha_peer.empty()) return true;  // given with -h
  if (!SetHaPeer(value)) {
    Log("ostrel", 0, "Incorrect HA Peer address\n");
    return false;
  }
  return true;
}

bool Settings_t::SetHaPeer(const std::string& text) {
  // Without a port the peer's port is derived from SecondPort after the read.
  std::string full = text.find(':') == std::string::npos ? text + ":0" : text;
  InetAddr addr;
  if (!PortTextFits(full) || !addr.set(full.c_str()) || addr.IpAddr() == 0) return false;
  ha_peer = addr;
  return true;
}

bool Settings_t::cfg_dos_level(std::string& value) {
  static const struct {
    const char* word;
    DOSLevel_t level;
  } kLevels[] = {
      {"off", DL_OFF},     {"no", DL_OFF},       {"false", DL_OFF},  {"log", DL_LOG},
      {"logonly", DL_LOG}, {"on", DL_LOCAL},     {"yes", DL_LOCAL},  {"true", DL_LOCAL},
      {"local", DL_LOCAL}, {"sys", DL_SYSFW},    {"system", DL_SYSFW}, {"fw", DL_SYSFW},
      {"firewall", DL_SYSFW},
  };
  tolower(value);
  auto found = std::find_if(std::begin(kLevels), std::end(kLevels), [&](const auto& l) { return value == l.word; });
  if (found == std::end(kLevels)) {
    Log("ostrel", 0, "Incorect mode - Use: 'off', 'log', 'local' or 'fw'\n");
    return false;
  }
  DOSLevel_t level = found->level;
  bool ok = true;
  if (level == DL_SYSFW && geteuid() != 0) {
    Log("ostrel", 0, "Need root permissions In order to set level to FW. Force level to LOCAL\n");
    level = DL_LOCAL;
    ok = false;
  }
  if (level != DOSMode) doscfg_changed = true;
  DOSMode = level;
  return ok;
}

bool Settings_t::cfg_dos_interval(std::string& value) {
  return SetNumbers(value, &doscfg_changed, Interval, BlockTime1, LThreshold1, HThreshold1, RThreshold1);
}

bool Settings_t::cfg_dos_multiple(std::string& value) {
  return SetNumbers(value, &doscfg_changed, NumInterv, BlockTimeN, LThresholdN, HThresholdN, RThresholdN);
}

bool Settings_t::cfg_dos_max_mps(std::string& value) { return SetNumbers(value, &doscfg_changed, MaxMPS, BlockTimeMps); }

bool Settings_t::cfg_ddos_threshold(std::string& value) {
  return SetNumbers(value, &doscfg_changed, DDthreshold, DDBlockTime);
}

bool Settings_t::cfg_dos_whitelist(std::string& value) {
  SNet_t net = parse_subnet(value);
  if (!net.IsValid()) return false;
  DosWList.push_back(net);
  return true;
}

bool Settings_t::cfg_sysfw_rule(std::string& value) {
  RuleName = value;
  return true;
}
bool Settings_t::cfg_sysfw_start(std::string& value) {
  FWCmdStart = value;
  return true;
}
bool Settings_t::cfg_sysfw_stop(std::string& value) {
  FWCmdStop = value;
  return true;
}
bool Settings_t::cfg_sysfw_block(std::string& value) {
  FWCmdBlock = value;
  return true;
}
bool Settings_t::cfg_sysfw_unblock(std::string& value) {
  FWCmdUnblock = value;
  return true;
}

bool Settings_t::cfg_throttling(std::string& value) { return SetNumbers(value, nullptr, ThrottReg, ThrottDDOS); }

bool Settings_t::cfg_attach_hole(std::string& value) {
  hole_attach = IsYesWord(value);
  return true;
}
bool Settings_t::cfg_assume_nosrtp(std::string& value) {
  assume_nosrtp = IsYesWord(value);
  return true;
}
bool Settings_t::cfg_assume_no_obp(std::string& value) {
  assume_no_obp = IsYesWord(value);
  return true;
}

// clang-format off
const CfgKeyword_t CfgKeywords[] = {
    {"domain",           true,  &Settings_t::cfg_domain},
    {"server",           true,  &Settings_t::cfg_server},
    {"fuser",            true,  &Settings_t::cfg_fuser},
    {"trusted",          true,  &Settings_t::cfg_trusted},
    {"broken",           true,  &Settings_t::cfg_broken},
    {"restrict_forward", true,  &Settings_t::cfg_restrict_forward},
    {"slow_start",       true,  &Settings_t::cfg_slow_start},
    {"range",            false, &Settings_t::cfg_range},
    {"ipaddr",           false, &Settings_t::cfg_ipaddr},
    {"second_ipaddr",    false, &Settings_t::cfg_second_ipaddr},
    {"private_ipaddr",   false, &Settings_t::cfg_private_ipaddr},
    {"server_ipaddr",    false, &Settings_t::cfg_server_ipaddr},
    {"port",             false, &Settings_t::cfg_port},
    {"second_port",      false, &Settings_t::cfg_second_port},
    {"ring_ulaw",        false, &Settings_t::cfg_ring_ulaw},
    {"ring_g729",        false, &Settings_t::cfg_ring_g729},
    {"ring_gsm",         false, &Settings_t::cfg_ring_gsm},
    {"log",              true,  &Settings_t::cfg_log},
    {"log_level",        true,  &Settings_t::cfg_log_level},
    {"log_size_limit",   true,  &Settings_t::cfg_log_size_limit},
    {"log_name",         true,  &Settings_t::cfg_log_name},
    {"stat_log",         true,  &Settings_t::cfg_stat_log},
    {"full_mode",        false, &Settings_t::cfg_full_mode},
    {"quiet_mode",       true,  &Settings_t::cfg_quiet_mode},
    {"num_listeners",    false, &Settings_t::cfg_num_listeners},
    {"register_timeout", true,  &Settings_t::cfg_register_timeout},
    {"subnet",           true,  &Settings_t::cfg_subnet},
    {"subscribe_event",  true,  &Settings_t::cfg_subscribe_event},
    {"check_rtp_flow",   true,  &Settings_t::cfg_check_rtp_flow},
    {"idle_timeout",     true,  &Settings_t::cfg_idle_timeout},
    {"agent_name",       false, &Settings_t::cfg_agent_name},
    {"events_collector", true,  &Settings_t::cfg_events_collector},
    {"ha_peer",          false, &Settings_t::cfg_ha_peer},
    {"dos_level",        true,  &Settings_t::cfg_dos_level},
    {"dos_interval",     true,  &Settings_t::cfg_dos_interval},
    {"dos_multiple",     true,  &Settings_t::cfg_dos_multiple},
    {"dos_max_mps",      true,  &Settings_t::cfg_dos_max_mps},
    {"ddos_threshold",   true,  &Settings_t::cfg_ddos_threshold},
    {"dos_whitelist",    true,  &Settings_t::cfg_dos_whitelist},
    {"sysfw_rule",       false, &Settings_t::cfg_sysfw_rule},
    {"sysfw_start",      false, &Settings_t::cfg_sysfw_start},
    {"sysfw_stop",       false, &Settings_t::cfg_sysfw_stop},
    {"sysfw_block",      false, &Settings_t::cfg_sysfw_block},
    {"sysfw_unblock",    false, &Settings_t::cfg_sysfw_unblock},
    {"throttling",       true,  &Settings_t::cfg_throttling},
    {"attach_hole",      true,  &Settings_t::cfg_attach_hole},
    {"assume_nosrtp",    true,  &Settings_t::cfg_assume_nosrtp},
    {"assume_no_obp",    true,  &Settings_t::cfg_assume_no_obp},
    {"bare_sdp",         true,  &Settings_t::cfg_bare_sdp},
    {"rsvp",             true,  &Settings_t::cfg_rsvp},
    {"transcoding",      true,  &Settings_t::cfg_transcoding},
};
// clang-format on
const size_t CfgKeywordCount = sizeof(CfgKeywords) / sizeof(CfgKeywords[0]);

const CfgKeyword_t* FindKeyword(std::string_view keyword) {
  for (const CfgKeyword_t& entry : CfgKeywords) {
    if (keyword == entry.keyword) return &entry;
  }
  return nullptr;
}
