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

RegDialog_t::Events RegDialog_t::events;

namespace {

using HID = SIP_HeadIds;

bool StartsWithDigit(const char* s) { return s != nullptr && std::isdigit(static_cast<unsigned char>(*s)); }

std::string DottedIp(uint32_t host_order) {
  in_addr a{htonl(host_order)};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace

RegDialog_t::RegDialog_t(std::unique_ptr<SIP> msg, std::string key, std::string fuser, std::string defect, bool xunr)
    : Dialog_t(std::move(msg), std::move(key), std::move(defect)), FUser_m(std::move(fuser)), XUnReg_m(xunr) {}

void RegDialog_t::HandleClnMsg(State_t) {
  if (!msg_m) return;
  if (TimerID_m != PollReactor::kNoTimer) {
    DLog(LOG_DEBUG, "Cancel Complete Timer\n");
    CancelTimer(T_COMPLETE);
  }
  if (State() == CLN_REGISTER_RECV) CountRetransmission();
  State(CLN_REGISTER_RECV);
  Unreg_m = false;
  if (!CheckStarContact()) return;
  FollowChangedContact();

  SIP& msg = *msg_m;
  int expiry = RequestedExpiry();
  if (auto* ua = msg.Header<SIP_Head_User_Agent>(HID::HID_User_Agent)) UAgent_m = ua->Value();
  if (expiry != 0 && (!PublicIP_m || Prsn_m)) LearnFirewallType();
  if (expiry == 0) Unreg_m = true;
  if (expiry < Cfg.rgstr_limit && !Unreg_m) expiry = Cfg.rgstr_force;

  auto* contact = msg.Header<SIP_Head_Contact>(HID::HID_Contact);
  if (contact != nullptr) msg.set(HID::HID_Expires, std::to_string(expiry));
  AttachHole();
  Pass(FROM_CLN);
}

// The client retransmits before the server answered: maybe the next server, and a dialog that is given up
// sooner the more often it is retransmitted.
void RegDialog_t::CountRetransmission() {
  SrvNext();
  if (Retrns_m <= 2) return;
  const int seconds = std::max(3, 15 - 2 * Retrns_m);
  ScheduleTimer(T_COMPLETE, &IntPort, seconds * 1000);
  DLog(LOG_DEBUG, "Register. Number of Retransmissions: %d. Set timer 'COMPLETE' to %d sec.\n", Retrns_m, seconds);
}

// "Contact: *" removes every binding and is valid only with "Expires: 0".
bool RegDialog_t::CheckStarContact() {
  SIP& msg = *msg_m;
  auto* contact = msg.Header<SIP_Head_Contact>(HID::HID_Contact);
  if (contact == nullptr || !contact->Star()) return true;
  auto* expires = msg.Header<SIP_Head_Expires>(HID::HID_Expires);
  if (expires != nullptr && expires->Value() == 0) return true;
  if (Hooks().Bounce) Hooks().Bounce(msg, 400, "Expires is not 0", ClnSipAddr_m, ExtPort);
  State(COMPLETE);
  return false;
}

// A registered client that changed its contact: its calls follow it to its current address.
void RegDialog_t::FollowChangedContact() {
  SIP& msg = *msg_m;
  auto* contact = msg.Header<SIP_Head_Contact>(HID::HID_Contact);
  auto* callid = msg.Header<SIP_Head_Call_ID>(HID::HID_Call_ID);
  if (contact == nullptr || contact->Star() || callid == nullptr) return;
  TGuard<Register_t> reg = Register_t::GetRegister(callid->Value(), Domain_m, contact->User());
  if (reg && reg->NCont() != NewContact_m) reg->UpdateCalls(ClnSipAddr_m, 0);
}

int RegDialog_t::RequestedExpiry() const {
  const SIP& msg = *msg_m;
  int expiry = 3600;
  if (auto* expires = msg.Header<SIP_Head_Expires>(HID::HID_Expires)) expiry = expires->Value();
  auto* contact = msg.Header<SIP_Head_Contact>(HID::HID_Contact);
  if (contact != nullptr && !contact->Star()) {
    const char* param = contact->Params().Param("expires");
    if (StartsWithDigit(param)) expiry = std::atoi(param);
  }
  return expiry;
}

// Some devices name the NAT they sit behind in their User-Agent: "fwtype=Symmetric" or "fwtype=Cone".
void RegDialog_t::LearnFirewallType() {
  const size_t at = UAgent_m.find("fwtype=");
  if (at == std::string::npos) return;
  const size_t start = at + 7;
  const size_t end = UAgent_m.find_first_of(" \t", start);
  const std::string word = UAgent_m.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (strcasecmp(word.c_str(), "Symmetric") == 0)
    Mode_m = FWType::OPAQUE;
  else if (strcasecmp(word.c_str(), "Cone") == 0)
    Mode_m = FWType::RESTRICTED;
}

// A chained relay forwards the hole it saw; otherwise the relay tells the server where it reaches the
// client (public address, then the address the client believes it has).
void RegDialog_t::AttachHole() {
  SIP& msg = *msg_m;
  if (Chained_m) {
    if (const char* hole = msg.Header(std::string_view("X-Hole"))) RecvdHole_m = hole;
    return;
  }
  auto* contact = msg.Header<SIP_Head_Contact>(HID::HID_Contact);
  if (Unreg_m || contact == nullptr || !Cfg.hole_attach) return;
  msg.Header("X-Hole", DottedIp(ClnRtpIP_m) + ':' + std::to_string(ExtSPort_m) + ',' + contact->Host() + ':' +
                           std::to_string(contact->SPort()));
}
