// Finding the dialog a message belongs to, by the relay's branch (responses) or by the dialog keys built
// from Call-ID, tags and branch (requests). Any worker thread; the dialog comes back locked.
#pragma once

#include <string>

#include "dialogs/dialog.h"
#include "foundation/locks.h"
#include "sip/message.h"

class DialogTable;

// Sets key to the key found, or to the key a new dialog is to take; leaves it empty without a Call-ID.
// dir: Dialog::FROM_CLIENT or FROM_SERVER. A response found by its relay branch loses that top Via.
ObjectGuard<Dialog> Match(DialogTable& table, SipMessage& msg, Dialog::Direction dir, std::string& key);

// The Call-ID a dialog key was built from ("C&" or "S&" Call-ID, then '&' and a tag or branch, or nothing).
bool KeyHasCallId(const std::string& key, const std::string& callid);
