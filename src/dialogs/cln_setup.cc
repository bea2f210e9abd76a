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
#include "ports/relay_ops.h"
#include "ports/sip_port.h"
#include "resolve/srv.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace {

constexpr uint64_t kSlowMs = 100;
constexpr const char* kRelayBranch = "z9hG4bK-ostrel-";

bool SlowStartOn() {
  const auto& hook = Dialog::Hooks().slow_start;
  return hook && hook();
}

uint32_t Ipv4(const char* text) {
  in_addr a{};
  if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return 0;
  return ntohl(a.s_addr);
}

bool FromRelay(const ViaHeader* via) {
  const char* branch = via != nullptr ? via->Param("branch") : nullptr;
  return branch != nullptr && std::string_view(branch).substr(0, 15) == kRelayBranch;
}

}  // namespace

// The lock is held (since the constructor). Name resolution happens under it: releasing it would let another
// worker relay a retransmission through a dialog without a server, so long holds are logged instead.
bool Dialog::ClientSetup(const ClientMessage* m) {
  const uint64_t started = PollReactor::NowMs();
  client_sip_address_ = m->reply_to;
  new_contact_ = m->new_contact;
  OldContact(m->old_contact);
  public_ip_ = m->public_ip;
  source_ = m->source;
  if (!message_ || Throttled(m)) return false;
  NoteClientRequest(*message_, source_);
  direction_ = FROM_CLIENT;

  DomainOptions opts = m->domain_options ? *m->domain_options : DomainOptions{};
  if (!opts.checked && Hooks().check_domain) {
    // The hook hands the defects over as letters and may fill them.
    std::string letters = defects_.Letters();
    if (!Hooks().check_domain(*message_, source_, letters, opts)) return false;
    defects_ = Defects::FromLetters(letters);
  }

  SipMessage& msg = *message_;
  if (opts.loglvl != 0) log_level_ = opts.loglvl;
  if (opts.srtp) srtp_ = SrtpMode::ALLOWED;
  if (IsCall() && opts.smtr) Symmetric(true);
  if (IsCall() && msg.IsInvite() && opts.xck) msg.Header("X-COOKIE", client_sip_address_.Text());

  Config::UserOptions user;
  if (!m->full_user.empty() && g_config.CheckUser(m->full_user, user)) {
    if (user.loglvl != 0) log_level_ = user.loglvl;
    if (IsCall() && user.lb) LB(true);
    LogLine(LEVEL_DEBUG, "Known FUser: %s\n", m->full_user.c_str());
  }

  if (opts.trns || user.trns) {
    transcoding_ = -1;
    if (IsCall() && msg.IsInvite()) {
      uint8_t codec = 0;
      const int rule = g_config.CheckTransRules(msg, &codec, &transcoding_rule_);
      if (rule == -1) {
        if (Hooks().bounce)
          Hooks().bounce(msg, 415, "Unsupported Media Type", client_sip_address_, g_external_port);
        return false;
      }
      transcoding_ = static_cast<int8_t>(rule);
      if (rule > 0) BareCodec(codec);
    }
  }

  keep_contact_ = opts.pcnt;
  persistent_ = opts.prsn;
  if (defects_.FromListedDevice())
    LogLine(LEVEL_DEBUG, "Known broken device. Defect: %s\n", defects_.Letters().c_str());
  if (opts.full) {
    LogLine(LEVEL_DEBUG, opts.trns ? "Known TRNS Domain.\n" : "Known FULL Domain.\n");
    SetFullDomain();
  }
  if (opts.full || user.full) full_reason_ = FullModeReason::CONFIGURED;

  if (!SetUpDestination(opts)) return false;
  server_request_uri_ = opts.sru;
  AnalyseVias();

  const uint64_t held = PollReactor::NowMs() - started;
  if (held > kSlowMs)
    LogLine(LEVEL_ERROR, "Warning: Dialog locked for ~%lu ms during set-up\n",
            static_cast<unsigned long>(held));
  return true;
}

// Registration throttle for a REGISTER, and while slow start or the DDOS shield is on, requests of
// unregistered, untrusted clients. True: drop the request.
bool Dialog::Throttled(const ClientMessage* m) {
  const bool ddos = g_dos.UnderDDOS();
  if (message_->IsRegister()) {
    const int limit = ddos ? g_config.throttle_ddos : g_config.throttle_register;
    return !RegisterThrottle::Process().Admit(time(nullptr), limit, ddos, g_config.slow_start,
                                              Hooks().set_slow_start);
  }
  if (!SlowStartOn() && !ddos) return false;
  const bool registered = Hooks().has_register && Hooks().has_register(new_contact_);
  if (registered || g_config.IsTrusted(source_.Ip())) return false;
  Log("ostrel", LEVEL_DEBUG, "Not Registered - Throttled! (%s)\n", ddos ? "DDOS" : "Slow");
  return true;
}

// The server the request goes to: the domain's SRV candidates when it asks for them, else its next hop.
bool Dialog::SetUpDestination(const DomainOptions& opts) {
  const std::string hop = message_->Address();
  domain_ = hop.substr(0, hop.find(':'));
  bool found = false;
  if (opts.srv) {
    auto list = std::make_unique<std::vector<ServerRecord>>();
    const uint64_t t0 = PollReactor::NowMs();
    ResolveSrv(domain_, "_sip._udp.", *list, opts.extsrv ? nullptr : &g_config.servers, opts.xhsts);
    const unsigned long took = static_cast<unsigned long>(PollReactor::NowMs() - t0);
    if (took > kSlowMs)
      LogLine(LEVEL_ERROR, "Warning: It took ~%lu ms to SRV resolve: %s !!!\n", took, domain_.c_str());
    else
      LogLine(LEVEL_TRACE, "Note: It took ~%lu ms to SRV resolve: %s !!!\n", took, domain_.c_str());
    for (auto it = list->begin(); it != list->end() && !found;) {
      InetAddress a;
      // The targets of SRV records are learnt here, after the reader: this road waits for their names.
      AwaitName(it->s_name, source_.Ip());
      if (Resolve(a, it->s_name + ':' + std::to_string(it->s_port))) {
        server_sip_address_ = a;
        found = true;
      } else {
        it = list->erase(it);
      }
    }
    // The other targets are asked for now, so that a retransmission that turns to one finds its answer.
    for (const ServerRecord& s : *list) {
      InetAddress unused;
      CachedAddress(unused, s.s_name + ':' + std::to_string(s.s_port), true, 0);
    }
    if (list->size() >= 2) servers_ = std::move(list);
  }
  if (!found) {
    InetAddress a;
    if (!Resolve(a, hop)) {
      LogLine(LEVEL_ERROR, "Warning: Destination '%s' could not be resolved\n", hop.c_str());
      g_dos.Report(source_, DosCore::DOS_L, 0);
      if (Hooks().bounce)
        Hooks().bounce(*message_, 484, "Address Incomplete", client_sip_address_, g_external_port);
      return false;
    }
    server_sip_address_ = a;
  }
  // The domain check let this request through: the server it goes to may send requests back.
  g_server_sources.Learn(server_sip_address_.Ip(), time(nullptr));
  LogLine(LEVEL_DEBUG, "%sDestination: %s\n", opts.srv ? "SRV " : "", server_sip_address_.Text().c_str());
  return true;
}

// What the Via headers tell: an indirect or chained client, its public address and port, an RSVP port.
void Dialog::AnalyseVias() {
  SipMessage& msg = *message_;
  auto* top = msg.Header<ViaHeader>(HeaderIds::HID_VIA);
  if (top != nullptr && top->Next() != nullptr) {
    if (!public_ip_) {
      indirect_ = true;
      full_reason_ = FullModeReason::CONFIGURED;
      LogLine(LEVEL_DEBUG, "Indirect Client.\n");
    } else if (FromRelay(top)) {
      chained_ = true;
      LogLine(LEVEL_DEBUG, "Chained Client.\n");
    }
  }
  if (top != nullptr) {
    auto* bottom = static_cast<ViaHeader*>(top->Last());
    if (uint32_t ip = Ipv4(bottom->Param("received")); ip != 0) {
      client_rtp_ip_ = ip;
      auto* from = msg.Header<FromHeader>(HeaderIds::HID_FROM);
      SipUri contact;
      if (msg.IsInvite() && from != nullptr && !old_contact_.empty() && contact.Parse(old_contact_, true)) {
        contact.User(from->User());
        std::string text;
        OldContact(contact.Assemble(text));
      }
    }
    const char* rport = bottom->Param("rport");
    if (rport != nullptr && *rport != '\0')
      external_source_port_ = static_cast<uint16_t>(std::atoi(rport));
    else
      external_source_port_ = static_cast<uint16_t>(indirect_ ? bottom->SPort() : client_sip_address_.Port());
  }
  if (client_rtp_ip_ == 0) client_rtp_ip_ = client_sip_address_.Ip();
  if (external_source_port_ == 0) external_source_port_ = client_sip_address_.Port();
  if (uint16_t port = g_config.CheckRsvp(RsvpKey(client_rtp_ip_, client_contact_address_.Ip())); port != 0) {
    rsvp_ = true;
    client_sip_address_.Port(port);
    LogLine(LEVEL_DEBUG, "Set RSVP port to: %u\n", static_cast<unsigned>(port));
  }
}
