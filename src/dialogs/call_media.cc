// Anchoring a call's media: the port pairs toward the client and the server, the relay thread between them,
// and taking them down again when the call stops.
// Worker threads and the reactor's timers with the call locked; StreamSeen on the call's relay thread.
#include "config/config.h"
#include "dialogs/call.h"
#include "foundation/log.h"

namespace {

constexpr const char* kNoPortsReason = "Server Error/No Ports";

}  // namespace

RelaySetup Call_t::MediaSetup() const {
  RelaySetup setup;
  setup.log_threshold = LogLevel_m;
  setup.accept_any = LB_m || Cfg.RThreshold1 < 0;
  setup.symmetric = Symmtr_m;
  setup.orig_ip = ClnRtpIP_m;
  setup.video = Video_m;
  return setup;
}

bool Call_t::StartFullMode(bool send) {
  Mode_m = FWType::OPAQUE;
  if (Defect('L')) LB_m = true;
  bool ready = ClnRtp_m.open() >= 0 && SrvRtp_m.open() >= 0;
  if (ready && Video_m) ready = ClnVideo_m.open() >= 0 && SrvVideo_m.open() >= 0;
  // A transcoding rule would pick its own thread body here; until then every anchored call is relayed.
  if (ready && !Relay_m.Running()) {
    ready = Relay_m.Start(MediaSetup(), this);
    if (!ready) DLog(LOG_ERROR, "Error: Cannot start RTP Relay thread\n");
  }
  if (!ready) {
    NoPorts();
    return false;
  }
  if (Confirmed_m && WithinDlg()) Relay_m.Established(true);
  DLog(LOG_DEBUG, "FULL mode (%c): CLN port %d, SRV port %d\n", FullReason_m, ClnRtp_m.LPort(), SrvRtp_m.LPort());
  if (send) {
    InviteSending();
    State(INVITE_SENT);
  }
  return true;
}

// The pairs opened so far go back to the range before the answer leaves, so a retry finds them free.
void Call_t::NoPorts() {
  ClosePorts();
  if (Hooks().is_slave && Hooks().is_slave()) return;
  const SIP* invite = org_m ? org_m.get() : msg_m.get();
  if (invite != nullptr && invite->IS_Request()) {
    const Direction_t to = InvDirect_m != FROM_NOWHERE ? InvDirect_m : Direction_m;
    ReplyTo(*invite, to, 500, kNoPortsReason);
  }
  Complete(E_REJECT, "No Ports Available");
}

void Call_t::StopRelay() { Relay_m.Stop(); }

void Call_t::ClosePorts() {
  StopRelay();
  ClnRtp_m.close();
  SrvRtp_m.close();
  ClnVideo_m.close();
  SrvVideo_m.close();
}

// The relay thread holds no lock here and the worker may hold the call's lock while it joins this thread:
// only atomics and the number-based hook.
void Call_t::StreamSeen(RelayEvent_t event, const std::string& source) {
  Media_m.store(true, std::memory_order_release);
  if (event != ::E_NOP && Hooks().media_event) Hooks().media_event(UniqNo_m, event, source);
}
