// EventsPort: event texts sent to the collector, records to and from the HA peer, the statistics slot.
#include "core/events_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "config/config.h"
#include "core/core.h"
#include "core/metrics.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/event_text.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/uri.h"

EventsPort g_events_port;

namespace {

InetAddress Collector() {
  ReadGuard guard(g_config.lock);  // events_collector is re-read while workers send
  return g_config.evnts;
}

std::string StatLogPath() {
  ReadGuard guard(g_config.lock);
  return g_config.stat_log;
}

// host:port of a contact URI as the client wrote it.
std::string ContactHostPort(const std::string& contact) {
  SipUri uri;
  if (!uri.Parse(contact, true)) return {};
  return uri.Host() + ":" + std::to_string(uri.Port() != 0 ? uri.Port() : 5060);
}

}  // namespace

void StatisticsBlock::reset() {
  methods.clear();
  bounces.clear();
  bad_events.clear();
  attackers.clear();
}

void EventsPort::CountBadEvent(const std::string& event) {
  std::string name = event.substr(0, kBadEventNameLength);
  MutexGuard guard(stats_);
  std::map<std::string, unsigned>& counts = stats_.bad_events;
  if (counts.count(name) == 0 && counts.size() - counts.count(kOtherBadEvents) >= kBadEventNames)
    name = kOtherBadEvents;
  ++counts[name];
}

void EventsPort::Start(const std::string& myip, int main_port) {
  self_ = events::SelfLine(myip, main_port);
  started_ = time(nullptr);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  boot_ = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  peer_window_.OwnBoot(boot_);
}

void EventsPort::SendEvent(const std::string& text) {
  const InetAddress to = Collector();
  if (to.Port() == 0 || g_core.IsSlave()) return;
  const std::string datagram = text + self_;
  Log("oevent", LEVEL_DEBUG, "%s\n", datagram.c_str());
  if (sendto(datagram.data(), datagram.size(), to, 0) >= 0) TrafficOf(SipPortKind::EVENTS).Sent();
}

void EventsPort::EventOstrelStop() { SendEvent(events::StopText()); }

void EventsPort::EventOstrelActive(unsigned regs, unsigned dialogs, unsigned calls, unsigned full,
                                   const std::string& extra) {
  WriteStatLog(regs, calls);
  events::ActiveEvent e;
  e.started = static_cast<long>(started_);
  e.regs = regs;
  e.dialogs = dialogs;
  e.calls = calls;
  e.full = full;
  e.extra = extra;
  SendEvent(events::ActiveText(e));
}

void EventsPort::WriteStatLog(unsigned regs, unsigned calls) {
  const std::string path = StatLogPath();
  if (path.empty()) return;
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const std::string line = events::StatLogLine(local.tm_hour, local.tm_min, local.tm_sec, regs, calls);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd < 0) return;
  if (::write(fd, line.data(), line.size()) < 0)
    Log("ostrel", LEVEL_ERROR, "Cannot write StatLog file: %s\n", path.c_str());
  ::close(fd);
}

void EventsPort::EventRegistration(int what, const Registration& reg, const std::string& agent,
                                   unsigned ext_port, const std::string& addrs) {
  if (Collector().Port() == 0) return;
  events::RegistrationEvent e;
  e.registered = what != 0;
  e.domain = reg.Domain();
  e.user = reg.User();
  e.ncont = reg.NewContact();
  e.callid = reg.CallID();
  e.agent = agent;
  events::RegistrationAddresses(addrs, ContactHostPort(reg.OldContact()), reg.Hole().IpText(), ext_port,
                                e.int_ip, e.ext_ip);
  SendEvent(events::RegistrationText(e));
}

void EventsPort::EventReason(const RegisterDialog& d, const std::string& reason) {
  if (Collector().Port() == 0) return;
  events::FailEvent e;
  e.domain = d.Domain();
  const SipMessage* msg = d.GetMessage();
  if (auto* to = msg != nullptr ? msg->Header<ToHeader>(SipHeaders::HID_TO) : nullptr) e.user = to->User();
  if (auto* id = msg != nullptr ? msg->Header<CallIdHeader>(SipHeaders::HID_CALL_ID) : nullptr)
    e.callid = id->Value();
  e.agent = d.UAgent();
  if (!d.OldContact().empty() && d.OldContact() != "*") e.int_ip = ContactHostPort(d.OldContact());
  e.ext_ip = d.From().IpText() + ":" + std::to_string(d.ExternalSourcePort());
  e.reason = reason;
  SendEvent(events::FailText(e));
}

void EventsPort::EventCall(int ev, const Call& call, const std::string& extra) {
  {
    MutexGuard guard(domains_lock_);
    if (ev == Call::E_DTOR)
      domains_.erase(call.Number());
    else
      domains_[call.Number()] = call.Domain();
  }
  if (Collector().Port() == 0) return;
  events::CallEvent e;
  e.type = ev;
  e.uniq = call.Number();
  e.domain = call.Domain();
  e.extra = extra;
  e.fmode = FullModeLetter(call.FullReason());
  if ((ev == Call::E_BYE || ev == Call::E_DTOR) && call.WasAnchored()) {
    e.client_media = call.Relay().ClientQuality().Text();
    e.server_media = call.Relay().ServerQuality().Text();
  }
  if (ev == Call::E_INVITE) {
    const SipMessage* msg = call.GetMessage();
    e.from_client = call.CurrentDirection() != Dialog::FROM_SERVER;
    auto* from = msg != nullptr ? msg->Header<FromHeader>(SipHeaders::HID_FROM) : nullptr;
    if (from != nullptr) {
      e.from = from->User();
      if (!e.from_client && from->Host() != call.Domain()) e.from += "@" + from->Host();
    }
    if (e.from_client && msg != nullptr && msg->IsRequest()) {
      e.to = msg->URI().User();
      if (msg->URI().Host() != call.Domain()) e.to += "@" + msg->URI().Host();
    } else if (!e.from_client) {
      e.to = call.OldContact();
    }
  }
  const std::string text = events::CallText(e);
  if (!text.empty()) SendEvent(text);
}

void EventsPort::EventMedia(unsigned uniq, int ev, const std::string& source) {
  if (Collector().Port() == 0) return;
  events::CallEvent e;
  e.type = ev;
  e.uniq = uniq;
  e.extra = source;
  {
    MutexGuard guard(domains_lock_);
    auto it = domains_.find(uniq);
    if (it != domains_.end()) e.domain = it->second;
  }
  const std::string text = events::CallText(e);
  if (!text.empty()) SendEvent(text);
}

void EventsPort::EventBlock(bool on, uint32_t ip, int port) { SendEvent(events::BlockText(on, ip, port)); }

void EventsPort::EventDdos(bool on) { SendEvent(events::DdosText(on)); }

void EventsPort::EventStatSlot(long slot) {
  events::StatEvent e;
  QueueStats& q = g_core.Stats();
  e.max_queue = q.max_queue.exchange(0);
  e.max_threads = q.max_workers.exchange(0);
  e.ext_done = q.ext_done.exchange(0);
  e.ext_longest = q.ext_longest_ms.exchange(0);
  e.int_done = q.int_done.exchange(0);
  e.int_longest = q.int_longest_ms.exchange(0);
  {
    MutexGuard guard(stats_);
    e.methods.swap(stats_.methods);
    e.bounces.swap(stats_.bounces);
    e.bad_events.swap(stats_.bad_events);
    e.dos.swap(stats_.attackers);
  }
  (void)slot;
  SendEvent(events::StatText(e));
}

bool EventsPort::HasPeer() const {
  return g_config.ha_peer.Port() != 0 && !ha_stopped_.load(std::memory_order_acquire);
}

void EventsPort::SendRecord(const std::string& record) {
  if (!HasPeer()) return;
  const std::string& secret = g_config.ha_secret;  // start-up only
  std::string datagram = secret.empty() ? record : ha::Seal(record, secret, {boot_, sent_.fetch_add(1) + 1});
  switch (ha::CheckOutgoing(record, datagram.size() - record.size())) {
    case ha::Unsendable::NONE:
      break;
    case ha::Unsendable::SEPARATOR:
      ha_unsent_.fetch_add(1, std::memory_order_relaxed);
      Log("oslave", LEVEL_ERROR, "Error: HA record not sent, a field holds '|' or a line end: %.200s\n",
          record.c_str());
      return;
    case ha::Unsendable::TOO_LONG:
      ha_unsent_.fetch_add(1, std::memory_order_relaxed);
      Log("oslave", LEVEL_ERROR, "Error: HA record not sent, %zu bytes are more than %zu: %.200s\n",
          datagram.size(), ha::kMaxRecord, record.c_str());
      return;
  }
  Log("oslave", LEVEL_TRACE, "Send to peer: %s\n", datagram.c_str());
  if (sendto(datagram.data(), datagram.size(), g_config.ha_peer, 0) < 0) return;
  TrafficOf(SipPortKind::EVENTS).Sent();
  metrics::Bump(metrics::g_counts.ha_sent);
}

void EventsPort::HaRequest() { SendRecord(ha::FormatRequest()); }

void EventsPort::HaRegister(const Registration& reg) {
  if (!HasPeer()) return;
  SendRecord(ha::FormatRegistration(RegistrationRecordOf(reg)));
}

ha::RegistrationRecord RegistrationRecordOf(const Registration& reg) {
  ha::RegistrationRecord r;
  r.ncont = reg.NewContact();
  r.ocont = reg.OldContact();
  r.callid = reg.CallID();
  r.defects = reg.DeviceDefects();
  r.user_domain = reg.User() + "@" + reg.Domain();
  r.full_user = reg.FUser();
  r.hole = reg.Hole();
  r.expires_in = static_cast<long>(reg.Expiration() - time(nullptr));
  r.reg_tm = reg.RegistrationTime();
  r.log_level = reg.LogLevel();
  r.flags = (reg.FullDomain() ? ha::FULL_DOMAIN : 0) | (reg.PublicIP() ? ha::PUBLIC_IP : 0) |
            (reg.Indirect() ? ha::INDIRECT : 0) | (reg.SRTP() ? ha::SRTP_ALLOWED : 0) |
            (reg.Persistent() ? ha::PERSISTENT : 0) | (reg.Transcoding() ? ha::TRANSCODING : 0) |
            (reg.DoubleNat() ? ha::DOUBLE_NAT : 0) | (reg.Chained() ? ha::CHAINED : 0);
  r.to_tag = reg.ToTag();
  if (reg.ExtraUnregister()) r.unreg_server = reg.ServerSipAddress();
  r.nat_type = reg.Mode();
  r.exp_rtp_ip = reg.ExpectedRtpIP();
  return r;
}

void EventsPort::HaUnregister(const Registration& reg) {
  if (g_core.IsSlave()) return;
  SendRecord(ha::FormatUnregistration(reg.NewContact()));
}

void EventsPort::HaCallStart(const Call& call) {
  if (!HasPeer() || !call.WithinDialog()) return;
  SendRecord(ha::FormatCall(call.Replica()));
}

void EventsPort::HaCallStop(const Call& call) {
  if (call.OriginalKey().empty()) return;
  SendRecord(ha::FormatCallEnd(call.Key()));
}

void EventsPort::OnInput(int) {
  char buf[ha::kMaxRecord + 2];
  InetAddress from;
  const ssize_t n = recvfrom(buf, sizeof buf, from, 0);
  if (n <= 0) return;
  TrafficOf(SipPortKind::EVENTS).Received();
  const std::string_view text(buf, static_cast<size_t>(n));
  if (from != g_config.ha_peer) {
    foreign_.fetch_add(1, std::memory_order_relaxed);
    Log("oslave", LEVEL_ERROR, "Warning: HA record from %s is not from the peer - ignored\n",
        from.Text().c_str());
    g_dos.Report(from, DosCore::DOS_L, 0);
    return;
  }
  std::string shown(text);
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  Log("oslave", LEVEL_DEBUG, "%s\n", shown.c_str());
  std::string_view record = text;
  if (const std::string& secret = g_config.ha_secret; !secret.empty()) {
    ha::Sequence seq;
    const auto body = ha::Unseal(text, secret, seq);
    if (!body) return RefuseRecord(ha_forged_, "without a valid MAC");
    switch (peer_window_.Check(seq)) {
      case ha::ReplayWindow::ACCEPTED:
        break;
      case ha::ReplayWindow::REPLAYED:
        return RefuseRecord(ha_replayed_, "replayed");
      case ha::ReplayWindow::OLD_BOOT:
        return RefuseRecord(ha_replayed_, "from an earlier start of the peer");
      case ha::ReplayWindow::OWN:
        return RefuseRecord(ha_replayed_, "of our own");
    }
    record = *body;
  }
  if (auto parsed = ha::Parse(record)) {
    metrics::Bump(metrics::g_counts.ha_received);
    ha::Apply(*parsed);
  }
}

void EventsPort::RefuseRecord(std::atomic<uint64_t>& counter, const char* why) {
  counter.fetch_add(1, std::memory_order_relaxed);
  const time_t now = time(nullptr);
  if (now == refused_logged_) {
    ++refused_unlogged_;
    return;
  }
  Log("oslave", LEVEL_ERROR,
      "Warning: HA record %s - dropped (%llu not logged since the last line; without a valid MAC %llu, "
      "replayed %llu)\n",
      why, static_cast<unsigned long long>(refused_unlogged_),
      static_cast<unsigned long long>(ha_forged_.load(std::memory_order_relaxed)),
      static_cast<unsigned long long>(ha_replayed_.load(std::memory_order_relaxed)));
  refused_logged_ = now;
  refused_unlogged_ = 0;
}

// One report per 16-second slot, sent by the first message processed in a new slot.
void OstrelCore::AfterItem() {
  ApplyOwnKeys();
  const long slot = static_cast<long>(time(nullptr) >> 4);
  long last = statistics_slot_.load(std::memory_order_acquire);
  if (last == slot || !statistics_slot_.compare_exchange_strong(last, slot, std::memory_order_acq_rel))
    return;
  g_events_port.EventStatSlot(slot);
}
