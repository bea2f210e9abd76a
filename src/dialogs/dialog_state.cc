// The printed names of the dialog states and events, and the state each event puts a call in.
#include "dialogs/dialog_state.h"

const char* StateName(DialogState s) {
  switch (s) {
    case DialogState::BLANK:
      return "INIT";
    case DialogState::CLN_REGISTER_RECV:
      return "CLN_REGISTER_RECV";
    case DialogState::INVITE_RECV:
      return "INVITE_RECV";
    case DialogState::OPTIONS_SENT:
      return "OPTIONS_SENT";
    case DialogState::OPTIONS_RECV:
      return "OPTIONS_RECV";
    case DialogState::INVITE_SENT:
      return "INVITE_SENT";
    case DialogState::X_INVITE_SENT:
      return "X_INVITE_SENT";
    case DialogState::X_183_SENT:
      return "X_183_SENT";
    case DialogState::X_ACK_SENT:
      return "X_ACK_SENT";
    case DialogState::X_CLNMEDIA_RECV:
      return "X_CLNMEDIA_RECV";
    case DialogState::Z_OK_SENT:
      return "Z_OK_SENT";
    case DialogState::Z_ACK_RECV:
      return "Z_ACK_RECV";
    case DialogState::Z_DONE:
      return "Z_DONE";
    case DialogState::Z_INV_SENT:
      return "Z_INV_SENT";
    case DialogState::START_FULL_MODE:
      return "START_FULL_MODE";
    case DialogState::CANCEL_RECV:
      return "CANCEL_RECV";
    case DialogState::REFER_RECV:
      return "REFER_RECV";
    case DialogState::AUTH:
      return "AUTH";
    case DialogState::MOVED:
      return "MOVED";
    case DialogState::PASS:
      return "PASS";
    case DialogState::COMPLETE:
      return "COMPLETE";
  }
  return "<UNKNOWN>";
}

const char* DialogEventName(DialogEvent e) {
  switch (e) {
    case DialogEvent::PASS:
      return "PASS";
    case DialogEvent::CLN_REGISTER_RECV:
      return "CLN_REGISTER_RECV";
    case DialogEvent::INVITE_RECV:
      return "INVITE_RECV";
    case DialogEvent::CANCEL_RECV:
      return "CANCEL_RECV";
    case DialogEvent::REFER_RECV:
      return "REFER_RECV";
    case DialogEvent::OPTIONS_RECV:
      return "OPTIONS_RECV";
    case DialogEvent::X_CLNMEDIA_RECV:
      return "X_CLNMEDIA_RECV";
    case DialogEvent::START_FULL_MODE:
      return "START_FULL_MODE";
  }
  return "<UNKNOWN>";
}

std::optional<DialogState> StateOnArrival(DialogEvent e) {
  switch (e) {
    case DialogEvent::PASS:
      return std::nullopt;
    case DialogEvent::CLN_REGISTER_RECV:
      return DialogState::CLN_REGISTER_RECV;
    case DialogEvent::INVITE_RECV:
      return DialogState::INVITE_RECV;
    case DialogEvent::CANCEL_RECV:
      return DialogState::CANCEL_RECV;
    case DialogEvent::REFER_RECV:
      return DialogState::REFER_RECV;
    case DialogEvent::OPTIONS_RECV:
      return DialogState::OPTIONS_RECV;
    case DialogEvent::X_CLNMEDIA_RECV:
      return DialogState::X_CLNMEDIA_RECV;
    case DialogEvent::START_FULL_MODE:
      return DialogState::START_FULL_MODE;
  }
  return std::nullopt;
}
