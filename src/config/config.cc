// Start-up (command line, first read, address checks), the re-read that swaps in a cleanly read file,
// and the periodic timer.
#include "config/config.h"

#include <arpa/inet.h>
#include <resolv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "config/keywords.h"
#include "foundation/log.h"
#include "foundation/text.h"

Config g_config;

namespace {

constexpr const char* kNotice = "SIP signalling and media relay for clients behind NAT";

// A literal dotted IPv4 address that prints back exactly as written (no names, no leading zeros).
bool IsLiteralIPv4(const char* text) {
  in_addr addr{};
  char back[INET_ADDRSTRLEN] = {};
  return inet_pton(AF_INET, text, &addr) == 1 && inet_ntop(AF_INET, &addr, back, sizeof(back)) != nullptr &&
         std::strcmp(back, text) == 0;
}

bool CopyCommandAddress(char (&field)[kAddrFieldSize], const char* text) {
  if (std::strlen(text) >= kAddrFieldSize) return false;
  std::strcpy(field, text);
  return true;
}

bool ParseCommandPort(const char* text, int max, int& port) {
  size_t length = std::strlen(text);
  if (length == 0 || length > 5 || std::strspn(text, "0123456789") != length) return false;
  port = std::atoi(text);
  return port <= max;
}

[[noreturn]] void CommandLineError(const char* what, const char* prog) {
  std::fprintf(stderr, "%s\n\n", what);
  Syntax(prog);
}

bool SameMtime(const struct stat& st, time_t seconds, long nanoseconds) {
  return st.st_mtim.tv_sec == seconds && st.st_mtim.tv_nsec == nanoseconds;
}

}  // namespace

void Syntax(const char* prog) {
  std::fprintf(
      stderr,
      "Ostrel/%s %s\n\nUsage:\n\t%s [options]\n\nOptions:\n\t-c config_file\n\t-i ip.addr\n"
      "\t-s second.ip.addr\n\t-p port\n\t-o optional ports (second)\n\t-l log_file\n"
      "\t-f\t\t: force full mode\n"
      "\t-t\t\t: check the configuration and exit (0: clean, 9: errors)\n\t-? \t\t: print this page\n",
      kOstrelVersion, kNotice, prog);
  std::exit(1);
}

void Config::ParseCommandLine(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::fprintf(stderr, "Ostrel/%s %s\n", kOstrelVersion, kNotice);
    std::exit(1);
  }
  optind = 0;  // full re-initialisation of getopt, in case it ran before in this process
  int option = 0;
  while ((option = getopt(argc, argv, "c:l:p:o:i:s:h:ft")) != -1) {
    switch (option) {
      case 'c':
        config_file = optarg;
        break;
      case 'i':
        if (!CopyCommandAddress(myipaddr, optarg)) CommandLineError("-i: address is too long", argv[0]);
        break;
      case 's':
        if (!CopyCommandAddress(second_ipaddr, optarg)) CommandLineError("-s: address is too long", argv[0]);
        break;
      case 'p':
        if (!ParseCommandPort(optarg, 65535, main_port))
          CommandLineError("-p: port must be 0 to 65535", argv[0]);
        break;
      case 'o':
        // second_port + 3 is the internal port.
        if (!ParseCommandPort(optarg, 65532, second_port))
          CommandLineError("-o: port must be 0 to 65532", argv[0]);
        break;
      case 'l':
        command_line_log_file_ = optarg;
        break;
      case 'h':
        if (!SetHaPeer(optarg)) CommandLineError("-h: Incorrect HA Peer address", argv[0]);
        break;
      case 'f':
        force_full_mode = true;
        break;
      case 't':
        check_only = true;
        break;
      default:
        Syntax(argv[0]);
    }
  }
}

int Config::Init(int argc, char** argv) {
  if (geteuid() == 0) tos |= 0xA0;
  if (app_master.empty()) {
    const char* slash = std::strrchr(argv[0], '/');
    app_master = app_slave = slash != nullptr ? slash + 1 : argv[0];
  }
  ParseCommandLine(argc, argv);
  if (check_only) std::exit(Check());
  if (!command_line_log_file_.empty()) {
    log_file = command_line_log_file_;
    if (!OpenLog(log_file)) std::exit(8);
  }
  if (Reread() != 1) std::exit(9);
  if (!log_file.empty() && !log_opened_) std::exit(8);
  if (!LoadRingFiles()) std::exit(8);
  if (log_file.empty()) {
    log_file = "ostrel.log";
    if (!OpenLog(log_file)) std::exit(8);
  }
  if (main_port == 0) main_port = 7060;
  if (second_port == 0) second_port = main_port + 1;
  if (second_port + 3 > 65535) {
    Log("ostrel", 0, "Second port %d leaves no room for the internal port (second port + 3)\n", second_port);
    return 0;
  }
  if (!CheckAddresses()) return 0;
  if (ha_peer.Ip() != 0 && ha_peer.Port() == 0) {
    ha_peer.Port(static_cast<unsigned short>((second_port + 2) % 65536));
  }
  if (ha_peer.Ip() != 0 && ha_secret.empty())
    Log("ostrel", 0, "Warning: HA peer %s without ha_secret_file: its records are trusted by address alone\n",
        ha_peer.Text().c_str());
  num_threads = std::max(num_threads, 1);
  Log("ostrel", 0, "Ostrel. %s\n", kNotice);
  Log("ostrel", 0, "Build %s\n\n", kOstrelVersion);
  if (!(range_high > 1023 && range_low > 1023 && range_low <= range_high + 255)) {
    range_low = 32768;
    range_high = 65536;
    Log("ostrel", 0, "Wrong range of Ports, Set default range [%d-%d]\n", range_low, range_high);
  }
  return 1;
}

int Config::Check() {
  dup2(STDERR_FILENO, STDOUT_FILENO);  // the log lines, to the terminal or the unit's journal
  if (config_file.empty()) config_file = "ostrel.cfg";
  std::ifstream file(config_file);
  if (!file) {
    Log("ostrel", 0, "Can't open config file %s\n", config_file.c_str());
    return 9;
  }
  auto read = std::make_unique<Settings>(static_cast<const Settings&>(*this));
  read->StartRead();
  bool ok = ReadLines(file, *read, false);
  ok = FinishRead(*read) && ok;
  // The log target is not opened: the lines of this check stay on standard error.
  static_cast<Settings&>(*this) = std::move(*read);
  ok = LoadRingFiles() && ok;
  ok = CheckAddresses() != 0 && ok;
  if (second_port != 0 && second_port + 3 > 65535) {
    Log("ostrel", 0, "Second port %d leaves no room for the internal port (second port + 3)\n", second_port);
    ok = false;
  }
  std::fprintf(stderr, "Config file %s: %s\n", config_file.c_str(), ok ? "OK" : "has errors");
  return ok ? 0 : 9;
}

int Config::CheckAddresses() {
  if (!IsLiteralIPv4(myipaddr)) {
    Log("ostrel", 0, "Incorrect IP Address\n");
    return 0;
  }
  if (second_ipaddr[0] != '\0') {
    if (!IsLiteralIPv4(second_ipaddr)) {
      Log("ostrel", 0, "Incorrect Second IP Address\n");
      return 0;
    }
    if (std::strcmp(second_ipaddr, myipaddr) == 0) {
      Log("ostrel", 0, "Second IP Address shouldn't be the same as First\n");
      return 0;
    }
  }
  struct Derived {
    char* field;
    const char* incorrect;
    const char* same_first;
    const char* same_second;
  };
  const Derived derived[] = {
      {server_ipaddr, "Incorrect Server IP Address\n", "Server IP Address shouldn't be the same as First\n",
       "Server IP Address shouldn't be the same as Second\n"},
      {private_ipaddr, "Incorrect Private IP Address\n",
       "Private IP Address shouldn't be the same as First\n",
       "Private IP Address shouldn't be the same as Second\n"},
  };
  for (const Derived& d : derived) {
    if (d.field[0] == '\0') {
      std::strcpy(d.field, myipaddr);
      continue;
    }
    const char* complaint = nullptr;
    if (!IsLiteralIPv4(d.field)) {
      complaint = d.incorrect;
    } else if (std::strcmp(d.field, myipaddr) == 0) {
      complaint = d.same_first;
    } else if (std::strcmp(d.field, second_ipaddr) == 0) {
      complaint = d.same_second;
    }
    if (complaint != nullptr) {
      Log("ostrel", 0, "%s", complaint);
      return 0;
    }
  }
  std::strcpy(intern_ipaddr, std::strcmp(server_ipaddr, myipaddr) != 0 ? server_ipaddr : private_ipaddr);
  return 1;
}

int Config::Reread() {
  if (config_file.empty()) config_file = "ostrel.cfg";
  struct stat st {};
  if (stat(config_file.c_str(), &st) != 0) {
    Log("ostrel", 0, "Warning: Can't find config file %s\n", config_file.c_str());
    return 0;
  }
  if (timestamp != 0 && SameMtime(st, timestamp, timestamp_ns_)) return 1;
  std::ifstream file(config_file);
  if (!file) {
    Log("ostrel", 0, "Warning: Can't open config file\n");
    return 0;
  }
  const bool rereading = timestamp != 0;
  if (rereading) {
    res_init();
    Log("ostrel", 0, "Rereading config file ...\n");
  }
  // The file is read into a copy; the configuration in force changes only if every line was accepted.
  auto read = std::make_unique<Settings>();
  {
    ReadGuard guard(lock, MutexGuard::DO_LOCK);
    *read = static_cast<const Settings&>(*this);
  }
  read->StartRead();
  bool ok = ReadLines(file, *read, rereading);
  ok = FinishRead(*read) && ok;
  if (!ok) {
    if (rereading) {
      rereads_refused_.fetch_add(1, std::memory_order_relaxed);
      Log("ostrel", 0, "Config file %s has errors: the configuration in force is kept\n",
          config_file.c_str());
    }
    return 0;
  }
  if (rereading) rereads_taken_.fetch_add(1, std::memory_order_relaxed);
  TakeRead(std::move(*read), rereading);
  timestamp = st.st_mtim.tv_sec;
  timestamp_ns_ = st.st_mtim.tv_nsec;
  return 1;
}

bool Config::ReadLines(std::istream& file, Settings& read, bool rereading) const {
  bool ok = true;
  int number = 0;
  std::string line;
  auto line_error = [&] {
    Log("ostrel", 0, "Config file %s. Error in line %d:\n\t%s\n\n", config_file.c_str(), number,
        line.c_str());
    ok = false;
  };
  while (std::getline(file, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // written on another system
    LRTrim(line);
    if (line.empty()) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      line_error();
      continue;
    }
    std::string keyword = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    LRTrim(keyword);
    LRTrim(value);
    if (keyword.empty() || value.empty() || !EnvExpansion(value) || LRTrim(value).empty()) {
      line_error();
      continue;
    }
    const ConfigKeyword* entry = FindKeyword(keyword);
    if (entry == nullptr) {
      Log("ostrel", 0, "Config file %s. Unknown parameter in line %d:\n\t%s\n", config_file.c_str(), number,
          line.c_str());
      ok = false;
      continue;
    }
    if (rereading && !entry->reread) continue;
    if (!(read.*(entry->handler))(value)) line_error();
  }
  return ok;
}

bool Config::FinishRead(Settings& read) const {
  bool ok = true;
  if (read.dos_mode == DL_SYSFW &&
      (read.rule_name.empty() || read.start_command.empty() || read.stop_command.empty() ||
       read.block_command.empty() || read.unblock_command.empty())) {
    Log("ostrel", 0,
        "All Commands: STOP, START, BLOCK, UNBLOCK should be specifyed for FW type of DOS Prevention\n\n");
    read.dos_mode = DL_LOCAL;
    ok = false;
  }
  // Most specific first; entries of equal rank keep the order of the file.
  std::stable_sort(read.domains.begin(), read.domains.end());
  std::stable_sort(read.subnets.begin(), read.subnets.end());
  std::stable_sort(read.broken.begin(), read.broken.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  std::stable_sort(read.dos_whitelist.begin(), read.dos_whitelist.end());
  if (!read.doscfg_changed && read.dos_whitelist != dos_whitelist) read.doscfg_changed = true;
  if (!read.statlog_set) {
    std::string none;
    ok = read.ReadStatLog(none) && ok;
  }
  return ok;
}

void Config::TakeRead(Settings&& read, bool rereading) {
  const bool dos_changed = read.doscfg_changed;
  const bool idle_changed = rereading && read.idletm != idletm;
  const int log_level = read.log_level_;
  const std::string log_limit = read.log_limit_;
  const bool slow_start_seen = read.slow_start_seen_;
  const bool app_name_seen = read.app_name_seen_;
  read.doscfg_changed = false;
  // The listener is bound once at start-up; the address in force stays what it serves.
  if (rereading && read.metrics != metrics)
    Log("ostrel", 0, "Warning: metrics changed to %s: it takes effect at the next start\n",
        read.metrics.Port() != 0 ? read.metrics.Text().c_str() : "off");
  {
    WriteGuard guard(lock, MutexGuard::DO_LOCK);
    if (rereading) {
      TakeRereadable(std::move(read));
    } else {
      static_cast<Settings&>(*this) = std::move(read);
    }
  }
  log_opened_ = OpenLog(log_file) != 0;
  if (log_level >= 0) g_log_block.level = log_level;
  if (!log_limit.empty()) g_log_block.SetLimit(log_limit);
  if (app_name_seen) {
    bool slave = hooks.is_slave && hooks.is_slave();
    g_log_block.SetAppName(slave ? app_slave : app_master);
  }
  if (domains.empty()) Log("ostrel", 0, "Warning: Domain unrestricted mode\n");
  // A node that takes over has never used its peer's servers itself: only listed ones pass at once.
  if (ha_peer.Ip() != 0 && servers.addresses.empty() && trusted_sources.empty())
    Log("ostrel", 0,
        "Warning: HA peer without 'server' or 'trusted' lines: after a take-over, requests on the internal "
        "port pass only from servers this node has used\n");
  if (dos_changed && rereading && hooks.dos_reset) hooks.dos_reset();
  if (slow_start_seen && hooks.end_slow_start) hooks.end_slow_start();
  if (idle_changed) RearmTimer();
}

void Config::OnTimer(const void*) {
  if (hooks.clean_up) hooks.clean_up();
  OpenLog(log_file);
  Reread();
}

void Config::ArmTimer(PollReactor& reactor) {
  reactor_ = &reactor;
  timer_ = reactor.SetTimer(this, idletm, nullptr, idletm);
}

void Config::RearmTimer() {
  if (reactor_ == nullptr) return;
  reactor_->CancelTimer(timer_);
  timer_ = reactor_->SetTimer(this, idletm, nullptr, idletm);
  Log("ostrel", 0, "Idle timer period is now %d seconds\n", idletm / 1000);
}
