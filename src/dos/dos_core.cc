#include "dos/dos_core.h"

#include <string>

#include "foundation/log.h"

DOSCore DCore;

namespace {
const void* const kShieldArg = reinterpret_cast<const void*>(~uintptr_t{0});
const void* serial_arg(uint64_t serial) { return reinterpret_cast<const void*>(static_cast<uintptr_t>(serial)); }
}  // namespace

DOSCore::~DOSCore() {
  if (PollReactor* r = reactor()) {
    r->timer_cancel(DOS_Recur_TmId);
    r->timer_cancel(DDOS_TmId);
    Write_Guard_Mutex guard(BL_Lock);
    for (auto& [ip, ports] : BL_BMap)
      for (auto& [port, block] : ports) r->timer_cancel(block->TimerID);
  }
}

void DOSCore::dos_reset() {
  const DosSettings s = hooks_m.settings ? hooks_m.settings() : DosSettings{};
  if (saved_level_m >= DL_LOCAL || s.DOSMode >= DL_LOCAL) Log("ostrel", LOG_DEBUG, "Reseting all DOS States ...\n");
  PollReactor* r = reactor();
  {
    Guard_Mutex guard(DOS_Lock);
    set_m = s;
    DOS_Array.clear();
    DOS_Currnt = -1;
    if (s.NumInterv >= 1 && s.Interval >= 1) {
      DOS_Array.resize(static_cast<size_t>(s.NumInterv));
      DOS_Currnt = 0;
    }
    DDOS_m = 0;
    if (r) r->timer_cancel(DDOS_TmId);
    DDOS_TmId = PollReactor::kNoTimer;
  }
  level_m = s.DOSMode;
  MaxMPS_m = s.MaxMPS;
  BlockTimeMps_m = s.BlockTimeMps;
  if (r) r->timer_cancel(DOS_Recur_TmId);
  DOS_Recur_TmId = PollReactor::kNoTimer;
  {
    Write_Guard_Mutex guard(BL_Lock);
    for (auto& [ip, ports] : BL_BMap)
      for (auto& [port, block] : ports)
        if (r) r->timer_cancel(block->TimerID);
    BL_BMap.clear();
  }
  // Without intervals there is nothing to roll over: no timer (and no ring to divide by).
  if (r && DOS_Currnt >= 0 && s.DOSMode != DL_OFF)
    DOS_Recur_TmId = r->timer_set(this, s.Interval * 1000, nullptr, s.Interval * 1000);
  if (s.DOSMode == DL_SYSFW) {
    saved_level_m = DL_SYSFW;
    FW_Start(s.fw);
  } else if (saved_level_m == DL_SYSFW) {
    saved_level_m = DL_OFF;
    FW_Stop(s.fw);
  }
}

void DOSCore::report(const InetAddr& src, DOS_t kind, unsigned uniq, unsigned count_in) {
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
    Guard_Mutex guard(DOS_Lock);
    if (DOS_Currnt < 0) return;
    if (count_in == 1)
      Log(tag.c_str(), protect ? LOG_TRACE : LOG_DEBUG, "Report %c suspect: %s%s\n", static_cast<char>(kind),
          src.Str().c_str(), protect ? " - Protected" : "");
    else
      Log(tag.c_str(), protect ? LOG_TRACE : LOG_DEBUG, "Report %c suspect: %s%s (%u times)\n",
          static_cast<char>(kind), src.Str().c_str(), protect ? " - Protected" : "", count_in);
    if (protect) return;
    Slot& slot = DOS_Array[static_cast<size_t>(DOS_Currnt)];
    auto it = slot.try_emplace(ip).first;
    DOS_Single& t = it->second;
    t.merge_port(port);
    int* counter;
    int threshold;
    if (kind == DOS_L) {
      counter = &t.CountM;
      threshold = set_m.LThreshold1;
    } else if (kind == DOS_H) {
      counter = &t.CountS;
      threshold = set_m.HThreshold1;
    } else {
      counter = &t.CountR;
      threshold = set_m.RThreshold1;
    }
    const int before = *counter;
    *counter += static_cast<int>(count_in);
    // One report reaches the threshold when the count equals it; a batch when it crosses it.
    if (before < threshold && *counter >= threshold) {
      reached = true;
      block_port = t.Port;  // copied before the tally goes
      block_time = set_m.BlockTime1;
      slot.erase(it);
    }
    const size_t D = set_m.DDthreshold;
    const int shield = DDOS_m.load();
    if (shield <= 0 && D != 0 && slot.size() >= D) {
      log_shield = shield == 0;
      DDOS_m = -1;
      for (const auto& [a, s] : slot) {
        lite += s.CountM > 0;
        heavy += s.CountS > 0;
        rtp += s.CountR > 0;
      }
      if (heavy >= D) {
        log_shield = true;
        DDOS_m = 1;
        dd_time = set_m.DDBlockTime;
        if (PollReactor* r = reactor()) DDOS_TmId = r->timer_set(this, dd_time * 1000, kShieldArg);
        if (hooks_m.event_ddos) hooks_m.event_ddos(true);
      }
    }
  }
  if (log_shield) {
    Log(">>>==>", LOG_ALWAYS, "!!! DDOS - Lite:%zd  Heavy:%zd  RTP:%zd\n", lite, heavy, rtp);
    if (DDOS_m.load() > 0)
      Log(">>>==>", LOG_ALWAYS, "!!! DDOS Shield is ON for %d sec\n", dd_time);
    else
      Log("ostrel", LOG_ALWAYS, "!!! DDOS Shield is still Off yet");
  }
  if (reached) RunSystemBlock(ip, block_port, block_time);
  if (hooks_m.count_report)
    for (unsigned i = 0; i < count_in; ++i) hooks_m.count_report(static_cast<char>(kind));
}

void DOSCore::CheckMPS(const InetAddr& src) {
  const unsigned limit = MaxMPS_m.load(std::memory_order_relaxed);
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
  Log(">>>==>", LOG_ALWAYS, "Source: %s exceed MPS Limit: %u\n", src.Str().c_str(), limit);
  RunSystemBlock(src.IpAddr(), src.Port(), BlockTimeMps_m.load());
}

bool DOSCore::IsBlocked(uint32_t ip, int port) const {
  Read_Guard_Mutex guard(BL_Lock);
  auto it = BL_BMap.find(ip);
  if (it == BL_BMap.end()) return false;
  return it->second.count(port) > 0 || it->second.count(0) > 0;
}

size_t DOSCore::BlockCount() const {
  Read_Guard_Mutex guard(BL_Lock);
  size_t n = 0;
  for (const auto& [ip, ports] : BL_BMap) n += ports.size();
  return n;
}

void DOSCore::RunSystemBlock(uint32_t ip, int port, int seconds) {
  const int level = level_m.load();
  if (ip == 0 || level == DL_OFF) return;
  const std::string addr = InetAddr::IpStr(ip);
  if (level == DL_LOG) {
    Log("ostrel", LOG_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, " (LogOnly)");
    return;
  }
  Log(">>>==>", LOG_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, "");
  {
    Write_Guard_Mutex guard(BL_Lock);
    auto& ports = BL_BMap[ip];
    if (ports.count(port)) {
      guard.unlock();
      Log(">>>==>", LOG_ALWAYS, "Warning: Block timer was not set!");
      return;
    }
    auto block = std::make_unique<DOS_Blocked>(DOS_Blocked{port, ip, next_serial_m++});
    // The timer carries the block's serial, never its address: a reset may free the record meanwhile.
    if (PollReactor* r = reactor()) block->TimerID = r->timer_set(this, seconds * 1000, serial_arg(block->Serial));
    ports.emplace(port, std::move(block));
  }
  if (level == DL_SYSFW) {
    FirewallCommands fw;
    {
      Guard_Mutex guard(DOS_Lock);
      fw = set_m.fw;
    }
    FW_Block(fw, ip, port);
  }
  if (hooks_m.event_block) hooks_m.event_block(true, ip, port);
}

void DOSCore::timer_cb(const void* arg) {
  if (arg == nullptr) return interval_end();
  if (arg == kShieldArg) return ddos_end();
  block_expired(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(arg)));
}

void DOSCore::interval_end() {
  std::unordered_map<uint32_t, DOS_Single> summary;
  DosSettings s;
  int current;
  {
    Guard_Mutex guard(DOS_Lock);
    if (DOS_Currnt < 0 || DOS_Array.empty()) return;
    s = set_m;
    for (const Slot& slot : DOS_Array) {
      for (const auto& [ip, t] : slot) {
        DOS_Single& sum = summary[ip];
        sum.merge_port(t.Port);
        sum.CountM += t.CountM;
        sum.CountS += t.CountS;
        sum.CountR += t.CountR;
      }
    }
    DOS_Currnt = (DOS_Currnt + 1) % static_cast<int>(DOS_Array.size());
    DOS_Array[static_cast<size_t>(DOS_Currnt)].clear();
    if (DDOS_m.load() == -1) DDOS_m = 0;
    current = DOS_Currnt;
  }
  Log("ostrel", LOG_TRACE, "dos timeout, Current element: %ld\n", static_cast<long>(current));
  for (const auto& [ip, t] : summary) {
    if (t.CountM >= s.LThresholdN || t.CountS >= s.HThresholdN || t.CountR >= s.RThresholdN) {
      if (!whitelisted(ip)) RunSystemBlock(ip, t.Port, s.BlockTimeN);
    }
  }
}

void DOSCore::ddos_end() {
  {
    Guard_Mutex guard(DOS_Lock);
    DDOS_TmId = PollReactor::kNoTimer;
    DDOS_m = 0;
  }
  Log("ostrel", LOG_ALWAYS, "!!! DDOS Shield is OFF now\n");
  if (hooks_m.event_ddos) hooks_m.event_ddos(false);
}

void DOSCore::block_expired(uint64_t serial) {
  uint32_t ip = 0;
  int port = 0;
  bool removed = false;
  {
    Write_Guard_Mutex guard(BL_Lock);
    for (auto a = BL_BMap.begin(); a != BL_BMap.end() && !removed; ++a) {
      for (auto p = a->second.begin(); p != a->second.end(); ++p) {
        if (p->second->Serial != serial) continue;
        ip = a->first;
        port = p->first;
        a->second.erase(p);
        if (a->second.empty()) BL_BMap.erase(a);
        removed = true;
        break;
      }
    }
  }
  if (!removed) return;  // cleared by a reset meanwhile
  Log("ostrel", LOG_ALWAYS, "Remove Block for %s:%d \n", InetAddr::IpStr(ip).c_str(), port);
  if (level_m.load() == DL_SYSFW) {
    FirewallCommands fw;
    {
      Guard_Mutex guard(DOS_Lock);
      fw = set_m.fw;
    }
    FW_Unblock(fw, ip, port);
  }
  if (hooks_m.event_block) hooks_m.event_block(false, ip, port);
}
