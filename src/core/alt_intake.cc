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
#include "foundation/log_rate.h"
#include "ports/opt_port.h"
#include "ports/relay_ops.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"

namespace intake {

namespace {

constexpr char kProbeBranch[] = "z9hG4bK-opt-ostrel-";
constexpr size_t kProbeBranchLen = sizeof(kProbeBranch) - 1;

// The relay tells a client the address it sees it under, from the port the client normally talks to.
void AnswerChallenge(SipMessage& msg, const InetAddress& from) {
  msg.Convert(static_cast<SipStatus>(200), "OK");
  msg.Remove(SipHeaders::HID_ROUTE);
  msg.Set(SipHeaders::HID_SERVER, g_config.agent_name);
  msg.Header("Hole", from.Text());
  g_external_port.send(msg, from, 0, 0);
}

void RejectStray(const Datagram& d) {
  Log("ostrel", LEVEL_ERROR, "Warning: Missing or Unexpected 'Via:'\n");
  g_dos.Report(d.from, DosCore::DOS_L, 0);
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
  if (g_dos.IsBlocked(d.from.Ip(), d.from.Port())) return;
  FaultTally faults(d.from);
  std::unique_ptr<SipMessage> msg = Parse(d, "<==X==");
  if (!msg) return;
  g_dos.CheckMPS(d.from);
  LogReceived(d, "<==X==", g_log_block.level.load());
  if (msg->IsChallenge()) return AnswerChallenge(*msg, d.from);
  if (msg->IsOptions()) return Bounce(*msg, 200, "OK", d.from, g_alternate_port);
  auto* via = msg->Header<ViaHeader>(SipHeaders::HID_VIA);
  const char* branch = via != nullptr ? via->Param("branch") : nullptr;
  if (!msg->IsResponse() || branch == nullptr || std::strncmp(branch, kProbeBranch, kProbeBranchLen) != 0)
    return RejectStray(d);
  const unsigned no = ProbeNumber(branch);
  auto* callid = msg->Header<CallIdHeader>(SipHeaders::HID_CALL_ID);
  ObjectGuard<Dialog> d_guard = no != 0 ? g_core.GetDialog(static_cast<int>(no)) : ObjectGuard<Dialog>();
  auto* call = d_guard ? dynamic_cast<Call*>(d_guard.operator->()) : nullptr;
  // The number alone is guessable: the answer must also carry the Call-ID of that call's probe.
  if (call == nullptr || callid == nullptr || !call->ProbeCallID(callid->Value())) {
    Log("ostrel", LEVEL_DEBUG, "Warning: Unknown ID: %d in the response\n", static_cast<int>(no));
    return;
  }
  call->OptionsAnswer(branch, d.from);
}

void AltPortTimer(const void* cookie) {
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(Dialog::CookieNumber(cookie)));
  if (!d || !d->TimerIsCurrent(cookie)) return;
  if ((d->TimerType() & (Dialog::T_OPTIONS | Dialog::T_MEDIA)) == 0) return;
  if (auto* call = dynamic_cast<Call*>(d.operator->())) call->ProbeTimeout();
}

void InstallNatProbes() {
  g_alternate_port.SetHandler(AltDatagram);
  g_alternate_port.SetTimerHandler(AltPortTimer);
  ProbePort::OnICMP = [](int uno) {
    ObjectGuard<Dialog> d = g_core.GetDialog(uno);
    if (auto* call = d ? dynamic_cast<Call*>(d.operator->()) : nullptr) call->ICMP();
  };
  Call::ZAnswerTimer() = &g_core;
}

void RegisterAltPort() {
  g_alternate_port.Block(false);
  g_core.RegisterDescriptor(g_alternate_port.GetHandle(), &g_alternate_port);
}

}  // namespace intake
