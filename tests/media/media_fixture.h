// Shared set-up of the tests that open sockets or read the log (media and dialog tests alike): a UDP peer on
// a loopback address, the log captured into a file, and the media tests' port range and side addresses.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/config.h"
#include "foundation/inet_addr.h"
#include "foundation/log.h"
#include "media/rtp_port.h"

// A phone, server or media endpoint: one UDP socket on a literal loopback address.
class UdpPeer {
 public:
  explicit UdpPeer(const char* where) : addr_(where) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(bind(fd_, addr_.SocketAddress(), sizeof(sockaddr_in)), 0) << where;
  }
  ~UdpPeer() { close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  const InetAddress& addr() const { return addr_; }
  int fd() const { return fd_; }
  void SendTo(const std::string& bytes, int port, const char* ip = "127.0.0.1") {
    InetAddress to(static_cast<unsigned short>(port), ip);
    ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, to.SocketAddress(), sizeof(sockaddr_in)),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next datagram within wait_ms; empty after that.
  std::string Receive(InetAddress* from = nullptr, int wait_ms = 2000) {
    timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[9000];
    InetAddress src;
    socklen_t len = sizeof(sockaddr_in);
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, src.SocketAddress(), &len);
    if (from) *from = src;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // Nothing more arrives within a short wait.
  bool Quiet() { return Receive(nullptr, 150).empty(); }

 private:
  InetAddress addr_;
  int fd_;
};

// The log captured into a file at the given levels (every level unless told) for the object's lifetime; a
// test that failed shows it.
class LogFile {
 public:
  explicit LogFile(int levels = static_cast<int>(0xFFFF0000u | LEVEL_MASK)) {
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    saved_level_ = g_log_block.level.load();
    char tmpl[] = "/tmp/ostrel-test-log-XXXXXX";
    close(mkstemp(tmpl));
    path_ = tmpl;
    EXPECT_EQ(OpenLog(path_), 1);
    g_log_block.level = levels;
  }
  ~LogFile() {
    g_log_block.level = saved_level_;
    OpenLog("");
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "--- log\n%s---\n", text().c_str());
    unlink(path_.c_str());
  }
  std::string text() const {
    std::ifstream f(path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  size_t count(const std::string& needle) const {
    const std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }
  bool has(const std::string& needle) const { return count(needle) > 0; }

 private:
  std::string path_;
  int saved_out_ = -1, saved_err_ = -1, saved_level_ = 0;
};

// An RTP packet: version 2, PCMU, the sequence number, the SSRC, and a payload of `tag` repeated.
inline std::string Rtp(uint16_t seq, uint32_t ssrc, char tag, size_t payload = 160) {
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);
  p[2] = static_cast<char>(seq >> 8);
  p[3] = static_cast<char>(seq);
  for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  return p + std::string(payload, tag);
}

class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config.range_low = 40000;
    g_config.range_high = 40010;
    std::strcpy(g_config.private_ipaddr, "127.0.0.1");
    std::strcpy(g_config.intern_ipaddr, "127.0.0.1");
  }
  bool Logged(const std::string& text) const { return log_.has(text); }

  LogFile log_{LEVEL_ERROR | LEVEL_DEBUG};
};
