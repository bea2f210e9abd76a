#include "dos/dos_core.h"

#include <algorithm>
#include <string>

#include "config/config.h"
#include "foundation/log.h"

DosCore g_dos;

DosSettings DosSettingsFromConfig() {
  DosSettings s;
  s.dos_mode = g_config.dos_mode;
  s.interval = g_config.interval;
  s.block_time_first = g_config.block_time_first;
  s.light_threshold_first = g_config.light_threshold_first;
  s.heavy_threshold_first = g_config.heavy_threshold_first;
  s.repeat_threshold_first = g_config.repeat_threshold_first;
  s.interval_count = g_config.interval_count;
  s.block_time_repeat = g_config.block_time_repeat;
  s.light_threshold_repeat = g_config.light_threshold_repeat;
  s.heavy_threshold_repeat = g_config.heavy_threshold_repeat;
  s.repeat_threshold_repeat = g_config.repeat_threshold_repeat;
  s.max_messages_per_second = g_config.max_messages_per_second;
  s.block_time_rate = g_config.block_time_rate;
  s.ip_max_messages_per_second = g_config.ip_max_messages_per_second;
  s.ddos_threshold = g_config.ddos_threshold;
  s.ddos_block_time = g_config.ddos_block_time;
  s.fw = FirewallCommands{g_config.rule_name, g_config.start_command, g_config.stop_command,
                          g_config.block_command, g_config.unblock_command};
  return s;
}

namespace {
const void* const kShieldArg = reinterpret_cast<const void*>(~uintptr_t{0});
const void* const kExpiryArg = reinterpret_cast<const void*>(uintptr_t{1});
}  // namespace

DosCore::~DosCore() {
  if (PollReactor* r = Reactor()) {
    r->CancelTimer(interval_timer_);
    r->CancelTimer(ddos_timer_);
    WriteGuard guard(blocks_lock_);
    r->CancelTimer(expiry_timer_);
  }
}

void DosCore::DosReset() {
  const DosSettings s = hooks_.settings ? hooks_.settings() : DosSettings{};
  if (saved_level_ >= DL_LOCAL || s.dos_mode >= DL_LOCAL)
    Log("ostrel", LEVEL_DEBUG, "Reseting all DOS States ...\n");
  PollReactor* r = Reactor();
  std::vector<std::pair<uint32_t, int>> lifted;  // this relay's blocks, lifted at the other relays too
  {
    MutexGuard guard(lock_);
    settings_ = s;
    tallies_.clear();
    current_tally_ = -1;
    if (s.interval_count >= 1 && s.interval >= 1) {
      tallies_.resize(static_cast<size_t>(s.interval_count));
      current_tally_ = 0;
    }
    ddos_ = 0;
    if (r) r->CancelTimer(ddos_timer_);
    ddos_timer_ = PollReactor::kNoTimer;
  }
  level_ = s.dos_mode;
  max_messages_per_second_ = s.max_messages_per_second;
  ip_max_messages_per_second_ = s.ip_max_messages_per_second;
  block_time_rate_ = s.block_time_rate;
  if (r) r->CancelTimer(interval_timer_);
  interval_timer_ = PollReactor::kNoTimer;
  {
    WriteGuard guard(blocks_lock_);
    if (r) r->CancelTimer(expiry_timer_);
    expiry_timer_ = PollReactor::kNoTimer;
    expiry_armed_at_ = 0;
    for (const auto& [ends, block] : expiry_)
      if (shared_.count(block) == 0) lifted.push_back(block);
    blocks_.clear();
    expiry_.clear();
    shared_.clear();
  }
  if (hooks_.share_block)
    for (const auto& [ip, port] : lifted) hooks_.share_block(false, ip, port, 0);
  // Without intervals there is nothing to roll over: no timer (and no ring to divide by).
  if (r && current_tally_ >= 0 && s.dos_mode != DL_OFF)
    interval_timer_ = r->SetTimer(this, s.interval * 1000, nullptr, s.interval * 1000);
  if (s.dos_mode == DL_SYSFW) {
    saved_level_ = DL_SYSFW;
    FirewallStart(s.fw);
  } else if (saved_level_ == DL_SYSFW) {
    saved_level_ = DL_OFF;
    FirewallStop(s.fw);
  }
}

void DosCore::Report(const InetAddress& src, DosMark kind, unsigned uniq, unsigned count_in) {
  if (count_in == 0) return;
  const uint32_t ip = src.Ip();
  const int port = src.Port();
  // The white list is consulted before lock_, so the configuration lock never nests inside it.
  const bool protect = IsWhitelisted(ip);
  const std::string tag = uniq ? std::to_string(uniq) : std::string("ostrel");
  bool reached = false, log_shield = false;
  int block_port = 0, block_time = 0, dd_time = 0;
  size_t lite = 0, heavy = 0, rtp = 0;
  {
    MutexGuard guard(lock_);
    if (current_tally_ < 0) return;
    if (count_in == 1)
      Log(tag.c_str(), protect ? LEVEL_TRACE : LEVEL_DEBUG, "Report %c suspect: %s%s\n",
          static_cast<char>(kind), src.Text().c_str(), protect ? " - Protected" : "");
    else
      Log(tag.c_str(), protect ? LEVEL_TRACE : LEVEL_DEBUG, "Report %c suspect: %s%s (%u times)\n",
          static_cast<char>(kind), src.Text().c_str(), protect ? " - Protected" : "", count_in);
    if (protect) return;
    Slot& slot = tallies_[static_cast<size_t>(current_tally_)];
    auto it = slot.try_emplace(ip).first;
    DosSingle& t = it->second;
    t.MergePort(port);
    int* counter;
    int threshold;
    if (kind == DOS_L) {
      counter = &t.count_messages;
      threshold = settings_.light_threshold_first;
    } else if (kind == DOS_H) {
      counter = &t.count_sources;
      threshold = settings_.heavy_threshold_first;
    } else {
      counter = &t.count_repeats;
      threshold = settings_.repeat_threshold_first;
    }
    const int before = *counter;
    *counter += static_cast<int>(count_in);
    // One report reaches the threshold when the count equals it; a batch when it crosses it.
    if (before < threshold && *counter >= threshold) {
      reached = true;
      block_port = t.port;  // copied before the tally goes
      block_time = settings_.block_time_first;
      slot.erase(it);
    }
    const size_t D = settings_.ddos_threshold;
    const int shield = ddos_.load();
    if (shield <= 0 && D != 0 && slot.size() >= D) {
      log_shield = shield == 0;
      ddos_ = -1;
      for (const auto& [a, s] : slot) {
        lite += s.count_messages > 0;
        heavy += s.count_sources > 0;
        rtp += s.count_repeats > 0;
      }
      if (heavy >= D) {
        log_shield = true;
        ddos_ = 1;
        dd_time = settings_.ddos_block_time;
        if (PollReactor* r = Reactor()) ddos_timer_ = r->SetTimer(this, dd_time * 1000, kShieldArg);
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
  const unsigned ip_limit = ip_max_messages_per_second_.load(std::memory_order_relaxed);
  if (limit == 0 && ip_limit == 0) return;
  bool exceeded = false, ip_exceeded = false;
  const time_t now = time(nullptr);
  rate_lock_.lock();
  if (now != rate_second_) {
    rates_.clear();
    ip_rates_.clear();
    rate_second_ = now;
  }
  if (limit != 0) {
    uint32_t& count = rates_[src.Key().b];
    if (++count > limit) {
      count = 0;
      exceeded = true;
    }
  }
  // Counted over all ports of the address: a flooder rotating its source port stays under the first limit.
  if (ip_limit != 0) {
    uint32_t& count = ip_rates_[src.Ip()];
    if (++count > ip_limit) {
      count = 0;
      ip_exceeded = true;
    }
  }
  rate_lock_.unlock();
  if ((!exceeded && !ip_exceeded) || IsWhitelisted(src.Ip())) return;
  if (ip_exceeded) {
    Log(">>>==>", LEVEL_ALWAYS, "Source: %s exceed IP MPS Limit: %u\n", InetAddress::IpText(src.Ip()).c_str(),
        ip_limit);
    RunSystemBlock(src.Ip(), 0, block_time_rate_.load());
    return;
  }
  Log(">>>==>", LEVEL_ALWAYS, "Source: %s exceed MPS Limit: %u\n", src.Text().c_str(), limit);
  RunSystemBlock(src.Ip(), src.Port(), block_time_rate_.load());
}

bool DosCore::IsBlocked(uint32_t ip, int port) const {
  ReadGuard guard(blocks_lock_);
  auto it = blocks_.find(ip);
  if (it == blocks_.end()) return false;
  return it->second.count(port) > 0 || it->second.count(0) > 0;
}

size_t DosCore::BlockCount() const {
  ReadGuard guard(blocks_lock_);
  return expiry_.size();
}

void DosCore::Block(uint32_t ip, int port, int seconds, bool shared) {
  const int level = level_.load();
  if (ip == 0 || level == DL_OFF) return;
  if (shared && IsWhitelisted(ip)) return;  // this relay's white list holds for other relays' blocks too
  const std::string addr = InetAddress::IpText(ip);
  if (level == DL_LOG) {
    Log("ostrel", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds,
        " (LogOnly)");
    return;
  }
  size_t held = 0;
  {
    WriteGuard guard(blocks_lock_);
    auto& ports = blocks_[ip];
    if (port != 0 && ports.count(0)) return;  // the whole address is blocked already
    if (port != 0 && ports.size() >= kMaxPortBlocksPerIp) {
      held = ports.size();
      port = 0;
    }
    if (ports.count(port)) {
      guard.unlock();
      Log(">>>==>", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, "");
      Log(">>>==>", LEVEL_ALWAYS, "Warning: Block timer was not set!");
      return;
    }
    const uint64_t ends = PollReactor::NowMs() + static_cast<uint64_t>(std::max(seconds, 0)) * 1000;
    ports.emplace(port, expiry_.emplace(ends, std::make_pair(ip, port)));
    if (shared) shared_.emplace(ip, port);
    ArmExpiry();
    blocks_total_.fetch_add(1, std::memory_order_relaxed);
  }
  if (held != 0)
    Log(">>>==>", LEVEL_ALWAYS, "Source: %s holds %zu port blocks: blocking the address on all ports\n",
        addr.c_str(), held);
  Log(">>>==>", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, "");
  if (level == DL_SYSFW) {
    FirewallCommands fw;
    {
      MutexGuard guard(lock_);
      fw = settings_.fw;
    }
    FirewallBlock(fw, ip, port);
  }
  if (hooks_.event_block) hooks_.event_block(true, ip, port);
  if (!shared && hooks_.share_block) hooks_.share_block(true, ip, port, seconds);
}

void DosCore::LiftSharedBlock(uint32_t ip, int port) {
  {
    WriteGuard guard(blocks_lock_);
    if (shared_.erase({ip, port}) == 0) return;
    auto a = blocks_.find(ip);
    if (a == blocks_.end()) return;
    auto p = a->second.find(port);
    if (p == a->second.end()) return;
    expiry_.erase(p->second);
    a->second.erase(p);
    if (a->second.empty()) blocks_.erase(a);
  }
  Log("ostrel", LEVEL_ALWAYS, "Remove Block for %s:%d \n", InetAddress::IpText(ip).c_str(), port);
  if (level_.load() == DL_SYSFW) {
    FirewallCommands fw;
    {
      MutexGuard guard(lock_);
      fw = settings_.fw;
    }
    FirewallUnblock(fw, ip, port);
  }
  if (hooks_.event_block) hooks_.event_block(false, ip, port);
}

void DosCore::ForEachBlock(
    const std::function<void(uint32_t ip, int port, uint64_t left_ms, bool shared)>& f) const {
  const uint64_t now = PollReactor::NowMs();
  ReadGuard guard(blocks_lock_);
  for (const auto& [ends, block] : expiry_)
    f(block.first, block.second, ends > now ? ends - now : 0, shared_.count(block) != 0);
}

void DosCore::OnTimer(const void* arg) {
  if (arg == nullptr) return IntervalEnd();
  if (arg == kShieldArg) return DdosEnd();
  if (arg == kExpiryArg) {
    {
      WriteGuard guard(blocks_lock_);
      expiry_timer_ = PollReactor::kNoTimer;
      expiry_armed_at_ = 0;
    }
    ExpireBlocks(PollReactor::NowMs());
  }
}

void DosCore::ArmExpiry() {
  PollReactor* r = Reactor();
  if (r == nullptr || expiry_.empty()) return;
  const uint64_t first = expiry_.begin()->first;
  if (expiry_timer_ != PollReactor::kNoTimer && expiry_armed_at_ <= first) return;
  r->CancelTimer(expiry_timer_);
  const uint64_t now = PollReactor::NowMs();
  expiry_timer_ = r->SetTimer(this, first > now ? static_cast<int>(first - now) : 1, kExpiryArg);
  expiry_armed_at_ = first;
}

void DosCore::IntervalEnd() {
  std::unordered_map<uint32_t, DosSingle> summary;
  DosSettings s;
  int current;
  {
    MutexGuard guard(lock_);
    if (current_tally_ < 0 || tallies_.empty()) return;
    s = settings_;
    for (const Slot& slot : tallies_) {
      for (const auto& [ip, t] : slot) {
        DosSingle& sum = summary[ip];
        sum.MergePort(t.port);
        sum.count_messages += t.count_messages;
        sum.count_sources += t.count_sources;
        sum.count_repeats += t.count_repeats;
      }
    }
    current_tally_ = (current_tally_ + 1) % static_cast<int>(tallies_.size());
    tallies_[static_cast<size_t>(current_tally_)].clear();
    if (ddos_.load() == -1) ddos_ = 0;
    current = current_tally_;
  }
  Log("ostrel", LEVEL_TRACE, "dos timeout, Current element: %ld\n", static_cast<long>(current));
  for (const auto& [ip, t] : summary) {
    if (t.count_messages >= s.light_threshold_repeat || t.count_sources >= s.heavy_threshold_repeat ||
        t.count_repeats >= s.repeat_threshold_repeat) {
      if (!IsWhitelisted(ip)) RunSystemBlock(ip, t.port, s.block_time_repeat);
    }
  }
}

void DosCore::DdosEnd() {
  {
    MutexGuard guard(lock_);
    ddos_timer_ = PollReactor::kNoTimer;
    ddos_ = 0;
  }
  Log("ostrel", LEVEL_ALWAYS, "!!! DDOS Shield is OFF now\n");
  if (hooks_.event_ddos) hooks_.event_ddos(false);
}

void DosCore::ExpireBlocks(uint64_t now_ms) {
  std::vector<std::pair<uint32_t, int>> due;
  std::vector<bool> own;  // set here, not shared by another relay
  {
    WriteGuard guard(blocks_lock_);
    auto end = expiry_.upper_bound(now_ms);
    for (auto e = expiry_.begin(); e != end; ++e) {
      const auto [ip, port] = e->second;
      due.emplace_back(ip, port);
      own.push_back(shared_.erase(e->second) == 0);
      auto a = blocks_.find(ip);
      if (a == blocks_.end()) continue;
      a->second.erase(port);
      if (a->second.empty()) blocks_.erase(a);
    }
    expiry_.erase(expiry_.begin(), end);
    ArmExpiry();
  }
  if (due.empty()) return;
  const bool firewall = level_.load() == DL_SYSFW;
  FirewallCommands fw;
  if (firewall) {
    MutexGuard guard(lock_);
    fw = settings_.fw;
  }
  for (size_t i = 0; i < due.size(); ++i) {
    const auto [ip, port] = due[i];
    Log("ostrel", LEVEL_ALWAYS, "Remove Block for %s:%d \n", InetAddress::IpText(ip).c_str(), port);
    if (firewall) FirewallUnblock(fw, ip, port);
    if (hooks_.event_block) hooks_.event_block(false, ip, port);
    if (own[i] && hooks_.share_block) hooks_.share_block(false, ip, port, 0);
  }
}
