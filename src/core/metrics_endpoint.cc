// libmicrohttpd (Debian's libmicrohttpd12) serves the port: a small C library, maintained in Debian with its
// security fixes, whose own polling thread carries the connection limits, the per-address limit, the idle
// time-out and the per-connection memory bound this listener needs against hostile clients.
#include "core/metrics_endpoint.h"

#include <microhttpd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "foundation/log.h"

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kNotFound[] = "Not Found\n";
int g_first_call = 0;  // its address marks a request whose first call was seen

// The library's own complaints (a refused connection, a request too large): debug lines, never stderr.
void LibraryLog(void*, const char* fmt, va_list ap) {
  char text[256];
  std::vsnprintf(text, sizeof text, fmt, ap);
  Log("metrics", LEVEL_DEBUG, "%s%s", text,
      text[0] != '\0' && text[std::strlen(text) - 1] == '\n' ? "" : "\n");
}

MHD_Result Queue(MHD_Connection* connection, unsigned status, const std::string& body) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  if (status == MHD_HTTP_OK) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kContentType);
  const MHD_Result rc = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return rc;
}

MHD_Result Answer(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t* upload_size, void** state) {
  // The first call only announces the headers; a body, if any, arrives in the next ones and is dropped.
  if (*state == nullptr) {
    *state = &g_first_call;
    return MHD_YES;
  }
  if (*upload_size != 0) {
    *upload_size = 0;
    return MHD_YES;
  }
  if (std::strcmp(method, "GET") != 0 || std::strcmp(url, "/metrics") != 0)
    return Queue(connection, MHD_HTTP_NOT_FOUND, kNotFound);
  return Queue(connection, MHD_HTTP_OK, static_cast<const MetricsEndpoint*>(self)->Scrape());
}

}  // namespace

bool MetricsEndpoint::Start(const InetAddress& addr, Body body, std::string& error) {
  if (daemon_ != nullptr) return true;
  body_ = std::move(body);
  sockaddr_in where = addr;
  // epoll, not select: the relay's descriptors (media sockets) run far past select's 1024.
  const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
  errno = 0;
  daemon_ = MHD_start_daemon(flags, addr.Port(), nullptr, nullptr, &Answer, this, MHD_OPTION_SOCK_ADDR,
                             &where, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),
                             MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnectionsPerIp),
                             MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kTimeoutSeconds),
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(kConnectionMemory),
                             MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_EXTERNAL_LOGGER, &LibraryLog,
                             nullptr, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    error = errno != 0 ? std::strerror(errno) : "cannot start the HTTP listener";
    return false;
  }
  return true;
}

void MetricsEndpoint::Stop() {
  if (daemon_ == nullptr) return;
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

int MetricsEndpoint::Port() const {
  if (daemon_ == nullptr) return 0;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  return info != nullptr ? info->port : 0;
}
