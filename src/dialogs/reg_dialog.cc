// A REGISTER on its way to the server: retransmissions, the "*" Contact, the expiry the server is asked
// for, the client's NAT type from its User-Agent, and the client's public address for the server (X-Hole).
#include "dialogs/reg_dialog.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "config/config.h"
#include "foundation/log.h"
#include "ports/sip_port.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"

RegisterDialog::Events RegisterDialog::events;

namespace {

using HID = HeaderIds;

bool StartsWithDigit(const char* s) { return s != nullptr && std::isdigit(static_cast<unsigned char>(*s)); }

std::string DottedIp(uint32_t host_order) {
  in_addr a{htonl(host_order)};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace

RegisterDialog::RegisterDialog(std::unique_ptr<SipMessage> msg, std::string key, std::string fuser,
                               Defects defects, bool xunr)
    : Dialog(std::move(msg), std::move(key), std::move(defects)),
      full_user_(std::move(fuser)),
      extra_unregister_(xunr) {}

void RegisterDialog::HandleClientMessage(DialogEvent) {
  if (!message_) return;
  if (timer_id_ != PollReactor::kNoTimer) {
    LogLine(LEVEL_DEBUG, "Cancel Complete Timer\n");
    CancelTimer(T_COMPLETE);
  }
  if (State() == DialogState::CLN_REGISTER_RECV) CountRetransmission();
  State(DialogState::CLN_REGISTER_RECV);
  unregister_ = false;
  if (!CheckStarContact()) return;
  NoteContactUser();

  SipMessage& msg = *message_;
  int expiry = RequestedExpiry();
  if (auto* ua = msg.Header<UserAgentHeader>(HID::HID_USER_AGENT)) user_agent_ = ua->Value();
  if (expiry != 0 && (!public_ip_ || persistent_)) LearnFirewallType();
  if (expiry == 0) unregister_ = true;
  if (expiry < g_config.rgstr_limit && !unregister_) expiry = g_config.rgstr_force;

  auto* contact = msg.Header<ContactHeader>(HID::HID_CONTACT);
  if (contact != nullptr) msg.Set(HID::HID_EXPIRES, std::to_string(expiry));
  AttachHole();
  Pass(FROM_CLIENT);
}

// The client retransmits before the server answered: maybe the next server, and a dialog that is given up
// sooner the more often it is retransmitted.
void RegisterDialog::CountRetransmission() {
  NextServer();
  if (retransmissions_ <= 2) return;
  const int seconds = std::max(3, 15 - 2 * retransmissions_);
  ScheduleTimer(T_COMPLETE, &g_internal_port, seconds * 1000);
  LogLine(LEVEL_DEBUG, "Register. Number of Retransmissions: %d. Set timer 'COMPLETE' to %d sec.\n",
          retransmissions_, seconds);
}

// "Contact: *" removes every binding and is valid only with "Expires: 0".
bool RegisterDialog::CheckStarContact() {
  SipMessage& msg = *message_;
  auto* contact = msg.Header<ContactHeader>(HID::HID_CONTACT);
  if (contact == nullptr || !contact->Star()) return true;
  auto* expires = msg.Header<ExpiresHeader>(HID::HID_EXPIRES);
  if (expires != nullptr && expires->Value() == 0) return true;
  if (Hooks().bounce) Hooks().bounce(msg, 400, "Expires is not 0", client_sip_address_, g_external_port);
  State(DialogState::COMPLETE);
  return false;
}

void RegisterDialog::NoteContactUser() {
  SipMessage& msg = *message_;
  auto* contact = msg.Header<ContactHeader>(HID::HID_CONTACT);
  auto* callid = msg.Header<CallIdHeader>(HID::HID_CALL_ID);
  register_callid_.clear();
  contact_user_.clear();
  if (contact == nullptr || contact->Star() || callid == nullptr) return;
  register_callid_ = callid->Value();
  contact_user_ = contact->User();
}

// A registered client that changed its contact: its calls follow it to its current address, once the
// server accepted the REGISTER from there (a forged one must not carry a phone's calls away).
void RegisterDialog::FollowChangedContact() {
  if (register_callid_.empty()) return;
  ObjectGuard<Registration> reg = Registration::GetRegister(register_callid_, domain_, contact_user_);
  if (reg && reg->NewContact() != new_contact_) reg->UpdateCalls(client_sip_address_, 0);
}

int RegisterDialog::RequestedExpiry() const {
  const SipMessage& msg = *message_;
  int expiry = 3600;
  if (auto* expires = msg.Header<ExpiresHeader>(HID::HID_EXPIRES)) expiry = expires->Value();
  auto* contact = msg.Header<ContactHeader>(HID::HID_CONTACT);
  if (contact != nullptr && !contact->Star()) {
    const char* param = contact->Params().Param("expires");
    if (StartsWithDigit(param)) expiry = std::atoi(param);
  }
  return expiry;
}

// Some devices name the NAT they sit behind in their User-Agent: "fwtype=Symmetric" or "fwtype=Cone".
void RegisterDialog::LearnFirewallType() {
  const size_t at = user_agent_.find("fwtype=");
  if (at == std::string::npos) return;
  const size_t start = at + 7;
  const size_t end = user_agent_.find_first_of(" \t", start);
  const std::string word =
      user_agent_.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (strcasecmp(word.c_str(), "Symmetric") == 0)
    mode_ = NatType::OPAQUE;
  else if (strcasecmp(word.c_str(), "Cone") == 0)
    mode_ = NatType::RESTRICTED;
}

// A chained relay forwards the hole it saw; otherwise the relay tells the server where it reaches the
// client (public address, then the address the client believes it has).
void RegisterDialog::AttachHole() {
  SipMessage& msg = *message_;
  if (chained_) {
    if (const char* hole = msg.Header(std::string_view("X-Hole"))) received_hole_ = hole;
    return;
  }
  auto* contact = msg.Header<ContactHeader>(HID::HID_CONTACT);
  if (unregister_ || contact == nullptr || !g_config.hole_attach) return;
  msg.Header("X-Hole", DottedIp(client_rtp_ip_) + ':' + std::to_string(external_source_port_) + ',' +
                           contact->Host() + ':' + std::to_string(contact->SPort()));
}
