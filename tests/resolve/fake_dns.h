// A DNS server of the test's own on 127.0.0.53:53, answering from a table of replies by query name, so
// that resolution tests never reach a real server. Its thread starts and stops with the object; the
// table and counters may be used from any thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "resolve/dns_answer.h"
#include "resolve/dns_message.h"

class FakeDns {
 public:
  static constexpr char kAddress[] = "127.0.0.53";
  static constexpr uint16_t kRcodeServFail = 2;
  static constexpr uint16_t kRcodeNxDomain = 3;

  // Builds the reply to a query: gets a reply header and question echoing the query's.
  using Responder = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& query)>;

  FakeDns() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(53);
    inet_pton(AF_INET, kAddress, &addr.sin_addr);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (bound_) thread_ = std::thread([this] { Serve(); });
  }
  ~FakeDns() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  FakeDns(const FakeDns&) = delete;
  FakeDns& operator=(const FakeDns&) = delete;

  bool Bound() const { return bound_; }

  void Answer(const std::string& name, Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responders_[name] = std::move(responder);
  }
  // Answers `name` with SRV records (priority, weight, port, target).
  struct Srv {
    uint16_t priority, weight, port;
    std::string target;
  };
  void AnswerSrv(const std::string& name, std::vector<Srv> records) {
    Answer(name, [records](const std::vector<uint8_t>& query) {
      DnsMessage reply = ReplyTo(query, 0, static_cast<uint16_t>(records.size()));
      for (const Srv& r : records) reply.Srv(r.priority, r.weight, r.port, r.target);
      return reply.bytes();
    });
  }

  int Queries(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(name);
    return it == counts_.end() ? 0 : it->second;
  }
  int TotalQueries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& [name, count] : counts_) total += count;
    return total;
  }

  // Header (the query's id, response bit, rcode, one question, `answers`) and the query's question.
  static DnsMessage ReplyTo(const std::vector<uint8_t>& query, uint16_t rcode, uint16_t answers) {
    DnsMessage reply;
    reply.Header(1, answers, static_cast<uint16_t>(query[0] << 8 | query[1]), rcode);
    std::string name;
    size_t consumed = 0;
    ExpandDnsName(query, 12, name, consumed);
    return reply.Raw(std::vector<uint8_t>(query.begin() + 12, query.begin() + 12 + consumed + 4));
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      std::vector<uint8_t> query(512);
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      ssize_t n = recvfrom(fd_, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 12) continue;
      query.resize(static_cast<size_t>(n));
      std::string name;
      size_t consumed = 0;
      if (!ExpandDnsName(query, 12, name, consumed) || 12 + consumed + 4 > query.size()) continue;
      std::vector<uint8_t> reply = Reply(name, query);
      sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }

  std::vector<uint8_t> Reply(const std::string& name, const std::vector<uint8_t>& query) {
    Responder responder;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_[name];
      auto it = responders_.find(name);
      if (it != responders_.end()) responder = it->second;
    }
    if (responder) return responder(query);
    return ReplyTo(query, kRcodeNxDomain, 0).bytes();
  }

  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<std::string, Responder> responders_;
  std::map<std::string, int> counts_;
};
