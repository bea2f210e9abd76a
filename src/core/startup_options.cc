#include "core/startup_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "foundation/text.h"

namespace {
// Until the full configuration reader is wired in, start-up takes its addresses, ports and log file from the
// file's plain "keyword = value" lines; the command line wins.
void ReadBasics(StartupOptions& o, bool log_given, bool ip_given, bool port_given, bool second_given) {
  std::ifstream f(o.CfgFile);
  std::string line;
  while (std::getline(f, line)) {
    line = line.substr(0, line.find('#'));
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    LRTrim(key);
    LRTrim(value);
    if (key == "ipaddr" && !ip_given) o.myipaddr = value;
    if (key == "port" && !port_given) o.MainPort = std::atoi(value.c_str());
    if (key == "second_port" && !second_given) o.SecondPort = std::atoi(value.c_str());
    if (key == "log" && !log_given) o.LogFName = value;
    if (key == "num_listeners") o.num_threads = std::atoi(value.c_str());
  }
}
}  // namespace

bool StartupOptions::Parse(int argc, char** argv, std::string& error) {
  optind = 1;
  int opt;
  while ((opt = getopt(argc, argv, "c:l:p:o:i:s:h:f")) != -1) {
    switch (opt) {
      case 'c': CfgFile = optarg; break;
      case 'l': LogFName = optarg; break;
      case 'p': MainPort = std::atoi(optarg); break;
      case 'o': SecondPort = std::atoi(optarg); break;
      case 'i': myipaddr = optarg; break;
      case 's': second_ipaddr = optarg; break;
      case 'h': break;
      case 'f': force_full_mode = true; break;
      default: error = "usage"; return false;
    }
  }
  struct stat st;
  if (stat(CfgFile.c_str(), &st) != 0) {
    error = "Warning: Can't find config file " + CfgFile;
    return false;
  }
  ReadBasics(*this, !LogFName.empty(), !myipaddr.empty(), MainPort != 0, SecondPort != 0);
  if (LogFName.empty()) LogFName = "ostrel.log";
  if (myipaddr.empty()) myipaddr = "127.0.0.1";
  if (MainPort <= 0 || MainPort > 65535) MainPort = 7060;
  if (SecondPort <= 0 || SecondPort > 65535 - 3) SecondPort = MainPort + 1;
  return true;
}
