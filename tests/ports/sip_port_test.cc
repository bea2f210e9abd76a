// SIP ports on loopback: what a client or the server receives from send(), and what the reader hands on.
#include "ports/sip_port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sip/message.h"

namespace {

// A large INVITE of a chatty phone: display names, User-Agent, Allow and padding headers.
std::string BigInvite() {
  std::string m =
      "INVITE sip:bob@127.0.0.1:5060 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bK-1\r\n"
      "Max-Forwards: 70\r\n"
      "From: \"Alice Example\" <sip:alice@example.com>;tag=a1\r\n"
      "To: \"Bob Example\" <sip:bob@example.com>\r\n"
      "Contact: \"Alice\" <sip:alice@127.0.0.2:5062>\r\n"
      "Call-ID: big-invite-1@127.0.0.2\r\n"
      "CSeq: 1 INVITE\r\n"
      "User-Agent: Chatty Phone 9.9 with a rather long product token\r\n"
      "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, NOTIFY, REFER, MESSAGE, INFO, UPDATE, PRACK\r\n"
      "Subject: a call about nothing in particular\r\n";
  m += "X-Padding: " + std::string(900, 'p') + "\r\n";
  m += "Content-Length: 0\r\n\r\n";
  return m;
}

struct Receiver {
  int fd;
  InetAddress addr;
  explicit Receiver(const char* where) : addr(where) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    bind(fd, addr.SocketAddress(), sizeof(sockaddr_in));
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Receiver() { close(fd); }
  std::string receive() {
    char buf[9000];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
};

// Sends the message through a port of the given road to a peer at `to`; what the peer receives.
template <class Port>
std::string Relayed(const std::string& text, const char* to) {
  Port port;
  EXPECT_TRUE(port.bind(InetAddress("127.0.0.1:0")));
  Receiver peer(to);
  SipMessage msg;
  EXPECT_TRUE(msg.Parse(text)) << text;
  EXPECT_GT(port.send(msg, peer.addr, 0, 0), 0);
  return peer.receive();
}

std::string FullForm(const std::string& text) {
  SipMessage msg;
  EXPECT_TRUE(msg.Parse(text)) << text;
  return msg.Assemble(true);
}

TEST(SipPortSend, LargeMessageToAClientIsShrunkAndCompact) {
  ASSERT_GT(BigInvite().size(), 1420u);
  std::string got = Relayed<ExternalPort>(BigInvite(), "127.0.0.3:5062");
  EXPECT_EQ(got.find("User-Agent"), std::string::npos);
  EXPECT_EQ(got.find("Allow:"), std::string::npos);
  EXPECT_EQ(got.find("Subject"), std::string::npos);
  EXPECT_NE(got.find("\"Alice Example\""), std::string::npos) << "From keeps its display name";
  EXPECT_EQ(got.find("Bob Example"), std::string::npos) << "To loses its display name";
  EXPECT_EQ(got.find("\"Alice\" <"), std::string::npos) << "Contact loses its display name";
  EXPECT_NE(got.find("\r\nv: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bK-1\r\n"), std::string::npos) << got;
  EXPECT_NE(got.find("\r\nf: "), std::string::npos) << "compact header names";
  EXPECT_GT(got.size(), 1000u) << "the padding is not ours to drop: still above the limit, sent shrunk";
  SipMessage again;
  EXPECT_TRUE(again.Parse(got));
}

TEST(SipPortSend, TheServerGetsEveryMessageAndAClientASmallOneUnchangedInFullForm) {
  EXPECT_EQ(Relayed<InternalPort>(BigInvite(), "127.0.0.4:5060"), FullForm(BigInvite()));
  const std::string small =
      "OPTIONS sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.3:5064;branch=z9hG4bK-2\r\n"
      "From: \"A\" <sip:a@x>;tag=1\r\nTo: <sip:b@x>\r\nCall-ID: c1\r\nCSeq: 1 OPTIONS\r\n"
      "User-Agent: small\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(Relayed<ExternalPort>(small, "127.0.0.3:5064"), FullForm(small));
}

// Reads with a reader thread and collects what the port hands on.
struct Collector {
  std::mutex m;
  std::vector<std::pair<size_t, std::string>> got;
  void add(Datagram& d) {
    std::lock_guard<std::mutex> lock(m);
    got.emplace_back(d.len, d.from.Text());
    EXPECT_EQ(d.data[d.len], '\0');
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(m);
    return got.size();
  }
};

TEST(SipPortRead, WholeDatagramsOnlyAndReadersStopCleanly) {
  ExternalPort port;
  ASSERT_TRUE(port.BindShared(InetAddress("127.0.0.1:0")));
  InetAddress to = port.LocalAddress();
  to.Ip(0x7F000001);
  Collector c;
  port.SetHandler([&](Datagram& d) { c.add(d); });
  ASSERT_EQ(port.StartReaders(2, "Ext UDP Read", "Start External Reading loop\n"), 0);

  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  std::string exact(SipPort::kMaxDatagram, 'x');
  std::string longer(SipPort::kMaxDatagram + 1, 'y');
  sendto(tx, exact.data(), exact.size(), 0, to.SocketAddress(), sizeof(sockaddr_in));
  sendto(tx, longer.data(), longer.size(), 0, to.SocketAddress(), sizeof(sockaddr_in));
  sendto(tx, "z", 1, 0, to.SocketAddress(), sizeof(sockaddr_in));
  for (int i = 0; i < 200 && c.count() < 2; ++i) usleep(10000);
  usleep(50000);
  port.StopReaders();
  close(tx);
  ASSERT_EQ(c.count(), 2u) << "a datagram longer than the buffer must be dropped, not cut and handed on";
  // Two readers: either may hand its datagram on first.
  std::vector<size_t> sizes{c.got[0].first, c.got[1].first};
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<size_t>{1u, SipPort::kMaxDatagram}));
}

// Four readers of a shared port, four sources each sending numbered datagrams: every source's datagrams
// are handed on in the order it sent them, whichever readers run. Readers sharing one socket would let one
// reader's datagram overtake another's.
TEST(SipPortRead, ASharedPortHandsOnEachSourcesDatagramsInOrder) {
  ExternalPort port;
  ASSERT_TRUE(port.BindShared(InetAddress("127.0.0.1:0")));
  InetAddress to = port.LocalAddress();
  SocketUDP squatter;
  EXPECT_FALSE(squatter.BindShared(to)) << "a taken address stays taken, as for a second daemon";
  std::mutex m;
  std::map<std::string, std::vector<int>> seen;
  port.SetHandler([&](Datagram& d) {
    const int n = std::atoi(d.data);
    if (n % 7 == 0) usleep(1000);  // a slow message: the next one must not overtake it
    std::lock_guard<std::mutex> lock(m);
    seen[d.from.Text()].push_back(n);
  });
  ASSERT_EQ(port.StartReaders(4, "Ext UDP Read", "Start External Reading loop\n"), 0);

  constexpr int kSources = 4;
  constexpr int kEach = 200;
  std::vector<int> tx;
  for (int i = 0; i < kSources; ++i) tx.push_back(socket(AF_INET, SOCK_DGRAM, 0));
  for (int n = 0; n < kEach; ++n) {
    const std::string text = std::to_string(n);
    for (int fd : tx) sendto(fd, text.data(), text.size(), 0, to.SocketAddress(), sizeof(sockaddr_in));
    if (n % 20 == 19) usleep(2000);  // paced so that no receive buffer overflows
  }
  auto total = [&] {
    std::lock_guard<std::mutex> lock(m);
    size_t sum = 0;
    for (const auto& [from, numbers] : seen) sum += numbers.size();
    return sum;
  };
  for (int i = 0; i < 500 && total() < kSources * kEach; ++i) usleep(10000);
  port.StopReaders();
  for (int fd : tx) close(fd);
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kSources));
  for (const auto& [from, numbers] : seen) {
    EXPECT_FALSE(numbers.empty());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << from;
  }
}

// The reactor's wake-up takes what is waiting in one read, in order, and never blocks when nothing is.
TEST(SipPortRead, ReactorModeReadsWhatIsWaitingWithoutBlocking) {
  ExternalPort port;
  ASSERT_TRUE(port.BindShared(InetAddress("127.0.0.1:0")));
  port.Block(false);
  InetAddress to = port.LocalAddress();
  to.Ip(0x7F000001);
  Collector c;
  port.SetHandler([&](Datagram& d) { c.add(d); });
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  sendto(tx, "one", 3, 0, to.SocketAddress(), sizeof(sockaddr_in));
  sendto(tx, "two", 3, 0, to.SocketAddress(), sizeof(sockaddr_in));
  usleep(20000);
  port.OnInput(port.GetHandle());
  EXPECT_EQ(c.count(), 2u);
  port.OnInput(port.GetHandle());  // nothing pending: returns at once
  EXPECT_EQ(c.count(), 2u);
  close(tx);
}

TEST(SipPortSend, OnlyTheFirstTwoRtpDescriptionsAreReduced) {
  std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n"
      "m=audio 4000 RTP/AVP 0 8 18 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n"
      "a=rtpmap:18 G729/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\na=ptime:20\r\n"
      "m=video 4002 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 profile-level-id=42e01f\r\n"
      "m=audio 4004 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
  std::string text = BigInvite();
  text.replace(text.find("Content-Length: 0"), 17,
               "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()));
  std::string got = Relayed<ExternalPort>(text + sdp, "127.0.0.3:5066");
  size_t third = got.find("m=audio 4004");
  ASSERT_NE(third, std::string::npos) << got;
  EXPECT_EQ(got.substr(0, third).find("a=rtpmap:0 PCMU/8000"), std::string::npos)
      << "static types lose their rtpmap when brief";
  EXPECT_NE(got.find("a=rtpmap:0 PCMU/8000", third), std::string::npos)
      << "the third description is left alone";
  SipMessage again;
  ASSERT_TRUE(again.Parse(got));
}

}  // namespace
