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

using HID = HeaderIds;

constexpr int kZAnswerWaitMs = 90000;
constexpr int kZDoneLingerSec = 22;
constexpr int kMinSessionExpires = 1000;

bool AnswersInvite(const SipMessage& m) {
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  return m.IsResponse() && cseq != nullptr && cseq->Method() == SipMessage::INVITE;
}

int Sequence(const SipMessage& m) {
  auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ);
  return cseq != nullptr ? cseq->Sequence() : -1;
}

void SetSequence(SipMessage& m, int n) {
  if (auto* cseq = m.Header<CSeqHeader>(HID::HID_CSEQ)) cseq->Sequence(n);
}

const char* TagOf(const SipMessage& m, SipHeaders::HeadId id) {
  auto* h = m.Header<RouteHeader>(id);
  return h != nullptr ? h->Params().Param("tag") : nullptr;
}

// The audio address of an SDP body as "ip:port", empty without one.
std::string AudioAddress(SipMessage& m) {
  Sdp* sdp = IsSDP(m) ? m.GetSDP() : nullptr;
  if (sdp == nullptr || sdp->Medias().empty()) return {};
  const SdpMedia& audio = *sdp->Medias().front();
  return audio.Host() + ':' + std::to_string(audio.Port());
}

bool SupportsTimer(const SipMessage& m) {
  const char* raw = m.Header(std::string_view("Supported"));
  if (auto* sup = m.Header<SupportedHeader>(HID::HID_SUPPORTED))
    return sup->Value().find("timer") != std::string::npos;
  return raw != nullptr && std::string_view(raw).find("timer") != std::string_view::npos;
}

// Keeps the one Record-Route entry at index `keep_last ? last : first`.
void KeepOneRecordRoute(SipMessage& m, bool keep_last) {
  HeaderLine* rr = m.Header(HID::HID_RECORD_ROUTE);
  if (rr == nullptr || rr->Next() == nullptr) return;
  while (keep_last && rr->Next() != nullptr) rr = rr->Next();
  std::unique_ptr<HeaderLine> one = rr->Copy();
  one->DetachNext();
  m.Set(HID::HID_RECORD_ROUTE, std::move(one));
}

}  // namespace

// The string hash that numbers the relay's own tags: h = h * 33 + c from 5381, never 0.
uint32_t HashText(const char* s) {
  uint32_t h = 5381;
  for (; *s != '\0'; ++s)
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*s)));
  return h != 0 ? h : 1;
}

uint32_t Call::ZeroNumber() {
  if (zero_number_ != 0) return zero_number_;
  const size_t first = key_.find('&');
  std::string text;
  if (first == std::string::npos) {
    text = "ostrel";
  } else {
    const size_t second = key_.find('&', first + 1);
    text = key_.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  }
  zero_number_ = HashText((text + old_contact_).c_str());
  return zero_number_;
}

// A server call: its INVITE seen from the other end, so that the client's requests can be routed and
// tagged as the server expects.
void Call::StoreZInvite() {
  zero_message_ = std::make_unique<SipMessage>(*message_);
  zero_message_->Reverse(HID::HID_RECORD_ROUTE);
  if (HeaderLine* from = zero_message_->Header(HID::HID_FROM)) {
    auto to = std::make_unique<ToHeader>();
    static_cast<RouteHeader&>(*to) = static_cast<const RouteHeader&>(*from);
    zero_message_->Set(HID::HID_TO, std::move(to));
  }
  LogLine(LEVEL_DEBUG, "Store ZMG! InviteRecv()\n");
}

// The server's answer without the relay's inner face and the client's part of the route set.
void Call::StoreZAnswer(const SipMessage& m) {
  zero_message_ = std::make_unique<SipMessage>(m);
  zero_message_->Remove(HID::HID_RECORD_ROUTE);
  const std::string inner = g_config.server_ipaddr;
  const int inner_port = (g_config.second_port + 3) & 0xFFFF;
  for (HeaderLine* l = m.Header(HID::HID_RECORD_ROUTE); l != nullptr; l = l->Next()) {
    auto* e = dynamic_cast<RouteHeader*>(l);
    if (e != nullptr && e->User() == number_text_ && e->Host() == inner && e->SPort() == inner_port) break;
    std::unique_ptr<HeaderLine> one = l->Copy();
    one->DetachNext();
    zero_message_->push_back(HID::HID_RECORD_ROUTE, std::move(one));
  }
  LogLine(LEVEL_DEBUG, "Store ZMG! InviteResponse(%d)\n", static_cast<int>(m.Status()));
}

// An early answer of the server to a client with defect 'T'; true when it became the relay's 200 "OKey"
// and went to the client.
bool Call::ZEarlyAnswer() {
  SipMessage& m = *message_;
  const int status = m.Status();
  const bool early183 =
      status == 183 && (HasDefect(Defect::EARLY_MEDIA_AS_ANSWER) ||
                        (HasDefect(Defect::NO_100REL) && !public_ip_ && mode_ == NatType::RESTRICTED));
  const bool ringing =
      status == 180 && got_183_ && HasDefect(Defect::RINGBACK_AFTER_EARLY_MEDIA) && !Anchored();
  const bool convert = early183 || ringing;
  if (ringing) {
    LogLine(LEVEL_DEBUG, "Defect 'Q' - Start RING (Release)\n");
    m.Set(HID::HID_CONTENT_TYPE, "application/sdp");
    m.Body(ProbeSDP(false));
    StartRings();
  }
  if (convert) {
    zero_server_media_ = early183 ? AudioAddress(m) : std::string();
    m.Status(static_cast<SipStatus>(200));
    m.Reason("OKey");
    if (original_invite_ && SupportsTimer(*original_invite_)) {
      int min_se = 0;
      if (const char* v = original_invite_->Header(std::string_view("Min-SE"))) min_se = std::atoi(v);
      m.Header("Session-Expires", std::to_string(std::max(min_se, kMinSessionExpires)) + ";refresher=uac");
      m.Set(HID::HID_REQUIRE, "timer");
    }
  }
  if (m.Status() == 200) {
    StoreZAnswer(m);
    // Answered at once: the call is keyed by the server's tag before the client is shown the relay's.
    if (!convert) OverwriteKey();
  } else {
    m.Remove(HID::HID_RECORD_ROUTE);
  }
  if (auto* to = m.Header<ToHeader>(HID::HID_TO)) to->Params().Param("tag", ZeroTag());
  if (!convert) return false;
  State(DialogState::Z_OK_SENT);
  Pass(FROM_SERVER);
  RetransmittedMessage("Z_OK");
  return true;
}

// Z_OK_SENT: the client has the relay's 200; the server has not answered finally yet.
void Call::ZeroModeOk(Direction dir) {
  SipMessage& m = *message_;
  if (dir == FROM_CLIENT) {
    if (m.IsBye()) return ZeroModeAck(dir);
    if (!m.IsAck()) return;
    if (timer_type_ == T_RETRANS) CancelTimer(T_RETRANS);
    if (TimerCB* cb = ZAnswerTimer()) ScheduleTimer(T_ZANSWER, cb, kZAnswerWaitMs);
    State(DialogState::Z_ACK_RECV);
    if (zero_final_) {
      message_ = std::move(zero_final_);
      ZeroModeAck(FROM_SERVER);
    }
    return;
  }
  if (!AnswersInvite(m)) return Pass(dir);
  if (m.Status() >= 200 && !zero_final_) zero_final_ = std::make_unique<SipMessage>(m);
}

// Z_ACK_RECV: the client's dialog is confirmed; the server's final answer completes or ends it.
void Call::ZeroModeAck(Direction dir) {
  SipMessage& m = *message_;
  if (dir == FROM_CLIENT) {
    if (!m.IsBye()) return;
    Reply(FROM_CLIENT, 200, "OK");
    SendCancel(true);
    Complete(E_BYE, "CLN");
    return;
  }
  if (!AnswersInvite(m)) return Pass(dir);
  const int status = m.Status();
  if (status < 200 || (status > 200 && status < 300)) return;
  if (timer_type_ == T_ZANSWER) CancelTimer(T_ZANSWER);
  if (status >= 300) {
    AckServer(m, false);
    ZByeToClient();
    Complete(E_REJECT, std::to_string(status) + ',' + m.Reason());
    return;
  }
  StoreZAnswer(m);
  OverwriteKey();
  if (mode_ == NatType::OPAQUE || AudioAddress(m) == zero_server_media_) {
    AckServer(m, true);
    ZDone();
    return;
  }
  LogLine(LEVEL_DEBUG, "zMode - StarWar Episod II implementation\n");
  ZReInvite(m);
}

// The server's SDP differs from the one the client got with the relay's 200: the client is offered it anew.
void Call::ZReInvite(const SipMessage& ok) {
  auto inv = std::make_unique<SipMessage>(ok);
  const std::string body = ok.Body();
  const bool sdp = IsSDP(ok);
  inv->Convert(SipMessage::INVITE);
  inv->SwapFromTo();
  inv->Remove(HID::HID_VIA);
  inv->Remove(HID::HID_ROUTE);
  if (sdp) {
    inv->Set(HID::HID_CONTENT_TYPE, "application/sdp");
    inv->Body(body);
  }
  SetSequence(*inv, 0);
  ++cseq_shift_;
  zero_reinvite_cseq_ = cseq_shift_;
  invite_direction_ = FROM_SERVER;
  message_ = std::move(inv);
  InviteSending();
  State(DialogState::Z_INV_SENT);
}

// Z_INV_SENT: the client's answer to the relay's re-INVITE.
void Call::ZeroReinviteResponse(Direction dir) {
  SipMessage& m = *message_;
  if (m.IsBye()) return Pass(dir);
  if (dir != FROM_CLIENT || !AnswersInvite(m) || Sequence(m) != zero_reinvite_cseq_) return;
  const int status = m.Status();
  if (status < 200) return;
  if (timer_type_ == T_RETRANS) CancelTimer(T_RETRANS);
  if (status < 300) {
    AckClient(m);
    if (zero_message_) AckServer(*zero_message_, true);
    ZDone();
    return;
  }
  // The server's dialog was answered already: it is acknowledged and ended rather than cancelled.
  if (zero_message_) AckServer(*zero_message_, true);
  SendXBye();
  ZByeToClient();
  Complete(E_REJECT, std::to_string(status) + " (Z) Codec Negotiation failed");
}

// Z_DONE: lost ACKs are made good; anything else goes on.
void Call::ZeroAnswer(Direction dir) {
  SipMessage& m = *message_;
  if (AnswersInvite(m) && m.Status() == 200) {
    if (dir == FROM_SERVER && zero_message_)
      AckServer(m, true);
    else if (dir == FROM_CLIENT)
      AckClient(m);
    return;
  }
  if (m.IsInvite()) {
    if (timer_type_ == T_ZANSWER) {
      LogLine(LEVEL_DEBUG, "Cancel T_ZANSWER Timer\n");
      CancelTimer(T_ZANSWER);
    }
    State(DialogState::INVITE_RECV);
    InviteReceived(dir);
    return;
  }
  // The client repeating its ACK of the relay's 200: the server's answer was acknowledged by the relay.
  if (m.IsAck() && dir == FROM_CLIENT && original_invite_ && Sequence(m) == Sequence(*original_invite_))
    return;
  Pass(dir);
}

void Call::ZDone() {
  LogLine(LEVEL_DEBUG, "Recharge timer for ANSWER to %d sec.\n", kZDoneLingerSec);
  if (TimerCB* cb = ZAnswerTimer()) ScheduleTimer(T_ZANSWER, cb, kZDoneLingerSec * 1000);
  State(DialogState::Z_DONE);
}

// The ACK of the server's final answer, built from the client's INVITE.
void Call::AckServer(const SipMessage& answer, bool confirmed) {
  if (!original_invite_) return;
  SipMessage ack(*original_invite_);
  ack.Convert(SipMessage::ACK);
  ack.Remove(HID::HID_VIA);
  ack.Set(HID::HID_USER_AGENT, g_config.agent_name);
  const char* tag = TagOf(answer, HID::HID_TO);
  if (auto* to = ack.Header<ToHeader>(HID::HID_TO); to != nullptr && tag != nullptr)
    to->Params().Param("tag", tag);
  // A non-2xx ACK belongs to the INVITE's transaction and so carries its branch.
  const bool was = confirmed_;
  confirmed_ = confirmed;
  Pass(FROM_CLIENT, &ack);
  confirmed_ = was;
}

// The ACK of the client's 200 to the relay's re-INVITE.
void Call::AckClient(const SipMessage& ok) {
  SipMessage ack(ok);
  ack.Convert(SipMessage::ACK);
  ack.Set(HID::HID_USER_AGENT, g_config.agent_name);
  ack.Remove(HID::HID_VIA);
  ack.Remove(HID::HID_CONTACT);
  ack.RouteSetFrom(ok, false);
  ack.Remove(HID::HID_ROUTE);
  ack.Remove(HID::HID_RECORD_ROUTE);
  SetSequence(ack, Sequence(ok) - cseq_shift_);
  Pass(FROM_SERVER, &ack);
}

// Ends the client's side of the dialog: a BYE as if from the server, with the relay's tag.
void Call::ZByeToClient() {
  if (!original_invite_) return;
  SipMessage bye(*original_invite_);
  bye.Convert(SipMessage::BYE);
  bye.Remove(HID::HID_VIA);
  bye.Remove(HID::HID_RECORD_ROUTE);
  bye.Remove(HID::HID_ROUTE);
  bye.Set(HID::HID_USER_AGENT, g_config.agent_name);
  bye.SwapFromTo();
  // The client knows the relay's tag, never the server's: a BYE carrying another would not be its dialog's.
  if (auto* from = bye.Header<FromHeader>(HID::HID_FROM)) from->Params().Param("tag", ZeroTag());
  SetSequence(bye, Sequence(*original_invite_) + 1);
  Pass(FROM_SERVER, &bye);
}

// The answer timer (the core's timer callback): the server never answered finally, or the dialog has been
// complete long enough for the relay to stop standing in for its ACKs.
void Call::ZAnswerTimeout() {
  timer_id_ = PollReactor::kNoTimer;
  timer_type_ = T_NONE;
  if (State() == DialogState::Z_DONE) {
    State(DialogState::PASS);
    return;
  }
  if (State() != DialogState::Z_ACK_RECV) return;
  SendCancel(true);
  ZByeToClient();
}

// While the zero-media copy is stored, in-dialog messages are translated between the client's view (the
// relay's tags) and the server's (the copy's).
void Call::ZRetag(Direction dir) {
  SipMessage& m = *message_;
  RouteHeader* target = nullptr;
  std::string tag;
  if (dir == FROM_CLIENT) {
    if (const char* t = TagOf(*zero_message_, HID::HID_TO)) tag = t;
    if (m.IsRequest()) {
      if (!m.IsCancel()) {
        m.RouteSetFrom(*zero_message_, false);
        LogLine(LEVEL_DEBUG, "zMode Reconstuct RouteSet\n");
        target = m.Header<RouteHeader>(HID::HID_TO);
      }
    } else {
      m.Remove(HID::HID_RECORD_ROUTE);
      target = m.Header<RouteHeader>(HID::HID_FROM);
      if (m.Status() == 200 && AnswersInvite(m) && zero_message_->Header(HID::HID_RECORD_ROUTE) != nullptr) {
        m.Set(HID::HID_RECORD_ROUTE, zero_message_->Header(HID::HID_RECORD_ROUTE)->Copy());
        m.Reverse(HID::HID_RECORD_ROUTE);
      }
    }
  } else {
    tag = ZeroTag();
    target = m.Header<RouteHeader>(m.IsRequest() ? HID::HID_FROM : HID::HID_TO);
    if (!public_ip_) KeepOneRecordRoute(m, !m.IsRequest());
    if (HasDefect(Defect::NO_RECORD_ROUTE)) {
      m.Remove(HID::HID_RECORD_ROUTE);
      auto* contact = m.Header<ContactHeader>(HID::HID_CONTACT);
      if (contact != nullptr && !contact->Star())
        m.Set(HID::HID_CONTACT, "<sip:" + number_text_ + '@' + g_config.myipaddr + ':' +
                                    std::to_string(g_config.main_port) + '>');
    }
  }
  if (target != nullptr && !tag.empty()) {
    target->Params().Param("tag", tag);
    LogLine(LEVEL_DEBUG, "zMode Alternating tag\n");
  }
}

TimerCB*& Call::ZAnswerTimer() {
  static TimerCB* timer = nullptr;
  return timer;
}
