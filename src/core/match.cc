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

const char* TagOf(const SIP& msg, SIP_Header::HeadId id) {
  auto* h = msg.Header<SIP_Head_Route>(id);
  return h ? h->Params().Param("tag") : nullptr;
}

}  // namespace

TGuard<Dialog_t> Match(DialogTable& table, SIP& msg, Dialog_t::Direction_t dir, std::string& key) {
  key.clear();
  auto* callid_h = msg.Header<SIP_Head_Call_ID>(SIP_Header::HID_Call_ID);
  if (callid_h == nullptr) return {};
  const std::string& callid = callid_h->Value();
  const bool from_cln = dir == Dialog_t::FROM_CLN;
  auto* via = msg.Header<SIP_Head_Via>(SIP_Header::HID_Via);

  if (msg.IS_Response()) {
    // A response is matched by the number in the relay's branch, and only to a dialog of the same call:
    // the numbers are sequential and guessable.
    if (unsigned no = RelayBranchNumber(via)) {
      TGuard<Dialog_t> d = table.GetDialog(static_cast<int>(no));
      if (d && KeyHasCallId(d->Key(), callid)) {
        key = d->Key();
        msg.pop_front(SIP_Header::HID_Via);
        Log(d->UniqStr().c_str(), LOG_DEBUG, 0, "Found Key (branch) - %s\n", key.c_str());
        return d;
      }
    }
    key = callid;
    Log("ostrel", LOG_DEBUG, "New Key - %s\n", key.c_str());
    return {};
  }

  const char* from_tag = TagOf(msg, SIP_Header::HID_From);
  const char* to_tag = TagOf(msg, SIP_Header::HID_To);
  if (from_tag != nullptr) {
    std::string k = std::string(from_cln ? "S&" : "C&") + callid + "&" + from_tag;
    if (TGuard<Dialog_t> d = table.GetDialog(k)) {
      key = k;
      Log(d->UniqStr().c_str(), LOG_DEBUG, "Found Key (From) - %s\n", key.c_str());
      return d;
    }
  }
  std::string to_key;
  if (to_tag != nullptr) {
    to_key = std::string(from_cln ? "C&" : "S&") + callid + "&" + to_tag;
    if (TGuard<Dialog_t> d = table.GetDialog(to_key)) {
      key = to_key;
      Log(d->UniqStr().c_str(), LOG_DEBUG, "Found Key (To) - %s\n", key.c_str());
      return d;
    }
  }
  std::string plain = std::string(from_cln ? "C&" : "S&") + callid;
  const char* branch = via ? via->Param("branch") : nullptr;
  const bool with_branch = !from_cln && branch != nullptr;
  if (with_branch) plain += std::string("&") + branch;
  if (TGuard<Dialog_t> d = table.GetDialog(plain)) {
    key = plain;
    Log("ostrel", LOG_DEBUG, 0, "Found Key (-) %s\n", key.c_str());
    return d;
  }
  const bool by_to = msg.is_INVITE() && to_tag != nullptr;
  key = by_to ? to_key : plain;
  Log("ostrel", LOG_DEBUG, "New Key (%s) %s\n", by_to ? "To" : (with_branch ? "branch" : "-"), key.c_str());
  return {};
}
