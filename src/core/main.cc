// The daemon's entry point: reads its settings, binds the ports in a fixed order, wires signals and the
// periodic timer into the reactor and runs it on the main thread until TERM.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/core.h"
#include "core/startup_options.h"
#include "foundation/log.h"
#include "ports/socket.h"

namespace {

constexpr char kVersion[] = "25.07.10";
constexpr int kExitInit = 5;

StartupOptions Opts;
SocketUDP ExtSock, AltSock, IntSock, EvntSock;

[[noreturn]] void Fail(int status, const char* fmt, const std::string& a, int b = 0) {
  Log("ostrel", LOG_ALWAYS, fmt, a.c_str(), b);
  std::exit(status);
}

bool Bind(SocketUDP& sock, const std::string& ip, int port, bool big_buffer) {
  InetAddr addr(static_cast<unsigned short>(port));
  if (!ip.empty() && !addr.set(static_cast<unsigned short>(port), ip.c_str())) return false;
  if (big_buffer) sock.maximise_rcvbuf();
  return sock.bind(addr);
}

void BindPorts() {
  const int second = Opts.SecondPort;
  if (!Bind(ExtSock, Opts.myipaddr, Opts.MainPort, true))
    Fail(kExitInit, "Can't open Main port %s:%d\n", Opts.myipaddr, Opts.MainPort);
  if (!Bind(AltSock, "", second, false)) {
    Log("ostrel", LOG_ALWAYS, "Can't open Alt port %d\n", second);
    std::exit(kExitInit);
  }
  const int internal = (second + 3) & 0xFFFF;
  if (!Bind(IntSock, Opts.myipaddr, internal, true))
    Fail(kExitInit, "Can't open Int port %s:%d \n", Opts.myipaddr, internal);
  if (!Opts.second_ipaddr.empty()) {
    SocketUDP probe;
    if (!Bind(probe, Opts.second_ipaddr, (second + 1) & 0xFFFF, false))
      Fail(kExitInit, "Can't open Second IP port %s:%d \n", Opts.second_ipaddr, (second + 1) & 0xFFFF);
  }
}

// Multi-thread mode: queue workers (readers join with the SIP ports); single-thread mode: the reactor reads
// both SIP ports and runs the queue through notify(1). The key manager runs in both.
void StartThreads() {
  if (Opts.num_threads > 1) {
    if (int rc = Core.StartQueueThreads(static_cast<unsigned>(Opts.num_threads), 0)) {
      Log("ostrel", LOG_ALWAYS, "ERROR: Cannot created Queue thread: %s\n", std::strerror(rc));
      std::exit(6);
    }
  } else {
    ExtSock.block(false);
    IntSock.block(false);
    Core.UseReactor(&Core);
    Core.set_custom(&Core);
  }
  if (int rc = Core.StartKeyManager()) {
    Log("ostrel", LOG_ALWAYS, "ERROR: Cannot created Key Manage thread: %s\n", std::strerror(rc));
    std::exit(8);
  }
}

void WarnLowDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 10240)
    Log("ostrel", LOG_ALWAYS, "WARNING: Running with low limit 'Number of open file descriptors' = %lu !\n",
        static_cast<unsigned long>(rl.rlim_cur));
}

}  // namespace

int main(int argc, char** argv) {
  prctl(PR_SET_DUMPABLE, 1);
  const char* slash = std::strrchr(argv[0], '/');
  GLogBlock.SetAppName(slash ? slash + 1 : argv[0]);

  std::string error;
  if (!Opts.Parse(argc, argv, error)) {
    Log("ostrel", LOG_ALWAYS, "%s\n", error.c_str());
    Log("ostrel", LOG_ALWAYS, "Initial Init has failed\n");
    return kExitInit;
  }
  if (!OpenLog(Opts.LogFName)) return 8;
  Log("ostrel", LOG_ALWAYS, "Ostrel. %s\n", "SIP signalling and media relay");
  Log("ostrel", LOG_ALWAYS, "Build %s\n\n", kVersion);

  BindPorts();
  AltSock.block(false);

  // Only the reactor thread handles signals: threads created from here on inherit the blocked mask.
  const std::vector<int> handled(std::begin(OstrelCore::kHandledSignals), std::end(OstrelCore::kHandledSignals));
  PollReactor::block_signals(handled, true);
  StartThreads();
  PollReactor::block_signals(handled, false);

  WarnLowDescriptorLimit();
  for (int signo : handled) Core.register_signal(&Core, signo);

  Core.SetExternalSocket(&ExtSock);
  OstrelCore::Hooks hooks;
  hooks.reopen_log_and_reread = [] { OpenLog(Opts.LogFName); };
  Core.SetHooks(std::move(hooks));

  Core.run();
  return 0;
}
