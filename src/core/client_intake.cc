// The client-side road: the external reader's screening, early answers, admission and queueing, and the
// worker's hand-over of a client message to its dialog.
#include <strings.h>

#include <cstring>

#include "config/config.h"
#include "core/core.h"
#include "core/events_port.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "core/match.h"
#include "core/metrics.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dialogs/source_limits.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_rate.h"
#include "foundation/text.h"
#include "ports/relay_ops.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace intake {

namespace {

// What the reader has learnt about one client datagram.
struct Reading {
  Datagram& d;
  SipMessage& msg;
  int threshold;
  std::string full_user;
  Defects defects;
  InetAddress reply;
  std::string old_contact, new_contact;
  bool pub = false;
};

bool OpensDialog(const SipMessage& msg) {
  auto* to = msg.Header<ToHeader>(SipHeaders::HID_TO);
  return to != nullptr && to->Params().Param("tag") == nullptr;
}

// An early answer: the request becomes the response in place, without Contact and Route, with Server.
void Answer(SipMessage& msg, int code, const std::string& reason, const InetAddress& to, int level) {
  msg.Convert(static_cast<SipStatus>(code), reason);
  msg.Remove(SipHeaders::HID_CONTACT);
  msg.Remove(SipHeaders::HID_ROUTE);
  msg.Set(SipHeaders::HID_SERVER, g_config.agent_name);
  g_external_port.send(msg, to, 0, level);
}

// A removal or a query never comes from the cache: the server must learn of it.
bool RemovalOrQuery(const SipMessage& msg) {
  if (auto* mf = msg.Header<MaxForwardsHeader>(SipHeaders::HID_MAX_FORWARDS); mf && mf->Value() == 0)
    return true;
  auto* contact = msg.Header<ContactHeader>(SipHeaders::HID_CONTACT);
  if (contact == nullptr || contact->Star()) return true;
  const char* expires = contact->Params().Param("expires");
  if (expires != nullptr && *expires >= '0' && *expires <= '9') return std::atoi(expires) == 0;
  auto* header = msg.Header<ExpiresHeader>(SipHeaders::HID_EXPIRES);
  return expires == nullptr && header != nullptr && header->Value() == 0;
}

// Names from the name cache only (NamesKnown looked them up).
bool ToRelayItself(const SipMessage& msg) {
  const SipUri& uri = msg.URI();
  if (uri.Port() != g_config.main_port) return false;
  InetAddress target, self;
  const std::string port = ":" + std::to_string(g_config.main_port);
  return CachedAddress(target, uri.Host() + port, false, 0) == NameResolver::State::FOUND &&
         CachedAddress(self, g_config.myipaddr + port, true, 0) == NameResolver::State::FOUND &&
         target == self;
}

std::string EventOf(SipMessage& msg) {
  msg.Parse(SipHeaders::HID_EVENT);
  auto* event = msg.Header<EventHeader>(SipHeaders::HID_EVENT);
  return event ? event->Value() : std::string();
}

// The early answers: true when the request was answered or dropped here.
bool EarlyAnswer(Reading& r) {
  SipMessage& msg = r.msg;
  switch (msg.Method()) {
    case SipStartLine::REGISTER:
      if (RemovalOrQuery(msg) || !Registration::IsHitCache(msg, r.new_contact, r.full_user, r.threshold))
        return false;
      metrics::Bump(metrics::g_counts.register_cache_hits);
      LogReceived(r.d, "<==C==", r.threshold, LEVEL_REGISTRATION_CACHE);
      Log("ostrel", LEVEL_REGISTRATION_CACHE, "Don't bother Server, Send OK back to the client\n");
      g_external_port.send(msg, r.reply, 0, LEVEL_REGISTRATION_CACHE);
      return true;
    case SipStartLine::OPTIONS: {
      auto* mf = msg.Header<MaxForwardsHeader>(SipHeaders::HID_MAX_FORWARDS);
      if (ToRelayItself(msg) || (mf != nullptr && mf->Value() <= 0)) {
        LogReceived(r.d, "<==C==", r.threshold, LEVEL_REGISTRATION_CACHE);
        r.pub = NewOldContacts(msg, r.reply, r.old_contact, r.new_contact, r.defects, 0);
        Answer(msg, 200, "OK", r.reply, LEVEL_REGISTRATION_CACHE);
        return true;
      }
      if (mf != nullptr) mf->Value(mf->Value() - 1);
      return false;
    }
    case SipStartLine::SUBSCRIBE: {
      if (msg.Header(SipHeaders::HID_EVENT) == nullptr) msg.Parse(SipHeaders::HID_EVENT);
      if (msg.Header(SipHeaders::HID_EVENT) == nullptr) {
        Bounce(msg, 400, "Bad Request, Event missing", r.reply, g_external_port);
        return true;
      }
      const std::string event = EventOf(msg);
      const int verdict = g_config.CheckEvent(event);
      if (verdict >= 1) return false;
      g_events_port.CountBadEvent(event);
      if (verdict == 0) {
        Log("", LEVEL_REGISTRATION_CACHE | LEVEL_FULL, "DROP Subscribe: %s\n", event.c_str());
        return true;
      }
      LogReceived(r.d, "<==C==", r.threshold, LEVEL_REGISTRATION_CACHE);
      Answer(msg, 489, "Bad Event. " + event, r.reply, LEVEL_REGISTRATION_CACHE);
      return true;
    }
    case SipStartLine::NOTIFY: {
      const std::string event = EventOf(msg);
      if (strncasecmp(event.c_str(), "keep-alive", 10) != 0) return false;
      LogReceived(r.d, "<==C==", r.threshold, LEVEL_REGISTRATION_CACHE);
      Answer(msg, 406, "Keep Alive Not Acceptable", r.reply, LEVEL_REGISTRATION_CACHE);
      if ((r.threshold & LEVEL_REGISTRATION_CACHE) == 0)
        Log("ostrel", LEVEL_DEBUG, "Keep-Alive is not accepted\n");
      g_dos.Report(r.d.from, DosCore::DOS_L, 0);
      return true;
    }
    case SipStartLine::CHALLENGE: {
      if (g_config.second_ipaddr[0] == '\0') {
        Log("", LEVEL_FULL | LEVEL_ERROR, "<==C== %s\n%s\n\n", r.d.from.Text().c_str(),
            std::string(r.d.data, std::strcspn(r.d.data, "\r")).c_str());
        Log("ostrel", LEVEL_ERROR, "Error: Second IP must be specified in order to use CHALLENGE\n");
        return true;
      }
      LogReceived(r.d, "<==C==", r.threshold);
      msg.Convert(200, "OK");
      msg.Set(SipHeaders::HID_SERVER, g_config.agent_name);
      msg.Header("Hole", r.d.from.Text());
      msg.Header("Next", std::string(g_config.second_ipaddr) + ":" + std::to_string(g_config.second_port));
      g_external_port.send(msg, r.d.from, 0, 0);
      return true;
    }
    case SipStartLine::PING:
      LogReceived(r.d, "<==C==", r.threshold);
      Bounce(msg, 200, "OK", r.reply, g_external_port);
      return true;
    default:
      return false;
  }
}

bool NeedsDomainCheck(SipStartLine::RequestMethod m) {
  switch (m) {
    case SipStartLine::INVITE:
    case SipStartLine::REGISTER:
    case SipStartLine::OPTIONS:
    case SipStartLine::SUBSCRIBE:
    case SipStartLine::NOTIFY:
    case SipStartLine::INFO:
    case SipStartLine::MESSAGE:
    case SipStartLine::PUBLISH:
      return true;
    default:
      return false;
  }
}

// User admission: a listed user may carry its own log threshold or be blocked. False: drop.
bool AdmitUser(Reading& r) {
  auto* from = r.msg.Header<FromHeader>(SipHeaders::HID_FROM);
  std::string user = from ? from->User() + "@" + from->Host() : std::string();
  ToLower(user);
  Config::UserOptions data;
  if (!g_config.CheckUser(user, data)) return true;
  if (data.loglvl != 0) r.threshold = data.loglvl;
  if (data.block) {
    Log("ostrel", LEVEL_DEBUG, "User: %s is Blocked\n", user.c_str());
    return false;
  }
  r.full_user = user;
  return true;
}

}  // namespace

void ClientDatagram(Datagram& d) {
  if (IsKeepAlive(d)) return;
  if (g_dos.IsBlocked(d.from.Ip(), d.from.Port())) return;
  FaultTally faults(d.from);
  std::unique_ptr<SipMessage> parsed = Parse(d, "<==C==");
  if (!parsed) return;
  // Every parsed datagram counts against its source's rate, early answers included: the relay must not
  // become a reflector for cache hits, PING or OPTIONS.
  // A datagram handed back after a name lookup was counted when it arrived.
  if (d.waits == 0) g_dos.CheckMPS(d.from);
  Reading r{d, *parsed, g_log_block.level.load(), {}, {}, d.from, {}, {}, false};
  auto options = std::make_unique<DomainOptions>();
  SipMessage& msg = *parsed;
  const bool request = msg.IsRequest();
  if (request) {
    if (!AdmitUser(r)) return;
    // No DNS on a reader: the names the request needs are looked up meanwhile, the datagram kept.
    if (!NamesKnown(d, msg, ClientDatagram)) return;
    if (OpensDialog(msg)) r.defects = g_config.CheckDefect(msg, 0);
    if (msg.IsRegister())
      r.pub = NewOldContacts(msg, r.reply, r.old_contact, r.new_contact, r.defects, LEVEL_REGISTRATION_CACHE);
    if (EarlyAnswer(r)) return;
    PreProcessRoute(msg, 1);
  }
  if (!msg.IsRegister() || (r.threshold & LEVEL_REGISTRATION_REGULATION))
    LogReceived(d, "<==C==", r.threshold);
  if (request && OpensDialog(msg)) {
    if (r.defects.Has(Defect::DROP_MAIN_PORT_FROM_URI) && msg.URI().Port() == g_config.main_port)
      msg.URI().Port(0);
    if (NeedsDomainCheck(msg.Method()) && !g_config.CheckDomain(msg, d.from, r.defects, *options)) return;
  }
  auto item = std::make_unique<ClientMessage>();
  item->domain_options = std::move(options);
  item->message = std::move(parsed);
  item->old_contact = std::move(r.old_contact);
  item->new_contact = std::move(r.new_contact);
  item->full_user = std::move(r.full_user);
  item->defects = std::move(r.defects);
  item->source = d.from;
  item->reply_to = r.reply;
  item->public_ip = r.pub;
  const uint64_t key = OrderingKey(*item->message);
  g_core.PutQueue(QueueMessage{std::move(item), QueueMessage::QM_EXTERNAL, key}, d.on_reader);
}

}  // namespace intake

namespace intake {

namespace {

// How many Vias from the top down to the one carrying this dialog's own relay branch; 0 when none does.
size_t LoopDepth(const SipMessage& msg, unsigned dialog_no) {
  size_t depth = 0;
  for (const HeaderLine* line = msg.Header(SipHeaders::HID_VIA); line != nullptr; line = line->Next()) {
    ++depth;
    if (RelayBranchNumber(dynamic_cast<const ViaHeader*>(line)) == dialog_no) return depth;
  }
  return 0;
}

bool IsViaToOurInternalPort(const SipMessage& msg) {
  auto* via = msg.Header<ViaHeader>(SipHeaders::HID_VIA);
  return GotFromOstrel(via) && via->Port() == ((g_config.second_port + 3) & 0xFFFF) &&
         via->Host() == g_config.server_ipaddr;
}

}  // namespace

namespace {

// A client REGISTER that no dialog holds yet opens a registration dialog, locked by its creator.
Dialog* NewRegistrationDialog(ClientMessage& m, const std::string& key) {
  // An HA slave that handles a client's REGISTER itself becomes master first, and clears what it kept.
  if (g_core.IsSlave() && g_core.SetSlave(false)) g_core.CleanUp();
  // A refresh that carries a To tag was not checked by the reader; its domain decides whether the relay
  // unregisters the client itself, so the check happens here (and set-up does not repeat it).
  if (!m.domain_options || !m.domain_options->checked) {
    auto options = std::make_unique<DomainOptions>();
    if (!g_config.CheckDomain(*m.message, m.source, m.defects, *options)) return nullptr;
    m.domain_options = std::move(options);
  }
  const bool xunr = m.domain_options->xunr;
  return new RegisterDialog(std::move(m.message), key, m.full_user, m.defects, xunr);
}

// A client that followed a redirection sends its new INVITE on the same dialog: the dialog is set up again
// for the new target (its server, its Contacts) before the call takes the INVITE.
void RestartRedirected(ObjectGuard<Dialog>& d, std::unique_ptr<ClientMessage> m) {
  d->SetMessage(std::move(m->message));
  m->public_ip = NewOldContacts(*d->GetMessage(), m->reply_to, m->old_contact, m->new_contact,
                                d->DeviceDefects(), d->LogThreshold());
  if (!d->ClientSetup(m.get())) {
    g_core.Destroy(std::move(d));
    return;
  }
  d->HandleClientMessage(DialogEvent::PASS);
  DestroyIfDone(d);
}

// A message for a dialog that exists: its source screened, then the dialog handles it.
void ToExistingDialog(ObjectGuard<Dialog>& d, std::unique_ptr<ClientMessage> m) {
  SipMessage& msg = *m->message;
  // Only the client's own moves change where its answers go (Dialog::ScreenClientSource); a copy of its
  // request from another address gets nothing back.
  if (d->ScreenClientSource(msg, m->source, PollReactor::NowMs()) == Dialog::ClientSource::DROP) {
    Log(d->NumberCString(), LEVEL_DEBUG, "Retransmission from %s, not from its request's address - drop\n",
        m->source.Text().c_str());
    g_foreign_retransmissions.Count(m->source);
    return;
  }
  if (msg.IsRequest() && msg.Method() == SipStartLine::INVITE && d->State() == DialogState::MOVED)
    return RestartRedirected(d, std::move(m));
  DialogEvent event = DialogEvent::PASS;
  switch (msg.Method()) {
    case SipStartLine::INVITE:
      if (d->State() == DialogState::PASS) event = DialogEvent::INVITE_RECV;
      break;
    case SipStartLine::REGISTER:
      event = DialogEvent::CLN_REGISTER_RECV;
      if (d->OldContact().empty() || d->NewContact() != m->new_contact) {
        InetAddress reply = m->source;
        std::string ocnt, ncnt;
        bool pub = NewOldContacts(msg, reply, ocnt, ncnt, d->DeviceDefects(), LEVEL_REGISTRATION_REGULATION);
        d->OldContact(ocnt);
        d->NewContact(ncnt);
        d->PublicIP(pub);
      }
      break;
    case SipStartLine::CANCEL:
      event = DialogEvent::CANCEL_RECV;
      break;
    case SipStartLine::REFER:
      event = DialogEvent::REFER_RECV;
      break;
    default:
      break;
  }
  if (msg.IsResponse()) event = DialogEvent::PASS;
  d->SetMessage(std::move(m->message));
  d->HandleClientMessage(event);
  DestroyIfDone(d);
}

// A dialog the client's source may not open (one over a limit of SourceLimits): 503 with Retry-After,
// nothing in quiet mode; the caller destroys the dialog.
void RefuseOverLimit(const Dialog& d, SourceCap cap, unsigned limit, const ClientMessage& m) {
  LogRefusal(cap, limit, m.source);
  if (g_config.quiet_mode || d.GetMessage() == nullptr) return;
  AnswerOverLimit(*d.GetMessage(), m.reply_to, g_external_port);
}

// A request that opens a dialog: a plain one here, registrations and calls through their factories.
void NewDialog(std::unique_ptr<ClientMessage> m, const std::string& key) {
  const SipStartLine::RequestMethod method = m->message->Method();
  Dialog* created = nullptr;
  DialogEvent event = DialogEvent::PASS;
  if (method == SipStartLine::REGISTER) {
    created = NewRegistrationDialog(*m, key);
    event = DialogEvent::CLN_REGISTER_RECV;
  } else if (method == SipStartLine::INVITE) {
    created = new Call(std::move(m->message), key, m->defects);
    event = DialogEvent::INVITE_RECV;
  } else {
    created = new Dialog(std::move(m->message), key, m->defects);
  }
  if (created == nullptr) return;
  if (!created->Entered()) {
    delete created;
    return;
  }
  ObjectGuard<Dialog> d;
  d.Set(created);  // the creator holds the new dialog's lock
  const SourceLimits limits = SourceLimits::For(m->source.Ip());
  const SourceCap cap = g_core.AdmitSource(*d, m->source.Ip(), method == SipStartLine::INVITE, limits);
  if (cap != SourceCap::NONE) {
    RefuseOverLimit(*d, cap, limits.Of(cap), *m);
    g_core.Destroy(std::move(d));
    return;
  }
  if (m->new_contact.empty() && d->GetMessage() != nullptr)
    m->public_ip = NewOldContacts(*d->GetMessage(), m->reply_to, m->old_contact, m->new_contact,
                                  d->DeviceDefects(), d->LogThreshold());
  if (!d->ClientSetup(m.get())) {
    g_core.Destroy(std::move(d));
    return;
  }
  d->HandleClientMessage(event);
  DestroyIfDone(d);
}

}  // namespace

void ProcessClient(std::unique_ptr<ClientMessage> m) {
  FaultTally faults(m->source);
  SipMessage& msg = *m->message;
  std::string key;
  ObjectGuard<Dialog> d = Match(g_core, msg, Dialog::FROM_CLIENT, key);
  if (key.empty()) {
    Log("ostrel", LEVEL_ERROR, "Warning: ExtPort Incorrect message - IGNORE\n");
    g_dos.Report(m->source, DosCore::DOS_L, 0);
    return;
  }
  FixMultiBody(msg);
  if (d) {
    if (msg.IsRequest()) {
      if (size_t depth = LoopDepth(msg, d->Number())) {
        for (size_t i = 0; i < depth; ++i) msg.pop_front(SipHeaders::HID_VIA);
        const InetAddress client = d->ClientSipAddress();
        g_dos.Report(client, DosCore::DOS_L, 0);
        Bounce(msg, 482, "Loop Detected", client, g_external_port);
        g_core.Destroy(std::move(d));
        return;
      }
    }
    ToExistingDialog(d, std::move(m));
    return;
  }
  SipStartLine::RequestMethod method = msg.Method();
  if (msg.IsRequest() && IsViaToOurInternalPort(msg)) {
    Log("ostrel", LEVEL_DEBUG, "Non Dialog Loop Detected - Ignore\n");
    method = SipStartLine::ACK;
  }
  if (msg.IsResponse()) {
    Log("ostrel", LEVEL_DEBUG, "Warning: Unknown Cln Response - Ignore\n");
    return;
  }
  switch (method) {
    case SipStartLine::ACK:
      return;
    case SipStartLine::BYE:
    case SipStartLine::OPTIONS:
    case SipStartLine::SUBSCRIBE:
    case SipStartLine::NOTIFY:
    case SipStartLine::INFO:
    case SipStartLine::MESSAGE:
    case SipStartLine::PUBLISH:
    case SipStartLine::REGISTER:
    case SipStartLine::INVITE:
      NewDialog(std::move(m), key);
      return;
    default:
      Log("ostrel", LEVEL_DEBUG, "Warning: Unknown Dialog\n");
      Bounce(msg, 481, "Call Leg/Transaction Does Not Exist", m->reply_to, g_external_port);
      return;
  }
}

}  // namespace intake
