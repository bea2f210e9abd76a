// The daemon's entry point: reads its configuration, binds the ports in a fixed order, starts the threads
// of the configured mode, wires signals and the periodic timer into the reactor and runs it until TERM.
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/intake.h"
#include "core/metrics.h"
#include "core/nat_probes.h"
#include "core/service_notify.h"
#include "core/state_store.h"
#include "dialogs/call.h"
#include "dialogs/dialog.h"
#include "dialogs/dialog_hooks.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/name_resolver.h"
#include "media/media_engine.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "ports/socket.h"

namespace {

constexpr int kExitInit = 5;

// shared: the port will have several reader threads, each with a socket of its own on the address
// (ExternalPort::StartReaders).
bool Bind(SocketUDP& sock, const char* ip, int port, bool big_buffer, bool shared = false) {
  InetAddress addr(static_cast<unsigned short>(port));
  if (ip != nullptr && *ip != '\0' && !addr.Set(static_cast<unsigned short>(port), ip)) return false;
  if (big_buffer) sock.MaximiseReceiveBuffer();
  return shared ? sock.BindShared(addr) : sock.bind(addr);
}

// The alternate, internal and events ports follow second_port (+0, +3, +2; 16-bit arithmetic).
void BindPorts() {
  const int second = g_config.second_port;
  const bool readers = g_config.num_threads > 1;
  if (!Bind(g_external_port, g_config.private_ipaddr, g_config.main_port, true, readers)) {
    Log("ostrel", LEVEL_ALWAYS, "Can't open Main port %s:%d\n", g_config.private_ipaddr, g_config.main_port);
    std::exit(kExitInit);
  }
  if (!Bind(g_alternate_port, nullptr, second, false)) {
    Log("ostrel", LEVEL_ALWAYS, "Can't open Alt port %d\n", second);
    std::exit(kExitInit);
  }
  const int internal = (second + 3) & 0xFFFF;
  if (!Bind(g_internal_port, g_config.intern_ipaddr, internal, true, readers)) {
    Log("ostrel", LEVEL_ALWAYS, "Can't open Int port %s:%d \n", g_config.intern_ipaddr, internal);
    std::exit(kExitInit);
  }
  if (g_config.second_ipaddr[0] != '\0') {
    SocketUDP probe;
    const int port = (second + 1) & 0xFFFF;
    if (!Bind(probe, g_config.second_ipaddr, port, false)) {
      Log("ostrel", LEVEL_ALWAYS, "Can't open Second IP port %s:%d \n", g_config.second_ipaddr, port);
      std::exit(kExitInit);
    }
  }
  if (!g_config.evnts.empty() || g_config.ha_peer.sin_addr.s_addr != 0) {
    if (!Bind(g_events_port, nullptr, (second + 2) & 0xFFFF, true)) {
      Log("ostrel", LEVEL_ALWAYS, "Can't open Events/HA port %d\n", (second + 2) & 0xFFFF);
      std::exit(kExitInit);
    }
  }
}

// n external readers and max(2, n / 2) internal ones; num_threads then counts the readers.
void StartReaders() {
  const unsigned n = static_cast<unsigned>(g_config.num_threads);
  const unsigned internal = n / 2 > 2 ? n / 2 : 2;
  int rc = g_external_port.StartReaders(n, "Ext UDP Read", "Start External Reading loop\n");
  if (rc == 0) rc = g_internal_port.StartReaders(internal, "Int UDP Read", "Start Internal Reading loop\n");
  if (rc != 0) {
    Log("ostrel", LEVEL_ALWAYS, "Cannot created Listener thread: %s\n", std::strerror(rc));
    std::exit(6);
  }
  g_config.num_threads = static_cast<int>(n + internal);
}

// Multi-thread mode: queue workers and reader threads; single-thread mode: the reactor reads both SIP
// ports and runs the queue through notify(1). The key manager runs in both.
void StartThreads() {
  // The media threads are up before any reader can take an INVITE that anchors a call.
  if (!MediaEngine::Instance().Start(g_config.media_threads)) {
    Log("ostrel", LEVEL_ALWAYS, "ERROR: Cannot start media threads\n");
    std::exit(6);
  }
  // Names in requests are looked up by the resolver's threads, never by a reader or under a dialog lock.
  NameResolver::Instance().Start();
  // Before any reader: the relay answers from the state it read back (anchored calls need the media threads).
  StartStateStore();
  if (g_config.num_threads > 1) {
    if (int rc = g_core.StartQueueThreads(static_cast<unsigned>(g_config.num_threads),
                                          static_cast<unsigned>(g_config.max_threads))) {
      Log("ostrel", LEVEL_ALWAYS, "ERROR: Cannot created Queue thread: %s\n", std::strerror(rc));
      std::exit(6);
    }
    StartReaders();
  } else {
    g_core.RegisterDescriptor(g_internal_port.GetHandle(), &g_internal_port);
    g_external_port.Block(false);
    g_core.RegisterDescriptor(g_external_port.GetHandle(), &g_external_port);
    g_internal_port.Block(false);
    g_core.UseReactor(&g_core);
    g_core.SetCustom(&g_core);
  }
  if (int rc = g_core.StartKeyManager()) {
    Log("ostrel", LEVEL_ALWAYS, "ERROR: Cannot created Key Manage thread: %s\n", std::strerror(rc));
    std::exit(8);
  }
}

void WarnLowDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 10240)
    Log("ostrel", LEVEL_ALWAYS, "WARNING: Running with low limit 'Number of open file descriptors' = %lu !\n",
        static_cast<unsigned long>(rl.rlim_cur));
}

// Dialog timers on the internal port: an authenticated retry that never came, a completed dialog's
// linger, or a request that got no final answer in time (Timer F) end the dialog. A callback from a timer
// that was replaced meanwhile does nothing.
void InternalPortTimer(const void* cookie) {
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(Dialog::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie)) return;
  if ((d->TimerType() & (Dialog::T_AUTH | Dialog::T_COMPLETE | Dialog::T_TRANSACTION)) == 0) return;
  if (d->TimerType() == Dialog::T_TRANSACTION)
    Log(d->NumberCString(), LEVEL_DEBUG, d->LogLevel(), "Transaction Timeout - no final answer: %s\n",
        d->Key().c_str());
  d->CancelTimer(Dialog::T_ANY);
  g_core.Destroy(std::move(d));
}

// A call's INVITE retransmission on the external port; a call whose INVITE timed out for good goes. An
// INVITE that stayed provisional too long (Timer C) ends its call.
void ExternalPortTimer(const void* cookie) {
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(Dialog::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie)) return;
  auto* call = dynamic_cast<Call*>(d.operator->());
  if (call != nullptr && d->TimerType() == Dialog::T_INVITE) return call->InviteTimeout();
  if (d->TimerType() != Dialog::T_RETRANS) return;
  if (call != nullptr && !call->Retransmit()) g_core.Destroy(std::move(d));
}

void InstallRegistrationHooks() {
  Registration::hooks.send_to_server = [](SipMessage& msg, const InetAddress& to) {
    g_internal_port.send(msg, to, 0, LEVEL_REGISTRATION_REGULATION);
  };
}

void InstallDialogHooks() {
  DialogHooks& h = Dialog::Hooks();
  h.bounce = [](SipMessage& msg, int code, const std::string& reason, const InetAddress& to,
                const SipPort& port) { Bounce(msg, code, reason, to, port); };
  h.assign = [](InetAddress& a, const char* host, const char* tag, uint32_t source) {
    a.reset();
    Assign(a, host, tag, source);
    return !a.empty();
  };
  h.check_domain = [](SipMessage& msg, const InetAddress& from, std::string& defect, DomainOptions& options) {
    return g_config.CheckDomain(msg, from, defect, options);
  };
  h.has_register = [](const std::string& ncnt) { return Registration::HasRegister(ncnt); };
  h.keep_registration_alive = [](Dialog& d, int) { Registration::KeepAliveFromSubscribe(d); };
  // Slow start: the throttle switches it, the set-up of other requests reads it, a re-read ends it.
  h.slow_start = [] { return g_core.SlowStart(); };
  h.set_slow_start = [](bool on) { g_core.SetSlowStart(on); };
  g_config.hooks.end_slow_start = [] { g_core.SetSlowStart(false); };
}

void InstallHooks() {
  g_config.hooks.bounce = [](SipMessage& msg, int code, const std::string& reason, const InetAddress& to) {
    Bounce(msg, code, reason, to, g_external_port);
  };
  g_config.hooks.send_to_client = [](SipMessage& msg, const InetAddress& to) {
    g_external_port.send(msg, to, 0, 0);
  };
  g_config.hooks.report_offence = [](const InetAddress& src) { g_dos.Report(src, DosCore::DOS_L, 0); };
  g_external_port.SetHandler(intake::ClientDatagram);
  g_internal_port.SetHandler(intake::ServerDatagram);
  g_internal_port.SetTimerHandler(InternalPortTimer);
  g_external_port.SetTimerHandler(ExternalPortTimer);

  g_config.hooks.dos_reset = [] { g_dos.DosReset(); };
  DosCore::Hooks dos;
  dos.settings = DosSettingsFromConfig;
  dos.is_whitelisted = [](uint32_t ip) { return g_config.IsDosWLists(ip); };
  AddDosEventHooks(dos);
  g_dos.SetHooks(std::move(dos));

  InstallRegistrationHooks();
  InstallDialogHooks();
  intake::InstallNatProbes();
  InstallEventHooks();
}

// Every call allocates and frees its messages and dialog at the top of the heap: with the default 128 KiB
// trim threshold the heap shrank and grew again many times a second, each time paying brk and fresh-page
// faults.
void KeepHeapBetweenCalls() {
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  mallopt(M_TOP_PAD, 4 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  KeepHeapBetweenCalls();
  // A TERM that arrives while starting waits, pending, until the reactor's receivers are registered.
  const std::vector<int> handled(std::begin(OstrelCore::kHandledSignals),
                                 std::end(OstrelCore::kHandledSignals));
  PollReactor::BlockSignals(handled, true);

  prctl(PR_SET_DUMPABLE, 1);
  const char* slash = std::strrchr(argv[0], '/');
  const std::string name = slash ? slash + 1 : argv[0];
  g_log_block.SetAppName(name);
  g_config.app_master = g_config.app_slave = name;
  InstallHooks();

  if (g_config.Init(argc, argv) != 1) {
    Log("ostrel", LEVEL_ALWAYS, "Initial Init has failed\n");
    return kExitInit;
  }
  BindPorts();
  intake::RegisterAltPort();
  StartEventsPort();

  // The flood detector is armed before the first datagram is read: a flood sent the moment the ports are
  // bound is counted, not wiped by a reset after the readers started.
  g_dos.DosReset();
  // Threads created from here on keep the handled signals blocked: only the reactor thread takes them.
  StartThreads();
  metrics::StartEndpoint();
  WarnLowDescriptorLimit();
  for (int signo : handled) g_core.RegisterSignal(&g_core, signo);
  g_config.ArmTimer(g_core);
  PollReactor::BlockSignals(handled, false);
  g_events_port.HaRequest();
  service::StartWatchdog(g_core);
  service::Ready();

  g_core.Run();
  // No scrape walks the table while it is emptied.
  metrics::StopEndpoint();
  // Workers have stopped: what is left belongs to nobody and is released before the statics go.
  g_core.DestroyAll();
  Registration::DestroyAll();
  return 0;
}
