// Setting up a dialog opened by a client request: throttles, domain and user policy, the server it goes to,
// and what the request's Via headers tell about the client. Runs on a worker with the dialog locked.
#include <arpa/inet.h>

#include <cstdlib>

#include "config/config.h"
#include "config/media_policy.h"
#include "dialogs/dialog.h"
#include "dialogs/throttle.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/sip_port.h"
#include "resolve/srv.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace {

constexpr uint64_t kSlowMs = 100;
constexpr const char* kRelayBranch = "z9hG4bK-ostrel-";

bool SlowStartOn() {
  const auto& hook = Dialog_t::Hooks().SlowStart;
  return hook && hook();
}

uint32_t Ipv4(const char* text) {
  in_addr a{};
  if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return 0;
  return ntohl(a.s_addr);
}

bool FromRelay(const SIP_Head_Via* via) {
  const char* branch = via != nullptr ? via->Param("branch") : nullptr;
  return branch != nullptr && std::string_view(branch).substr(0, 15) == kRelayBranch;
}

}  // namespace

// The lock is held (since the constructor). Name resolution happens under it: releasing it would let another
// worker relay a retransmission through a dialog without a server, so long holds are logged instead.
bool Dialog_t::clnSetup(const ClnMsg* m) {
  const uint64_t started = PollReactor::curr_ms();
  ClnSipAddr_m = m->rsvp;
  NewContact_m = m->ncnt;
  OrgContact(m->ocnt);
  PublicIP_m = m->pubIP;
  frm_m = m->frm;
  if (!msg_m || Throttled(m)) return false;
  Direction_m = FROM_CLN;

  DomainOptions_t opts = m->dmopt ? *m->dmopt : DomainOptions_t{};
  if (!opts.checked && Hooks().CheckDomain && !Hooks().CheckDomain(*msg_m, frm_m, Defect_m, opts)) return false;

  SIP& msg = *msg_m;
  if (opts.loglvl != 0) LogLevel_m = opts.loglvl;
  if (opts.srtp) SRTP_m = -1;
  if (IsCall() && opts.smtr) Symmetric(true);
  if (IsCall() && msg.is_INVITE() && opts.xck) msg.Header("X-COOKIE", ClnSipAddr_m.Str());

  Config::UserData_t user;
  if (!m->fuser.empty() && Cfg.CheckUser(m->fuser, user)) {
    if (user.loglvl != 0) LogLevel_m = user.loglvl;
    if (IsCall() && user.lb) LB(true);
    DLog(LOG_DEBUG, "Known FUser: %s\n", m->fuser.c_str());
  }

  if (opts.trns || user.trns) {
    Transc_m = -1;
    if (IsCall() && msg.is_INVITE()) {
      uint8_t codec = 0;
      const int rule = Cfg.CheckTransRules(msg, &codec);
      if (rule == -1) {
        if (Hooks().Bounce) Hooks().Bounce(msg, 415, "Unsupported Media Type", ClnSipAddr_m, ExtPort);
        return false;
      }
      Transc_m = static_cast<int8_t>(rule);
      if (rule > 0) BCodec(codec);
    }
  }

  PCnt_m = opts.pcnt;
  Prsn_m = opts.prsn;
  if (!Defect_m.empty() && Defect_m[0] != ' ') DLog(LOG_DEBUG, "Known broken device. Defect: %s\n", Defect_m.c_str());
  if (opts.full) {
    DLog(LOG_DEBUG, opts.trns ? "Known TRNS Domain.\n" : "Known FULL Domain.\n");
    SetFDomain();
  }
  if (opts.full || user.full) FullReason_m = 'C';

  if (!SetUpDestination(opts)) return false;
  SRU_m = opts.sru;
  AnalyseVias();

  const uint64_t held = PollReactor::curr_ms() - started;
  if (held > kSlowMs)
    DLog(LOG_ERROR, "Warning: Dialog locked for ~%lu ms during set-up\n", static_cast<unsigned long>(held));
  return true;
}

// Registration throttle for a REGISTER, and while slow start or the DDOS shield is on, requests of
// unregistered, untrusted clients. True: drop the request.
bool Dialog_t::Throttled(const ClnMsg* m) {
  const bool ddos = DCore.UnderDDOS();
  if (msg_m->is_REGISTER()) {
    const int limit = ddos ? Cfg.ThrottDDOS : Cfg.ThrottReg;
    return !RegThrottle_t::Process().Admit(time(nullptr), limit, ddos, Cfg.slow_start, Hooks().SetSlowStart);
  }
  if (!SlowStartOn() && !ddos) return false;
  const bool registered = Hooks().HasRegister && Hooks().HasRegister(NewContact_m);
  if (registered || Cfg.IsTrusted(frm_m.IpAddr())) return false;
  Log("ostrel", LOG_DEBUG, "Not Registered - Throttled! (%s)\n", ddos ? "DDOS" : "Slow");
  return true;
}

// The server the request goes to: the domain's SRV candidates when it asks for them, else its next hop.
bool Dialog_t::SetUpDestination(const DomainOptions_t& opts) {
  const std::string hop = msg_m->Addr();
  Domain_m = hop.substr(0, hop.find(':'));
  bool found = false;
  if (opts.srv) {
    auto list = std::make_unique<std::vector<SRVR>>();
    const uint64_t t0 = PollReactor::curr_ms();
    ResolveSrv(Domain_m, "_sip._udp.", *list, opts.extsrv ? nullptr : &Cfg.HardSrvs, opts.xhsts);
    const unsigned long took = static_cast<unsigned long>(PollReactor::curr_ms() - t0);
    if (took > kSlowMs)
      DLog(LOG_ERROR, "Warning: It took ~%lu ms to SRV resolve: %s !!!\n", took, Domain_m.c_str());
    else
      DLog(LOG_TRACE, "Note: It took ~%lu ms to SRV resolve: %s !!!\n", took, Domain_m.c_str());
    for (auto it = list->begin(); it != list->end() && !found;) {
      InetAddr a;
      if (Resolve(a, it->s_name + ':' + std::to_string(it->s_port))) {
        SrvSipAddr_m = a;
        found = true;
      } else {
        it = list->erase(it);
      }
    }
    if (list->size() >= 2) Srvs_m = std::move(list);
  }
  if (!found) {
    InetAddr a;
    if (!Resolve(a, hop)) {
      DLog(LOG_ERROR, "Warning: Destination '%s' could not be resolved\n", hop.c_str());
      DCore.report(frm_m, DOSCore::DOS_L, 0);
      if (Hooks().Bounce) Hooks().Bounce(*msg_m, 484, "Address Incomplete", ClnSipAddr_m, ExtPort);
      return false;
    }
    SrvSipAddr_m = a;
  }
  DLog(LOG_DEBUG, "%sDestination: %s\n", opts.srv ? "SRV " : "", SrvSipAddr_m.Str().c_str());
  return true;
}

// What the Via headers tell: an indirect or chained client, its public address and port, an RSVP port.
void Dialog_t::AnalyseVias() {
  SIP& msg = *msg_m;
  auto* top = msg.Header<SIP_Head_Via>(SIP_HeadIds::HID_Via);
  if (top != nullptr && top->Next() != nullptr) {
    if (!PublicIP_m) {
      Indirect_m = true;
      FullReason_m = 'C';
      DLog(LOG_DEBUG, "Indirect Client.\n");
    } else if (FromRelay(top)) {
      Chained_m = true;
      DLog(LOG_DEBUG, "Chained Client.\n");
    }
  }
  if (top != nullptr) {
    auto* bottom = static_cast<SIP_Head_Via*>(top->last());
    if (uint32_t ip = Ipv4(bottom->Param("received")); ip != 0) {
      ClnRtpIP_m = ip;
      auto* from = msg.Header<SIP_Head_From>(SIP_HeadIds::HID_From);
      SIP_URI contact;
      if (msg.is_INVITE() && from != nullptr && !OrgContact_m.empty() && contact.parser(OrgContact_m, true)) {
        contact.User(from->User());
        std::string text;
        OrgContact(contact.assemble(text));
      }
    }
    const char* rport = bottom->Param("rport");
    if (rport != nullptr && *rport != '\0')
      ExtSPort_m = static_cast<uint16_t>(std::atoi(rport));
    else
      ExtSPort_m = static_cast<uint16_t>(Indirect_m ? bottom->SPort() : ClnSipAddr_m.Port());
  }
  if (ClnRtpIP_m == 0) ClnRtpIP_m = ClnSipAddr_m.IpAddr();
  if (ExtSPort_m == 0) ExtSPort_m = ClnSipAddr_m.Port();
  if (uint16_t port = Cfg.CheckRsvp(RsvpKey(ClnRtpIP_m, ClnCntAddr_m.IpAddr())); port != 0) {
    RSVP_m = true;
    ClnSipAddr_m.Port(port);
    DLog(LOG_DEBUG, "Set RSVP port to: %u\n", static_cast<unsigned>(port));
  }
}
