#include "dos/dos_core.h"

#include <algorithm>
#include <string>

#include "foundation/log.h"

DosCore g_dos;

namespace {
const void* const kShieldArg = reinterpret_cast<const void*>(~uintptr_t{0});
const void* SerialArg(uint64_t serial) {
  return reinterpret_cast<const void*>(static_cast<uintptr_t>(serial));
}
}  // namespace

DosCore::~DosCore() {
  if (PollReactor* r = Reactor()) {
    r->CancelTimer(interval_timer_);
    r->CancelTimer(ddos_timer_);
    WriteGuard guard(blocks_lock_);
    for (auto& [ip, ports] : blocks_)
      for (auto& [port, block] : ports) r->CancelTimer(block->timer_id);
  }
}

void DosCore::DosReset() {
  const DosSettings s = hooks_.settings ? hooks_.settings() : DosSettings{};
  if (saved_level_ >= DL_LOCAL || s.dos_mode >= DL_LOCAL)
    Log("ostrel", LEVEL_DEBUG, "Reseting all DOS States ...\n");
  PollReactor* r = Reactor();
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
  block_time_rate_ = s.block_time_rate;
  if (r) r->CancelTimer(interval_timer_);
  interval_timer_ = PollReactor::kNoTimer;
  {
    WriteGuard guard(blocks_lock_);
    for (auto& [ip, ports] : blocks_)
      for (auto& [port, block] : ports)
        if (r) r->CancelTimer(block->timer_id);
    blocks_.clear();
  }
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
  if (limit == 0) return;
  bool exceeded = false;
  const time_t now = time(nullptr);
  rate_lock_.lock();
  if (now != rate_second_) {
    rates_.clear();
    rate_second_ = now;
  }
  uint32_t& count = rates_[src.Key().b];
  if (++count > limit) {
    count = 0;
    exceeded = true;
  }
  rate_lock_.unlock();
  if (!exceeded || IsWhitelisted(src.Ip())) return;
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
  size_t n = 0;
  for (const auto& [ip, ports] : blocks_) n += ports.size();
  return n;
}

void DosCore::RunSystemBlock(uint32_t ip, int port, int seconds) {
  const int level = level_.load();
  if (ip == 0 || level == DL_OFF) return;
  const std::string addr = InetAddress::IpText(ip);
  if (level == DL_LOG) {
    Log("ostrel", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds,
        " (LogOnly)");
    return;
  }
  Log(">>>==>", LEVEL_ALWAYS, "Set Block for %s:%d for %d sec%s\n", addr.c_str(), port, seconds, "");
  {
    WriteGuard guard(blocks_lock_);
    auto& ports = blocks_[ip];
    if (ports.count(port)) {
      guard.unlock();
      Log(">>>==>", LEVEL_ALWAYS, "Warning: Block timer was not set!");
      return;
    }
    auto block = std::make_unique<DosBlocked>(DosBlocked{port, ip, next_serial_++});
    // The timer carries the block's serial, never its address: a reset may free the record meanwhile.
    if (PollReactor* r = Reactor())
      block->timer_id = r->SetTimer(this, seconds * 1000, SerialArg(block->serial));
    ports.emplace(port, std::move(block));
  }
  if (level == DL_SYSFW) {
    FirewallCommands fw;
    {
      MutexGuard guard(lock_);
      fw = settings_.fw;
    }
    FirewallBlock(fw, ip, port);
  }
  if (hooks_.event_block) hooks_.event_block(true, ip, port);
}

void DosCore::OnTimer(const void* arg) {
  if (arg == nullptr) return IntervalEnd();
  if (arg == kShieldArg) return DdosEnd();
  BlockExpired(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(arg)));
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

void DosCore::BlockExpired(uint64_t serial) {
  uint32_t ip = 0;
  int port = 0;
  bool removed = false;
  {
    WriteGuard guard(blocks_lock_);
    // Stop at the match: erasing the address entry invalidates the outer iterator.
    for (auto a = blocks_.begin(); a != blocks_.end(); ++a) {
      auto& ports = a->second;
      auto p =
          std::find_if(ports.begin(), ports.end(), [&](const auto& e) { return e.second->serial == serial; });
      if (p == ports.end()) continue;
      ip = a->first;
      port = p->first;
      ports.erase(p);
      if (ports.empty()) blocks_.erase(a);
      removed = true;
      break;
    }
  }
  if (!removed) return;  // cleared by a reset meanwhile
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
