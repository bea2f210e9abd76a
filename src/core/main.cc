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
#include "dialogs/call.h"
#include "dialogs/dialog.h"
#include "core/nat_probes.h"
#include "dialogs/dialog_hooks.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "core/intake.h"
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "ports/socket.h"

namespace {

constexpr int kExitInit = 5;

bool Bind(SocketUDP& sock, const char* ip, int port, bool big_buffer) {
  InetAddr addr(static_cast<unsigned short>(port));
  if (ip != nullptr && *ip != '\0' && !addr.set(static_cast<unsigned short>(port), ip)) return false;
  if (big_buffer) sock.maximise_rcvbuf();
  return sock.bind(addr);
}

// The alternate, internal and events ports follow SecondPort (+0, +3, +2; 16-bit arithmetic).
void BindPorts() {
  const int second = Cfg.SecondPort;
  if (!Bind(ExtPort, Cfg.private_ipaddr, Cfg.MainPort, true)) {
    Log("ostrel", LOG_ALWAYS, "Can't open Main port %s:%d\n", Cfg.private_ipaddr, Cfg.MainPort);
    std::exit(kExitInit);
  }
  if (!Bind(AltPort, nullptr, second, false)) {
    Log("ostrel", LOG_ALWAYS, "Can't open Alt port %d\n", second);
    std::exit(kExitInit);
  }
  const int internal = (second + 3) & 0xFFFF;
  if (!Bind(IntPort, Cfg.intern_ipaddr, internal, true)) {
    Log("ostrel", LOG_ALWAYS, "Can't open Int port %s:%d \n", Cfg.intern_ipaddr, internal);
    std::exit(kExitInit);
  }
  if (Cfg.second_ipaddr[0] != '\0') {
    SocketUDP probe;
    const int port = (second + 1) & 0xFFFF;
    if (!Bind(probe, Cfg.second_ipaddr, port, false)) {
      Log("ostrel", LOG_ALWAYS, "Can't open Second IP port %s:%d \n", Cfg.second_ipaddr, port);
      std::exit(kExitInit);
    }
  }
  if (!Cfg.evnts.empty() || Cfg.ha_peer.sin_addr.s_addr != 0) {
    if (!Bind(EvntPort, nullptr, (second + 2) & 0xFFFF, true)) {
      Log("ostrel", LOG_ALWAYS, "Can't open Events/HA port %d\n", (second + 2) & 0xFFFF);
      std::exit(kExitInit);
    }
  }
}

// n external readers and max(2, n / 2) internal ones; num_threads then counts the readers.
void StartReaders() {
  const unsigned n = static_cast<unsigned>(Cfg.num_threads);
  const unsigned internal = n / 2 > 2 ? n / 2 : 2;
  int rc = ExtPort.StartReaders(n, "Ext UDP Read", "Start External Reading loop\n");
  if (rc == 0) rc = IntPort.StartReaders(internal, "Int UDP Read", "Start Internal Reading loop\n");
  if (rc != 0) {
    Log("ostrel", LOG_ALWAYS, "Cannot created Listener thread: %s\n", std::strerror(rc));
    std::exit(6);
  }
  Cfg.num_threads = static_cast<int>(n + internal);
}

// Multi-thread mode: queue workers and reader threads; single-thread mode: the reactor reads both SIP
// ports and runs the queue through notify(1). The key manager runs in both.
void StartThreads() {
  if (Cfg.num_threads > 1) {
    if (int rc = Core.StartQueueThreads(static_cast<unsigned>(Cfg.num_threads), static_cast<unsigned>(Cfg.max_threads))) {
      Log("ostrel", LOG_ALWAYS, "ERROR: Cannot created Queue thread: %s\n", std::strerror(rc));
      std::exit(6);
    }
    StartReaders();
  } else {
    Core.register_fd(IntPort.get_handle(), &IntPort);
    ExtPort.block(false);
    Core.register_fd(ExtPort.get_handle(), &ExtPort);
    IntPort.block(false);
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

DosSettings CurrentDosSettings() {
  DosSettings s;
  s.DOSMode = Cfg.DOSMode;
  s.Interval = Cfg.Interval;
  s.BlockTime1 = Cfg.BlockTime1;
  s.LThreshold1 = Cfg.LThreshold1;
  s.HThreshold1 = Cfg.HThreshold1;
  s.RThreshold1 = Cfg.RThreshold1;
  s.NumInterv = Cfg.NumInterv;
  s.BlockTimeN = Cfg.BlockTimeN;
  s.LThresholdN = Cfg.LThresholdN;
  s.HThresholdN = Cfg.HThresholdN;
  s.RThresholdN = Cfg.RThresholdN;
  s.MaxMPS = Cfg.MaxMPS;
  s.BlockTimeMps = Cfg.BlockTimeMps;
  s.DDthreshold = Cfg.DDthreshold;
  s.DDBlockTime = Cfg.DDBlockTime;
  s.fw = FirewallCommands{Cfg.RuleName, Cfg.FWCmdStart, Cfg.FWCmdStop, Cfg.FWCmdBlock, Cfg.FWCmdUnblock};
  return s;
}

// Dialog timers on the internal port: an authenticated retry that never came, or a completed dialog's
// linger, end the dialog. A callback from a timer that was replaced meanwhile does nothing.
void InternalPortTimer(const void* cookie) {
  TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(Dialog_t::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie)) return;
  if ((d->TimerType() & (Dialog_t::T_AUTH | Dialog_t::T_COMPLETE)) == 0) return;
  d->CancelTimer(Dialog_t::T_ANY);
  Core.Destroy(std::move(d));
}

// A call's INVITE retransmission on the external port; a call whose INVITE timed out for good goes.
void ExternalPortTimer(const void* cookie) {
  TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(Dialog_t::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie) || d->TimerType() != Dialog_t::T_RETRANS) return;
  auto* call = dynamic_cast<Call_t*>(d.operator->());
  if (call != nullptr && !call->Retransmit()) Core.Destroy(std::move(d));
}


void InstallCallHooks() {
  intake::NewCall = [](ClnMsg& m, const std::string& key) -> Dialog_t* {
    return new Call_t(std::move(m.cmsg), key, m.defect);
  };
  // The registration is released before the call enters the dialog table (lock order).
  intake::NewServerCall = [](IntMsg& m, const std::string& key, TGuard<Register_t>& reg) -> Dialog_t* {
    const RegValues_t values = reg->Values();
    reg.reset();
    return new Call_t(std::move(m.cmsg), key, m.frm, values);
  };
  intake::NextPRACK = [](unsigned no) {
    TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(no));
    if (auto* call = d ? dynamic_cast<Call_t*>(d.operator->()) : nullptr) call->NextPRACK();
  };
  ExtPort.SetTimerHandler(ExternalPortTimer);
}

void ProcessQueued(QueueMsg m) {
  if (m.qmtype == QueueMsg::QM_Ext)
    intake::ProcessClient(std::unique_ptr<ClnMsg>(static_cast<ClnMsg*>(m.item.release())));
  else
    intake::ProcessServer(std::unique_ptr<IntMsg>(static_cast<IntMsg*>(m.item.release())));
}

// A client REGISTER that no dialog holds yet opens a registration dialog, locked by its creator.
Dialog_t* NewRegistrationDialog(ClnMsg& m, const std::string& key) {
  // An HA slave that handles a client's REGISTER itself becomes master first, and clears what it kept.
  if (Core.IsSlave() && Core.SetSlave(false)) Core.CleanUp();
  // A refresh that carries a To tag was not checked by the reader; its domain decides whether the relay
  // unregisters the client itself, so the check happens here (and set-up does not repeat it).
  if (!m.dmopt || !m.dmopt->checked) {
    auto options = std::make_unique<DomainOptions_t>();
    if (!Cfg.CheckDomain(*m.cmsg, m.frm, m.defect, *options)) return nullptr;
    m.dmopt = std::move(options);
  }
  const bool xunr = m.dmopt->xunr;
  return new RegDialog_t(std::move(m.cmsg), key, m.fuser, m.defect, xunr);
}

void InstallRegistrationHooks() {
  intake::IsHitCache = Register_t::IsHitCache;
  intake::NewRegDialog = NewRegistrationDialog;
  Register_t::hooks.update_call = [](unsigned uno, const InetAddr& addr) { Core.UpdKey(static_cast<int>(uno), addr); };
  Register_t::hooks.clear_call = [](unsigned uno) { Core.ClearReg(static_cast<int>(uno)); };
  Register_t::hooks.send_to_server = [](SIP& msg, const InetAddr& to) { IntPort.send(msg, to, 0, LOG_REG_REGUL); };
  Core.SetHooks([] {
    OstrelCore::Hooks h = Core.GetHooks();
    h.registrations_cleanup = [] { Register_t::CleanUp(); };
    h.status_dump = [] { Core.StatusDump(); };
    return h;
  }());
}

void InstallDialogHooks() {
  DialogHooks& h = Dialog_t::Hooks();
  h.Bounce = [](SIP& msg, int code, const std::string& reason, const InetAddr& to, const SIPPort_t& port) {
    Bounce(msg, code, reason, to, port);
  };
  h.Assign = [](InetAddr& a, const char* host, const char* tag) {
    a.reset();
    Assign(a, host, tag);
    return !a.empty();
  };
  h.CheckDomain = [](SIP& msg, const InetAddr& from, std::string& defect, DomainOptions_t& options) {
    return Cfg.CheckDomain(msg, from, defect, options);
  };
  h.HasRegister = [](const std::string& ncnt) { return Register_t::HasRegister(ncnt); };
  h.KeepRegistrationAlive = [](Dialog_t& d, int) { Register_t::KeepAliveFromSubscribe(d); };
}

void InstallHooks() {
  Cfg.hooks.Bounce = [](SIP& msg, int code, const std::string& reason, const InetAddr& to) {
    Bounce(msg, code, reason, to, ExtPort);
  };
  Cfg.hooks.SendToClient = [](SIP& msg, const InetAddr& to) { ExtPort.send(msg, to, 0, 0); };
  Cfg.hooks.ReportOffence = [](const InetAddr& src) { DCore.report(src, DOSCore::DOS_L, 0); };
  ExtPort.SetHandler(intake::ClientDatagram);
  IntPort.SetHandler(intake::ServerDatagram);
  IntPort.SetTimerHandler(InternalPortTimer);
  Core.SetProcessor(ProcessQueued);

  Cfg.hooks.DosReset = [] { DCore.dos_reset(); };
  DOSCore::Hooks dos;
  dos.settings = CurrentDosSettings;
  dos.is_whitelisted = [](uint32_t ip) { return Cfg.IsDosWLists(ip); };
  AddDosEventHooks(dos);
  DCore.SetHooks(std::move(dos));

  OstrelCore::Hooks core;
  core.reopen_log_and_reread = [] {
    OpenLog(Cfg.LogFName);
    Cfg.Reread();
  };
  core.dos_reset = [] { DCore.dos_reset(); };
  core.before_close = [] {
    EvntPort.event_ostrel_stop();
    if (Cfg.DOSMode == DL_SYSFW) FW_Stop(CurrentDosSettings().fw);
  };
  core.stop_readers = [] {
    ExtPort.StopReaders();
    IntPort.StopReaders();
  };
  core.wake_queues = [] { EvntPort.StopHa(); };
  Core.SetHooks(std::move(core));
  Core.SetExternalSocket(&ExtPort);
  InstallRegistrationHooks();
  InstallDialogHooks();
  InstallCallHooks();
  intake::InstallNatProbes();
  InstallEventHooks();
}

// Every call allocates and frees its messages and dialog at the top of the heap: with the default 128 KiB trim
// threshold the heap shrank and grew again many times a second, each time paying brk and fresh-page faults.
void KeepHeapBetweenCalls() {
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  mallopt(M_TOP_PAD, 4 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  KeepHeapBetweenCalls();
  // A TERM that arrives while starting waits, pending, until the reactor's receivers are registered.
  const std::vector<int> handled(std::begin(OstrelCore::kHandledSignals), std::end(OstrelCore::kHandledSignals));
  PollReactor::block_signals(handled, true);

  prctl(PR_SET_DUMPABLE, 1);
  const char* slash = std::strrchr(argv[0], '/');
  const std::string name = slash ? slash + 1 : argv[0];
  GLogBlock.SetAppName(name);
  Cfg.SAppMaster = Cfg.SAppSlave = name;
  InstallHooks();

  if (Cfg.Init(argc, argv) != 1) {
    Log("ostrel", LOG_ALWAYS, "Initial Init has failed\n");
    return kExitInit;
  }
  BindPorts();
  intake::RegisterAltPort();
  StartEventsPort();

  // Threads created from here on keep the handled signals blocked: only the reactor thread takes them.
  StartThreads();
  WarnLowDescriptorLimit();
  for (int signo : handled) Core.register_signal(&Core, signo);
  DCore.dos_reset();
  Cfg.ArmTimer(Core);
  PollReactor::block_signals(handled, false);
  EvntPort.ha_Request();

  Core.run();
  // Workers have stopped: what is left belongs to nobody and is released before the statics go.
  Core.DestroyAll();
  Register_t::DestroyAll();
  return 0;
}
