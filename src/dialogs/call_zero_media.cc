// Zero-media mode: a client whose device needs it is answered with a 200 of the relay's own as soon as the
// server answers early, and the dialog with the server is completed afterwards. The client sees the relay's
// "ostrel-" tags, the server its own; a stored message of the server's view translates between the two.
// Worker threads and the reactor thread (the answer timer), with the call locked.
#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/content_type.h"
#include "foundation/log.h"
#include "sip/headers/cseq.h"
#include "sip/headers/number.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp.h"

namespace {

using HID = SIP_HeadIds;

constexpr int kZAnswerWaitMs = 90000;
constexpr int kZDoneLingerSec = 22;
constexpr int kMinSessionExpires = 1000;

bool AnswersInvite(const SIP& m) {
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  return m.IS_Response() && cseq != nullptr && cseq->Method() == SIP::INVITE;
}

int SeqNo(const SIP& m) {
  auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq);
  return cseq != nullptr ? cseq->SeqNo() : -1;
}

void SetSeqNo(SIP& m, int n) {
  if (auto* cseq = m.Header<SIP_Head_CSeq>(HID::HID_CSeq)) cseq->SeqNo(n);
}

const char* TagOf(const SIP& m, SIP_Header::HeadId id) {
  auto* h = m.Header<SIP_Head_Route>(id);
  return h != nullptr ? h->Params().Param("tag") : nullptr;
}

// The audio address of an SDP body as "ip:port", empty without one.
std::string AudioAddress(SIP& m) {
  SDP* sdp = IsSDP(m) ? m.GetSDP() : nullptr;
  if (sdp == nullptr || sdp->Medias().empty()) return {};
  const SDP_Media& audio = *sdp->Medias().front();
  return audio.Host() + ':' + std::to_string(audio.Port());
}

bool SupportsTimer(const SIP& m) {
  const char* raw = m.Header(std::string_view("Supported"));
  if (auto* sup = m.Header<SIP_Head_Supported>(HID::HID_Supported)) return sup->Value().find("timer") != std::string::npos;
  return raw != nullptr && std::string_view(raw).find("timer") != std::string_view::npos;
}

// Keeps the one Record-Route entry at index `keep_last ? last : first`.
void KeepOneRecordRoute(SIP& m, bool keep_last) {
  SIP_HeadLine* rr = m.Header(HID::HID_Record_Route);
  if (rr == nullptr || rr->Next() == nullptr) return;
  while (keep_last && rr->Next() != nullptr) rr = rr->Next();
  std::unique_ptr<SIP_HeadLine> one = rr->Copy();
  one->detach_next();
  m.set(HID::HID_Record_Route, std::move(one));
}

}  // namespace

// The string hash that numbers the relay's own tags: h = h * 33 + c from 5381, never 0.
uint32_t HashStr(const char* s) {
  uint32_t h = 5381;
  for (; *s != '\0'; ++s) h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*s)));
  return h != 0 ? h : 1;
}

uint32_t Call_t::ZNumb() {
  if (ZNumb_m != 0) return ZNumb_m;
  const size_t first = key_m.find('&');
  std::string text;
  if (first == std::string::npos) {
    text = "ostrel";
  } else {
    const size_t second = key_m.find('&', first + 1);
    text = key_m.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  }
  ZNumb_m = HashStr((text + OrgContact_m).c_str());
  return ZNumb_m;
}

// A server call: its INVITE seen from the other end, so that the client's requests can be routed and
// tagged as the server expects.
void Call_t::StoreZInvite() {
  zmsg_m = std::make_unique<SIP>(*msg_m);
  zmsg_m->Reverse(HID::HID_Record_Route);
  if (SIP_HeadLine* from = zmsg_m->Header(HID::HID_From)) {
    auto to = std::make_unique<SIP_Head_To>();
    static_cast<SIP_Head_Route&>(*to) = static_cast<const SIP_Head_Route&>(*from);
    zmsg_m->set(HID::HID_To, std::move(to));
  }
  DLog(LOG_DEBUG, "Store ZMG! InviteRecv()\n");
}

// The server's answer without the relay's inner face and the client's part of the route set.
void Call_t::StoreZAnswer(const SIP& m) {
  zmsg_m = std::make_unique<SIP>(m);
  zmsg_m->remove(HID::HID_Record_Route);
  const std::string inner = Cfg.server_ipaddr;
  const int inner_port = (Cfg.SecondPort + 3) & 0xFFFF;
  for (SIP_HeadLine* l = m.Header(HID::HID_Record_Route); l != nullptr; l = l->Next()) {
    auto* e = dynamic_cast<SIP_Head_Route*>(l);
    if (e != nullptr && e->User() == UniqStr_m && e->Host() == inner && e->SPort() == inner_port) break;
    std::unique_ptr<SIP_HeadLine> one = l->Copy();
    one->detach_next();
    zmsg_m->push_back(HID::HID_Record_Route, std::move(one));
  }
  DLog(LOG_DEBUG, "Store ZMG! InviteResponse(%d)\n", static_cast<int>(m.Status()));
}

// An early answer of the server to a client with defect 'T'; true when it became the relay's 200 "OKey"
// and went to the client.
bool Call_t::ZEarlyAnswer() {
  SIP& m = *msg_m;
  const int status = m.Status();
  const bool early183 = status == 183 && (Defect('e') || (Defect('E') && !PublicIP_m && Mode_m == FWType::RESTRICTED));
  const bool ringing = status == 180 && Got183_m && Defect('Q') && !Anchored();
  const bool convert = early183 || ringing;
  if (ringing) {
    DLog(LOG_DEBUG, "Defect 'Q' - Start RING (Release)\n");
    m.set(HID::HID_Content_Type, "application/sdp");
    m.Body(ProbeSDP(false));
  }
  if (convert) {
    ZSrvMedia_m = early183 ? AudioAddress(m) : std::string();
    m.Status(static_cast<SIP_Status>(200));
    m.Reason("OKey");
    if (org_m && SupportsTimer(*org_m)) {
      int min_se = 0;
      if (const char* v = org_m->Header(std::string_view("Min-SE"))) min_se = std::atoi(v);
      m.Header("Session-Expires", std::to_string(std::max(min_se, kMinSessionExpires)) + ";refresher=uac");
      m.set(HID::HID_Require, "timer");
    }
  }
  if (m.Status() == 200) {
    StoreZAnswer(m);
    // Answered at once: the call is keyed by the server's tag before the client is shown the relay's.
    if (!convert) OverwriteKey();
  } else {
    m.remove(HID::HID_Record_Route);
  }
  if (auto* to = m.Header<SIP_Head_To>(HID::HID_To)) to->Params().Param("tag", ZTag());
  if (!convert) return false;
  State(Z_OK_SENT);
  Pass(FROM_SRV);
  RetrmMSG("Z_OK");
  return true;
}

// Z_OK_SENT: the client has the relay's 200; the server has not answered finally yet.
void Call_t::zModeOk(Direction_t dir) {
  SIP& m = *msg_m;
  if (dir == FROM_CLN) {
    if (m.is_BYE()) return zModeAck(dir);
    if (!m.is_ACK()) return;
    if (TimerType_m == T_RETRANS) CancelTimer(T_RETRANS);
    if (TimerCB* cb = ZAnswerTimer()) ScheduleTimer(T_ZANSWER, cb, kZAnswerWaitMs);
    State(Z_ACK_RECV);
    if (zfinal_m) {
      msg_m = std::move(zfinal_m);
      zModeAck(FROM_SRV);
    }
    return;
  }
  if (!AnswersInvite(m)) return Pass(dir);
  if (m.Status() >= 200 && !zfinal_m) zfinal_m = std::make_unique<SIP>(m);
}

// Z_ACK_RECV: the client's dialog is confirmed; the server's final answer completes or ends it.
void Call_t::zModeAck(Direction_t dir) {
  SIP& m = *msg_m;
  if (dir == FROM_CLN) {
    if (!m.is_BYE()) return;
    Reply(FROM_CLN, 200, "OK");
    SendCancel(true);
    Complete(E_BYE, "CLN");
    return;
  }
  if (!AnswersInvite(m)) return Pass(dir);
  const int status = m.Status();
  if (status < 200 || (status > 200 && status < 300)) return;
  if (TimerType_m == T_ZANSWER) CancelTimer(T_ZANSWER);
  if (status >= 300) {
    AckServer(m, false);
    ZByeToClient();
    Complete(E_REJECT, std::to_string(status) + ',' + m.Reason());
    return;
  }
  StoreZAnswer(m);
  OverwriteKey();
  if (Mode_m == FWType::OPAQUE || AudioAddress(m) == ZSrvMedia_m) {
    AckServer(m, true);
    ZDone();
    return;
  }
  DLog(LOG_DEBUG, "zMode - StarWar Episod II implementation\n");
  ZReInvite(m);
}

// The server's SDP differs from the one the client got with the relay's 200: the client is offered it anew.
void Call_t::ZReInvite(const SIP& ok) {
  auto inv = std::make_unique<SIP>(ok);
  const std::string body = ok.Body();
  const bool sdp = IsSDP(ok);
  inv->Convert(SIP::INVITE);
  inv->swapFT();
  inv->remove(HID::HID_Via);
  inv->remove(HID::HID_Route);
  if (sdp) {
    inv->set(HID::HID_Content_Type, "application/sdp");
    inv->Body(body);
  }
  SetSeqNo(*inv, 0);
  ++Shift_m;
  ZReInvSeq_m = Shift_m;
  InvDirect_m = FROM_SRV;
  msg_m = std::move(inv);
  InviteSending();
  State(Z_INV_SENT);
}

// Z_INV_SENT: the client's answer to the relay's re-INVITE.
void Call_t::zReInvRsp(Direction_t dir) {
  SIP& m = *msg_m;
  if (m.is_BYE()) return Pass(dir);
  if (dir != FROM_CLN || !AnswersInvite(m) || SeqNo(m) != ZReInvSeq_m) return;
  const int status = m.Status();
  if (status < 200) return;
  if (TimerType_m == T_RETRANS) CancelTimer(T_RETRANS);
  if (status < 300) {
    AckClient(m);
    if (zmsg_m) AckServer(*zmsg_m, true);
    ZDone();
    return;
  }
  // The server's dialog was answered already: it is acknowledged and ended rather than cancelled.
  if (zmsg_m) AckServer(*zmsg_m, true);
  SendXBye();
  ZByeToClient();
  Complete(E_REJECT, std::to_string(status) + " (Z) Codec Negotiation failed");
}

// Z_DONE: lost ACKs are made good; anything else goes on.
void Call_t::zAnswer(Direction_t dir) {
  SIP& m = *msg_m;
  if (AnswersInvite(m) && m.Status() == 200) {
    if (dir == FROM_SRV && zmsg_m)
      AckServer(m, true);
    else if (dir == FROM_CLN)
      AckClient(m);
    return;
  }
  if (m.is_INVITE()) {
    if (TimerType_m == T_ZANSWER) {
      DLog(LOG_DEBUG, "Cancel T_ZANSWER Timer\n");
      CancelTimer(T_ZANSWER);
    }
    State(INVITE_RECV);
    InviteRecv(dir);
    return;
  }
  // The client repeating its ACK of the relay's 200: the server's answer was acknowledged by the relay.
  if (m.is_ACK() && dir == FROM_CLN && org_m && SeqNo(m) == SeqNo(*org_m)) return;
  Pass(dir);
}

void Call_t::ZDone() {
  DLog(LOG_DEBUG, "Recharge timer for ANSWER to %d sec.\n", kZDoneLingerSec);
  if (TimerCB* cb = ZAnswerTimer()) ScheduleTimer(T_ZANSWER, cb, kZDoneLingerSec * 1000);
  State(Z_DONE);
}

// The ACK of the server's final answer, built from the client's INVITE.
void Call_t::AckServer(const SIP& answer, bool confirmed) {
  if (!org_m) return;
  SIP ack(*org_m);
  ack.Convert(SIP::ACK);
  ack.remove(HID::HID_Via);
  ack.set(HID::HID_User_Agent, Cfg.AgentName);
  const char* tag = TagOf(answer, HID::HID_To);
  if (auto* to = ack.Header<SIP_Head_To>(HID::HID_To); to != nullptr && tag != nullptr) to->Params().Param("tag", tag);
  // A non-2xx ACK belongs to the INVITE's transaction and so carries its branch.
  const bool was = Confirmed_m;
  Confirmed_m = confirmed;
  Pass(FROM_CLN, &ack);
  Confirmed_m = was;
}

// The ACK of the client's 200 to the relay's re-INVITE.
void Call_t::AckClient(const SIP& ok) {
  SIP ack(ok);
  ack.Convert(SIP::ACK);
  ack.set(HID::HID_User_Agent, Cfg.AgentName);
  ack.remove(HID::HID_Via);
  ack.remove(HID::HID_Contact);
  ack.RouteSetFrom(ok, false);
  ack.remove(HID::HID_Route);
  ack.remove(HID::HID_Record_Route);
  SetSeqNo(ack, SeqNo(ok) - Shift_m);
  Pass(FROM_SRV, &ack);
}

// Ends the client's side of the dialog: a BYE as if from the server, with the relay's tag.
void Call_t::ZByeToClient() {
  if (!org_m) return;
  SIP bye(*org_m);
  bye.Convert(SIP::BYE);
  bye.remove(HID::HID_Via);
  bye.remove(HID::HID_Record_Route);
  bye.remove(HID::HID_Route);
  bye.set(HID::HID_User_Agent, Cfg.AgentName);
  bye.swapFT();
  // The client knows the relay's tag, never the server's: a BYE carrying another would not be its dialog's.
  if (auto* from = bye.Header<SIP_Head_From>(HID::HID_From)) from->Params().Param("tag", ZTag());
  SetSeqNo(bye, SeqNo(*org_m) + 1);
  Pass(FROM_SRV, &bye);
}

// The answer timer (the core's timer callback): the server never answered finally, or the dialog has been
// complete long enough for the relay to stop standing in for its ACKs.
void Call_t::ZAnswerTimeout() {
  TimerID_m = PollReactor::kNoTimer;
  TimerType_m = T_NONE;
  if (State() == Z_DONE) {
    State(PASS);
    return;
  }
  if (State() != Z_ACK_RECV) return;
  SendCancel(true);
  ZByeToClient();
}

// While the zero-media copy is stored, in-dialog messages are translated between the client's view (the
// relay's tags) and the server's (the copy's).
void Call_t::ZRetag(Direction_t dir) {
  SIP& m = *msg_m;
  SIP_Head_Route* target = nullptr;
  std::string tag;
  if (dir == FROM_CLN) {
    if (const char* t = TagOf(*zmsg_m, HID::HID_To)) tag = t;
    if (m.IS_Request()) {
      if (!m.is_CANCEL()) {
        m.RouteSetFrom(*zmsg_m, false);
        DLog(LOG_DEBUG, "zMode Reconstuct RouteSet\n");
        target = m.Header<SIP_Head_Route>(HID::HID_To);
      }
    } else {
      m.remove(HID::HID_Record_Route);
      target = m.Header<SIP_Head_Route>(HID::HID_From);
      if (m.Status() == 200 && AnswersInvite(m) && zmsg_m->Header(HID::HID_Record_Route) != nullptr) {
        m.set(HID::HID_Record_Route, zmsg_m->Header(HID::HID_Record_Route)->Copy());
        m.Reverse(HID::HID_Record_Route);
      }
    }
  } else {
    tag = ZTag();
    target = m.Header<SIP_Head_Route>(m.IS_Request() ? HID::HID_From : HID::HID_To);
    if (!PublicIP_m) KeepOneRecordRoute(m, !m.IS_Request());
    if (Defect('t')) {
      m.remove(HID::HID_Record_Route);
      auto* contact = m.Header<SIP_Head_Contact>(HID::HID_Contact);
      if (contact != nullptr && !contact->Star())
        m.set(HID::HID_Contact, "<sip:" + UniqStr_m + '@' + Cfg.myipaddr + ':' + std::to_string(Cfg.MainPort) + '>');
    }
  }
  if (target != nullptr && !tag.empty()) {
    target->Params().Param("tag", tag);
    DLog(LOG_DEBUG, "zMode Alternating tag\n");
  }
}

TimerCB*& Call_t::ZAnswerTimer() {
  static TimerCB* timer = nullptr;
  return timer;
}
