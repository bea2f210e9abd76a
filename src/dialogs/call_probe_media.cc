// The client-side media ports a call uses while it probes the client's NAT, and the switch to anchored
// media. Until calls own port pairs, the probe's offer carries no port and anchoring keeps media as offered.
// Worker threads and the reactor thread, with the call locked.
#include "dialogs/call.h"
#include "foundation/log.h"

bool Call_t::OpenProbeMedia() { return true; }

std::string Call_t::ProbeSDP(bool) { return BogusSDP(); }

void Call_t::RegisterProbeMedia(bool) {}

void Call_t::UnregisterProbeMedia() {}

bool Call_t::ClnRtpKnown() const { return false; }

void Call_t::NoteProbeAnswerMedia(SIP&) {}

void Call_t::GoFull(bool send) {
  Mode_m = FWType::OPAQUE;
  DLog(LOG_DEBUG, "FULL mode (%c)\n", FullReason_m);
  if (!send) return;
  ResumeInvite();
  InviteSending();
  State(INVITE_SENT);
}
