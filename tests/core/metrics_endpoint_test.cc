// The metrics listener on its own thread: concurrent scrapes over loopback get the body the callback builds
// at that moment, anything else gets 404, and Stop joins the thread (run under ThreadSanitizer). Also the
// escaping of label values, which the daemon's own constant labels never exercise.
#include "core/metrics_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/metrics_text.h"

namespace {

std::string Get(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

TEST(MetricsEndpoint, ServesScrapesFromItsThreadAndStops) {
  std::atomic<int> scrapes{0};
  MetricsEndpoint endpoint;
  std::string error;
  ASSERT_TRUE(endpoint.Start(
      InetAddress(0, "127.0.0.1"), [&] { return "ostrel_test " + std::to_string(++scrapes) + "\n"; }, error))
      << error;
  const int port = endpoint.Port();
  ASSERT_GT(port, 0);

  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      const std::string a = Get(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
      if (a.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && a.find("version=0.0.4") != std::string::npos &&
          a.find("\r\n\r\nostrel_test ") != std::string::npos)
        ++ok;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok.load(), 4);
  EXPECT_EQ(scrapes.load(), 4);

  for (const char* request :
       {"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
        "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
        "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"}) {
    EXPECT_EQ(Get(port, request).rfind("HTTP/1.1 404 ", 0), 0u) << request;
  }
  EXPECT_EQ(scrapes.load(), 4);

  endpoint.Stop();
  EXPECT_EQ(endpoint.Port(), 0);
  EXPECT_EQ(Get(port, "GET /metrics HTTP/1.1\r\n\r\n"), "");
}

TEST(MetricsText, LabelValuesAreEscaped) {
  EXPECT_EQ(metrics::EscapeLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  metrics::Snapshot s;
  s.version = "1.0 \"x\"";
  EXPECT_NE(metrics::Text(s).find("ostrel_build_info{version=\"1.0 \\\"x\\\"\"} 1\n"), std::string::npos);
}

}  // namespace
