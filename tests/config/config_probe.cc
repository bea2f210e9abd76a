// config_probe: a stand-in for the daemon's configuration steps, for process tests of start-up exits and
// of re-reads driven by SIGHUP and the periodic timer. It does what main does with the configuration
// (Init, HUP -> log re-open and Reread, the idle timer) and nothing else. SIGUSR1 logs the settings the
// tests look at; SIGTERM ends it with status 0. OSTREL_PROBE_IDLE_MS shortens the timer period.
#include <signal.h>

#include <cstdlib>
#include <string>

#include "config/config.h"
#include "foundation/log.h"
#include "foundation/reactor.h"

namespace {

class Probe : public SignalCB {
 public:
  explicit Probe(PollReactor& reactor) : reactor_(reactor) {}

  void OnSignal(int signo) override {
    if (signo == SIGHUP) {
      OpenLog(g_config.log_file);
      g_config.Reread();
    } else if (signo == SIGUSR1) {
      Dump();
    } else if (signo == SIGTERM) {
      reactor_.Stop();
    }
  }

 private:
  static void Dump() {
    std::string domains;
    {
      ReadGuard guard(g_config.lock);
      for (const DomainOptions& d : g_config.domains)
        domains += (d.ast ? "*" : "") + d.host + (d.full ? "/full " : " ");
    }
    Log("ostrel", 0, "probe: port=%d quiet=%d idle=%d domains=[%s]\n", g_config.main_port,
        g_config.quiet_mode ? 1 : 0, g_config.idletm, domains.c_str());
  }

  PollReactor& reactor_;
};

}  // namespace

int main(int argc, char** argv) {
  g_log_block.SetAppName("ostrel");
  PollReactor reactor;
  Probe probe(reactor);
  g_config.hooks.clean_up = [] { Log("ostrel", 0, "probe: housekeeping\n"); };
  if (g_config.Init(argc, argv) != 1) {
    Log("ostrel", 0, "Initial Init has failed\n");
    return 5;
  }
  if (const char* idle = std::getenv("OSTREL_PROBE_IDLE_MS")) g_config.idletm = std::atoi(idle);
  for (int signo : {SIGHUP, SIGTERM, SIGUSR1}) reactor.RegisterSignal(&probe, signo);
  g_config.ArmTimer(reactor);
  Log("ostrel", 0, "probe: ready\n");
  reactor.Run();
  return 0;
}
