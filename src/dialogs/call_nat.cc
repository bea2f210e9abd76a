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

using HID = SIP_HeadIds;

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
std::string BareAddress(const SIP_Head_Route* h) {
  if (h == nullptr) return "<sip:unknown@invalid>";
  std::string uri;
  static_cast<const SIP_URI&>(*h).assemble(uri);
  return '<' + uri + '>';
}

}  // namespace

// The type learned before: configuration (domain, user, subnet), the registration, SRTP, load balancing
// and indirect clients. Still unknown for a client behind NAT whose media address is not known: probe.
void Call_t::DecideFWType() {
  uint32_t mode = Mode_m;
  const char* source = Indirect_m ? "Indirect" : "FCfg";
  if (FullReason_m == 'C') {
    mode = FWType::OPAQUE;
    if (InvDirect_m == FROM_SRV && Transc_m != 0) {
      Mode_m = FWType::OPAQUE;
      TranscRNegt_m = true;
      InviteSending();
      State(INVITE_SENT);
      return;
    }
  }
  if (Cfg.force_full_mode) {
    FullReason_m = 'C';
    mode = FWType::OPAQUE;
  }

  FWType::Mode_t subnet = FWType::UNKNOWN;
  bool lbc = false;
  std::string defects;
  Cfg.GetSubTimout(ClnRtpIP_m, subnet, &lbc, &defects);
  if (lbc) LBC_m = true;
  for (char c : defects)
    if (!Defect(c)) Defect_m += c;
  if (Base(subnet) < Base(mode)) {
    mode |= subnet & FWType::MODIFMSK;
  } else {
    if (Base(subnet) != FWType::UNKNOWN) source = "Sticky";
    mode = subnet;
  }

  FWType::Mode_t saved = FWType::UNKNOWN;
  if (TGuard<Register_t> reg = Register_t::GetRegister(NewContact_m)) {
    saved = reg->Mode();
    DDNAT_m = reg->DDNAT();
    if (reg->SRTP()) SRTP_m = -1;
  }
  if (Base(saved) <= Base(mode)) {
    mode |= saved & FWType::MODIFMSK;
  } else {
    mode = saved;
    source = (saved & FWType::PRXFRCD) != 0 ? "Proxy" : "Saved";
  }

  if (SRTP_m > 0) {
    mode = (mode & FWType::PREFIXES) | FWType::OPAQUE;
    source = "SecureRTP";
  }
  if (LB_m) mode |= FWType::LB;
  if (Indirect_m) mode = (mode & FWType::PREFIXES) | FWType::OPAQUE;

  if (Base(mode) == FWType::UNKNOWN) {
    if (PublicIP_m || Symmtr_m || ClnRtpKnown()) {
      InviteSending();
      State(INVITE_SENT);
      return;
    }
    StartProbe();
    return;
  }

  const char* name = FWType::FWTypeStr(static_cast<FWType::Mode_t>(mode));
  if (name[0] == '<')
    DLog(LOG_DEBUG, "%s FW type: 0x%08X\n", source, mode);
  else
    DLog(LOG_DEBUG, "%s FW type: %s%s\n", source, DDNAT_m ? "DDNAT+" : "", name);
  const bool changed = mode != saved && mode != subnet;
  ICMP_m = (mode & FWType::ICMPREPL) != 0;
  LB_m = LB_m || (mode & FWType::LB) != 0;
  SNAT_m = (mode & FWType::SNAT) != 0;
  Mode_m = static_cast<FWType::Mode_t>(Base(mode));
  OptionsRecv(changed);
}

void Call_t::StartProbe() {
  HoldInvite();
  State(OPTIONS_SENT);
  SendOptions();
  DLog(LOG_DEBUG, "Set timer for OPTIONS to 1 sec.\n");
  ScheduleTimer(T_OPTIONS, &AltPort, kOptionsWaitMs);
}

bool Call_t::ProbeCallID(const std::string& callid) const {
  if (ProbeToken_m.empty() || callid.size() < 2 || callid[1] != '.') return false;
  if (callid[0] < '0' || callid[0] > '2') return false;
  return callid.compare(2, std::string::npos, UniqStr_m + '.' + ProbeToken_m + '@' + Cfg.myipaddr) == 0;
}

// The probe asks the client to answer at the alternate port. With a second address, a first probe from the
// call's own port tells whether the NAT lets in a source the client never talked to.
void Call_t::SendOptions() {
  if (ProbeToken_m.empty()) ProbeToken_m = RandomToken();
  const SIP* inv = org_m ? org_m.get() : msg_m.get();
  const auto* party = inv->Header<SIP_Head_Route>(InvDirect_m == FROM_SRV ? HID::HID_To : HID::HID_From);
  const std::string to = BareAddress(party);
  const std::string myip = Cfg.myipaddr;
  auto build = [&](const std::string& via_host, char digit) {
    std::string text = "OPTIONS " + OrgContact_m + " SIP/2.0\r\n";
    text += "Via: SIP/2.0/UDP " + via_host + ':' + std::to_string(Cfg.SecondPort) + ";branch=" + kProbeBranch +
            UniqStr_m + '.' + digit + "\r\n";
    text += "Max-Forwards: 0\r\n";
    text += "To: " + to + "\r\n";
    text += "From: \"" + NewContact_m + "\" <sip:ostrel@" + myip + ">;tag=" + UniqStr_m + '-' +
            std::to_string(time(nullptr)) + "\r\n";
    text += std::string("Call-ID: ") + digit + '.' + UniqStr_m + '.' + ProbeToken_m + '@' + myip + "\r\n";
    text += "CSeq: 5 OPTIONS\r\n";
    text += "User-Agent: " + Cfg.AgentName + "\r\n";
    text += "Content-Length: 0\r\n\r\n";
    auto probe = std::make_unique<SIP>();
    if (!probe->parser(text)) {
      DLog(LOG_ERROR, "Error: Cannot build OPTIONS for Contact '%s'\n", OrgContact_m.c_str());
      probe.reset();
    }
    return probe;
  };

  if (Cfg.second_ipaddr[0] == '\0') {
    if (auto probe = build(myip, '0')) ExtPort.send(*probe, ClnSipAddr_m, LogLevel_m, LogTreshold());
    return;
  }
  OptPort_t::Retire(std::move(OptPort_m));
  OptPort_m = OptPort_t::Open(static_cast<int>(UniqNo_m));
  if (OptPort_m->usable()) {
    if (auto probe = build(myip, '1')) OptPort_m->send(*probe, ClnSipAddr_m, LogLevel_m, LogTreshold());
  }
  if (auto probe = build(Cfg.second_ipaddr, '2')) ExtPort.send(*probe, ClnSipAddr_m, LogLevel_m, LogTreshold());
}

// An answer to a probe, from src. P is the client's Contact port: a NAT that keeps it preserves ports.
void Call_t::OptionsAnswer(const std::string& branch, const InetAddr& src) {
  const State_t st = State();
  if (st != OPTIONS_SENT && st != X_INVITE_SENT && st != X_183_SENT) {
    if (Mode_m != FWType::TRANSPARENT) DLog(LOG_DEBUG, "Too late OPTIONS response\n");
    return;
  }
  const int contact_port = ClnCntAddr_m.Port();
  bool changed = false;
  if (src != ClnSipAddr_m) {
    if (src.Port() != contact_port) {
      Mode_m = FWType::OPAQUE;
      changed = true;
      if (st != OPTIONS_SENT) {
        UnregisterProbeMedia();
        if (st == X_183_SENT && TimerType_m == T_MEDIA) {
          DLog(LOG_DEBUG, "Cancel X_Media Timer\n");
          CancelTimer(T_MEDIA);
        }
      }
    } else if (st == OPTIONS_SENT) {
      Mode_m = FWType::PORTPRESERVE;
      DLog(LOG_DEBUG, "Detected FW type is Strict PreservePort Suspect...\n");
    }
  } else if (!branch.empty() && branch.back() == '1') {
    Mode_m = FWType::TRANSPARENT;
    changed = true;
  } else if (Mode_m == FWType::UNKNOWN) {
    if (src.Port() != contact_port) {
      Mode_m = FWType::RESTRICTED;
    } else if (st == OPTIONS_SENT) {
      Mode_m = FWType::PORTPRESERVE;
      DLog(LOG_DEBUG, "Detected FW type is Weak PreservePort Suspect...\n");
    }
  }
  if ((Mode_m != FWType::UNKNOWN && st == OPTIONS_SENT) || changed)
    DLog(LOG_DEBUG, "Detected FW type: %s\n", FWType::FWTypeStr(Mode_m));
  if (st == OPTIONS_SENT) {
    DLog(LOG_DEBUG, "Cancel OPTIONS Timer\n");
    CancelTimer(T_OPTIONS);
    Process(OPTIONS_RECV, FROM_NOWHERE);
    return;
  }
  DLog(LOG_DEBUG, "That's Second OPTIONS response\n");
  if (changed) SecondOptionsRecv();
}

void Call_t::OptionsRecv(bool changed) {
  if (changed) {
    StoreRegMode();
    OptPort_t::Retire(std::move(OptPort_m));
  }
  if (Mode_m != FWType::OPAQUE && !(ICMP_m && InvDirect_m == FROM_CLN)) {
    if (InvDirect_m == FROM_SRV)
      SendXInvite();
    else
      SendX183();
    return;
  }
  if (FullReason_m != 'C') FullReason_m = 'D';
  Process(START_FULL_MODE, FROM_NOWHERE);
}

void Call_t::SecondOptionsRecv() {
  StoreRegMode();
  if (Mode_m != FWType::OPAQUE) return;
  FullReason_m = 'D';
  GoFull(State() == X_183_SENT);
}

// The registration remembers the type for the client's next calls.
void Call_t::StoreRegMode() {
  uint32_t mode = Mode_m;
  if (ICMP_m && Mode_m != FWType::OPAQUE) mode |= FWType::ICMPREPL;
  if (LB_m) mode |= FWType::LB;
  if (SNAT_m) mode |= FWType::SNAT;
  if (TGuard<Register_t> reg = Register_t::GetRegister(NewContact_m)) reg->Mode(static_cast<FWType::Mode_t>(mode));
}

// The alternate port's timer: a probe that got no answer in time anchors the call instead of failing it.
void Call_t::ProbeTimeout() {
  TimerID_m = PollReactor::kNoTimer;
  TimerType_m = T_NONE;
  switch (State()) {
    case OPTIONS_SENT:
      DLog(LOG_DEBUG, "There is no OPTIONS Response  - Switch to FULL mode\n");
      break;
    case X_183_SENT:
      DLog(LOG_DEBUG, "There is no 'Eraly Media' - Switch to FULL mode\n");
      break;
    case X_ACK_SENT:
      MakeSecondInvite();
      DLog(LOG_DEBUG, "There is no 'X Client Media' - Switch to FULL mode\n");
      break;
    default:
      DLog(LOG_ERROR, "Error: AltPort TimeOut - Unexpected Condition\n");
      return;
  }
  UnregisterProbeMedia();
  FullReason_m = 'T';
  Process(START_FULL_MODE, FROM_NOWHERE);
}
