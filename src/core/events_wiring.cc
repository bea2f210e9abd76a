// Start-up wiring of the events port: the hooks through which registrations, calls, dialogs, flood
// protection and the intake report to the collector and the HA peer. Main thread, before any worker runs.
#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/intake.h"
#include "core/metrics.h"
#include "core/state_store.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"

namespace {

template <class Map, class Key>
void Bump(Map& m, const Key& k) {
  MutexGuard guard(g_events_port.stats_);
  ++m[k];
}

void InstallRegistrationEvents() {
  Registration::hooks.is_slave = [] { return g_core.IsSlave(); };
  Registration::hooks.set_master = [] { g_core.SetSlave(false); };
  // The record is being destroyed under the registrations' lock: only sends happen here.
  Registration::hooks.removed = [](const Registration& reg) {
    g_events_port.HaUnregister(reg);
    g_events_port.EventRegistration(0, reg, "", 0, "");
  };
  RegisterDialog::events.ha_register = [](const Registration& reg) { g_events_port.HaRegister(reg); };
  RegisterDialog::events.event_reg = [](int what, const Registration& reg, const std::string& agent,
                                        uint16_t port, const std::string& hole) {
    g_events_port.EventRegistration(what, reg, agent, port, hole);
  };
  RegisterDialog::events.event_reason = [](const RegisterDialog& d, const std::string& reason) {
    g_events_port.EventReason(d, reason);
  };
}

void InstallCallEvents() {
  Call::CallHooks& h = Call::Hooks();
  h.event_call = [](const Call& call, int ev, const std::string& extra) {
    metrics::CountCallEvent(call, ev);
    g_events_port.EventCall(ev, call, extra);
  };
  h.ha_call = [](const Call& call, bool started) {
    if (started)
      g_events_port.HaCallStart(call);
    else
      g_events_port.HaCallStop(call);
  };
  h.set_master = [] { g_core.SetSlave(false); };
  h.is_slave = [] { return g_core.IsSlave(); };
  h.media_event = [](unsigned uniq, int ev, const std::string& source) {
    g_events_port.EventMedia(uniq, ev, source);
  };
}

void InstallStatistics() {
  Dialog::Hooks().count_method = [](SipStartLine::RequestMethod method) {
    const int m = static_cast<int>(method);
    if (m < 0 || m >= SipStartLine::METHOD_COUNT) return;
    Bump(g_events_port.stats_.methods, std::string(SipStartLine::kMethodNames[m]));
  };
  CountBounce = [](int code) { Bump(g_events_port.stats_.bounces, code); };
}

}  // namespace

void InstallEventHooks() {
  InstallRegistrationEvents();
  InstallCallEvents();
  InstallStatistics();
  InstallStateStoreHooks();
  g_config.hooks.is_slave = [] { return g_core.IsSlave(); };
  g_config.hooks.clean_up = [] { g_core.CleanUp(); };
}

// DosCore's hooks are installed as a whole by start-up; this adds the reporting ones.
void AddDosEventHooks(DosCore::Hooks& dos) {
  dos.event_block = [](bool on, uint32_t ip, int port) { g_events_port.EventBlock(on, ip, port); };
  dos.event_ddos = [](bool on) { g_events_port.EventDdos(on); };
  dos.count_report = [](char letter) { Bump(g_events_port.stats_.attackers, letter); };
  AddStateStoreHooks(dos);
}

void StartEventsPort() {
  g_events_port.Start(g_config.myipaddr, g_config.main_port);
  if (g_config.ha_peer.Port() == 0) {
    g_core.SetSlave(false);  // a lone relay serves its clients from the start
    return;
  }
  g_events_port.Block(false);
  g_core.RegisterDescriptor(g_events_port.GetHandle(), &g_events_port);
}
