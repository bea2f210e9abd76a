// Shared set-up of the media socket tests: a UDP peer on a loopback address, the log captured into a file,
// and the port range and side addresses of the configuration.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "foundation/inet_addr.h"
#include "foundation/log.h"
#include "media/rtp_port.h"

// A phone or server media endpoint: one UDP socket on a literal loopback address.
class UdpPeer {
 public:
  explicit UdpPeer(const char* where) : addr_(where) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(bind(fd_, addr_.SocketAddress(), sizeof(sockaddr_in)), 0) << where;
    Timeout(2000);
  }
  ~UdpPeer() { close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  const InetAddress& addr() const { return addr_; }
  void Timeout(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  void SendTo(const std::string& bytes, int port, const char* ip = "127.0.0.1") {
    InetAddress to(static_cast<unsigned short>(port), ip);
    ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, to.SocketAddress(), sizeof(sockaddr_in)),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next datagram; empty after the time-out.
  std::string Receive(InetAddress* from = nullptr) {
    char buf[4096];
    InetAddress src;
    socklen_t len = sizeof(sockaddr_in);
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, src.SocketAddress(), &len);
    if (from) *from = src;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  InetAddress addr_;
  int fd_;
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
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    char path[] = "/tmp/ostrel-media-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    log_path_ = path;
    ASSERT_EQ(OpenLog(log_path_), 1);
    saved_level_ = g_log_block.level.load();
    g_log_block.level = LEVEL_ERROR | LEVEL_DEBUG;
    g_config.range_low = 40000;
    g_config.range_high = 40010;
    std::strcpy(g_config.private_ipaddr, "127.0.0.1");
    std::strcpy(g_config.intern_ipaddr, "127.0.0.1");
    RtpPort::ResetPortSearch();
  }
  void TearDown() override {
    g_log_block.level = saved_level_;
    OpenLog("");
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    if (HasFailure()) std::fprintf(stderr, "--- log\n%s---\n", LogText().c_str());
    std::remove(log_path_.c_str());
  }
  std::string LogText() const {
    std::ifstream f(log_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

 private:
  int saved_out_ = -1;
  int saved_err_ = -1;
  int saved_level_ = 0;
  std::string log_path_;
};
