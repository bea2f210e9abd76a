#include "foundation/log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/inet_addr.h"
#include "foundation/log_gate.h"
#include "foundation/log_rate.h"
#include "foundation/text.h"

AppLogBlock g_log_block;
std::atomic<ParseErrorLogFn> g_parse_error_log{&ParseErrorToStderr};

namespace {

constexpr size_t kLineBuf = 10240;
constexpr char kSizeWarning[] = "\n\n!!!Log file Size close to the limit. Stop writing to the log!!!\n";
constexpr int kSeverity[8] = {2, 3, 5, 4, 7, 3, 6, 3};

std::atomic<bool> g_size_warned{false};
std::string g_open_name;  // reactor thread only

std::mutex g_host_mutex;
std::string g_log_host;

std::string LogHost() {
  std::lock_guard<std::mutex> lock(g_host_mutex);
  if (g_log_host.empty()) {
    char buf[256] = {0};
    gethostname(buf, sizeof buf - 1);
    if (char* dot = std::strchr(buf, '.')) *dot = '\0';
    g_log_host = buf;
  }
  return g_log_host;
}

// Builds the line in buf and writes it; level only chooses the decorations here, filtering is done.
void WriteLine(const char* tag, int level, const char* fmt, va_list ap) {
  struct stat st;
  if (fstat(1, &st) != 0) return;
  timeval tv;
  gettimeofday(&tv, nullptr);
  char buf[kLineBuf];
  size_t len = 0;
  auto append = [&](const char* text) {
    size_t n = std::strlen(text);
    if (n > kLineBuf - 2 - len) n = kLineBuf - 2 - len;
    std::memcpy(buf + len, text, n);
    len += n;
  };
  const bool message_dump = (level & (LEVEL_SHORT | LEVEL_FULL)) != 0;
  if (S_ISSOCK(st.st_mode)) {
    time_t secs = tv.tv_sec;
    char ct[32] = {0};
    ctime_r(&secs, ct);
    len = std::snprintf(buf, kLineBuf,
                        "<%d>%.15s %s %s[%d]:", g_log_block.syslog_facility.load() + kSeverity[level & 7],
                        ct + 4, LogHost().c_str(), g_log_block.app_name.load(), static_cast<int>(getpid()));
    if (message_dump) append("\n");
  } else {
    if (!S_ISCHR(st.st_mode)) {
      if (st.st_size >= g_log_block.size_limit.load()) {
        if (!g_size_warned.exchange(true)) {
          ssize_t rc = write(1, kSizeWarning, sizeof kSizeWarning - 1);
          (void)rc;
        }
        return;
      }
      g_size_warned.store(false);
    }
    if (message_dump) append("\n");
  }
  if (tag != nullptr) {
    if (*tag == '\0') {
      append("\n");
      tag = " SIP ";
    }
    struct tm lt;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &lt);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "] %02u:%02u:%02u.%06u ", lt.tm_hour, lt.tm_min, lt.tm_sec,
                  static_cast<unsigned>(tv.tv_usec));
    append("[");
    append(tag);
    append(stamp);
  }
  size_t room = kLineBuf - 2 - len;
  int n = std::vsnprintf(buf + len, room + 1, fmt, ap);
  if (n <= 0) return;
  len += (static_cast<size_t>(n) > room) ? room : static_cast<size_t>(n);
  if (buf[len - 1] != '\n') buf[len++] = '\n';
  ssize_t rc = write(1, buf, len);
  (void)rc;
}

}  // namespace

void LogVar(const char* tag, int level, const char* fmt, va_list ap) {
  if (!LogPasses(level, g_log_block.level.load(std::memory_order_relaxed))) return;
  WriteLine(tag, level, fmt, ap);
}

void Log(const char* tag, int level, const char* fmt, ...) {
  if (!LogPasses(level, g_log_block.level.load(std::memory_order_relaxed))) return;
  va_list ap;
  va_start(ap, fmt);
  WriteLine(tag, level, fmt, ap);
  va_end(ap);
}

void Log(int number, int level, const char* fmt, ...) {
  if (!LogPasses(level, g_log_block.level.load(std::memory_order_relaxed))) return;
  char tag[16];
  std::snprintf(tag, sizeof tag, "%u", static_cast<unsigned>(number));
  va_list ap;
  va_start(ap, fmt);
  WriteLine(tag, level, fmt, ap);
  va_end(ap);
}

namespace {
void DialogLog(const char* tag, int level, int threshold, const char* fmt, va_list ap) {
  int mask = threshold != 0 ? threshold : g_log_block.level.load(std::memory_order_relaxed);
  if (!LogPasses(level, mask)) return;
  WriteLine(tag, LEVEL_ALWAYS, fmt, ap);
}
}  // namespace

void Log(const char* tag, int level, int threshold, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  DialogLog(tag, level, threshold, fmt, ap);
  va_end(ap);
}

void Log(int number, int level, int threshold, const char* fmt, ...) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "%u", static_cast<unsigned>(number));
  va_list ap;
  va_start(ap, fmt);
  DialogLog(tag, level, threshold, fmt, ap);
  va_end(ap);
}

void ParseErrorToLog(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  // Inside a message's handling the faults become one summary line; elsewhere each is a rate-limited line.
  if (FaultTally::Take(text) || !g_fault_lines.Admit()) return;
  Log("_ERR_", LEVEL_ALWAYS, "%s", text);
}

void ParseErrorToStderr(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

int AppLogBlock::SetLimit(const std::string& text) {
  size_t i = 0;
  long long value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') value = value * 10 + (text[i++] - '0');
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || (text[i] >= '0' && text[i] <= '9'))) ++i;
  char mod = i < text.size() ? text[i] : '\0';
  int shift;
  switch (mod) {
    case 'k':
    case 'K':
      shift = 10;
      break;
    case 'm':
    case 'M':
      shift = 20;
      break;
    case 'g':
    case 'G':
      shift = 30;
      break;
    case 't':
    case 'T':
      shift = 40;
      break;
    default:
      Log("ostrel", LEVEL_ERROR, "Incorrect log limit modificator: '%c', Use: K, M, G, T\n", mod);
      return 0;
  }
  long long scaled = value << shift;
  size_limit = static_cast<off_t>(scaled - 16384 > 16384 ? scaled - 16384 : 16384);
  return 1;
}

int AppLogBlock::SetLevel(std::string& text) {
  if (text.empty()) return 1;
  ToLower(text);
  int bits = 0;
  for (const std::string& w : Split(text, '+')) {
    if (w == "error" || w == "log_error")
      bits |= LEVEL_ERROR;
    else if (w == "debug" || w == "log_debug")
      bits |= LEVEL_DEBUG;
    else if (w == "trace" || w == "log_trace")
      bits |= LEVEL_TRACE;
    else if (w == "short" || w == "log_short")
      bits |= LEVEL_SHORT;
    else if (w == "full" || w == "log_full")
      bits |= LEVEL_FULL;
    else {
      Log("ostrel", LEVEL_ERROR, "Incorrect log param: %s, Use: TRACE, DEBUG, ERROR, SHORT, FULL\n",
          w.c_str());
      return 0;
    }
  }
  if (bits & LEVEL_FULL) bits &= ~LEVEL_SHORT;
  if (bits & LEVEL_DEBUG) bits |= LEVEL_ERROR;
  level = static_cast<int>((static_cast<unsigned>(level.load()) & 0xFFFF0000u) | static_cast<unsigned>(bits));
  return 1;
}

int AppLogBlock::SetFacility(std::string& text) {
  static constexpr struct {
    const char* word;
    unsigned bit;
  } kComponents[] = {
      {"stack", 0x80000000u},   {"transport", 0x40000000u}, {"core", 0x20000000u},  {"plugin", 0x10000000u},
      {"db", 0x08000000u},      {"business", 0x04000000u},  {"media", 0x02000000u}, {"service", 0x01000000u},
      {"message", 0x00800000u}, {"utils", 0x00010000u},
  };
  ToLower(text);
  unsigned bits = 0;
  for (const std::string& w : Split(text, '+')) {
    unsigned bit = 0;
    for (const auto& c : kComponents) {
      if (w == c.word) bit = c.bit;
    }
    if (bit == 0) {
      Log("ostrel", LEVEL_ERROR,
          "Incorrect log facility: %s, Use: STACK, TRANSPORT, CORE, PLUGIN, DB, BUSINESS, MEDIA, SERVICE, "
          "MESSAGE, "
          "UTILS\n",
          w.c_str());
      return 0;
    }
    bits |= bit;
  }
  level = static_cast<int>((static_cast<unsigned>(level.load()) & 0xFFFFu) | bits);
  return 1;
}

int AppLogBlock::SetHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(g_host_mutex);
  g_log_host = host;
  return 1;
}

std::string AppLogBlock::GetHost() { return LogHost(); }

void AppLogBlock::SetAppName(const std::string& name) {
  // Readers may hold the previous pointer while they format a line: buffers are never freed, and a name is
  // stored once per distinct text, so the set stays as small as the names used (program, master, slave).
  static std::mutex names_mutex;
  static std::vector<std::unique_ptr<std::string>>* names = new std::vector<std::unique_ptr<std::string>>();
  std::lock_guard<std::mutex> lock(names_mutex);
  for (const auto& n : *names) {
    if (*n == name) {
      app_name = n->c_str();
      return;
    }
  }
  names->push_back(std::make_unique<std::string>(name));
  app_name = names->back()->c_str();
}

namespace {

// Points descriptors 1 and 2 at fd; fd itself is closed only when it is not one of them.
void InstallTarget(int fd) {
  if (fd != 1) dup2(fd, 1);
  if (fd != 2) dup2(fd, 2);
  if (fd > 2) close(fd);
}

int OpenSyslog(const std::string& name) {
  std::vector<std::string> words = Split(name, '\0');
  int facility = words.size() > 1 ? std::atoi(words[1].c_str()) : 0;
  g_log_block.syslog_facility = (facility >= 1 && facility <= 23) ? facility * 8 : 128;
  std::string receiver = "514";
  if (words.size() > 2) {
    receiver = words[2];
    if (receiver.find(':') == std::string::npos) receiver += ":514";
  }
  InetAddress to(receiver.c_str());
  if (to.sin_addr.s_addr == 0) to.Ip(INADDR_LOOPBACK);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (fd < 0) return 0;
  if (connect(fd, to.SocketAddress(), sizeof(sockaddr_in)) != 0) {
    close(fd);
    return 0;
  }
  InstallTarget(fd);
  return 1;
}

int OpenFile(const std::string& name) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0664);
  if (fd < 0) {
    Log("ostrel", LEVEL_ALWAYS, "ERROR: Can't open log file %s\n", name.c_str());
    return 0;
  }
  InstallTarget(fd);
  // The duplicates must survive exec of firewall helpers only as their stdout; keep them inheritable.
  return 1;
}

}  // namespace

int OpenLog(const std::string& name) {
  if (name == g_open_name) {
    if (name.empty() || name.rfind("syslog", 0) == 0) return 1;
    return OpenFile(name);
  }
  if (g_open_name.empty()) g_parse_error_log = &ParseErrorToLog;
  g_open_name = name;
  if (name.empty()) return 1;
  if (name.rfind("syslog", 0) == 0) return OpenSyslog(name);
  return OpenFile(name);
}
