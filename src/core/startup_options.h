// The settings start-up needs before the configuration file is understood: read from the command line.
// Used once by main, on the main thread, before any other thread exists.
#pragma once

#include <string>

struct StartupOptions {
  std::string CfgFile = "ostrel.cfg";
  std::string LogFName;
  std::string myipaddr;
  std::string second_ipaddr;
  int MainPort = 0;
  int SecondPort = 0;
  bool force_full_mode = false;
  int num_threads = 1;

  // Returns false with a message in error when the command line or the file cannot be used.
  bool Parse(int argc, char** argv, std::string& error);
};
