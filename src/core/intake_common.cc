#include "core/intake_common.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/core.h"
#include "core/metrics.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/log_gate.h"
#include "foundation/log_rate.h"
#include "foundation/name_resolver.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"

namespace intake {

namespace {
// The part of a message that does not parse shown in its log line (its first line, cut).
constexpr size_t kShownBytes = 200;

// A datagram kept while a name it needs is looked up.
struct Parked {
  std::string data;
  InetAddress from;
  int waits;
  void (*again)(Datagram&);
};

// Hands kept datagrams back to their intake on the reactor: a resolver thread adds them and arms a timer
// that fires at once.
class ParkedDatagrams : public TimerCB {
 public:
  void Add(std::shared_ptr<Parked> p) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ready_.push_back(std::move(p));
    }
    if (PollReactor* r = PollReactor::Instance()) r->SetTimer(this, 0, nullptr);
  }
  void OnTimer(const void*) override {
    std::vector<std::shared_ptr<Parked>> ready;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ready.swap(ready_);
    }
    for (const auto& p : ready) {
      Datagram d{p->data.data(), p->data.size(), p->from, p->waits};
      p->again(d);
    }
  }

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<Parked>> ready_;
};

ParkedDatagrams& Parking() {
  static ParkedDatagrams parking;
  return parking;
}

}  // namespace

bool NamesKnown(const Datagram& d, const SipMessage& msg, void (*again)(Datagram&)) {
  std::vector<std::string> names;
  auto add = [&](const SipUri& uri) {
    const std::string& host = uri.Host();
    in_addr literal{};
    // Literal addresses (IPv6 ones too, which no IPv4 lookup would answer) need no lookup.
    if (host.empty() || host[0] == '[' || inet_pton(AF_INET, host.c_str(), &literal) == 1) return;
    if (names.size() < static_cast<size_t>(kNamesPerMessage) &&
        std::find(names.begin(), names.end(), host) == names.end())
      names.push_back(host);
  };
  add(msg.URI());
  for (const HeaderLine* l = msg.Header(SipHeaders::HID_ROUTE); l != nullptr; l = l->Next())
    if (auto* route = dynamic_cast<const RouteHeader*>(l)) add(*route);
  if (names.empty()) return true;
  NameResolver& resolver = NameResolver::Instance();
  const std::string* pending = nullptr;
  for (const std::string& name : names)
    if (resolver.Lookup(name, d.from.Ip()).state == NameResolver::State::PENDING) pending = &name;
  if (pending == nullptr || d.waits >= kNamesPerMessage) return true;
  auto parked = std::make_shared<Parked>(Parked{std::string(d.data, d.len), d.from, d.waits + 1, again});
  if (resolver.Park(*pending, d.from.Ip(), [parked] { Parking().Add(parked); })) {
    Log("ostrel", LEVEL_DEBUG, "Waiting for the name %s (%s)\n", pending->c_str(), d.from.Text().c_str());
    return false;
  }
  if (resolver.Cached(*pending).state == NameResolver::State::PENDING)
    Log("ostrel", LEVEL_DEBUG, "Too many messages waiting for names (%s) - not resolved: %s\n",
        d.from.Text().c_str(), pending->c_str());
  return true;
}

bool IsKeepAlive(const Datagram& d) {
  if (d.len == 0 || d.data[0] == '\0') return true;
  if (d.len == 4 && std::memcmp(d.data, "jaK", 4) == 0) return true;
  for (size_t i = 0; i < d.len; ++i) {
    const char c = d.data[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

uint64_t OrderingKey(const SipMessage& msg) {
  auto* callid = msg.Header<CallIdHeader>(SipHeaders::HID_CALL_ID);
  if (callid == nullptr || callid->Value().empty()) return 0;
  const uint64_t hash = std::hash<std::string_view>{}(callid->Value());
  return hash != 0 ? hash : 1;
}

std::unique_ptr<SipMessage> Parse(const Datagram& d, const char* mark) {
  auto msg = std::make_unique<SipMessage>();
  if (msg->Parse(d.data, d.len)) {
    if (d.waits == 0) metrics::CountMessage(*msg);  // not again when it comes back from a name lookup
    return msg;
  }
  g_dos.Report(d.from, DosCore::DOS_L, 0);
  // The faults the parser reported go into this line rather than a summary of their own.
  std::string faults;
  if (FaultTally* tally = FaultTally::Current(); tally != nullptr && tally->Count() != 0) {
    faults = tally->First() + " [" + std::to_string(tally->Count()) +
             (tally->Count() == 1 ? " fault]\n" : " faults]\n");
    tally->clear();
  }
  // One line per message and few a second: a flood of garbage must not become a flood of log. The whole
  // text only at the full level.
  if (!LogWanted(LEVEL_ERROR, 0) || !g_fault_lines.Admit()) return nullptr;
  std::string shown = LogWanted(LEVEL_FULL, 0) ? std::string(d.data) : FirstLine(d.data);
  if (!shown.empty() && shown.back() == '\r') shown.pop_back();
  if (shown.size() > kShownBytes) shown.resize(kShownBytes);
  Log("", LEVEL_ERROR, "%s %s\tBAD Parse\n%s\n%s", mark, d.from.Text().c_str(), shown.c_str(),
      faults.c_str());
  return nullptr;
}

void LogReceived(const Datagram& d, const char* mark, int threshold, int extra) {
  const bool full = LogWanted(extra | LEVEL_FULL, threshold);
  const bool brief = LogWanted(extra | LEVEL_SHORT, threshold);
  if (!full && !brief) return;
  const std::string from = d.from.Text();
  if (full) Log("", extra | LEVEL_FULL, threshold, "%s %s\n%s\n", mark, from.c_str(), d.data);
  if (brief)
    Log("", extra | LEVEL_SHORT, threshold, "%s %s\n%s\n", mark, from.c_str(), FirstLine(d.data).c_str());
}

void DestroyIfDone(ObjectGuard<Dialog>& d) {
  if (d && d->State() == DialogState::COMPLETE && !d->IsCall() && !d->Lingers()) g_core.Destroy(std::move(d));
}

std::string FirstLine(const char* text) {
  const char* lf = std::strchr(text, '\n');
  return lf ? std::string(text, static_cast<size_t>(lf - text)) : std::string(text);
}

DropTally g_stranger_requests("Requests on the internal port from a non-server address");
DropTally g_foreign_retransmissions("Retransmissions from another address than their request's");

void DropTally::Count(const InetAddress& from) {
  total_.fetch_add(1, std::memory_order_relaxed);
  unlogged_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t now = PollReactor::NowMs();
  uint64_t last = logged_ms_.load(std::memory_order_relaxed);
  if (last != 0 && now - last < 1000) return;
  if (!logged_ms_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  const uint64_t n = unlogged_.exchange(0, std::memory_order_relaxed);
  Log("ostrel", LEVEL_ERROR, "Warning: %s: %llu dropped (last from %s)\n", what_,
      static_cast<unsigned long long>(n), from.Text().c_str());
}

}  // namespace intake
