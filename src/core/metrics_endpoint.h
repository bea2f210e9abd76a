// MetricsEndpoint: the HTTP listener of the `metrics` keyword. It answers GET /metrics with the text a
// callback builds and everything else with 404, on libmicrohttpd's own polling thread, so a slow or hostile
// client of this port never holds up the reactor, the readers, the workers or the media threads.
// Start and Stop: the main thread; the body callback runs on the listener's thread.
#pragma once

#include <functional>
#include <string>

#include "foundation/inet_addr.h"

struct MHD_Daemon;

class MetricsEndpoint {
 public:
  // Bounds on what clients may hold; a scraper needs one connection and a few hundred bytes of request.
  static constexpr unsigned kMaxConnections = 256;
  static constexpr unsigned kMaxConnectionsPerIp = 8;
  static constexpr unsigned kTimeoutSeconds = 5;  // a connection idle this long is closed
  // The request line and headers; more is answered 414 or 431, or the connection closed.
  static constexpr size_t kConnectionMemory = 16 * 1024;

  using Body = std::function<std::string()>;

  MetricsEndpoint() = default;
  ~MetricsEndpoint() { Stop(); }
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Listens on addr (its port 0: a free port, see Port()); false with errno-like text in error.
  bool Start(const InetAddress& addr, Body body, std::string& error);
  // Closes the listener and joins its thread; a scrape in progress finishes first.
  void Stop();
  // The port listened on, or 0.
  int Port() const;
  // The listener's thread: the text of one scrape.
  std::string Scrape() const { return body_(); }

 private:
  MHD_Daemon* daemon_ = nullptr;
  Body body_;
};
