// The keyword table and the handlers of the plain settings (addresses, ports, files, logging,
// switches, flood-protection numbers). Policy keywords live with their policies.
#include "config/keywords.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/log.h"
#include "foundation/text.h"

namespace {

bool IsLowerYesWord(std::string& value) { return IsYesWord(ToLower(value)); }

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
  std::vector<std::string> words = Split(value, '\0');
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
      {"error", 1},        {"log_error", 1},     {"debug", 2},
      {"log_debug", 2},    {"trace", 4},         {"log_trace", 4},
      {"short", 8},        {"log_short", 8},     {"full", 16},
      {"log_full", 16},    {"reg_regul", 0x100}, {"log_reg_regul", 0x100},
      {"regregul", 0x100}, {"reg_cache", 0x200}, {"log_reg_cache", 0x200},
      {"regcache", 0x200},
  };
  mask = 0;
  for (const std::string& word : Split(ToLower(text), '+')) {
    auto found =
        std::find_if(std::begin(kWords), std::end(kWords), [&](const auto& w) { return word == w.word; });
    if (found == std::end(kWords)) {
      Log("ostrel", 0,
          "Incorrect log param: %s, Use: TRACE, DEBUG, ERROR, SHORT, FULL, REG_REGULAR, REG_CACHE\n",
          word.c_str());
      return false;
    }
    mask |= found->bit;
  }
  return true;
}

bool Settings::SetAddressField(char (&field)[kAddrFieldSize], const std::string& value) {
  if (field[0] != '\0') return true;  // given on the command line
  if (value.size() >= kAddrFieldSize) {
    Log("ostrel", 0, "Address is too long: %s\n", value.c_str());
    return false;
  }
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

bool Settings::SetPortField(int& field, const std::string& value, int max) {
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

bool Settings::ReadRange(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  if (words.size() == 2) {
    range_low = std::atoi(words[0].c_str());
    range_high = std::atoi(words[1].c_str());
  }
  if (words.size() != 2 ||
      !(range_high > 1023 && range_low > 1023 && range_high > range_low && range_high <= 65536)) {
    range_low = 32768;
    range_high = 65536;
    Log("ostrel", 0, "Wrong range of Ports\n");
    return false;
  }
  return true;
}

bool Settings::ReadIpAddress(std::string& value) { return SetAddressField(myipaddr, value); }
bool Settings::ReadSecondIpAddress(std::string& value) { return SetAddressField(second_ipaddr, value); }
bool Settings::ReadPrivateIpAddress(std::string& value) { return SetAddressField(private_ipaddr, value); }
bool Settings::ReadServerIpAddress(std::string& value) { return SetAddressField(server_ipaddr, value); }

bool Settings::ReadPort(std::string& value) { return SetPortField(main_port, value, 65535); }
// The internal port is second_port + 3: it must fit too.
bool Settings::ReadSecondPort(std::string& value) { return SetPortField(second_port, value, 65532); }

bool Settings::ReadRingUlaw(std::string& value) {
  ring_file_ulaw = value;
  return true;
}
bool Settings::ReadRingG729(std::string& value) {
  ring_file_g729 = value;
  return true;
}
bool Settings::ReadRingGsm(std::string& value) {
  ring_file_gsm = value;
  return true;
}

bool Settings::ReadLog(std::string& value) {
  if (command_line_log_file_.empty()) log_file = value;
  return true;
}

bool Settings::ReadLogLevel(std::string& value) {
  int mask = 0;
  if (!ParseLogWords(value, mask)) return false;
  if (mask & 16) mask &= ~8;
  if (mask & 2) mask |= 1;
  log_level_ = mask;
  return true;
}

bool Settings::ReadLogSizeLimit(std::string& value) {
  // The log block refuses anything but a number and a unit; ask it to complain right away, and keep
  // an accepted text for the moment the read is taken.
  size_t unit = value.find_first_not_of("0123456789 \t");
  char letter = unit == std::string::npos
                    ? '\0'
                    : static_cast<char>(std::toupper(static_cast<unsigned char>(value[unit])));
  if (letter == 'K' || letter == 'M' || letter == 'G' || letter == 'T') {
    log_limit_ = value;
  } else {
    g_log_block.SetLimit(value);
  }
  return true;
}

bool Settings::ReadLogName(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  app_master = words[0];
  app_slave = words.size() > 1 ? words[1] : words[0];
  app_name_seen_ = true;
  return true;
}

bool Settings::ReadStatLog(std::string& value) {
  statlog_set = true;
  if (value == stat_log) return true;
  stat_log = value;
  if (stat_log.empty()) return true;
  int fd = open(stat_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd < 0) {
    Log("ostrel", 0, "Cannot open StatLog file: %s\n", stat_log.c_str());
    return false;
  }
  close(fd);
  return true;
}

bool Settings::ReadFullMode(std::string& value) {
  if (IsLowerYesWord(value)) force_full_mode = true;
  return true;
}

bool Settings::ReadQuietMode(std::string& value) {
  quiet_mode = IsLowerYesWord(value);
  return true;
}

bool Settings::ReadSlowStart(std::string& value) {
  slow_start = IsLowerYesWord(value);
  slow_start_seen_ = true;
  return true;
}

bool Settings::ReadNumListeners(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
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

bool Settings::ReadMediaThreads(std::string& value) {
  const int count = std::atoi(value.c_str());
  if (count < 1 || count > 64) {
    Log("ostrel", 0, "Number of media threads should be in range [1-64]\n");
    return false;
  }
  media_threads = count;
  return true;
}

bool Settings::ReadRegisterTimeout(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  register_timeout = std::atoi(words[0].c_str());
  if (words.size() > 1) rgstr_limit = std::atoi(words[1].c_str());
  if (words.size() > 2) rgstr_force = std::atoi(words[2].c_str());
  register_timeout = std::max(register_timeout, 10);
  rgstr_force = std::max(rgstr_force, 300);
  return true;
}

bool Settings::ReadCheckRtpFlow(std::string& value) {
  check_rtp_flow = !(value == "no" || value == "off" || value == "false");
  return true;
}

bool Settings::ReadIdleTimeout(std::string& value) {
  int seconds = std::atoi(value.c_str());
  if (seconds < 30 || seconds > 1800) {
    Log("ostrel", 0, "Param: idle_timeout must be in range [30-1800], Set to default: 300\n");
    seconds = 300;
  }
  idletm = seconds * 1000;
  return true;
}

bool Settings::SetLimitField(int& field, const std::string& value, const char* keyword) {
  char* end = nullptr;
  const long n = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || n < 0 || n > 10000000) {
    Log("ostrel", 0, "Param: %s must be a number (0 = no limit)\n", keyword);
    return false;
  }
  field = static_cast<int>(n);
  return true;
}

bool Settings::ReadDialogsPerIp(std::string& value) {
  return SetLimitField(dialogs_per_ip, value, "dialogs_per_ip");
}
bool Settings::ReadMaxDialogs(std::string& value) { return SetLimitField(max_dialogs, value, "max_dialogs"); }
bool Settings::ReadUnansweredCallsPerIp(std::string& value) {
  return SetLimitField(unanswered_calls_per_ip, value, "unanswered_calls_per_ip");
}
bool Settings::ReadAnchoredCallsPerIp(std::string& value) {
  return SetLimitField(anchored_calls_per_ip, value, "anchored_calls_per_ip");
}

bool Settings::ReadInviteTimeout(std::string& value) {
  int seconds = std::atoi(value.c_str());
  if (seconds < 1 || seconds > 3600) {
    Log("ostrel", 0, "Param: invite_timeout must be in range [1-3600], Set to default: 180\n");
    seconds = 180;
  }
  invite_timeout = seconds;
  return true;
}

bool Settings::ReadAgentName(std::string& value) {
  if (value.find_first_of("'\"/") != std::string::npos) {
    Log("ostrel", 0, "Name of Agent can't contain ' , \" or /\n");
    return false;
  }
  agent_name = value + "/" + kOstrelVersion;
  return true;
}

bool Settings::ReadEventsCollector(std::string& value) {
  InetAddress addr;
  if (!PortTextFits(value) || !addr.Set(value.c_str()) || addr.Ip() == 0 || addr.Port() == 0) {
    Log("ostrel", 0, "Incorrect Events Collector address:\n");
    evnts.reset();
    return false;
  }
  evnts = addr;
  return true;
}

// "a.b.c.d:port", a dotted address (0.0.0.0: every address) and a port from 1: no name is looked up.
bool Settings::ReadMetrics(std::string& value) {
  const size_t colon = value.rfind(':');
  in_addr ip{};
  InetAddress addr;
  if (colon == std::string::npos || inet_pton(AF_INET, value.substr(0, colon).c_str(), &ip) != 1 ||
      !PortTextFits(value) || !addr.Set(value.c_str()) || addr.Port() == 0) {
    Log("ostrel", 0, "Incorrect metrics address %s: address:port expected\n", value.c_str());
    return false;
  }
  metrics = addr;
  return true;
}

bool Settings::ReadHaPeer(std::string& value) {
  if (!ha_peer.empty()) return true;  // given with -h
  if (!SetHaPeer(value)) {
    Log("ostrel", 0, "Incorrect HA Peer address\n");
    return false;
  }
  return true;
}

// The secret is the file's content without its trailing line ends and blanks. A file that others may read,
// or a secret too short to resist guessing, is refused: the relay does not start.
bool Settings::ReadHaSecretFile(std::string& value) {
  const int fd = ::open(value.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    Log("ostrel", 0, "Cannot read HA secret file %s: %s\n", value.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::string secret;
  char buf[512];
  ssize_t n = 0;
  while (secret.size() <= kMaxHaSecret && (n = ::read(fd, buf, sizeof buf)) > 0)
    secret.append(buf, static_cast<size_t>(n));
  ::close(fd);
  while (!secret.empty() && std::isspace(static_cast<unsigned char>(secret.back()))) secret.pop_back();
  if ((st.st_mode & S_IROTH) != 0) {
    Log("ostrel", 0, "HA secret file %s is readable by every user: chmod o-r it\n", value.c_str());
    return false;
  }
  if (n < 0 || secret.size() < kMinHaSecret || secret.size() > kMaxHaSecret) {
    Log("ostrel", 0, "HA secret file %s must hold %zu to %zu characters\n", value.c_str(), kMinHaSecret,
        kMaxHaSecret);
    return false;
  }
  ha_secret = std::move(secret);
  return true;
}

// redis://host:port[/db]: the host a name or an address, the port 1-65535, the database 0-15.
bool Settings::ReadStateStore(std::string& value) {
  constexpr std::string_view kScheme = "redis://";
  std::string rest = value.rfind(kScheme, 0) == 0 ? value.substr(kScheme.size()) : std::string();
  int db = 0;
  if (const size_t slash = rest.find('/'); slash != std::string::npos) {
    const std::string d = rest.substr(slash + 1);
    rest.resize(slash);
    if (d.empty() || d.size() > 2 || !std::all_of(d.begin(), d.end(), ::isdigit) || std::atoi(d.c_str()) > 15)
      rest.clear();
    db = std::atoi(d.c_str());
  }
  const size_t colon = rest.rfind(':');
  if (rest.empty() || colon == std::string::npos || colon == 0 || colon + 1 == rest.size() ||
      !PortTextFits(rest) || std::atoi(rest.c_str() + colon + 1) == 0) {
    Log("ostrel", 0, "Incorrect state store %s: redis://host:port[/db] expected\n", value.c_str());
    return false;
  }
  state_store_host = rest.substr(0, colon);
  state_store_port = std::atoi(rest.c_str() + colon + 1);
  state_store_db = db;
  return true;
}

// Like the HA secret: a file that cannot be read or that every user may read is refused.
bool Settings::ReadStateStorePasswordFile(std::string& value) {
  const int fd = ::open(value.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    Log("ostrel", 0, "Cannot read state store password file %s: %s\n", value.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::string password;
  char buf[512];
  ssize_t n = 0;
  while (password.size() <= kMaxHaSecret && (n = ::read(fd, buf, sizeof buf)) > 0)
    password.append(buf, static_cast<size_t>(n));
  ::close(fd);
  while (!password.empty() && std::isspace(static_cast<unsigned char>(password.back()))) password.pop_back();
  if ((st.st_mode & S_IROTH) != 0) {
    Log("ostrel", 0, "State store password file %s is readable by every user: chmod o-r it\n", value.c_str());
    return false;
  }
  if (n < 0 || password.empty() || password.size() > kMaxHaSecret) {
    Log("ostrel", 0, "State store password file %s must hold 1 to %zu characters\n", value.c_str(),
        kMaxHaSecret);
    return false;
  }
  state_store_password = std::move(password);
  return true;
}

namespace {
// Node and cluster names make the store's keys and channel: letters, digits, '.', '-', '_'.
bool IsStoreName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
}
}  // namespace

bool Settings::ReadNodeName(std::string& value) {
  if (!IsStoreName(value)) {
    Log("ostrel", 0, "Incorrect node_name %s: letters, digits, '.', '-' and '_' only\n", value.c_str());
    return false;
  }
  node_name = value;
  return true;
}

bool Settings::ReadCluster(std::string& value) {
  if (!IsStoreName(value)) {
    Log("ostrel", 0, "Incorrect cluster %s: letters, digits, '.', '-' and '_' only\n", value.c_str());
    return false;
  }
  cluster = value;
  return true;
}

bool Settings::SetHaPeer(const std::string& text) {
  // Without a port the peer's port is derived from second_port after the read.
  std::string full = text.find(':') == std::string::npos ? text + ":0" : text;
  InetAddress addr;
  if (!PortTextFits(full) || !addr.Set(full.c_str()) || addr.Ip() == 0) return false;
  ha_peer = addr;
  return true;
}

bool Settings::ReadDosLevel(std::string& value) {
  static const struct {
    const char* word;
    DosLevel level;
  } kLevels[] = {
      {"off", DL_OFF},        {"no", DL_OFF},    {"false", DL_OFF},    {"log", DL_LOG},
      {"logonly", DL_LOG},    {"on", DL_LOCAL},  {"yes", DL_LOCAL},    {"true", DL_LOCAL},
      {"local", DL_LOCAL},    {"sys", DL_SYSFW}, {"system", DL_SYSFW}, {"fw", DL_SYSFW},
      {"firewall", DL_SYSFW},
  };
  ToLower(value);
  auto found =
      std::find_if(std::begin(kLevels), std::end(kLevels), [&](const auto& l) { return value == l.word; });
  if (found == std::end(kLevels)) {
    Log("ostrel", 0, "Incorect mode - Use: 'off', 'log', 'local' or 'fw'\n");
    return false;
  }
  DosLevel level = found->level;
  bool ok = true;
  if (level == DL_SYSFW && geteuid() != 0) {
    Log("ostrel", 0, "Need root permissions In order to set level to FW. Force level to LOCAL\n");
    level = DL_LOCAL;
    ok = false;
  }
  if (level != dos_mode) doscfg_changed = true;
  dos_mode = level;
  return ok;
}

bool Settings::ReadDosInterval(std::string& value) {
  return SetNumbers(value, &doscfg_changed, interval, block_time_first, light_threshold_first,
                    heavy_threshold_first, repeat_threshold_first);
}

bool Settings::ReadDosMultiple(std::string& value) {
  return SetNumbers(value, &doscfg_changed, interval_count, block_time_repeat, light_threshold_repeat,
                    heavy_threshold_repeat, repeat_threshold_repeat);
}

bool Settings::ReadDosMaxMps(std::string& value) {
  return SetNumbers(value, &doscfg_changed, max_messages_per_second, block_time_rate);
}

bool Settings::ReadDosIpMaxMps(std::string& value) {
  return SetNumbers(value, &doscfg_changed, ip_max_messages_per_second);
}

bool Settings::ReadDdosThreshold(std::string& value) {
  return SetNumbers(value, &doscfg_changed, ddos_threshold, ddos_block_time);
}

bool Settings::ReadDosWhitelist(std::string& value) {
  Network net = ParseSubnet(value);
  if (!net.IsValid()) return false;
  dos_whitelist.push_back(net);
  return true;
}

bool Settings::ReadSystemFirewallRule(std::string& value) {
  rule_name = value;
  return true;
}
bool Settings::ReadSystemFirewallStart(std::string& value) {
  start_command = value;
  return true;
}
bool Settings::ReadSystemFirewallStop(std::string& value) {
  stop_command = value;
  return true;
}
bool Settings::ReadSystemFirewallBlock(std::string& value) {
  block_command = value;
  return true;
}
bool Settings::ReadSystemFirewallUnblock(std::string& value) {
  unblock_command = value;
  return true;
}

bool Settings::ReadThrottling(std::string& value) {
  return SetNumbers(value, nullptr, throttle_register, throttle_ddos);
}

bool Settings::ReadAttachHole(std::string& value) {
  hole_attach = IsYesWord(value);
  return true;
}
bool Settings::ReadAssumeNoSrtp(std::string& value) {
  assume_nosrtp = IsYesWord(value);
  return true;
}
bool Settings::ReadAssumeNoObp(std::string& value) {
  assume_no_obp = IsYesWord(value);
  return true;
}

// clang-format off
const ConfigKeyword kConfigKeywords[] = {
    {"domain",           true,  &Settings::ReadDomain},
    {"server",           true,  &Settings::ReadServer},
    {"fuser",            true,  &Settings::ReadFullUser},
    {"trusted",          true,  &Settings::ReadTrusted},
    {"broken",           true,  &Settings::ReadBroken},
    {"restrict_forward", true,  &Settings::ReadRestrictForward},
    {"slow_start",       true,  &Settings::ReadSlowStart},
    {"range",            false, &Settings::ReadRange},
    {"ipaddr",           false, &Settings::ReadIpAddress},
    {"second_ipaddr",    false, &Settings::ReadSecondIpAddress},
    {"private_ipaddr",   false, &Settings::ReadPrivateIpAddress},
    {"server_ipaddr",    false, &Settings::ReadServerIpAddress},
    {"port",             false, &Settings::ReadPort},
    {"second_port",      false, &Settings::ReadSecondPort},
    {"ring_ulaw",        false, &Settings::ReadRingUlaw},
    {"ring_g729",        false, &Settings::ReadRingG729},
    {"ring_gsm",         false, &Settings::ReadRingGsm},
    {"log",              true,  &Settings::ReadLog},
    {"log_level",        true,  &Settings::ReadLogLevel},
    {"log_size_limit",   true,  &Settings::ReadLogSizeLimit},
    {"log_name",         true,  &Settings::ReadLogName},
    {"stat_log",         true,  &Settings::ReadStatLog},
    {"full_mode",        false, &Settings::ReadFullMode},
    {"quiet_mode",       true,  &Settings::ReadQuietMode},
    {"num_listeners",    false, &Settings::ReadNumListeners},
    {"media_threads",    false, &Settings::ReadMediaThreads},
    {"register_timeout", true,  &Settings::ReadRegisterTimeout},
    {"subnet",           true,  &Settings::ReadSubnet},
    {"subscribe_event",  true,  &Settings::ReadSubscribeEvent},
    {"check_rtp_flow",   true,  &Settings::ReadCheckRtpFlow},
    {"idle_timeout",     true,  &Settings::ReadIdleTimeout},
    {"dialogs_per_ip",   true,  &Settings::ReadDialogsPerIp},
    {"max_dialogs",      true,  &Settings::ReadMaxDialogs},
    {"unanswered_calls_per_ip", true, &Settings::ReadUnansweredCallsPerIp},
    {"anchored_calls_per_ip",   true, &Settings::ReadAnchoredCallsPerIp},
    {"invite_timeout",   true,  &Settings::ReadInviteTimeout},
    {"agent_name",       false, &Settings::ReadAgentName},
    {"events_collector", true,  &Settings::ReadEventsCollector},
    {"ha_peer",          false, &Settings::ReadHaPeer},
    {"ha_secret_file",   false, &Settings::ReadHaSecretFile},
    {"state_store",      false, &Settings::ReadStateStore},
    {"state_store_password_file", false, &Settings::ReadStateStorePasswordFile},
    {"node_name",        false, &Settings::ReadNodeName},
    {"cluster",          false, &Settings::ReadCluster},
    {"dos_level",        true,  &Settings::ReadDosLevel},
    {"dos_interval",     true,  &Settings::ReadDosInterval},
    {"dos_multiple",     true,  &Settings::ReadDosMultiple},
    {"dos_max_mps",      true,  &Settings::ReadDosMaxMps},
    {"dos_ip_max_mps",   true,  &Settings::ReadDosIpMaxMps},
    {"ddos_threshold",   true,  &Settings::ReadDdosThreshold},
    {"dos_whitelist",    true,  &Settings::ReadDosWhitelist},
    {"sysfw_rule",       false, &Settings::ReadSystemFirewallRule},
    {"sysfw_start",      false, &Settings::ReadSystemFirewallStart},
    {"sysfw_stop",       false, &Settings::ReadSystemFirewallStop},
    {"sysfw_block",      false, &Settings::ReadSystemFirewallBlock},
    {"sysfw_unblock",    false, &Settings::ReadSystemFirewallUnblock},
    {"throttling",       true,  &Settings::ReadThrottling},
    {"attach_hole",      true,  &Settings::ReadAttachHole},
    {"assume_nosrtp",    true,  &Settings::ReadAssumeNoSrtp},
    {"assume_no_obp",    true,  &Settings::ReadAssumeNoObp},
    {"bare_sdp",         true,  &Settings::ReadBareSdp},
    {"rsvp",             true,  &Settings::ReadRsvp},
    {"transcoding",      true,  &Settings::ReadTranscoding},
    {"metrics",          true,  &Settings::ReadMetrics},
};
// clang-format on
const size_t kConfigKeywordCount = sizeof(kConfigKeywords) / sizeof(kConfigKeywords[0]);

const ConfigKeyword* FindKeyword(std::string_view keyword) {
  for (const ConfigKeyword& entry : kConfigKeywords) {
    if (keyword == entry.keyword) return &entry;
  }
  return nullptr;
}
