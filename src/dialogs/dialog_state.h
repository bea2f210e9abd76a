// Where a dialog is (DialogState) and what arrived for it (DialogEvent), with the names the log lines
// ("New State -  %s", "Transaction: %s --> %s", "Error: No Action (%s ==> %s)") and the status dump show.
// An event of a call becomes its state while the event's handler runs (StateOnArrival); the events keep
// the spelling of those states. Plain values; any thread.
#pragma once

#include <optional>

enum class DialogState {
  BLANK,              // "INIT": nothing handled yet
  CLN_REGISTER_RECV,  // a client's REGISTER is on its way to the server
  INVITE_RECV,        // an INVITE arrived and is being set up
  OPTIONS_SENT,       // NAT probe: the relay's OPTIONS is on its way to the client
  OPTIONS_RECV,       // NAT probe: the client answered the OPTIONS
  INVITE_SENT,        // the INVITE went on to the called side
  X_INVITE_SENT,      // NAT probe: the relay's own INVITE is on its way to the client (a server's call)
  X_183_SENT,         // NAT probe: the relay's own 183 went to the client (a client's call)
  X_ACK_SENT,  // NAT probe: the client's answer to the relay's INVITE was acknowledged; its media is awaited
  X_CLNMEDIA_RECV,  // NAT probe: the client's media reached the relay's probe ports
  Z_OK_SENT,        // zero-media: the client has the relay's 200; the server has not answered finally
  Z_ACK_RECV,       // zero-media: the client acknowledged the relay's 200
  Z_DONE,           // zero-media: both sides answered and acknowledged
  Z_INV_SENT,       // zero-media: the relay offers the client the server's SDP anew in a re-INVITE
  START_FULL_MODE,  // the call's media is being anchored on the relay
  CANCEL_RECV,      // a CANCEL of the pending INVITE is being handled
  REFER_RECV,       // a REFER arrived
  AUTH,             // the server challenged the INVITE: the client's retry is awaited
  MOVED,            // the INVITE was redirected (3xx): the client's next INVITE is awaited
  PASS,             // established, or a transaction: messages are relayed as they come
  COMPLETE,         // over; lingers for retransmissions until its timer removes it
};

enum class DialogEvent {
  PASS,               // any message the intake has no other event for: relayed by the state's handler
  CLN_REGISTER_RECV,  // a client's REGISTER
  INVITE_RECV,        // an INVITE that opens a call, or one within an established call
  CANCEL_RECV,        // a CANCEL
  REFER_RECV,         // a REFER
  OPTIONS_RECV,       // the call's NAT probe: the client answered the relay's OPTIONS
  X_CLNMEDIA_RECV,    // the call's NAT probe: the client's media reached the probe ports
  START_FULL_MODE,    // the call's media is to be anchored on the relay
};

// "<UNKNOWN>" for a value that names no state.
const char* StateName(DialogState s);
const char* DialogEventName(DialogEvent e);
// The state a call takes when event arrives, before the event's handler runs; none for PASS, which leaves
// the state as it is.
std::optional<DialogState> StateOnArrival(DialogEvent e);
