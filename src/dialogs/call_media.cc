// Anchoring a call's media: the port pairs toward the client and the server, the relay thread between them,
// and taking them down again when the call stops.
// Worker threads and the reactor's timers with the call locked; StreamSeen on the call's relay thread.
#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "dialogs/dialog_table.h"
#include "dialogs/source_limits.h"
#include "foundation/log.h"
#include "media/ringback.h"
#include "ports/sip_port.h"
#include "sip/sdp/sdp.h"

namespace {

constexpr const char* kNoPortsReason = "Server Error/No Ports";

}  // namespace

// The first of PCMU, G729 and GSM an offer lists (the codecs the relay offers and rings in); 0 when none.
uint8_t PreferredCodec(SipMessage& invite) {
  Sdp* sdp = IsSDP(invite) ? invite.GetSDP() : nullptr;
  const SdpRtpMedia* audio =
      sdp != nullptr && !sdp->Medias().empty() ? sdp->Medias().front()->AsRTP() : nullptr;
  if (audio == nullptr) return 0;
  for (const std::string& fmt : audio->Formats()) {
    if (fmt == "0" || fmt == "18" || fmt == "3") return static_cast<uint8_t>(std::stoi(fmt));
  }
  return 0;
}

RelaySetup Call::MediaSetup() const {
  RelaySetup setup;
  setup.log_threshold = log_level_;
  setup.accept_any = load_balanced_ || g_config.repeat_threshold_first < 0;
  setup.symmetric = symmetric_;
  setup.orig_ip = client_rtp_ip_;
  setup.signalling_ip = client_sip_address_.Ip();
  setup.video = video_;
  if (transcoding_ > 0) {
    setup.transcode = true;
    setup.transcode_from = transcoding_rule_.client_code;
    setup.client_payload = bare_codec_;
    setup.video = false;  // a transcoded call offers audio alone
  }
  return setup;
}

bool Call::StartFullMode(bool send) {
  const unsigned anchored_limit = SourceLimits::For(counted_ip_).anchored_calls_per_ip;
  if (!table_->AdmitAnchored(*this, anchored_limit)) {
    TooManyAnchored(anchored_limit);
    return false;
  }
  mode_ = NatType::OPAQUE;
  if (HasDefect(Defect::LOAD_BALANCED)) load_balanced_ = true;
  bool ready = client_rtp_.Open() >= 0 && server_rtp_.Open() >= 0;
  if (ready && video_) ready = client_video_.Open() >= 0 && server_video_.Open() >= 0;
  if (ready && !relay_.Running()) {
    ready = relay_.Start(MediaSetup(), this);
    if (!ready) LogLine(LEVEL_ERROR, "Error: Cannot start RTP Relay thread\n");
  }
  if (!ready) {
    NoPorts();
    return false;
  }
  if (confirmed_ && WithinDialog()) relay_.Established(true);
  relay_.SrtpTerminated(srtp_ == SrtpMode::TERMINATED);
  LogLine(LEVEL_DEBUG, "FULL mode (%c): CLN port %d, SRV port %d\n", FullModeLetter(full_reason_),
          client_rtp_.LPort(), server_rtp_.LPort());
  if (send) {
    InviteSending();
    State(DialogState::INVITE_SENT);
  }
  return true;
}

// The pairs opened so far go back to the range before the answer leaves, so a retry finds them free.
void Call::NoPorts() {
  ClosePorts();
  if (Hooks().is_slave && Hooks().is_slave()) return;
  const SipMessage* invite = original_invite_ ? original_invite_.get() : message_.get();
  if (invite != nullptr && invite->IsRequest()) {
    const Direction to = invite_direction_ != FROM_NOWHERE ? invite_direction_ : direction_;
    ReplyTo(*invite, to, 500, kNoPortsReason);
  }
  Complete(E_REJECT, "No Ports Available");
}

// The source of the call holds as many anchored calls as it may: the call is refused as a busy relay
// refuses, with the time to wait, and the ports stay for the other sources.
void Call::TooManyAnchored(unsigned limit) {
  LogRefusal(SourceCap::ANCHORED_CALLS_PER_IP, limit, source_);
  const SipMessage* invite = original_invite_ ? original_invite_.get() : message_.get();
  if (!g_config.quiet_mode && invite != nullptr && invite->IsRequest()) {
    if (invite_direction_ == FROM_SERVER)
      AnswerOverLimit(*invite, server_sip_address_, g_internal_port);
    else
      AnswerOverLimit(*invite, client_sip_address_, g_external_port);
  }
  Complete(E_REJECT, "Too Many Anchored Calls");
}

void Call::StopRelay() { relay_.Stop(); }

// The ring job sends from the client pair: it must let go of the pair before the pair closes.
void Call::ClosePorts() {
  StopRings();
  StopRelay();
  client_rtp_.close();
  server_rtp_.close();
  client_video_.close();
  server_video_.close();
  table_->ReleaseAnchored(*this);
}

void Call::StartRings() {
  // A call that never named its codec gets the tone in the first ring codec it offered.
  if (bare_codec_ == 0 && transcoding_ <= 0 && original_invite_)
    bare_codec_ = PreferredCodec(*original_invite_);
  RingTarget target;
  target.port = &client_rtp_;
  target.codec = bare_codec_;
  target.allowed_ips[0] = client_sip_address_.Ip();
  target.allowed_ips[1] = client_rtp_ip_;
  target.number = number_;
  target.log_threshold = log_level_;
  Ringback::Instance().Start(target);
}

void Call::StopRings() { Ringback::Instance().Stop(&client_rtp_); }

// The relay thread holds no lock here and the worker may hold the call's lock while it joins this thread:
// only atomics and the number-based hook.
void Call::StreamSeen(RelayEvent event, const std::string& source) {
  media_seen_.store(true, std::memory_order_release);
  if (event != ::E_NOP && Hooks().media_event) Hooks().media_event(number_, event, source);
}
