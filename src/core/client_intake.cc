// The client-side road: the external reader's screening, early answers, admission and queueing, and the
// worker's hand-over of a client message to its dialog.
#include <strings.h>

#include <cstring>

#include "config/config.h"
#include "core/core.h"
#include "core/intake.h"
#include "core/intake_common.h"
#include "core/match.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "ports/relay_ops.h"
#include "sip/headers/cseq.h"
#include "sip/headers/line_params.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/via.h"

namespace intake {

std::function<bool(SIP& msg, const std::string& ncnt, const std::string& fuser, int& threshold)> IsHitCache;
std::function<void(const std::string& event)> CountBadEvent;

namespace {

// What the reader has learnt about one client datagram.
struct Reading {
  Datagram& d;
  SIP& msg;
  int threshold;
  std::string fuser;
  std::string defect;
  InetAddr reply;
  std::string ocnt, ncnt;
  bool pub = false;
};

bool OpensDialog(const SIP& msg) {
  auto* to = msg.Header<SIP_Head_To>(SIP_Header::HID_To);
  return to != nullptr && to->Params().Param("tag") == nullptr;
}

// An early answer: the request becomes the response in place, without Contact and Route, with Server.
void Answer(SIP& msg, int code, const std::string& reason, const InetAddr& to, int level) {
  msg.Convert(static_cast<SIP_Status>(code), reason);
  msg.remove(SIP_Header::HID_Contact);
  msg.remove(SIP_Header::HID_Route);
  msg.set(SIP_Header::HID_Server, Cfg.AgentName);
  ExtPort.send(msg, to, 0, level);
}

// A removal or a query never comes from the cache: the server must learn of it.
bool RemovalOrQuery(const SIP& msg) {
  if (auto* mf = msg.Header<SIP_Head_Max_Forwards>(SIP_Header::HID_Max_Forwards); mf && mf->Value() == 0) return true;
  auto* contact = msg.Header<SIP_Head_Contact>(SIP_Header::HID_Contact);
  if (contact == nullptr || contact->Star()) return true;
  const char* expires = contact->Params().Param("expires");
  if (expires != nullptr && *expires >= '0' && *expires <= '9') return std::atoi(expires) == 0;
  auto* header = msg.Header<SIP_Head_Expires>(SIP_Header::HID_Expires);
  return expires == nullptr && header != nullptr && header->Value() == 0;
}

bool ToRelayItself(const SIP& msg) {
  const SIP_URI& uri = msg.URI();
  if (uri.Port() != Cfg.MainPort) return false;
  InetAddr target, self;
  return target.set(static_cast<unsigned short>(uri.Port()), uri.Host().c_str()) &&
         self.set(static_cast<unsigned short>(Cfg.MainPort), Cfg.myipaddr) && target == self;
}

std::string EventOf(SIP& msg) {
  msg.parse(SIP_Header::HID_Event);
  auto* event = msg.Header<SIP_Head_Event>(SIP_Header::HID_Event);
  return event ? event->Value() : std::string();
}

// The early answers: true when the request was answered or dropped here.
bool EarlyAnswer(Reading& r) {
  SIP& msg = r.msg;
  switch (msg.Method()) {
    case SIP_StartLine::REGISTER:
      if (RemovalOrQuery(msg) || !IsHitCache || !IsHitCache(msg, r.ncnt, r.fuser, r.threshold)) return false;
      LogReceived(r.d, "<==C==", r.threshold, LOG_REG_CACHE);
      Log("ostrel", LOG_REG_CACHE, "Don't bother Server, Send OK back to the client\n");
      ExtPort.send(msg, r.reply, 0, LOG_REG_CACHE);
      return true;
    case SIP_StartLine::OPTIONS: {
      auto* mf = msg.Header<SIP_Head_Max_Forwards>(SIP_Header::HID_Max_Forwards);
      if (ToRelayItself(msg) || (mf != nullptr && mf->Value() <= 0)) {
        LogReceived(r.d, "<==C==", r.threshold, LOG_REG_CACHE);
        r.pub = NewOldContacts(msg, r.reply, r.ocnt, r.ncnt, r.defect, 0);
        Answer(msg, 200, "OK", r.reply, LOG_REG_CACHE);
        return true;
      }
      if (mf != nullptr) mf->Value(mf->Value() - 1);
      return false;
    }
    case SIP_StartLine::SUBSCRIBE: {
      if (msg.Header(SIP_Header::HID_Event) == nullptr) msg.parse(SIP_Header::HID_Event);
      if (msg.Header(SIP_Header::HID_Event) == nullptr) {
        Bounce(msg, 400, "Bad Request, Event missing", r.reply, ExtPort);
        return true;
      }
      const std::string event = EventOf(msg);
      const int verdict = Cfg.CheckEvent(event);
      if (verdict >= 1) return false;
      if (CountBadEvent) CountBadEvent(event);
      if (verdict == 0) {
        Log("", LOG_REG_CACHE | LOG_FULL, "DROP Subscribe: %s\n", event.c_str());
        return true;
      }
      LogReceived(r.d, "<==C==", r.threshold, LOG_REG_CACHE);
      Answer(msg, 489, "Bad Event. " + event, r.reply, LOG_REG_CACHE);
      return true;
    }
    case SIP_StartLine::NOTIFY: {
      const std::string event = EventOf(msg);
      if (strncasecmp(event.c_str(), "keep-alive", 10) != 0) return false;
      LogReceived(r.d, "<==C==", r.threshold, LOG_REG_CACHE);
      Answer(msg, 406, "Keep Alive Not Acceptable", r.reply, LOG_REG_CACHE);
      if ((r.threshold & LOG_REG_CACHE) == 0) Log("ostrel", LOG_DEBUG, "Keep-Alive is not accepted\n");
      DCore.report(r.d.from, DOSCore::DOS_L, 0);
      return true;
    }
    case SIP_StartLine::CHALLENGE: {
      if (Cfg.second_ipaddr[0] == '\0') {
        Log("", LOG_FULL | LOG_ERROR, "<==C== %s\n%s\n\n", r.d.from.Str().c_str(),
            std::string(r.d.data, std::strcspn(r.d.data, "\r")).c_str());
        Log("ostrel", LOG_ERROR, "Error: Second IP must be specified in order to use CHALLENGE\n");
        return true;
      }
      LogReceived(r.d, "<==C==", r.threshold);
      msg.Convert(200, "OK");
      msg.set(SIP_Header::HID_Server, Cfg.AgentName);
      msg.Header("Hole", r.d.from.Str());
      msg.Header("Next", std::string(Cfg.second_ipaddr) + ":" + std::to_string(Cfg.SecondPort));
      ExtPort.send(msg, r.d.from, 0, 0);
      return true;
    }
    case SIP_StartLine::PING:
      LogReceived(r.d, "<==C==", r.threshold);
      Bounce(msg, 200, "OK", r.reply, ExtPort);
      return true;
    default:
      return false;
  }
}

bool NeedsDomainCheck(SIP_StartLine::Method_t m) {
  switch (m) {
    case SIP_StartLine::INVITE: case SIP_StartLine::REGISTER: case SIP_StartLine::OPTIONS:
    case SIP_StartLine::SUBSCRIBE: case SIP_StartLine::NOTIFY: case SIP_StartLine::INFO:
    case SIP_StartLine::MESSAGE: case SIP_StartLine::PUBLISH:
      return true;
    default:
      return false;
  }
}

// User admission: a listed user may carry its own log threshold or be blocked. False: drop.
bool AdmitUser(Reading& r) {
  auto* from = r.msg.Header<SIP_Head_From>(SIP_Header::HID_From);
  std::string user = from ? from->User() + "@" + from->Host() : std::string();
  tolower(user);
  Config::UserData_t data;
  if (!Cfg.CheckUser(user, data)) return true;
  if (data.loglvl != 0) r.threshold = data.loglvl;
  if (data.block) {
    Log("ostrel", LOG_DEBUG, "User: %s is Blocked\n", user.c_str());
    return false;
  }
  r.fuser = user;
  return true;
}

}  // namespace

void ClientDatagram(Datagram& d) {
  if (IsKeepAlive(d)) return;
  if (DCore.IsBlocked(d.from.IpAddr(), d.from.Port())) return;
  std::unique_ptr<SIP> parsed = Parse(d, "<==C==");
  if (!parsed) return;
  // Every parsed datagram counts against its source's rate, early answers included: the relay must not
  // become a reflector for cache hits, PING or OPTIONS.
  DCore.CheckMPS(d.from);
  Reading r{d, *parsed, GLogBlock.ALogLevel.load(), {}, {}, d.from, {}, {}, false};
  auto options = std::make_unique<DomainOptions_t>();
  SIP& msg = *parsed;
  const bool request = msg.IS_Request();
  if (request) {
    if (!AdmitUser(r)) return;
    if (OpensDialog(msg)) r.defect = Cfg.CheckDefect(msg, 0);
    if (msg.is_REGISTER()) r.pub = NewOldContacts(msg, r.reply, r.ocnt, r.ncnt, r.defect, LOG_REG_CACHE);
    if (EarlyAnswer(r)) return;
    PreProcessRoute(msg, 1);
  }
  if (!msg.is_REGISTER() || (r.threshold & LOG_REG_REGUL)) LogReceived(d, "<==C==", r.threshold);
  if (request && OpensDialog(msg)) {
    if (r.defect.find('P') != std::string::npos && msg.URI().Port() == Cfg.MainPort) msg.URI().Port(0);
    if (NeedsDomainCheck(msg.Method()) && !Cfg.CheckDomain(msg, d.from, r.defect, *options)) return;
  }
  auto item = std::make_unique<ClnMsg>();
  item->dmopt = std::move(options);
  item->cmsg = std::move(parsed);
  item->ocnt = std::move(r.ocnt);
  item->ncnt = std::move(r.ncnt);
  item->fuser = std::move(r.fuser);
  item->defect = std::move(r.defect);
  item->frm = d.from;
  item->rsvp = r.reply;
  item->pubIP = r.pub;
  Core.PutQueue(QueueMsg{std::move(item), QueueMsg::QM_Ext});
}

}  // namespace intake

namespace intake {

std::function<Dialog_t*(ClnMsg& m, const std::string& key)> NewRegDialog;
std::function<Dialog_t*(ClnMsg& m, const std::string& key)> NewCall;
std::function<void(Dialog_t& d, const ClnMsg& m)> MovedClient;

namespace {

// How many Vias from the top down to the one carrying this dialog's own relay branch; 0 when none does.
size_t LoopDepth(const SIP& msg, unsigned dialog_no) {
  size_t depth = 0;
  for (const SIP_HeadLine* line = msg.Header(SIP_Header::HID_Via); line != nullptr; line = line->Next()) {
    ++depth;
    if (RelayBranchNumber(dynamic_cast<const SIP_Head_Via*>(line)) == dialog_no) return depth;
  }
  return 0;
}

bool IsViaToOurInternalPort(const SIP& msg) {
  auto* via = msg.Header<SIP_Head_Via>(SIP_Header::HID_Via);
  return GotFromOstrel(via) && via->Port() == ((Cfg.SecondPort + 3) & 0xFFFF) && via->Host() == Cfg.server_ipaddr;
}

}  // namespace

namespace {


// A client that followed a redirection sends its new INVITE on the same dialog: the dialog is set up again
// for the new target (its server, its Contacts) before the call takes the INVITE.
void RestartRedirected(TGuard<Dialog_t>& d, std::unique_ptr<ClnMsg> m) {
  d->SetMSG(std::move(m->cmsg));
  m->pubIP = NewOldContacts(*d->GetMSG(), m->rsvp, m->ocnt, m->ncnt, d->Defect(), d->LogTreshold());
  if (!d->clnSetup(m.get())) {
    Core.Destroy(std::move(d));
    return;
  }
  d->HandleClnMsg(Dialog_t::PASS);
  DestroyIfDone(d);
}

// A message for a dialog that exists: the client may have moved, then the dialog handles it.
void ToExistingDialog(TGuard<Dialog_t>& d, std::unique_ptr<ClnMsg> m) {
  SIP& msg = *m->cmsg;
  if (!d->RSVP() && !d->PublicIP() && m->frm != d->ClnSipAddr()) {
    d->ClnSipAddr(m->frm);
    if (MovedClient) MovedClient(*d, *m);
  }
  if (msg.IS_Request() && msg.Method() == SIP_StartLine::INVITE && d->State() == Dialog_t::MOVED)
    return RestartRedirected(d, std::move(m));
  Dialog_t::State_t state = Dialog_t::PASS;
  switch (msg.Method()) {
    case SIP_StartLine::INVITE:
      if (d->State() == Dialog_t::PASS) state = Dialog_t::INVITE_RECV;
      break;
    case SIP_StartLine::REGISTER:
      state = Dialog_t::CLN_REGISTER_RECV;
      if (d->OrgContact().empty() || d->NewContact() != m->ncnt) {
        InetAddr reply = m->frm;
        std::string ocnt, ncnt;
        bool pub = NewOldContacts(msg, reply, ocnt, ncnt, d->Defect(), LOG_REG_REGUL);
        d->OrgContact(ocnt);
        d->NewContact(ncnt);
        d->PublicIP(pub);
      }
      break;
    case SIP_StartLine::CANCEL: state = Dialog_t::CANCEL_RECV; break;
    case SIP_StartLine::REFER: state = Dialog_t::REFER_RECV; break;
    default: break;
  }
  if (msg.IS_Response()) state = Dialog_t::PASS;
  d->SetMSG(std::move(m->cmsg));
  d->HandleClnMsg(state);
  DestroyIfDone(d);
}

// A request that opens a dialog: a plain one here, registrations and calls through their factories.
void NewDialog(std::unique_ptr<ClnMsg> m, const std::string& key) {
  const SIP_StartLine::Method_t method = m->cmsg->Method();
  Dialog_t* created = nullptr;
  Dialog_t::State_t state = Dialog_t::PASS;
  if (method == SIP_StartLine::REGISTER) {
    if (!NewRegDialog) return;
    created = NewRegDialog(*m, key);
    state = Dialog_t::CLN_REGISTER_RECV;
  } else if (method == SIP_StartLine::INVITE) {
    if (!NewCall) {
      Log("ostrel", LOG_DEBUG, "No call handling for INVITE from %s\n", m->frm.Str().c_str());
      return;
    }
    created = NewCall(*m, key);
    state = Dialog_t::INVITE_RECV;
  } else {
    created = new Dialog_t(std::move(m->cmsg), key, m->defect);
  }
  if (created == nullptr) return;
  if (!created->Entered()) {
    delete created;
    return;
  }
  TGuard<Dialog_t> d;
  d.set(created);  // the creator holds the new dialog's lock
  if (m->ncnt.empty() && d->GetMSG() != nullptr)
    m->pubIP = NewOldContacts(*d->GetMSG(), m->rsvp, m->ocnt, m->ncnt, d->Defect(), d->LogTreshold());
  if (!d->clnSetup(m.get())) {
    Core.Destroy(std::move(d));
    return;
  }
  d->HandleClnMsg(state);
  DestroyIfDone(d);
}

}  // namespace

void ProcessClient(std::unique_ptr<ClnMsg> m) {
  SIP& msg = *m->cmsg;
  std::string key;
  TGuard<Dialog_t> d = Match(Core, msg, Dialog_t::FROM_CLN, key);
  if (key.empty()) {
    Log("ostrel", LOG_ERROR, "Warning: ExtPort Incorrect message - IGNORE\n");
    DCore.report(m->frm, DOSCore::DOS_L, 0);
    return;
  }
  FixMultiBody(msg);
  if (d) {
    if (msg.IS_Request()) {
      if (size_t depth = LoopDepth(msg, d->UniqNo())) {
        for (size_t i = 0; i < depth; ++i) msg.pop_front(SIP_Header::HID_Via);
        const InetAddr client = d->ClnSipAddr();
        DCore.report(client, DOSCore::DOS_L, 0);
        Bounce(msg, 482, "Loop Detected", client, ExtPort);
        Core.Destroy(std::move(d));
        return;
      }
    }
    ToExistingDialog(d, std::move(m));
    return;
  }
  SIP_StartLine::Method_t method = msg.Method();
  if (msg.IS_Request() && IsViaToOurInternalPort(msg)) {
    Log("ostrel", LOG_DEBUG, "Non Dialog Loop Detected - Ignore\n");
    method = SIP_StartLine::ACK;
  }
  if (msg.IS_Response()) {
    Log("ostrel", LOG_DEBUG, "Warning: Unknown Cln Response - Ignore\n");
    return;
  }
  switch (method) {
    case SIP_StartLine::ACK:
      return;
    case SIP_StartLine::BYE: case SIP_StartLine::OPTIONS: case SIP_StartLine::SUBSCRIBE:
    case SIP_StartLine::NOTIFY: case SIP_StartLine::INFO: case SIP_StartLine::MESSAGE:
    case SIP_StartLine::PUBLISH: case SIP_StartLine::REGISTER: case SIP_StartLine::INVITE:
      NewDialog(std::move(m), key);
      return;
    default:
      Log("ostrel", LOG_DEBUG, "Warning: Unknown Dialog\n");
      Bounce(msg, 481, "Call Leg/Transaction Does Not Exist", m->rsvp, ExtPort);
      return;
  }
}

}  // namespace intake
