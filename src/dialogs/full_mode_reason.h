// Why a call's media is anchored on the relay (full mode), or what keeps it direct. Its letter shows in the
// "FULL mode (%c)" log line, in the call events' FMode and in housekeeping's summary of the calls; it is
// printed by FullModeLetter alone. Plain value; any thread.
#pragma once

enum class FullModeReason {
  NONE,           // '-': not anchored for a reason of its own (the start)
  CONFIGURED,     // 'C': the domain, the user or force_full_mode says so, or the client is indirect
  DETECTED,       // 'D': NAT detection: probe answers, the client's media source, a long hold
  FAX,            // 'F': a T.38 re-INVITE from a client whose media went directly
  PROBE_TIMEOUT,  // 'T': a NAT probe got no answer in time
  SAME_FIREWALL,  // '=': both clients sit behind one NAT; the media stays inside their network
  ANCHORED_AFTER_SAME_FIREWALL,  // '?': was SAME_FIREWALL until a later server SDP found the call anchored
};

constexpr char FullModeLetter(FullModeReason r) {
  switch (r) {
    case FullModeReason::NONE:
      return '-';
    case FullModeReason::CONFIGURED:
      return 'C';
    case FullModeReason::DETECTED:
      return 'D';
    case FullModeReason::FAX:
      return 'F';
    case FullModeReason::PROBE_TIMEOUT:
      return 'T';
    case FullModeReason::SAME_FIREWALL:
      return '=';
    case FullModeReason::ANCHORED_AFTER_SAME_FIREWALL:
      return '?';
  }
  return '-';
}
