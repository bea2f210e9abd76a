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
#include "core/nat_probes.h"
#include "dialogs/call.h"
#include "dialogs/dialog.h"
#include "dialogs/dialog_hooks.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "ports/socket.h"

namespace {

constexpr int kExitInit = 5;

bool Bind(SocketUDP& sock, const char* ip, int port, bool big_buffer) {
  InetAddress addr(static_cast<unsigned short>(port));
  if (ip != nullptr && *ip != '\0' && !addr.Set(static_cast<unsigned short>(port), ip)) return false;
  if (big_buffer) sock.MaximiseReceiveBuffer();
  return sock.bind(addr);
}

// The alternate, internal and events ports follow second_port (+0, +3, +2; 16-bit arithmetic).
void BindPorts() {
  const int second = g_config.second_port;
  if (!Bind(g_external_port, g_config.private_ipaddr, g_config.main_port, true)) {
    Log("ostrel", LEVEL_ALWAYS, "Can't open Main port %s:%d\n", g_config.private_ipaddr, g_config.main_port);
    std::exit(kExitInit);
  }
  if (!Bind(g_alternate_port, nullptr, second, false)) {
    Log("ostrel", LEVEL_ALWAYS, "Can't open Alt port %d\n", second);
    std::exit(kExitInit);
  }
  const int internal = (second + 3) & 0xFFFF;
  if (!Bind(g_internal_port, g_config.intern_ipaddr, internal, true)) {
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

DosSettings CurrentDosSettings() {
  DosSettings s;
  s.dos_mode = g_config.dos_mode;
  s.interval = g_config.interval;
  s.block_time_first = g_config.block_time_first;
  s.light_threshold_first = g_config.light_threshold_first;
  s.heavy_threshold_first = g_config.heavy_threshold_first;
  s.repeat_threshold_first = g_config.repeat_threshold_first;
  s.interval_count = g_config.interval_count;
  s.block_time_repeat = g_config.block_time_repeat;
  s.light_threshold_repeat = g_config.light_threshold_repeat;
  s.heavy_threshold_repeat = g_config.heavy_threshold_repeat;
  s.repeat_threshold_repeat = g_config.repeat_threshold_repeat;
  s.max_messages_per_second = g_config.max_messages_per_second;
  s.block_time_rate = g_config.block_time_rate;
  s.ddos_threshold = g_config.ddos_threshold;
  s.ddos_block_time = g_config.ddos_block_time;
  s.fw = FirewallCommands{g_config.rule_name, g_config.start_command, g_config.stop_command,
                          g_config.block_command, g_config.unblock_command};
  return s;
}

// Dialog timers on the internal port: an authenticated retry that never came, or a completed dialog's
// linger, end the dialog. A callback from a timer that was replaced meanwhile does nothing.
void InternalPortTimer(const void* cookie) {
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(Dialog::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie)) return;
  if ((d->TimerType() & (Dialog::T_AUTH | Dialog::T_COMPLETE)) == 0) return;
  d->CancelTimer(Dialog::T_ANY);
  g_core.Destroy(std::move(d));
}

// A call's INVITE retransmission on the external port; a call whose INVITE timed out for good goes.
void ExternalPortTimer(const void* cookie) {
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(Dialog::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie) || d->TimerType() != Dialog::T_RETRANS) return;
  auto* call = dynamic_cast<Call*>(d.operator->());
  if (call != nullptr && !call->Retransmit()) g_core.Destroy(std::move(d));
}

void InstallCallHooks() {
  intake::NewCall = [](ClientMessage& m, const std::string& key) -> Dialog* {
    return new Call(std::move(m.cmsg), key, m.defect);
  };
  // The registration is released before the call enters the dialog table (lock order).
  intake::NewServerCall = [](ServerMessage& m, const std::string& key,
                             ObjectGuard<Registration>& reg) -> Dialog* {
    const RegistrationValues values = reg->Values();
    reg.reset();
    return new Call(std::move(m.cmsg), key, m.frm, values);
  };
  intake::NextPRACK = [](unsigned no) {
    ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
    if (auto* call = d ? dynamic_cast<Call*>(d.operator->()) : nullptr) call->NextPRACK();
  };
  g_external_port.SetTimerHandler(ExternalPortTimer);
}

void ProcessQueued(QueueMessage m) {
  if (m.qmtype == QueueMessage::QM_EXTERNAL)
    intake::ProcessClient(std::unique_ptr<ClientMessage>(static_cast<ClientMessage*>(m.item.release())));
  else
    intake::ProcessServer(std::unique_ptr<ServerMessage>(static_cast<ServerMessage*>(m.item.release())));
}

// A client REGISTER that no dialog holds yet opens a registration dialog, locked by its creator.
Dialog* NewRegistrationDialog(ClientMessage& m, const std::string& key) {
  // An HA slave that handles a client's REGISTER itself becomes master first, and clears what it kept.
  if (g_core.IsSlave() && g_core.SetSlave(false)) g_core.CleanUp();
  // A refresh that carries a To tag was not checked by the reader; its domain decides whether the relay
  // unregisters the client itself, so the check happens here (and set-up does not repeat it).
  if (!m.dmopt || !m.dmopt->checked) {
    auto options = std::make_unique<DomainOptions>();
    if (!g_config.CheckDomain(*m.cmsg, m.frm, m.defect, *options)) return nullptr;
    m.dmopt = std::move(options);
  }
  const bool xunr = m.dmopt->xunr;
  return new RegisterDialog(std::move(m.cmsg), key, m.fuser, m.defect, xunr);
}

void InstallRegistrationHooks() {
  intake::IsHitCache = Registration::IsHitCache;
  intake::NewRegDialog = NewRegistrationDialog;
  Registration::hooks.update_call = [](unsigned uno, const InetAddress& addr) {
    g_core.UpdateKey(static_cast<int>(uno), addr);
  };
  Registration::hooks.clear_call = [](unsigned uno) { g_core.ClearRegistration(static_cast<int>(uno)); };
  Registration::hooks.send_to_server = [](SipMessage& msg, const InetAddress& to) {
    g_internal_port.send(msg, to, 0, LEVEL_REGISTRATION_REGULATION);
  };
  g_core.SetHooks([] {
    OstrelCore::Hooks h = g_core.GetHooks();
    h.registrations_cleanup = [] { Registration::CleanUp(); };
    h.status_dump = [] { g_core.StatusDump(); };
    return h;
  }());
}

void InstallDialogHooks() {
  DialogHooks& h = Dialog::Hooks();
  h.Bounce = [](SipMessage& msg, int code, const std::string& reason, const InetAddress& to,
                const SipPort& port) { Bounce(msg, code, reason, to, port); };
  h.Assign = [](InetAddress& a, const char* host, const char* tag) {
    a.reset();
    Assign(a, host, tag);
    return !a.empty();
  };
  h.CheckDomain = [](SipMessage& msg, const InetAddress& from, std::string& defect, DomainOptions& options) {
    return g_config.CheckDomain(msg, from, defect, options);
  };
  h.HasRegister = [](const std::string& ncnt) { return Registration::HasRegister(ncnt); };
  h.KeepRegistrationAlive = [](Dialog& d, int) { Registration::KeepAliveFromSubscribe(d); };
}

void InstallHooks() {
  g_config.hooks.Bounce = [](SipMessage& msg, int code, const std::string& reason, const InetAddress& to) {
    Bounce(msg, code, reason, to, g_external_port);
  };
  g_config.hooks.SendToClient = [](SipMessage& msg, const InetAddress& to) {
    g_external_port.send(msg, to, 0, 0);
  };
  g_config.hooks.ReportOffence = [](const InetAddress& src) { g_dos.Report(src, DosCore::DOS_L, 0); };
  g_external_port.SetHandler(intake::ClientDatagram);
  g_internal_port.SetHandler(intake::ServerDatagram);
  g_internal_port.SetTimerHandler(InternalPortTimer);
  g_core.SetProcessor(ProcessQueued);

  g_config.hooks.DosReset = [] { g_dos.DosReset(); };
  DosCore::Hooks dos;
  dos.settings = CurrentDosSettings;
  dos.is_whitelisted = [](uint32_t ip) { return g_config.IsDosWLists(ip); };
  AddDosEventHooks(dos);
  g_dos.SetHooks(std::move(dos));

  OstrelCore::Hooks core;
  core.reopen_log_and_reread = [] {
    OpenLog(g_config.log_file);
    g_config.Reread();
  };
  core.DosReset = [] { g_dos.DosReset(); };
  core.before_close = [] {
    g_events_port.EventOstrelStop();
    if (g_config.dos_mode == DL_SYSFW) FirewallStop(CurrentDosSettings().fw);
  };
  core.stop_readers = [] {
    g_external_port.StopReaders();
    g_internal_port.StopReaders();
  };
  core.wake_queues = [] { g_events_port.StopHa(); };
  g_core.SetHooks(std::move(core));
  g_core.SetExternalSocket(&g_external_port);
  InstallRegistrationHooks();
  InstallDialogHooks();
  InstallCallHooks();
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

  // Threads created from here on keep the handled signals blocked: only the reactor thread takes them.
  StartThreads();
  WarnLowDescriptorLimit();
  for (int signo : handled) g_core.RegisterSignal(&g_core, signo);
  g_dos.DosReset();
  g_config.ArmTimer(g_core);
  PollReactor::BlockSignals(handled, false);
  g_events_port.HaRequest();

  g_core.Run();
  // Workers have stopped: what is left belongs to nobody and is released before the statics go.
  g_core.DestroyAll();
  Registration::DestroyAll();
  return 0;
}
