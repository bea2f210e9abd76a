// EvntPort_t: event texts sent to the collector, records to and from the HA peer, the statistics slot.
#include "core/events_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "config/config.h"
#include "core/core.h"
#include "dialogs/call.h"
#include "dialogs/reg_dialog.h"
#include "sip/headers/string.h"
#include "dialogs/registration.h"
#include "dos/dos_core.h"
#include "foundation/log.h"
#include "ports/event_text.h"
#include "sip/headers/route.h"
#include "sip/uri.h"

EvntPort_t EvntPort;

namespace {

InetAddr Collector() {
  Read_Guard_Mutex guard(Cfg.Lock);  // events_collector is re-read while workers send
  return Cfg.evnts;
}

std::string StatLogPath() {
  Read_Guard_Mutex guard(Cfg.Lock);
  return Cfg.StatLog;
}

// host:port of a contact URI as the client wrote it.
std::string ContactHostPort(const std::string& contact) {
  SIP_URI uri;
  if (!uri.parser(contact, true)) return {};
  return uri.Host() + ":" + std::to_string(uri.Port() != 0 ? uri.Port() : 5060);
}

}  // namespace

void StatBlock_t::reset() {
  Methods.clear();
  Bounces.clear();
  BadEvents.clear();
  Attakers.clear();
}

void EvntPort_t::Start(const std::string& myip, int main_port) {
  self_m = events::SelfLine(myip, main_port);
  started_m = time(nullptr);
}

void EvntPort_t::send_event(const std::string& text) {
  const InetAddr to = Collector();
  if (to.Port() == 0 || Core.IsSlave()) return;
  const std::string datagram = text + self_m;
  Log("oevent", LOG_DEBUG, "%s\n", datagram.c_str());
  sendto(datagram.data(), datagram.size(), to, 0);
}

void EvntPort_t::event_ostrel_stop() { send_event(events::StopText()); }

void EvntPort_t::event_ostrel_active(unsigned regs, unsigned dialogs, unsigned calls, unsigned full,
                                     const std::string& extra) {
  WriteStatLog(regs, calls);
  events::ActiveEvent e;
  e.started = static_cast<long>(started_m);
  e.regs = regs;
  e.dialogs = dialogs;
  e.calls = calls;
  e.full = full;
  e.extra = extra;
  send_event(events::ActiveText(e));
}

void EvntPort_t::WriteStatLog(unsigned regs, unsigned calls) {
  const std::string path = StatLogPath();
  if (path.empty()) return;
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const std::string line = events::StatLogLine(local.tm_hour, local.tm_min, local.tm_sec, regs, calls);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd < 0) return;
  if (::write(fd, line.data(), line.size()) < 0) Log("ostrel", LOG_ERROR, "Cannot write StatLog file: %s\n", path.c_str());
  ::close(fd);
}

void EvntPort_t::event_reg(int what, const Register_t& reg, const std::string& agent, unsigned ext_port,
                           const std::string& addrs) {
  if (Collector().Port() == 0) return;
  events::RegEvent e;
  e.registered = what != 0;
  e.domain = reg.Domain();
  e.user = reg.Usr();
  e.ncont = reg.NCont();
  e.callid = reg.CallID();
  e.agent = agent;
  events::RegAddresses(addrs, ContactHostPort(reg.OCont()), reg.Hole().IpStr(), ext_port, e.int_ip, e.ext_ip);
  send_event(events::RegText(e));
}

void EvntPort_t::event_reason(const RegDialog_t& d, const std::string& reason) {
  if (Collector().Port() == 0) return;
  events::FailEvent e;
  e.domain = d.Domain();
  const SIP* msg = d.GetMSG();
  if (auto* to = msg != nullptr ? msg->Header<SIP_Head_To>(SIP_Header::HID_To) : nullptr) e.user = to->User();
  if (auto* id = msg != nullptr ? msg->Header<SIP_Head_Call_ID>(SIP_Header::HID_Call_ID) : nullptr) e.callid = id->Value();
  e.agent = d.UAgent();
  if (!d.OrgContact().empty() && d.OrgContact() != "*") e.int_ip = ContactHostPort(d.OrgContact());
  e.ext_ip = d.From().IpStr() + ":" + std::to_string(d.ExtSPort());
  e.reason = reason;
  send_event(events::FailText(e));
}

void EvntPort_t::event_call(int ev, const Call_t& call, const std::string& extra) {
  {
    Guard_Mutex guard(domains_lock_m);
    if (ev == Call_t::E_DTOR)
      domains_m.erase(call.UniqNo());
    else
      domains_m[call.UniqNo()] = call.Domain();
  }
  if (Collector().Port() == 0) return;
  events::CallEvent e;
  e.type = ev;
  e.uniq = call.UniqNo();
  e.domain = call.Domain();
  e.extra = extra;
  e.fmode = call.FullReason();
  if (ev == Call_t::E_INVITE) {
    const SIP* msg = call.GetMSG();
    e.from_client = call.Direction() != Dialog_t::FROM_SRV;
    auto* from = msg != nullptr ? msg->Header<SIP_Head_From>(SIP_Header::HID_From) : nullptr;
    if (from != nullptr) {
      e.from = from->User();
      if (!e.from_client && from->Host() != call.Domain()) e.from += "@" + from->Host();
    }
    if (e.from_client && msg != nullptr && msg->IS_Request()) {
      e.to = msg->URI().User();
      if (msg->URI().Host() != call.Domain()) e.to += "@" + msg->URI().Host();
    } else if (!e.from_client) {
      e.to = call.OrgContact();
    }
  }
  const std::string text = events::CallText(e);
  if (!text.empty()) send_event(text);
}

void EvntPort_t::event_media(unsigned uniq, int ev, const std::string& source) {
  if (Collector().Port() == 0) return;
  events::CallEvent e;
  e.type = ev;
  e.uniq = uniq;
  e.extra = source;
  {
    Guard_Mutex guard(domains_lock_m);
    auto it = domains_m.find(uniq);
    if (it != domains_m.end()) e.domain = it->second;
  }
  const std::string text = events::CallText(e);
  if (!text.empty()) send_event(text);
}

void EvntPort_t::event_block(bool on, uint32_t ip, int port) { send_event(events::BlockText(on, ip, port)); }

void EvntPort_t::event_ddos(bool on) { send_event(events::DdosText(on)); }

void EvntPort_t::event_stat_slot(long slot) {
  events::StatEvent e;
  QueueStats& q = Core.Stats();
  e.max_queue = q.max_queue.exchange(0);
  e.max_threads = q.max_workers.exchange(0);
  e.ext_done = q.ext_done.exchange(0);
  e.ext_longest = q.ext_longest_ms.exchange(0);
  e.int_done = q.int_done.exchange(0);
  e.int_longest = q.int_longest_ms.exchange(0);
  {
    Guard_Mutex guard(Stats);
    e.methods.swap(Stats.Methods);
    e.bounces.swap(Stats.Bounces);
    e.bad_events.swap(Stats.BadEvents);
    e.dos.swap(Stats.Attakers);
  }
  (void)slot;
  send_event(events::StatText(e));
}

bool EvntPort_t::HasPeer() const {
  return Cfg.ha_peer.Port() != 0 && !ha_stopped_m.load(std::memory_order_acquire);
}

void EvntPort_t::SendRecord(const std::string& record) {
  if (!HasPeer()) return;
  Log("oslave", LOG_TRACE, "Send to peer: %s\n", record.c_str());
  sendto(record.data(), record.size(), Cfg.ha_peer, 0);
}

void EvntPort_t::ha_Request() { SendRecord(ha::FormatRequest()); }

void EvntPort_t::ha_Reg(const Register_t& reg) {
  if (!HasPeer()) return;
  ha::RegRecord r;
  r.ncont = reg.NCont();
  r.ocont = reg.OCont();
  r.callid = reg.CallID();
  r.defect = reg.Defect();
  r.user_domain = reg.Usr() + "@" + reg.Domain();
  r.fuser = reg.FUser();
  r.hole = reg.Hole();
  r.expires_in = static_cast<long>(reg.Expiration() - time(nullptr));
  r.reg_tm = reg.RegTm();
  r.log_level = reg.LogLevel();
  r.flags = (reg.FDomain() ? ha::kFDomain : 0) | (reg.PublicIP() ? ha::kPubl : 0) | (reg.Indirect() ? ha::kIndr : 0) |
            (reg.SRTP() ? ha::kRSRTP : 0) | (reg.Prsn() ? ha::kPrsn : 0) | (reg.Trnsc() ? ha::kTrnsc : 0) |
            (reg.DDNAT() ? ha::kDDNAT : 0) | (reg.Chained() ? ha::kChain : 0);
  r.to_tag = reg.TTag();
  if (reg.XUnReg()) r.unreg_server = reg.SrvSipAddr();
  r.nat_type = reg.Mode();
  r.exp_rtp_ip = reg.ExpRtpIP();
  SendRecord(ha::FormatReg(r));
}

void EvntPort_t::ha_UnReg(const Register_t& reg) {
  if (Core.IsSlave()) return;
  SendRecord(ha::FormatUnReg(reg.NCont()));
}

void EvntPort_t::ha_CallStart(const Call_t& call) {
  if (!HasPeer() || !call.WithinDlg()) return;
  SendRecord(ha::FormatCall(call.Replica()));
}

void EvntPort_t::ha_CallStop(const Call_t& call) {
  if (call.OKey().empty()) return;
  SendRecord(ha::FormatCallEnd(call.Key()));
}

void EvntPort_t::input_cb(int) {
  char buf[ha::kMaxRecord + 2];
  InetAddr from;
  const ssize_t n = recvfrom(buf, sizeof buf, from, 0);
  if (n <= 0) return;
  const std::string_view text(buf, static_cast<size_t>(n));
  if (from != Cfg.ha_peer) {
    Foreign.fetch_add(1, std::memory_order_relaxed);
    Log("oslave", LOG_ERROR, "Warning: HA record from %s is not from the peer - ignored\n", from.Str().c_str());
    DCore.report(from, DOSCore::DOS_L, 0);
    return;
  }
  std::string shown(text);
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  Log("oslave", LOG_DEBUG, "%s\n", shown.c_str());
  if (auto record = ha::Parse(text)) ha::Apply(*record);
}

// One report per 16-second slot, sent by the first message processed in a new slot.
void OstrelCore::AfterItem() {
  const long slot = static_cast<long>(time(nullptr) >> 4);
  long last = StatSlot_m.load(std::memory_order_acquire);
  if (last == slot || !StatSlot_m.compare_exchange_strong(last, slot, std::memory_order_acq_rel)) return;
  EvntPort.event_stat_slot(slot);
}
