// Call transfers through the relay: REFER from either side and the 202 that ends the call's media, the
// client's NOTIFYs of a transfer that the relay answers itself or holds back, and the Replaces header
// that names a call by tags: in zero-media mode the client knows the server's tag as the relay's
// "ostrel-" tag, so a Replaces built by one side is translated before the other side can match it.
// Worker threads, with the call locked; a replaced call is only ever try-locked.
#include <strings.h>

#include <string_view>
#include <vector>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/dialog_table.h"
#include "foundation/log.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace {

using HID = HeaderIds;

constexpr std::string_view kReplaces = "Replaces";

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// The fields of a Replaces value between its ';', blanks trimmed.
std::vector<std::string> SplitFields(std::string_view v) {
  std::vector<std::string> out;
  for (;;) {
    const size_t semi = v.find(';');
    std::string_view f = v.substr(0, semi);
    while (!f.empty() && (f.front() == ' ' || f.front() == '\t')) f.remove_prefix(1);
    while (!f.empty() && (f.back() == ' ' || f.back() == '\t')) f.remove_suffix(1);
    out.emplace_back(f);
    if (semi == std::string_view::npos) return out;
    v.remove_prefix(semi + 1);
  }
}

std::string JoinFields(const std::vector<std::string>& fields) {
  std::string out;
  for (const auto& f : fields) out += (out.empty() ? "" : ";") + f;
  return out;
}

// The index of the field "name=...", or -1.
int FieldIndex(const std::vector<std::string>& fields, std::string_view name) {
  for (size_t i = 1; i < fields.size(); ++i)
    if (StartsWithNoCase(fields[i], name)) return static_cast<int>(i);
  return -1;
}

// The Refer-To URI's embedded Replaces (the URI header name in any case), or null.
const std::string* EmbeddedReplaces(SipMessage& m, RouteHeader*& refer_to) {
  m.Parse(HID::HID_REFER_TO);
  refer_to = m.Header<RouteHeader>(HID::HID_REFER_TO);
  if (refer_to == nullptr) return nullptr;
  for (const auto& [name, value] : refer_to->UriHeadersMap())
    if (strcasecmp(name.c_str(), std::string(kReplaces).c_str()) == 0) return &value;
  return nullptr;
}

void SetEmbeddedReplaces(RouteHeader& refer_to, const std::string& value) {
  for (const auto& [name, old] : refer_to.UriHeadersMap()) {
    if (strcasecmp(name.c_str(), std::string(kReplaces).c_str()) == 0) {
      const std::string keep = name;
      refer_to.OHeads(keep, value);
      return;
    }
  }
}

}  // namespace

void Call::ReferReceived(Direction dir) {
  SipMessage& m = *message_;
  if (!m.IsRefer()) {
    auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
    if (m.IsResponse() && cseq != nullptr && cseq->Method() == SipMessage::REFER) {
      // The transfer was accepted: this call's media end here, its dialog goes on until its BYE.
      if (m.Status() == 202) StopCall();
      State(DialogState::PASS);
    }
    return Pass(dir);
  }
  if (dir == FROM_SERVER)
    ServerRefer();
  else
    ClientRefer();
  Pass(dir);
}

void Call::ServerRefer() {
  SipMessage& m = *message_;
  if (const char* sub = m.Header(std::string_view("Refer-Sub"));
      sub != nullptr && strcasecmp(sub, "false") == 0)
    notify_suppression_ = -1;
  const bool reescape = HasDefect(Defect::REESCAPE_REPLACES);
  const bool hold_notify = HasDefect(Defect::HOLD_NOTIFY_DURING_CALL_SETUP);
  RouteHeader* refer_to = nullptr;
  if (reescape || hold_notify) {
    if (const std::string* replaces = EmbeddedReplaces(m, refer_to)) {
      if (reescape) {
        std::string fixed;
        if (!SipMessage::ReescapeHeaderValue(*replaces, fixed)) {
          LogLine(LEVEL_DEBUG, "Defect 'R' - Replaces does not decode cleanly, passed unchanged\n");
        } else if (fixed != *replaces) {
          SetEmbeddedReplaces(*refer_to, fixed);
          LogLine(LEVEL_DEBUG, "Defect 'R' - Escape Replaces in Refer-To\n");
        }
      }
      if (hold_notify) notify_suppression_ = notify_suppression_ != 0 ? -4 : 3;
    }
  }
  if (HasDefect(Defect::RESTORE_REQUEST_URI) && m.Header(HID::HID_CONTACT) == nullptr)
    m.Set(HID::HID_CONTACT,
          std::string("<sip:ostrel@") + g_config.myipaddr + ':' + std::to_string(g_config.main_port) + '>');
  if (SymmetricWithoutRegistration()) {
    m.Remove(std::string_view("X-COOKIE"));
    if (auto* via = m.Header<ViaHeader>(HID::HID_VIA)) m.Header("X-COOKIE", via->Address());
  }
}

void Call::ClientRefer() {
  SipMessage& m = *message_;
  m.Parse(HID::HID_REFERRED_BY);
  const bool has = m.Header(HID::HID_REFERRED_BY) != nullptr;
  if (!has || (HasDefect(Defect::RESTORE_REFERRED_BY) && !chained_)) {
    SipUri who;
    OldContactUri(who);
    std::string text = "<";
    who.Assemble(text);
    m.Set(HID::HID_REFERRED_BY, text + '>');
    LogLine(LEVEL_DEBUG, has ? "Defect 'B' - Restore 'Referred-By:'\n" : "Add Missing 'Referred-By:'\n");
  }
  RouteHeader* refer_to = nullptr;
  const std::string* replaces = EmbeddedReplaces(m, refer_to);
  std::string decoded;
  if (replaces == nullptr || !SipMessage::UnescapeExactly(*replaces, decoded)) return;
  std::vector<std::string> fields = SplitFields(decoded);
  const int from = FieldIndex(fields, "from-tag="), to = FieldIndex(fields, "to-tag=");
  if (fields.size() <= 2 || from < 0 || to < 0) return;
  const std::string to_tag = fields[to].substr(7);
  if (to_tag.rfind("ostrel-", 0) != 0) return;
  ObjectGuard<Dialog> replaced = FindReplaced(fields[0], to_tag);
  if (!replaced) return;
  const SipMessage* zero = static_cast<Call&>(*replaced).zero_message_.get();
  auto* zero_to = zero != nullptr ? zero->Header<ToHeader>(HID::HID_TO) : nullptr;
  const char* real = zero_to != nullptr ? zero_to->Params().Param("tag") : nullptr;
  if (real == nullptr) return;
  // Only the tag changes: the other fields (early-only and whatever else) go on as they came.
  fields[to] = "to-tag=" + std::string(real);
  SetEmbeddedReplaces(*refer_to, SipMessage::EscapeHeaderValue(JoinFields(fields)));
  Log("ostrel", LEVEL_DEBUG, "Substitute Replaces in Refer-To:\n");
}

bool Call::TransferNotify() {
  SipMessage& m = *message_;
  if (notify_suppression_ == 0 || !m.IsRequest() || !m.IsNotify()) return true;
  m.Parse(HID::HID_EVENT);
  auto* event = m.Header<EventHeader>(HID::HID_EVENT);
  if (event == nullptr || strcasecmp(event->Value().c_str(), "refer") != 0) return true;
  if (static_cast<uint8_t>(notify_suppression_) < 255 && State() != DialogState::COMPLETE) {
    notify_suppression_ = static_cast<int8_t>(notify_suppression_ >> 1);
    LogLine(LEVEL_DEBUG, "Defect 'n' - Disregard NOTIFY (0x%02X)\n",
            static_cast<unsigned>(static_cast<uint8_t>(notify_suppression_)));
    return false;
  }
  if (notify_suppression_ > 0) return true;
  const char* state = m.Header(std::string_view("Subscription-State"));
  if (state != nullptr && strncasecmp(state, "terminated", 10) == 0) notify_suppression_ = 0;
  m.Remove(HID::HID_CONTACT);
  LogLine(LEVEL_DEBUG, "Suppress propagating NOTIFY\n");
  Reply(FROM_CLIENT, 200, "OKey");
  return false;
}

void Call::ReplacesFromServer() {
  SipMessage& m = *message_;
  const char* value = m.Header(kReplaces);
  if (value == nullptr) return;
  std::vector<std::string> fields = SplitFields(value);
  const int from = FieldIndex(fields, "from-tag="), to = FieldIndex(fields, "to-tag=");
  if (fields.size() <= 2 || from < 0 || to < 0) return;
  ObjectGuard<Dialog> replaced = FindReplaced(fields[0], fields[to].substr(7));
  if (!replaced) return;
  // The client knows the server's side of the replaced call by the relay's tag.
  fields[from] = "from-tag=" + static_cast<Call&>(*replaced).ZeroTag();
  m.Remove(kReplaces);
  m.Header(std::string(kReplaces), JoinFields(fields));
  LogLine(LEVEL_DEBUG, "Substitute Replaces.\n");
}

ObjectGuard<Dialog> Call::FindReplaced(const std::string& callid, const std::string& tag) {
  const std::pair<char, std::string> keys[] = {
      {'S', "S&" + callid + '&' + tag}, {'C', "C&" + callid}, {'B', callid}};
  for (const auto& [letter, key] : keys) {
    ObjectGuard<Dialog> found;
    switch (table_->TryGetDialog(key, *this, found)) {
      case DialogTable::TryLookup::NONE:
        continue;
      case DialogTable::TryLookup::SELF:
        LogLine(LEVEL_DEBUG, "GetRplcs(%c) BUG: Replace of itself! - Ignore\n", letter);
        return {};
      case DialogTable::TryLookup::BUSY:
        // Waiting for it while this call is locked could deadlock with a call that names this one.
        LogLine(LEVEL_DEBUG, "GetRplcs(%c) Key: %s is busy - taken as not found\n", letter, key.c_str());
        continue;
      case DialogTable::TryLookup::FOUND:
        break;
    }
    if (!found->IsCall() || found->NewContact() != new_contact_) continue;
    auto& call = static_cast<Call&>(*found);
    call.was_replaced_ = true;
    if (!call.InZeroMode()) return {};
    LogLine(LEVEL_DEBUG, "GetRplcs(%c) found Key: %s\n", letter, key.c_str());
    return found;
  }
  return {};
}
