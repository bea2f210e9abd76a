// Domain, user, subnet and trust policy: the handlers of their keywords and the queries over them.
#include "config/domain_policy.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/config.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "sip/message.h"

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

// The options a lower-cased domain word switches on; false when the word is no option.
bool ApplyDomainOption(const std::string& word, DomainOptions& entry) {
  if (word == "srv") {
    entry.srv = true;
  } else if (word == "extsrv") {
    entry.srv = entry.extsrv = true;
  } else if (word == "sru") {
    entry.sru = true;
  } else if (word == "full") {
    entry.full = true;
  } else if (word == "prsn") {
    entry.prsn = true;
  } else if (word == "trns") {
    entry.full = entry.trns = true;
  } else if (word == "smtr") {
    entry.smtr = true;
  } else if (word == "rstr") {
    entry.rstr = true;
  } else if (word == "xunr") {
    entry.xunr = true;
  } else if (word == "srtp") {
    entry.full = entry.srtp = true;
  } else if (word == "pcnt") {
    entry.pcnt = true;
  } else if (word == "xck") {
    entry.xck = true;
  } else {
    return false;
  }
  return true;
}

// A white list that cannot be read, or holds no network, admits nobody: an invalid entry keeps the
// list non-empty (so it is enforced) while matching no address.
bool AddWhiteList(const std::string& path, DomainOptions& entry) {
  std::vector<Network> list;
  if (!ReadWhitelist(path.c_str(), list)) {
    entry.whitelist.push_back(Network());
    return false;
  }
  if (list.empty()) {
    Log("ostrel", 0, "White-List file: '%s' holds no network: domain '%s' admits nobody\n", path.c_str(),
        entry.host.c_str());
    entry.whitelist.push_back(Network());
    return true;
  }
  entry.whitelist.insert(entry.whitelist.end(), list.begin(), list.end());
  return true;
}

}  // namespace

// A wildcard matches the domain itself and its subdomains, at a "." boundary only: "*example.com" must not
// admit "badexample.com", a stranger's domain.
bool DomainOptions::Matches(const std::string& domain) const {
  if (!ast) return domain == host;
  const bool tail =
      domain.size() >= host.size() && domain.compare(domain.size() - host.size(), host.size(), host) == 0;
  const bool boundary = domain.size() == host.size() || (!host.empty() && host[0] == '.') ||
                        (tail && domain[domain.size() - host.size() - 1] == '.');
  bool match = tail && boundary;
  Log("ostrel", LEVEL_TRACE, "Cmp: *%s <==%zd==> %s  (%s)", host.c_str(), host.size(), domain.c_str(),
      match ? "T" : "F");
  return match;
}

bool Settings::ReadDomain(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  DomainOptions entry;
  entry.host = words[0];
  if (!entry.host.empty() && entry.host[0] == '*') {
    entry.ast = true;
    entry.host.erase(0, 1);
  }
  ToLower(entry.host);
  bool ok = true;
  for (size_t i = 1; i < words.size(); ++i) {
    std::string word = words[i];
    if (StartsWithNoCase(word, "whitelist:")) {
      ok = AddWhiteList(word.substr(10), entry) && ok;
      continue;
    }
    ToLower(word);
    if (ApplyDomainOption(word, entry)) continue;
    if (word.compare(0, 4, "sip:") == 0) {
      entry.sbst = word;
      continue;
    }
    int mask = 0;
    if (ParseLogWords(word, mask)) {
      entry.loglvl |= mask;
    } else {
      ok = false;
    }
  }
  if (!entry.srv) entry.sru = false;
  domains.push_back(std::move(entry));
  return ok;
}

bool Settings::ReadServer(std::string& value) { return AddHardServer(value, servers); }

bool Settings::ReadFullUser(std::string& value) {
  std::vector<std::string> words = Split(ToLower(value), '\0');
  if (words.size() < 2) return false;
  UserOptions user;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "full") {
      user.full = true;
    } else if (word == "block") {
      user.block = true;
    } else if (word == "lb") {
      user.lb = true;
    } else if (word == "trns") {
      user.full = user.trns = true;
    } else {
      int mask = 0;
      if (!ParseLogWords(word, mask)) return false;
      user.loglvl |= mask;
    }
  }
  full_users.emplace(words[0], user);
  return true;
}

bool Settings::ReadTrusted(std::string& value) {
  in_addr addr{};
  // Text that is no dotted address is refused too, instead of trusting whatever it would parse to.
  if (inet_pton(AF_INET, value.c_str(), &addr) != 1 || addr.s_addr == 0) return false;
  trusted_sources.insert(ntohl(addr.s_addr));
  return true;
}

bool Settings::ReadRestrictForward(std::string& value) {
  restrict_forward = ToLower(value);
  return true;
}

bool Settings::ReadSubnet(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  if (words.size() < 2) return false;
  Network net = ParseSubnet(words[0]);
  if (!net.IsValid()) return false;
  SubnetRule subnet;
  subnet.net = net.net;
  subnet.mask = net.mask;
  subnet.tm = std::atoi(words[1].c_str());
  if (subnet.tm < 1) return false;
  subnet.tm = std::max(subnet.tm, 10);
  bool have_pool = false;
  bool have_type = false;
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (strcasecmp(word.c_str(), "LBC") == 0) {
      subnet.lbc = true;
    } else if (StartsWithNoCase(word, "Defect:")) {
      subnet.dfct = Defects::FromLetters(word.substr(7));
    } else if (std::atoi(word.c_str()) != 0) {
      if (have_pool) return false;
      subnet.pool = std::atoi(word.c_str());
      have_pool = true;
    } else {
      if (have_type) return false;
      if (!NatType::ParseConfigured(word, subnet.mode)) {
        Log("ostrel", 0, "Incorrect FWType\n");
        return false;
      }
      have_type = true;
    }
  }
  subnets.push_back(std::move(subnet));
  return true;
}

bool Settings::ReadSubscribeEvent(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  bool drop = words.size() > 1 && strcasecmp(words[1].c_str(), "drop") == 0;
  subscribe_events.emplace(words[0], drop);
  return true;
}

std::vector<DomainOptions>::iterator Config::FindDomain(const std::string& domain) {
  return std::find_if(domains.begin(), domains.end(),
                      [&](const DomainOptions& d) { return d.Matches(domain); });
}

void Config::ForceKeepContactDomain(const std::string& domain) {
  WriteGuard guard(lock, MutexGuard::DO_LOCK);
  auto found = FindDomain(domain);
  if (found == domains.end()) return;
  found->pcnt = true;
  Log("ostrel", LEVEL_DEBUG, "Force Domain: '%s' to set PCNT\n", domain.c_str());
}

bool Config::CheckUser(const std::string& user, UserOptions& out) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  auto found = full_users.find(user);
  if (found == full_users.end()) return false;
  out = found->second;
  return true;
}

int Config::CheckEvent(const std::string& event) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  if (subscribe_events.empty()) return 1;
  auto found = subscribe_events.find(event);
  if (found == subscribe_events.end()) return -1;
  return found->second ? 0 : 1;
}

bool Config::IsTrusted(uint32_t ip) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  return trusted_sources.count(ip) != 0;
}

bool Config::IsServerSource(uint32_t ip) const {
  {
    ReadGuard guard(lock, MutexGuard::DO_LOCK);
    if (servers.addresses.count(ip) != 0 || trusted_sources.count(ip) != 0) return true;
  }
  return g_server_sources.Knows(ip, time(nullptr));
}

bool Config::IsDosWLists(uint32_t ip) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  return InNetworks(dos_whitelist, ip);
}

int Config::GetSubscribeTimeout(uint32_t ip, NatType::Mode& mode, bool* lbc, Defects* dfct) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  for (const SubnetRule& subnet : subnets) {
    if (!subnet.Contains(ip)) continue;
    mode = subnet.mode;
    if (lbc != nullptr) *lbc = *lbc || subnet.lbc;
    if (dfct != nullptr) dfct->Append(subnet.dfct);
    return subnet.tm;
  }
  return register_timeout;
}

bool Config::CompareAddresses(uint32_t ip1, uint32_t ip2, int* pool) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  auto pool_of = [&](uint32_t ip) {
    for (const SubnetRule& subnet : subnets) {
      if (subnet.Contains(ip)) return subnet.pool;
    }
    return -1;  // in no subnet
  };
  int pool1 = pool_of(ip1);
  if (pool1 >= 0 && pool != nullptr) *pool = pool1;
  if (ip1 == ip2) return true;
  return pool1 > 0 && pool_of(ip2) == pool1;
}

namespace {

// A literal address among the configured servers' or the learnt ones. The caller holds Lock for reading.
bool IsServerAddressText(const std::string& host, const ServerTable& servers) {
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return false;
  const uint32_t ip = ntohl(addr.s_addr);
  return servers.addresses.count(ip) != 0 || g_server_sources.Knows(ip, time(nullptr));
}

std::string DomainOf(const SipMessage& msg) {
  std::string domain = msg.Address();
  domain = domain.substr(0, domain.find(':'));
  return ToLower(domain);
}

}  // namespace

bool Config::CheckDomain(SipMessage& msg, const InetAddress& src, const Defects& defects,
                         DomainOptions& out) {
  out.checked = true;
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  if (domains.empty()) return true;
  const std::string domain = DomainOf(msg);
  auto bounce = [&](int code, const std::string& reason) {
    if (hooks.bounce) hooks.bounce(msg, code, reason, src);
  };
  const char* quiet = quiet_mode ? " - Stay quiet" : "";
  auto known = FindDomain(domain);
  if (known != domains.end()) {
    out = *known;
    out.checked = true;
    if (out.xck && trusted_sources.count(src.Ip()) == 0) msg.Remove(std::string_view("X-COOKIE"));
    if (!out.Admits(src.Ip())) {
      Log("ostrel", LEVEL_DEBUG, "Note: Not in WhiteList for domain: '%s'%s\n", domain.c_str(), quiet);
      if (hooks.report_offence) hooks.report_offence(src);
      if (!quiet_mode) bounce(403, "Forbidden.");
      return false;
    }
  } else {
    // A BYE passes the check as any request does: otherwise a stranger's BYE would make the relay send to
    // any host it names. Only a BYE to a server's own address goes on: the end of a call the relay has
    // forgotten (a restart, a take-over) still reaches the server that holds it.
    if (trusted_sources.count(src.Ip()) == 0 && !(msg.IsBye() && IsServerAddressText(domain, servers))) {
      Log("ostrel", LEVEL_DEBUG, "Note: Restricted domain: '%s'%s\n", domain.c_str(), quiet);
      if (hooks.report_offence) hooks.report_offence(src);
      if (!quiet_mode) bounce(404, "Not Found");
      return false;
    }
    const char* lb = msg.Header(std::string_view("X-LB"));
    if (msg.IsInvite() && lb != nullptr && *lb != '\0') {
      std::string value = lb;
      msg.Remove(std::string_view("X-LB"));
      ToLower(value);
      std::vector<std::string> parts = Split(value, ';');
      if (!parts.empty()) out.xhsts = parts[0];
      for (size_t i = 1; i < parts.size(); ++i)
        if (parts[i] == "sru") out.sru = true;
      out.srv = out.full = out.smtr = true;
      out.prsn = false;
    }
  }
  if (out.rstr && !defects.Has(Defect::RESTRICTED_DOMAIN_ADMITTED)) {
    if (!restrict_forward.empty()) {
      msg.Convert(305, "Use Proxy");
      msg.Remove(SipHeaders::HID_ROUTE);
      msg.Remove(SipHeaders::HID_CONTACT);
      msg.push_back(SipHeaders::HID_CONTACT, restrict_forward);
      msg.Set(SipHeaders::HID_SERVER, agent_name);
      if (hooks.send_to_client) hooks.send_to_client(msg, src);
    } else {
      bounce(603, "Decline/Invalid Agent");
    }
    return false;
  }
  if (!out.sbst.empty()) {
    SipUri uri;
    if (uri.Parse(out.sbst, true)) {
      uri.User(msg.URI().User());
      msg.URI() = uri;
      msg.Remove(SipHeaders::HID_ROUTE);
    }
  }
  return true;
}
