// A relay on loopback for dialog tests: the external and internal ports bound to the configured addresses,
// a client and a server that record what reaches them, and the intake's steps that hand a dialog its
// messages. Single test thread; the ports are the process's singletons, bound once per test program.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "dialogs/dialog.h"
#include "dialogs/dialog_table.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "ports/sip_port.h"
#include "sip/message.h"

namespace relaytest {

// The relay faces: clients see 127.0.0.1:5060, the server sees 127.0.0.2:5073 (second_port 5070 + 3).
inline constexpr const char* kMyIp = "127.0.0.1";
inline constexpr const char* kServerIp = "127.0.0.2";
inline constexpr const char* kClient = "127.0.0.10:5062";
inline constexpr const char* kServer = "127.0.0.20:5060";
inline constexpr const char* kNewContact = "sip:alice*example.com-127.0.0.10+5062@127.0.0.2:5073";

// A peer's socket: what arrives within the wait, one datagram at a time.
struct Peer {
  int fd;
  InetAddress addr;
  explicit Peer(const char* where) : addr(where) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(bind(fd, addr.SocketAddress(), sizeof(sockaddr_in)), 0) << where;
  }
  ~Peer() { close(fd); }
  std::string receive(int wait_ms = 2000) {
    timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[9000];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // Nothing more arrives within a short wait.
  bool quiet() { return receive(150).empty(); }
};

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
inline std::unique_ptr<SipMessage> Answer(const std::string& received, int code, const char* reason, bool strip_relay_via,
                                   const std::vector<std::string>& extra = {}) {
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

// The test's log file: every level, read back as text once the test's actions are done.
class LogFile {
 public:
  LogFile() {
    saved_out_ = dup(1);
    saved_level_ = g_log_block.level.load();
    char tmpl[] = "/tmp/ostrel-dialog-log-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    path_ = tmpl;
    EXPECT_EQ(OpenLog(path_), 1);
    g_log_block.level = static_cast<int>(0xFFFF0000u | LEVEL_MASK);
  }
  ~LogFile() {
    OpenLog("");
    dup2(saved_out_, 1);
    close(saved_out_);
    g_log_block.level = saved_level_;
    unlink(path_.c_str());
  }
  // Ends the capture (so that failure messages reach the runner again) and reads what was logged.
  std::string text() const {
    dup2(saved_out_, 1);
    std::ifstream f(path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  size_t count(const std::string& needle) const {
    std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  std::string path_;
  int saved_out_ = -1;
  int saved_level_ = 0;
};

// What a bouncing core does: the request answered in place and sent back through the port.
inline void TestBounce(SipMessage& msg, int code, const std::string& reason, const InetAddress& to, const SipPort& port) {
  msg.Convert(static_cast<SipStatus>(code), reason);
  if (code != 200) msg.Remove(HeaderIds::HID_CONTACT);
  msg.Remove(HeaderIds::HID_ROUTE);
  port.send(msg, to, 0, 0);
}

// Literal addresses only: a test never asks DNS.
inline bool LiteralAssign(InetAddress& a, const char* host, const char*) {
  if (!InetAddress::IsIPv4(host)) return false;
  return a.Set(host) && a.IpAddr() != 0;
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
    Dialog::Hooks().Bounce = TestBounce;
    Dialog::Hooks().Assign = LiteralAssign;
  }
  void TearDown() override {
    for (unsigned no : opened_) table_.Destroy(no);
    Dialog::Hooks() = hooks_saved_;
  }

  // The client-side intake: a new dialog for the request, set up and (when that succeeds) handled.
  // Returns the dialog, unlocked, or null when set-up gave it up (it is destroyed then).
  Dialog* FromClient(const std::string& text, const std::string& key, const std::string& defect = " ",
                       DomainOptions opts = checked()) {
    ClientMessage m;
    m.cmsg = Parse(text);
    m.dmopt = std::make_unique<DomainOptions>(opts);
    m.ncnt = kNewContact;
    m.ocnt = "sip:alice@127.0.0.10:5062";
    m.frm = InetAddress(kClient);
    m.rsvp = InetAddress(kClient);
    m.public_ip = public_ip_;
    auto* d = new Dialog(std::move(m.cmsg), key, defect);
    EXPECT_TRUE(d->Entered());
    ObjectGuard<Dialog> g;
    g.Set(d);
    if (!d->ClientSetup(&m)) {
      table_.Destroy(std::move(g));
      return nullptr;
    }
    opened_.push_back(d->Number());
    d->HandleClientMessage(Dialog::PASS);
    return d;
  }

  // The server-side intake: a new dialog toward the registered client.
  Dialog* FromServer(const std::string& text, const std::string& key, const std::string& defect = " ") {
    RegistrationValues reg;
    reg.new_contact = kNewContact;
    reg.old_contact = "sip:alice@127.0.0.10:5062";
    reg.domain = "example.com";
    reg.hole = InetAddress(kClient);
    reg.defects = defect;
    auto* d = new Dialog(Parse(text), key, InetAddress(kServer), reg);
    EXPECT_TRUE(d->Entered());
    opened_.push_back(d->Number());
    d->HandleServerMessage(Dialog::PASS);
    d->unlock();
    return d;
  }

  // A later message for an existing dialog, from either side, as the intake hands it on.
  void Client(Dialog* d, std::unique_ptr<SipMessage> m) {
    ObjectGuard<Dialog> g(d);
    d->SetMessage(std::move(m));
    d->HandleClientMessage(Dialog::PASS);
  }
  void Server(Dialog* d, std::unique_ptr<SipMessage> m) {
    ObjectGuard<Dialog> g(d);
    d->SetMessage(std::move(m));
    d->HandleServerMessage(Dialog::PASS);
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
  bool public_ip_ = false;  // the client of FromClient is on a public address
  DialogHooks hooks_saved_;
};

inline std::string Message(const std::string& method, int cseq, const std::string& extra = "",
                           const std::string& body = "") {
  std::string m = method + " sip:bob@127.0.0.20:5060 SIP/2.0\r\n"
                  "Via: SIP/2.0/UDP 127.0.0.10:5062;branch=z9hG4bK-c1;rport\r\n"
                  "Max-Forwards: 70\r\n"
                  "From: <sip:alice@example.com>;tag=fa\r\n"
                  "To: <sip:bob@example.com>\r\n"
                  "Contact: <sip:alice@127.0.0.10:5062>\r\n"
                  "Call-ID: call-" + method + "@127.0.0.10\r\n"
                  "CSeq: " + std::to_string(cseq) + " " + method + "\r\n" + extra;
  m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return m;
}

}  // namespace relaytest
