#include "resolve/srv.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <resolv.h>

#include <algorithm>
#include <span>

#include "config/config.h"
#include "foundation/locks.h"
#include "foundation/log.h"
#include "resolve/candidates.h"
#include "resolve/dns_answer.h"

namespace {

constexpr char kLogTag[] = "QUTLS";
constexpr size_t kAnswerBufferSize = 4096;

std::vector<ServerRecord> ConfiguredServersLocked(const std::string& domain, const ServerTable& servers) {
  ReadGuard guard(g_config.lock);
  return ConfiguredServers(domain, servers);
}

// Asks DNS for the SRV records of `name` and appends them, ordered, to `out`. False when the query or the
// answer failed (logged).
bool QuerySrv(const std::string& name, std::vector<ServerRecord>& out) {
  unsigned char answer[kAnswerBufferSize];
  h_errno = 0;
  const int length = res_query(name.c_str(), ns_c_in, ns_t_srv, answer, sizeof answer);
  if (length < 0) {
    // The resolver's own status tells a name without records from a failed lookup; errno need not.
    if (h_errno == HOST_NOT_FOUND || h_errno == NO_DATA) {
      Log(kLogTag, LEVEL_DEBUG | LEVEL_CORE, "No SRV records found for: %s\n", name.c_str());
    } else {
      Log(kLogTag, LEVEL_ERROR | LEVEL_CORE, "Error 1 in SRV Lookup\n");
    }
    return false;
  }
  // A reply larger than the buffer is reported with its full length but only the buffer holds it.
  const size_t usable = std::min(static_cast<size_t>(length), sizeof answer);
  std::vector<ServerRecord> records;
  switch (ParseSrvAnswer(std::span<const uint8_t>(answer, usable), records)) {
    case SrvAnswerResult::BAD_QUESTION:
      Log(kLogTag, LEVEL_ERROR | LEVEL_CORE, "Error 2 in SRV Lookup\n");
      return false;
    case SrvAnswerResult::BAD_OWNER:
      Log(kLogTag, LEVEL_ERROR | LEVEL_CORE, "Error 3 in SRV Lookup\n");
      return false;
    case SrvAnswerResult::OK:
      break;
  }
  OrderByWeight(records);
  out.insert(out.end(), records.begin(), records.end());
  return true;
}

}  // namespace

bool ResolveSrv(const std::string& domain, const std::string& prefix, std::vector<ServerRecord>& out,
                const ServerTable* servers, const std::string& xhsts) {
  std::vector<ServerRecord> found;
  if (!xhsts.empty()) {
    found = HostListServers(xhsts);
  } else {
    if (servers != nullptr) found = ConfiguredServersLocked(domain, *servers);
    if (found.empty() && !QuerySrv(prefix + domain, found)) return false;
  }
  out.insert(out.end(), found.begin(), found.end());
  std::stable_sort(out.begin(), out.end());
  return !out.empty();
}
