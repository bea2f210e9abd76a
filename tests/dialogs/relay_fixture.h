// A relay on loopback for dialog tests: the external and internal ports bound to the configured addresses,
// a client and a server that record what reaches them, and the intake's steps that hand a dialog its
// messages. Single test thread; the ports are the process's singletons, bound once per test program.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "dialogs/call.h"
#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
#include "foundation/reactor.h"
#include "media/media_fixture.h"
#include "ports/sip_port.h"
#include "sip/message.h"

namespace relaytest {

// The relay faces: clients see 127.0.0.1:5060, the server sees 127.0.0.2:5073 (second_port 5070 + 3).
inline constexpr const char* kMyIp = "127.0.0.1";
inline constexpr const char* kServerIp = "127.0.0.2";
inline constexpr const char* kClient = "127.0.0.10:5062";
inline constexpr const char* kServer = "127.0.0.20:5060";
inline constexpr const char* kNewContact = "sip:alice*example.com-127.0.0.10+5062@127.0.0.2:5073";
inline constexpr const char* kOldContact = "sip:alice@127.0.0.10:5062";

using Peer = UdpPeer;

// The values of every header line named name (long form), in order.
inline std::vector<std::string> Values(const std::string& text, const std::string& name) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (line.size() > name.size() + 1 && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':')
      out.push_back(line.substr(name.size() + 2));
  }
  return out;
}

inline std::string StartLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

inline std::unique_ptr<SipMessage> Parse(const std::string& text) {
  auto m = std::make_unique<SipMessage>();
  EXPECT_TRUE(m->Parse(text)) << text;
  return m;
}

// The answer a peer gives to a request it received; the relay's own Via, which the intake strips from a
// response before the dialog sees it, is left out when strip_relay_via.
inline std::unique_ptr<SipMessage> Answer(const std::string& received, int code, const char* reason,
                                          const std::vector<std::string>& extra = {},
                                          bool strip_relay_via = true) {
  auto m = Parse(received);
  m->Convert(static_cast<SipStatus>(code), reason);
  m->Remove(HeaderIds::HID_CONTACT);
  if (strip_relay_via) m->pop_front(HeaderIds::HID_VIA);
  for (const auto& line : extra) {
    const size_t colon = line.find(':');
    const std::string name = line.substr(0, colon), value = line.substr(colon + 2);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const SipMessage::HeadId id = SipMessage::GetHeaderByName(lower);
    if (id != SipMessage::HID_BLANK)
      m->Set(id, value);
    else
      m->Header(name, value);
  }
  return m;
}

// What a bouncing core does: the request answered in place and sent back through the port.
inline void TestBounce(SipMessage& msg, int code, const std::string& reason, const InetAddress& to,
                       const SipPort& port) {
  msg.Convert(static_cast<SipStatus>(code), reason);
  if (code != 200) msg.Remove(HeaderIds::HID_CONTACT);
  msg.Remove(HeaderIds::HID_ROUTE);
  port.send(msg, to, 0, 0);
}

// Literal addresses only: a test never asks DNS.
inline bool LiteralAssign(InetAddress& a, const char* host, const char*, uint32_t) {
  if (!InetAddress::IsIPv4(host)) return false;
  return a.Set(host) && a.Ip() != 0;
}

// The test's messages are variations of a few: text with its first `from` replaced by `to`.
inline std::string Sub(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// text with the called side's tag on its To: a request inside the dialog the called side answered.
inline std::string Tagged(const std::string& text, const std::string& tag = "sb") {
  return Sub(text, "To: <sip:bob@example.com>", "To: <sip:bob@example.com>;tag=" + tag);
}

// The server's answer SDP of the call tests.
inline const std::string kServerSdp =
    "v=0\r\no=s 1 1 IN IP4 127.0.0.20\r\ns=-\r\nc=IN IP4 127.0.0.20\r\nt=0 0\r\nm=audio 30000 RTP/AVP 0\r\n";

// The tag of a message's To.
inline std::string ToTag(const std::string& text) {
  const std::string to = Values(text, "To").at(0);
  return to.substr(to.find("tag=") + 4);
}

inline std::string BodyOf(const std::string& text) {
  const size_t at = text.find("\r\n\r\n");
  return at == std::string::npos ? "" : text.substr(at + 4);
}

class RelayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::strcpy(g_config.myipaddr, kMyIp);
    std::strcpy(g_config.server_ipaddr, kServerIp);
    g_config.main_port = 5060;
    g_config.second_port = 5070;
    ASSERT_TRUE(g_external_port.bind(InetAddress("127.0.0.1:5060")));
    ASSERT_TRUE(g_internal_port.bind(InetAddress("127.0.0.2:5073")));
  }

  void SetUp() override {
    hooks_saved_ = Dialog::Hooks();
    Dialog::Hooks().bounce = TestBounce;
    Dialog::Hooks().assign = LiteralAssign;
  }
  void TearDown() override {
    for (unsigned no : opened_) table_.Destroy(no);
    Dialog::Hooks() = hooks_saved_;
  }

  // The client-side intake: d, just created for a request of the client, set up and (when that succeeds)
  // handed its message as event. Returns d unlocked, or null when set-up gave it up (it is destroyed then).
  template <class D>
  D* Open(D* d, DialogEvent event, DomainOptions opts = checked(), const std::string& ocnt = kOldContact,
          const std::string& ncnt = kNewContact) {
    EXPECT_TRUE(d->Entered());
    ClientMessage m;
    m.domain_options = std::make_unique<DomainOptions>(opts);
    m.new_contact = ncnt;
    m.old_contact = ocnt;
    m.source = m.reply_to = InetAddress(kClient);
    m.public_ip = public_ip_;
    ObjectGuard<Dialog> g;
    g.Set(d);
    if (!d->ClientSetup(&m)) {
      table_.Destroy(std::move(g));
      return nullptr;
    }
    opened_.push_back(d->Number());
    d->HandleClientMessage(event);
    return d;
  }
  Dialog* FromClient(const std::string& text, const std::string& key, const std::string& defect = " ",
                     DomainOptions opts = checked()) {
    return Open(new Dialog(Parse(text), key, Defects::FromLetters(defect)), DialogEvent::PASS, opts);
  }

  // What the registration gives a dialog the server opens toward the client.
  RegistrationValues Reg(const std::string& defect = " ") const {
    RegistrationValues reg;
    reg.new_contact = kNewContact;
    reg.old_contact = kOldContact;
    reg.domain = "example.com";
    reg.hole = InetAddress(kClient);
    reg.defects = Defects::FromLetters(defect);
    reg.public_ip = public_ip_;
    return reg;
  }
  // The server-side intake: a new dialog toward the registered client, handed its message as event.
  template <class D = Dialog>
  D* FromServer(const std::string& text, const std::string& key, const std::string& defect = " ",
                DialogEvent event = DialogEvent::PASS) {
    auto* d = new D(Parse(text), key, InetAddress(kServer), Reg(defect));
    EXPECT_TRUE(d->Entered());
    opened_.push_back(d->Number());
    d->HandleServerMessage(event);
    d->unlock();
    return d;
  }

  // A later message for an existing dialog, from either side, as the intake hands it on.
  void Client(Dialog* d, std::unique_ptr<SipMessage> m, DialogEvent event = DialogEvent::PASS) {
    ObjectGuard<Dialog> g(d);
    d->SetMessage(std::move(m));
    d->HandleClientMessage(event);
  }
  void Server(Dialog* d, std::unique_ptr<SipMessage> m, DialogEvent event = DialogEvent::PASS) {
    ObjectGuard<Dialog> g(d);
    d->SetMessage(std::move(m));
    d->HandleServerMessage(event);
  }

  // Ends a dialog before the test does, its key messages applied first.
  void Close(Dialog* d) {
    const unsigned no = d->Number();
    table_.DrainKeyQueue();
    table_.Destroy(no);
    std::erase(opened_, no);
  }

  static DomainOptions checked() {
    DomainOptions o;
    o.checked = true;
    return o;
  }

  DialogTable table_;
  PollReactor reactor_;
  Peer client_{kClient};
  Peer server_{kServer};
  std::vector<unsigned> opened_;
  bool public_ip_ = false;  // the client is on a public address
  DialogHooks hooks_saved_;
};

// A request of the client toward bob.
inline std::string Message(const std::string& method, int cseq, const std::string& extra = "",
                           const std::string& body = "") {
  std::string m = method +
                  " sip:bob@127.0.0.20:5060 SIP/2.0\r\n"
                  "Via: SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport\r\n"
                  "Max-Forwards: 70\r\n"
                  "From: <sip:alice@example.com>;tag=fa\r\n"
                  "To: <sip:bob@example.com>\r\n"
                  "Contact: <sip:alice@127.0.0.10:5062>\r\n"
                  "Call-ID: call-" +
                  method +
                  "@127.0.0.10\r\n"
                  "CSeq: " +
                  std::to_string(cseq) + " " + method + "\r\n" + extra;
  m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return m;
}

// A request of the server toward the registered client (to_tag: inside a dialog the client answered).
inline std::string ServerRequest(const std::string& method, int cseq, const std::string& callid,
                                 const std::string& branch, const std::string& to_tag = "",
                                 const std::string& extra = "", const std::string& body = "") {
  return method + " " + kNewContact +
         " SIP/2.0\r\n"
         "Via: SIP/2.0/UDP 127.0.0.20:5060;branch=" +
         branch +
         "\r\n"
         "Max-Forwards: 70\r\nFrom: <sip:bob@example.com>;tag=sb\r\n"
         "To: <sip:alice@example.com>" +
         (to_tag.empty() ? "" : ";tag=" + to_tag) +
         "\r\n"
         "Call-ID: " +
         callid + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
         "\r\n"
         "Contact: <sip:bob@127.0.0.20:5060>\r\n" +
         extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A public client's call: its INVITE set up and handed on, the relay's 100 read and the INVITE the server
// received kept in invite_; the server's answers to it.
class CallTest : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    public_ip_ = true;
  }
  Call* Invite(const std::string& defects = " ", const std::string& headers = "",
               const std::string& body = "", const std::string& callid = "call-INVITE@127.0.0.10") {
    const std::string text = Sub(Message("INVITE", 1, headers, body), "call-INVITE@127.0.0.10", callid);
    Call* c =
        Open(new Call(Parse(text), "C&" + callid, Defects::FromLetters(defects)), DialogEvent::INVITE_RECV);
    EXPECT_EQ(StartLine(client_.Receive()), "SIP/2.0 100 Trying");
    invite_ = server_.Receive();
    return c;
  }
  // The server's answer to invite_, with its tag (none when empty) and the given SDP.
  void ServerSays(Call* c, int code, const char* reason, const std::string& tag = "sb",
                  const std::string& sdp = "") {
    std::vector<std::string> extra;
    if (!tag.empty()) extra.push_back("To: <sip:bob@example.com>;tag=" + tag);
    if (!sdp.empty()) extra.push_back("Content-Type: application/sdp");
    auto m = Answer(invite_, code, reason, extra);
    if (!sdp.empty()) m->Body(sdp);
    Server(c, std::move(m));
  }
  std::string invite_;  // the INVITE as the server received it
};

}  // namespace relaytest
