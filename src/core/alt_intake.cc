// The alternate port: clients answer the relay's NAT probes here, and may ask it where they are seen from
// (CHALLENGE) or whether it lives (OPTIONS). Screened like the external port, since a flood here would
// starve every timer of the reactor thread it runs on.
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "core/core.h"
#include "core/intake_common.h"
#include "core/nat_probes.h"
#include "dialogs/call.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/opt_port.h"
#include "ports/relay_ops.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"

namespace intake {

namespace {

constexpr char kProbeBranch[] = "z9hG4bK-opt-ostrel-";
constexpr size_t kProbeBranchLen = sizeof(kProbeBranch) - 1;

// The relay tells a client the address it sees it under, from the port the client normally talks to.
void AnswerChallenge(SIP& msg, const InetAddr& from) {
  msg.Convert(static_cast<SIP_Status>(200), "OK");
  msg.remove(SIP_Header::HID_Route);
  msg.set(SIP_Header::HID_Server, Cfg.AgentName);
  msg.Header("Hole", from.Str());
  ExtPort.send(msg, from, 0, 0);
}

void RejectStray(const Datagram& d) {
  Log("ostrel", LOG_ERROR, "Warning: Missing or Unexpected 'Via:'\n");
  DCore.report(d.from, DOSCore::DOS_L, 0);
}

// The call number after the probe prefix; 0 when the text there is not a number of the dialog range.
unsigned ProbeNumber(const char* branch) {
  const char* digits = branch + kProbeBranchLen;
  if (*digits < '0' || *digits > '9') return 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(digits, &end, 10);
  return n > 0x10000 && n <= 0x7FFFFFFF ? static_cast<unsigned>(n) : 0;
}

}  // namespace

void AltDatagram(Datagram& d) {
  if (IsKeepAlive(d)) return;
  if (DCore.IsBlocked(d.from.IpAddr(), d.from.Port())) return;
  std::unique_ptr<SIP> msg = Parse(d, "<==X==");
  if (!msg) return;
  DCore.CheckMPS(d.from);
  LogReceived(d, "<==X==", GLogBlock.ALogLevel.load());
  if (msg->is_CHALLENGE()) return AnswerChallenge(*msg, d.from);
  if (msg->is_OPTIONS()) return Bounce(*msg, 200, "OK", d.from, AltPort);
  auto* via = msg->Header<SIP_Head_Via>(SIP_Header::HID_Via);
  const char* branch = via != nullptr ? via->Param("branch") : nullptr;
  if (!msg->IS_Response() || branch == nullptr || std::strncmp(branch, kProbeBranch, kProbeBranchLen) != 0)
    return RejectStray(d);
  const unsigned no = ProbeNumber(branch);
  auto* callid = msg->Header<SIP_Head_Call_ID>(SIP_Header::HID_Call_ID);
  TGuard<Dialog_t> d_guard = no != 0 ? Core.GetDialog(static_cast<int>(no)) : TGuard<Dialog_t>();
  auto* call = d_guard ? dynamic_cast<Call_t*>(d_guard.operator->()) : nullptr;
  // The number alone is guessable: the answer must also carry the Call-ID of that call's probe.
  if (call == nullptr || callid == nullptr || !call->ProbeCallID(callid->Value())) {
    Log("ostrel", LOG_DEBUG, "Warning: Unknown ID: %d in the response\n", static_cast<int>(no));
    return;
  }
  call->OptionsAnswer(branch, d.from);
}

void AltPortTimer(const void* cookie) {
  TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(Dialog_t::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie)) return;
  if ((d->TimerType() & (Dialog_t::T_OPTIONS | Dialog_t::T_MEDIA)) == 0) return;
  if (auto* call = dynamic_cast<Call_t*>(d.operator->())) call->ProbeTimeout();
}

void InstallNatProbes() {
  AltPort.SetHandler(AltDatagram);
  AltPort.SetTimerHandler(AltPortTimer);
  OptPort_t::OnICMP = [](int uno) {
    TGuard<Dialog_t> d = Core.GetDialog(uno);
    if (auto* call = d ? dynamic_cast<Call_t*>(d.operator->()) : nullptr) call->ICMP();
  };
  Call_t::ZAnswerTimer() = &Core;
}

void RegisterAltPort() {
  AltPort.block(false);
  Core.register_fd(AltPort.get_handle(), &AltPort);
}

}  // namespace intake
