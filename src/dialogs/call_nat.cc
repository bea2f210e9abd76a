// A call's NAT type: decided from configuration and the client's registration at a new INVITE, or probed
// with OPTIONS whose answers are asked for at the alternate port; the type learned goes back into the
// registration. Worker threads (the decision) and the reactor thread (answers, time-outs), call locked.
#include <time.h>

#include <random>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/registration.h"
#include "foundation/log.h"
#include "ports/opt_port.h"
#include "ports/sip_port.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"

namespace {

using HID = HeaderIds;

constexpr int kOptionsWaitMs = 1000;
constexpr char kProbeBranch[] = "z9hG4bK-opt-ostrel-";

uint32_t Base(uint32_t mode) { return mode & 0xFFFFu; }

std::string RandomToken() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(gen()));
  return text;
}

// The address of a From or To header, angle-bracketed, without display name and header parameters.
std::string BareAddress(const RouteHeader* h) {
  if (h == nullptr) return "<sip:unknown@invalid>";
  std::string uri;
  static_cast<const SipUri&>(*h).Assemble(uri);
  return '<' + uri + '>';
}

}  // namespace

// The type learned before: configuration (domain, user, subnet), the registration, SRTP, load balancing
// and indirect clients. Still unknown for a client behind NAT whose media address is not known: probe.
void Call::DecideNatType() {
  uint32_t mode = mode_;
  const char* source = indirect_ ? "Indirect" : "FCfg";
  if (full_reason_ == FullModeReason::CONFIGURED) {
    mode = NatType::OPAQUE;
    if (invite_direction_ == FROM_SERVER && transcoding_ != 0) {
      mode_ = NatType::OPAQUE;
      transcoding_renegotiated_ = true;
      InviteSending();
      State(DialogState::INVITE_SENT);
      return;
    }
  }
  if (g_config.force_full_mode) {
    full_reason_ = FullModeReason::CONFIGURED;
    mode = NatType::OPAQUE;
  }

  NatType::Mode subnet = NatType::UNKNOWN;
  bool lbc = false;
  Defects defects;
  g_config.GetSubscribeTimeout(client_rtp_ip_, subnet, &lbc, &defects);
  if (lbc) lbc_ = true;
  defects_.AddMissing(defects);
  if (Base(subnet) < Base(mode)) {
    mode |= subnet & NatType::MODIFMSK;
  } else {
    if (Base(subnet) != NatType::UNKNOWN) source = "Sticky";
    mode = subnet;
  }

  NatType::Mode saved = NatType::UNKNOWN;
  if (ObjectGuard<Registration> reg = Registration::GetRegister(new_contact_)) {
    saved = reg->Mode();
    double_nat_ = reg->DoubleNat();
    if (reg->SRTP()) srtp_ = SrtpMode::ALLOWED;
  }
  if (Base(saved) <= Base(mode)) {
    mode |= saved & NatType::MODIFMSK;
  } else {
    mode = saved;
    source = (saved & NatType::PRXFRCD) != 0 ? "Proxy" : "Saved";
  }

  if (srtp_ == SrtpMode::OFFERED || srtp_ == SrtpMode::TERMINATED) {
    mode = (mode & NatType::PREFIXES) | NatType::OPAQUE;
    source = "SecureRTP";
  }
  if (load_balanced_) mode |= NatType::LB;
  if (indirect_) mode = (mode & NatType::PREFIXES) | NatType::OPAQUE;

  if (Base(mode) == NatType::UNKNOWN) {
    if (public_ip_ || symmetric_ || ClientRtpKnown()) {
      InviteSending();
      State(DialogState::INVITE_SENT);
      return;
    }
    StartProbe();
    return;
  }

  const char* name = NatType::Name(static_cast<NatType::Mode>(mode));
  if (name[0] == '<')
    LogLine(LEVEL_DEBUG, "%s FW type: 0x%08X\n", source, mode);
  else
    LogLine(LEVEL_DEBUG, "%s FW type: %s%s\n", source, double_nat_ ? "DDNAT+" : "", name);
  const bool changed = mode != saved && mode != subnet;
  icmp_ = (mode & NatType::ICMPREPL) != 0;
  load_balanced_ = load_balanced_ || (mode & NatType::LB) != 0;
  snat_ = (mode & NatType::SNAT) != 0;
  mode_ = static_cast<NatType::Mode>(Base(mode));
  OptionsReceived(changed);
}

void Call::StartProbe() {
  HoldInvite();
  State(DialogState::OPTIONS_SENT);
  SendOptions();
  LogLine(LEVEL_DEBUG, "Set timer for OPTIONS to 1 sec.\n");
  ScheduleTimer(T_OPTIONS, &g_alternate_port, kOptionsWaitMs);
}

bool Call::ProbeCallID(const std::string& callid) const {
  if (probe_token_.empty() || callid.size() < 2 || callid[1] != '.') return false;
  if (callid[0] < '0' || callid[0] > '2') return false;
  return callid.compare(2, std::string::npos, number_text_ + '.' + probe_token_ + '@' + g_config.myipaddr) ==
         0;
}

// The probe asks the client to answer at the alternate port. With a second address, a first probe from the
// call's own port tells whether the NAT lets in a source the client never talked to.
void Call::SendOptions() {
  if (probe_token_.empty()) probe_token_ = RandomToken();
  const SipMessage* inv = original_invite_ ? original_invite_.get() : message_.get();
  const auto* party =
      inv->Header<RouteHeader>(invite_direction_ == FROM_SERVER ? HID::HID_TO : HID::HID_FROM);
  const std::string to = BareAddress(party);
  const std::string myip = g_config.myipaddr;
  auto build = [&](const std::string& via_host, char digit) {
    std::string text = "OPTIONS " + old_contact_ + " SIP/2.0\r\n";
    text += "Via: SIP/2.0/UDP " + via_host + ':' + std::to_string(g_config.second_port) +
            ";branch=" + kProbeBranch + number_text_ + '.' + digit + "\r\n";
    text += "Max-Forwards: 0\r\n";
    text += "To: " + to + "\r\n";
    text += "From: \"" + new_contact_ + "\" <sip:ostrel@" + myip + ">;tag=" + number_text_ + '-' +
            std::to_string(time(nullptr)) + "\r\n";
    text += std::string("Call-ID: ") + digit + '.' + number_text_ + '.' + probe_token_ + '@' + myip + "\r\n";
    text += "CSeq: 5 OPTIONS\r\n";
    text += "User-Agent: " + g_config.agent_name + "\r\n";
    text += "Content-Length: 0\r\n\r\n";
    auto probe = std::make_unique<SipMessage>();
    if (!probe->Parse(text)) {
      LogLine(LEVEL_ERROR, "Error: Cannot build OPTIONS for Contact '%s'\n", old_contact_.c_str());
      probe.reset();
    }
    return probe;
  };

  if (g_config.second_ipaddr[0] == '\0') {
    if (auto probe = build(myip, '0'))
      g_external_port.send(*probe, client_sip_address_, log_level_, LogThreshold());
    return;
  }
  ProbePort::Retire(std::move(probe_port_));
  probe_port_ = ProbePort::Open(static_cast<int>(number_));
  if (probe_port_->Usable()) {
    if (auto probe = build(myip, '1'))
      probe_port_->send(*probe, client_sip_address_, log_level_, LogThreshold());
  }
  if (auto probe = build(g_config.second_ipaddr, '2'))
    g_external_port.send(*probe, client_sip_address_, log_level_, LogThreshold());
}

// An answer to a probe, from src. P is the client's Contact port: a NAT that keeps it preserves ports.
void Call::OptionsAnswer(const std::string& branch, const InetAddress& src) {
  const DialogState st = State();
  if (st != DialogState::OPTIONS_SENT && st != DialogState::X_INVITE_SENT && st != DialogState::X_183_SENT) {
    if (mode_ != NatType::TRANSPARENT) LogLine(LEVEL_DEBUG, "Too late OPTIONS response\n");
    return;
  }
  const int contact_port = client_contact_address_.Port();
  bool changed = false;
  if (src != client_sip_address_) {
    if (src.Port() != contact_port) {
      mode_ = NatType::OPAQUE;
      changed = true;
      if (st != DialogState::OPTIONS_SENT) {
        UnregisterProbeMedia();
        if (st == DialogState::X_183_SENT && timer_type_ == T_MEDIA) {
          LogLine(LEVEL_DEBUG, "Cancel X_Media Timer\n");
          CancelTimer(T_MEDIA);
        }
      }
    } else if (st == DialogState::OPTIONS_SENT) {
      mode_ = NatType::PORTPRESERVE;
      LogLine(LEVEL_DEBUG, "Detected FW type is Strict PreservePort Suspect...\n");
    }
  } else if (!branch.empty() && branch.back() == '1') {
    mode_ = NatType::TRANSPARENT;
    changed = true;
  } else if (mode_ == NatType::UNKNOWN) {
    if (src.Port() != contact_port) {
      mode_ = NatType::RESTRICTED;
    } else if (st == DialogState::OPTIONS_SENT) {
      mode_ = NatType::PORTPRESERVE;
      LogLine(LEVEL_DEBUG, "Detected FW type is Weak PreservePort Suspect...\n");
    }
  }
  if ((mode_ != NatType::UNKNOWN && st == DialogState::OPTIONS_SENT) || changed)
    LogLine(LEVEL_DEBUG, "Detected FW type: %s\n", NatType::Name(mode_));
  if (st == DialogState::OPTIONS_SENT) {
    LogLine(LEVEL_DEBUG, "Cancel OPTIONS Timer\n");
    CancelTimer(T_OPTIONS);
    Process(DialogEvent::OPTIONS_RECV, FROM_NOWHERE);
    return;
  }
  LogLine(LEVEL_DEBUG, "That's Second OPTIONS response\n");
  if (changed) SecondOptionsReceived();
}

void Call::OptionsReceived(bool changed) {
  if (changed) {
    StoreRegistrationMode();
    ProbePort::Retire(std::move(probe_port_));
  }
  if (mode_ != NatType::OPAQUE && !(icmp_ && invite_direction_ == FROM_CLIENT)) {
    if (invite_direction_ == FROM_SERVER)
      SendXInvite();
    else
      SendX183();
    return;
  }
  if (full_reason_ != FullModeReason::CONFIGURED) full_reason_ = FullModeReason::DETECTED;
  Process(DialogEvent::START_FULL_MODE, FROM_NOWHERE);
}

void Call::SecondOptionsReceived() {
  StoreRegistrationMode();
  if (mode_ != NatType::OPAQUE) return;
  full_reason_ = FullModeReason::DETECTED;
  GoFull(State() == DialogState::X_183_SENT);
}

// The registration remembers the type for the client's next calls.
void Call::StoreRegistrationMode() {
  uint32_t mode = mode_;
  if (icmp_ && mode_ != NatType::OPAQUE) mode |= NatType::ICMPREPL;
  if (load_balanced_) mode |= NatType::LB;
  if (snat_) mode |= NatType::SNAT;
  if (ObjectGuard<Registration> reg = Registration::GetRegister(new_contact_))
    reg->Mode(static_cast<NatType::Mode>(mode));
}

// The alternate port's timer: a probe that got no answer in time anchors the call instead of failing it.
void Call::ProbeTimeout() {
  timer_id_ = PollReactor::kNoTimer;
  timer_type_ = T_NONE;
  switch (State()) {
    case DialogState::OPTIONS_SENT:
      LogLine(LEVEL_DEBUG, "There is no OPTIONS Response  - Switch to FULL mode\n");
      break;
    case DialogState::X_183_SENT:
      LogLine(LEVEL_DEBUG, "There is no 'Eraly Media' - Switch to FULL mode\n");
      break;
    case DialogState::X_ACK_SENT:
      MakeSecondInvite();
      LogLine(LEVEL_DEBUG, "There is no 'X Client Media' - Switch to FULL mode\n");
      break;
    default:
      LogLine(LEVEL_ERROR, "Error: AltPort TimeOut - Unexpected Condition\n");
      return;
  }
  UnregisterProbeMedia();
  full_reason_ = FullModeReason::PROBE_TIMEOUT;
  Process(DialogEvent::START_FULL_MODE, FROM_NOWHERE);
}
