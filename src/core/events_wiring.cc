// Start-up wiring of the events port: the hooks through which registrations, calls, dialogs, flood
// protection and the intake report to the collector and the HA peer. Main thread, before any worker runs.
#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/intake.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"

namespace {

template <class Map, class Key>
void Bump(Map& m, const Key& k) {
  Guard_Mutex guard(EvntPort.Stats);
  ++m[k];
}

void InstallRegistrationEvents() {
  Register_t::hooks.is_slave = [] { return Core.IsSlave(); };
  Register_t::hooks.set_master = [] { Core.SetSlave(false); };
  // The record is being destroyed under the registrations' lock: only sends happen here.
  Register_t::hooks.removed = [](const Register_t& reg) {
    EvntPort.ha_UnReg(reg);
    EvntPort.event_reg(0, reg, "", 0, "");
  };
  RegDialog_t::events.ha_Reg = [](const Register_t& reg) { EvntPort.ha_Reg(reg); };
  RegDialog_t::events.event_reg = [](int what, const Register_t& reg, const std::string& agent, uint16_t port,
                                     const std::string& hole) { EvntPort.event_reg(what, reg, agent, port, hole); };
  RegDialog_t::events.event_reason = [](const RegDialog_t& d, const std::string& reason) {
    EvntPort.event_reason(d, reason);
  };
}

void InstallCallEvents() {
  Call_t::CallHooks& h = Call_t::Hooks();
  h.event_call = [](const Call_t& call, int ev, const std::string& extra) { EvntPort.event_call(ev, call, extra); };
  h.ha_call = [](const Call_t& call, bool started) {
    if (started)
      EvntPort.ha_CallStart(call);
    else
      EvntPort.ha_CallStop(call);
  };
  h.set_master = [] { Core.SetSlave(false); };
  h.is_slave = [] { return Core.IsSlave(); };
  h.media_event = [](unsigned uniq, int ev, const std::string& source) { EvntPort.event_media(uniq, ev, source); };
}

void InstallStatistics() {
  Dialog_t::Hooks().CountMethod = [](SIP_StartLine::Method_t method) {
    const int m = static_cast<int>(method);
    if (m < 0 || m >= SIP_StartLine::Method_Count) return;
    Bump(EvntPort.Stats.Methods, std::string(SIP_StartLine::MethodStr[m]));
  };
  CountBounce = [](int code) { Bump(EvntPort.Stats.Bounces, code); };
  intake::CountBadEvent = [](const std::string& event) { Bump(EvntPort.Stats.BadEvents, event); };
}

}  // namespace

void InstallEventHooks() {
  InstallRegistrationEvents();
  InstallCallEvents();
  InstallStatistics();
  Cfg.hooks.IsSlave = [] { return Core.IsSlave(); };
  Cfg.hooks.CleanUp = [] { Core.CleanUp(); };
}

// DOSCore's hooks are installed as a whole by start-up; this adds the reporting ones.
void AddDosEventHooks(DOSCore::Hooks& dos) {
  dos.event_block = [](bool on, uint32_t ip, int port) { EvntPort.event_block(on, ip, port); };
  dos.event_ddos = [](bool on) { EvntPort.event_ddos(on); };
  dos.count_report = [](char letter) { Bump(EvntPort.Stats.Attakers, letter); };
}

void StartEventsPort() {
  EvntPort.Start(Cfg.myipaddr, Cfg.MainPort);
  if (Cfg.ha_peer.Port() == 0) {
    Core.SetSlave(false);  // a lone relay serves its clients from the start
    return;
  }
  EvntPort.block(false);
  Core.register_fd(EvntPort.get_handle(), &EvntPort);
}
