#include "core/match.h"

#include "dialogs/dialog_table.h"
#include "foundation/log.h"
#include "ports/relay_ops.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/headers/via.h"

bool KeyHasCallId(const std::string& key, const std::string& callid) {
  if (key.size() < 2 + callid.size() || key.compare(2, callid.size(), callid) != 0) return false;
  return key.size() == 2 + callid.size() || key[2 + callid.size()] == '&';
}

namespace {

// How long a request with a To tag that matches no dialog waits for keys still being entered.
constexpr int kKeyWaitMs = 20;

const char* TagOf(const SipMessage& msg, SipHeaders::HeadId id) {
  auto* h = msg.Header<RouteHeader>(id);
  return h ? h->Params().Param("tag") : nullptr;
}

}  // namespace

ObjectGuard<Dialog> Match(DialogTable& table, SipMessage& msg, Dialog::Direction dir, std::string& key) {
  key.clear();
  auto* callid_h = msg.Header<CallIdHeader>(SipHeaders::HID_CALL_ID);
  if (callid_h == nullptr) return {};
  const std::string& callid = callid_h->Value();
  const bool from_cln = dir == Dialog::FROM_CLIENT;
  auto* via = msg.Header<ViaHeader>(SipHeaders::HID_VIA);

  if (msg.IsResponse()) {
    // A response is matched by the number in the relay's branch, and only to a dialog of the same call:
    // the numbers are sequential and guessable.
    if (unsigned no = RelayBranchNumber(via)) {
      ObjectGuard<Dialog> d = table.GetDialog(static_cast<int>(no));
      if (d && KeyHasCallId(d->Key(), callid)) {
        key = d->Key();
        msg.pop_front(SipHeaders::HID_VIA);
        Log(d->NumberText().c_str(), LEVEL_DEBUG, 0, "Found Key (branch) - %s\n", key.c_str());
        return d;
      }
    }
    key = callid;
    Log("ostrel", LEVEL_DEBUG, "New Key - %s\n", key.c_str());
    return {};
  }

  const char* from_tag = TagOf(msg, SipHeaders::HID_FROM);
  const char* to_tag = TagOf(msg, SipHeaders::HID_TO);
  std::string to_key;
  if (to_tag != nullptr) to_key = std::string(from_cln ? "C&" : "S&") + callid + "&" + to_tag;
  auto by_tags = [&]() -> ObjectGuard<Dialog> {
    if (from_tag != nullptr) {
      std::string k = std::string(from_cln ? "S&" : "C&") + callid + "&" + from_tag;
      if (ObjectGuard<Dialog> d = table.GetDialog(k)) {
        key = k;
        Log(d->NumberText().c_str(), LEVEL_DEBUG, "Found Key (From) - %s\n", key.c_str());
        return d;
      }
    }
    if (to_tag != nullptr) {
      if (ObjectGuard<Dialog> d = table.GetDialog(to_key)) {
        key = to_key;
        Log(d->NumberText().c_str(), LEVEL_DEBUG, "Found Key (To) - %s\n", key.c_str());
        return d;
      }
    }
    return {};
  };
  if (ObjectGuard<Dialog> d = by_tags()) return d;
  // The answer that gave a dialog its To tag may have been relayed by another worker a moment ago and its
  // key still be on its way to the table (the key manager applies it): the ACK to a 200 can come that
  // fast. This thread holds no dialog, so it may wait for the keys posted so far, briefly, and look again.
  if (to_tag != nullptr && table.WaitKeysApplied(kKeyWaitMs))
    if (ObjectGuard<Dialog> d = by_tags()) return d;
  std::string plain = std::string(from_cln ? "C&" : "S&") + callid;
  const char* branch = via ? via->Param("branch") : nullptr;
  const bool with_branch = !from_cln && branch != nullptr;
  if (with_branch) plain += std::string("&") + branch;
  if (ObjectGuard<Dialog> d = table.GetDialog(plain)) {
    key = plain;
    Log("ostrel", LEVEL_DEBUG, 0, "Found Key (-) %s\n", key.c_str());
    return d;
  }
  const bool by_to = msg.IsInvite() && to_tag != nullptr;
  key = by_to ? to_key : plain;
  Log("ostrel", LEVEL_DEBUG, "New Key (%s) %s\n", by_to ? "To" : (with_branch ? "branch" : "-"), key.c_str());
  return {};
}
