#include "dos/dos_core.h"

#include <algorithm>
#include <string>

#include "foundation/log.h"

DosCore g_dos;

namespace {
const void* const kShieldArg = reinterpret_cast<const void*>(~uintptr_t{0});
const void* SerialArg(uint64_t serial) { return reinterpret_cast<const void*>(static_cast<uintptr_t>(serial)); }
}  // namespace

DosCore::~DosCore() {
  if (PollReactor* r = reactor()) {
    r->CancelTimer(DOS_Recur_TmId);
    r->CancelTimer(DDOS_TmId);
    WriteGuard guard(BL_Lock);
    for (auto& [ip, ports] : BL_BMap)
      for (auto& [port, block] : ports) r->CancelTimer(block->TimerID);
  }
}

void DosCore::DosReset() {
  const DosSettings s = hooks_.settings ? hooks_.settings() : DosSettings{};
  if (saved_level_m >= DL_LOCAL || s.DOSMode >= DL_LOCAL) Log("ostrel", LEVEL_DEBUG, "Reseting all DOS States ...\n");
  PollReactor* r = reactor();
  {
    MutexGuard guard(DOS_Lock);
    settings_ = s;
    DOS_Array.clear();
    DOS_Currnt = -1;
    if (s.NumInterv >= 1 && s.Interval >= 1) {
      DOS_Array.resize(static_cast<size_t>(s.NumInterv));
      DOS_Currnt = 0;
    }
    ddos_ = 0;
    if (r) r->CancelTimer(DDOS_TmId);
    DDOS_TmId = PollReactor::kNoTimer;
  }
  level_ = s.DOSMode;
  max_messages_per_second_ = s.MaxMPS;
  block_time_rate_ = s.BlockTimeMps;
  if (r) r->CancelTimer(DOS_Recur_TmId);
  DOS_Recur_TmId = PollReactor::kNoTimer;
  {
    WriteGuard guard(BL_Lock);
    for (auto& [ip, ports] : BL_BMap)
      for (auto& [port, block] : ports)
        if (r) r->CancelTimer(block->TimerID);
    BL_BMap.clear();
  }
  // Without intervals there is nothing to roll over: no timer (and no ring to divide by).
  if (r && DOS_Currnt >= 0 && s.DOSMode != DL_OFF)
    DOS_Recur_TmId = r->SetTimer(this, s.Interval * 1000, nullptr, s.Interval * 1000);
  if (s.DOSMode == DL_SYSFW) {
    saved_level_m = DL_SYSFW;
    FirewallStart(s.fw);
  } else if (saved_level_m == DL_SYSFW) {
    saved_level_m = DL_OFF;
    FirewallStop(s.fw);
  }
}

void DosCore::report(const InetAddress& src, DosMark kind, unsigned uniq, unsigned count_in) {
  if (count_in == 0) return;
  const uint32_t ip = src.IpAddr();
  const int port = src.Port();
  // The white list is consulted before DOS_Lock, so the configuration lock never nests inside it.
  const bool protect = whitelisted(ip);
  const std::string tag = uniq ? std::to_string(uniq) : std::string("ostrel");
  bool reached = false, log_shield = false;
  int block_port = 0, block_time = 0, dd_time = 0;
  size_t lite = 0, heavy = 0, rtp = 0;
  {
    MutexGuard guard(DOS_Lock);
    if (DOS_Currnt < 0) return;
    if (count_in == 1)
      Log(tag.c_str(), protect ? LEVEL_TRACE : LEVEL_DEBUG, "Report %c suspect: %s%s\n", static_cast<char>(kind),
          src.Str().c_str(), protect ? " - Protected" : "");
    else
      Log(tag.c_str(), protect ? LEVEL_TRACE : LEVEL_DEBUG, "Report %c suspect: %s%s (%u times)\n",
          static_cast<char>(kind), src.Str().c_str(), protect ? " - Protected" : "", count_in);
    if (protect) return;
    Slot& slot = DOS_Array[static_cast<size_t>(DOS_Currnt)];
    auto it = slot.try_emplace(ip).first;
    DosSingle& t = it->second;
    t.MergePort(port);
    int* counter;
    int threshold;
    if (kind == DOS_L) {
      counter = &t.CountM;
      threshold = settings_.LThreshold1;
    } else if (kind == DOS_H) {
      counter = &t.CountS;
      threshold = settings_.HThreshold1;
    } else {
      counter = &t.CountR;
      threshold = settings_.RThreshold1;
    }
    const int before = *counter;
    *counter += static_cast<int>(count_in);
    // One report reaches the threshold when the count equals it; a batch when it crosses it.
    if (before < threshold && *counter >= threshold) {
      reached = true;
      block_port = t.Port;  // copied before the tally goes
      block_time = settings_.BlockTime1;
      slot.erase(it);
    }
    const size_t D = settings_.DDthreshold;
    const int shield = ddos_.load();
    if (shield <= 0 && D != 0 && slot.size() >= D) {
      log_shield = shield == 0;
      ddos_ = -1;
      for (const auto& [a, s] : slot) {
        lite += s.CountM > 0;
        heavy += s.CountS > 0;
        rtp += s.CountR > 0;
      }
      if (heavy >= D) {
        log_shield = true;
        ddos_ = 1;
        dd_time = settings_.DDBlockTime;
        if (PollReactor* r = reactor()) DDOS_TmId = r->SetTimer(this, dd_time * 1000, kShieldArg);
        if (hooks_.event_ddos) hooks_.event_ddos(true);
      }
    }
  }
  if (log_shield) {
    Log(">>>==>", LEVEL_ALWAYS, "!!! DDOS - Lite:%zd  Heavy:%zd  RTP:%zd\n", lite, heavy, rtp);
    if (ddos_.load() > 0)
      Log(">>>==>", LEVEL_ALWAYS, "!!! DDOS Shield is ON for %d sec\n", dd_time);
    else
      Log("ostrel", LEVEL_ALWAYS, "!!! DDOS Shield is still Off yet");
  }
  if (reached) RunSystemBlock(ip, block_port, block_time);
  if (hooks_.count_report)
    for (unsigned i = 0; i < count_in; ++i) hooks_.count_report(static_cast<char>(kind));
}

void DosCore::CheckMPS(const InetAddress& src) {
  const unsigned limit = max_messages_per_second_.load(std::memory_order_relaxed);
  if (limit == 0) return;
  bool exceeded = false;
  const time_t now = time(nullptr);
  MpsLock.lock();
  if (now != MpsTm) {
    MpsMap.clear();
    MpsTm = now;
  }
  uint32_t& count = MpsMap[src.key().b];
  if (++count > limit) {
    count = 0;
    exceeded = true;
  }
  MpsLock.unlock();
  if (!exceeded || whitelisted(src.IpAddr())) return;
  Log(">>>==>", LEVEL_ALWAYS, "Source: %s exceed MPS Limit: %u\n", src.Str().c_str(), limit);
  RunSystemBlock(src.IpAddr(), src.Port(), block_time_rate_.load());
}

bool DosCore::IsBlocked(uint32_t ip, int port) const {
  ReadGuard guard(BL_Lock);
  auto it = BL_BMap.find(ip);
  if (it == BL_BMap.end()) return false;
  return it->second.count(port) > 0 || it->second.count(0) > 0;
}

size_t DosCore::BlockCount() const {
  ReadGuard guard(BL_Lock);
  size_t n = 0;
  for (const auto& [ip, ports] : BL_BMap) n += ports.size();
  return n;
}

void DosCore::RunSystemBlock(uint32_t ip, int port, int seconds) {
  const int level = level_.load();
  if (ip == 0 || level == DL_OFF) return;
  const std::string addr = InetAddress::IpStr(ip);
  if (level == DL_LOG) {
    Log("ostrel", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, " (LogOnly)");
    return;
  }
  Log(">>>==>", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, "");
  {
    WriteGuard guard(BL_Lock);
    auto& ports = BL_BMap[ip];
    if (ports.count(port)) {
      guard.unlock();
      Log(">>>==>", LEVEL_ALWAYS, "Warning: Block timer was not set!");
      return;
    }
    auto block = std::make_unique<DosBlocked>(DosBlocked{port, ip, next_serial_m++});
    // The timer carries the block's serial, never its address: a reset may free the record meanwhile.
    if (PollReactor* r = reactor()) block->TimerID = r->SetTimer(this, seconds * 1000, SerialArg(block->Serial));
    ports.emplace(port, std::move(block));
  }
  if (level == DL_SYSFW) {
    FirewallCommands fw;
    {
      MutexGuard guard(DOS_Lock);
      fw = settings_.fw;
    }
    FirewallBlock(fw, ip, port);
  }
  if (hooks_.event_block) hooks_.event_block(true, ip, port);
}

void DosCore::timer_cb(const void* arg) {
  if (arg == nullptr) return IntervalEnd();
  if (arg == kShieldArg) return DdosEnd();
  BlockExpired(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(arg)));
}

void DosCore::IntervalEnd() {
  std::unordered_map<uint32_t, DosSingle> summary;
  DosSettings s;
  int current;
  {
    MutexGuard guard(DOS_Lock);
    if (DOS_Currnt < 0 || DOS_Array.empty()) return;
    s = settings_;
    for (const Slot& slot : DOS_Array) {
      for (const auto& [ip, t] : slot) {
        DosSingle& sum = summary[ip];
        sum.MergePort(t.Port);
        sum.CountM += t.CountM;
        sum.CountS += t.CountS;
        sum.CountR += t.CountR;
      }
    }
    DOS_Currnt = (DOS_Currnt + 1) % static_cast<int>(DOS_Array.size());
    DOS_Array[static_cast<size_t>(DOS_Currnt)].clear();
    if (ddos_.load() == -1) ddos_ = 0;
    current = DOS_Currnt;
  }
  Log("ostrel", LEVEL_TRACE, "dos timeout, Current element: %ld\n", static_cast<long>(current));
  for (const auto& [ip, t] : summary) {
    if (t.CountM >= s.LThresholdN || t.CountS >= s.HThresholdN || t.CountR >= s.RThresholdN) {
      if (!whitelisted(ip)) RunSystemBlock(ip, t.Port, s.BlockTimeN);
    }
  }
}

void DosCore::DdosEnd() {
  {
    MutexGuard guard(DOS_Lock);
    DDOS_TmId = PollReactor::kNoTimer;
    ddos_ = 0;
  }
  Log("ostrel", LEVEL_ALWAYS, "!!! DDOS Shield is OFF now\n");
  if (hooks_.event_ddos) hooks_.event_ddos(false);
}

void DosCore::BlockExpired(uint64_t serial) {
  uint32_t ip = 0;
  int port = 0;
  bool removed = false;
  {
    WriteGuard guard(BL_Lock);
    // Stop at the match: erasing the address entry invalidates the outer iterator.
    for (auto a = BL_BMap.begin(); a != BL_BMap.end(); ++a) {
      auto& ports = a->second;
      auto p = std::find_if(ports.begin(), ports.end(), [&](const auto& e) { return e.second->Serial == serial; });
      if (p == ports.end()) continue;
      ip = a->first;
      port = p->first;
      ports.erase(p);
      if (ports.empty()) BL_BMap.erase(a);
      removed = true;
      break;
    }
  }
  if (!removed) return;  // cleared by a reset meanwhile
  Log("ostrel", LEVEL_ALWAYS, "Remove Block for %s:%d \n", InetAddress::IpStr(ip).c_str(), port);
  if (level_.load() == DL_SYSFW) {
    FirewallCommands fw;
    {
      MutexGuard guard(DOS_Lock);
      fw = settings_.fw;
    }
    FirewallUnblock(fw, ip, port);
  }
  if (hooks_.event_block) hooks_.event_block(false, ip, port);
}
