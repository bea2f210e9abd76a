// The daemon's configuration: command line, configuration file (read at start-up and re-read while
// running), ring files, and the policy queries over the lists the file defines.
// Init runs once on the main thread before any other thread; Reread and OnTimer run on the reactor
// thread only; the queries may be called from any thread (they take Lock for reading). Scalar fields
// are read without the lock: they change only on the reactor thread, one plain word at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "config/settings.h"

class SipMessage;
#include "foundation/locks.h"
#include "foundation/reactor.h"

class Sdp;
class SdpRtpMedia;

class Config : public TimerCB, public Settings {
 public:
  // Work that belongs to other subsystems, installed by the core at start-up before Init. Each may
  // be left empty. They run on the reactor thread.
  struct Hooks {
    std::function<void()> clean_up;        // periodic housekeeping, before each timed re-read
    std::function<void()> dos_reset;       // a re-read changed the flood-protection settings
    std::function<void()> end_slow_start;  // a `slow_start` line was read: end a slow-start phase
    std::function<bool()> is_slave;        // running as HA slave: the log uses the slave name
    // Answers a client's request in place through the external port (admission refusals); on any thread.
    std::function<void(SipMessage& msg, int code, const std::string& reason, const InetAddress& to)> bounce;
    // Sends an already converted message to a client through the external port.
    std::function<void(SipMessage& msg, const InetAddress& to)> send_to_client;
    // Reports a refused source to the flood protection as a light offence.
    std::function<void(const InetAddress& src)> report_offence;
  };
  Hooks hooks;

  int ring_count = 0;              // 20 ms frames in each ring buffer
  std::vector<uint8_t> ring_ulaw;  // ring_count frames of 160 bytes
  std::vector<uint8_t> ring_g729;  // ring_count frames of 20 bytes
  std::vector<uint8_t> ring_gsm;   // ring_count frames of 33 bytes
  time_t timestamp = 0;            // file time of the last clean read; 0 before the first
  // Guards the lists (domains, users, subnets, trust, white lists, rules). Written only while a
  // re-read swaps them in, and by ForceKeepContactDomain. A leaf: nothing else is locked while it is held.
  mutable ReadWriteMutex lock;

  Config() = default;
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Command line, file, ring files, address checks. 1: start-up may continue; 0: a wrong address or
  // port. Exits the process itself: 1 usage, 8 log or ring file, 9 configuration file.
  int Init(int argc, char** argv);
  // -t: reads the file and the ring files and checks the addresses as start-up would, binding nothing;
  // every fault goes to standard error with its line. The exit status: 0 clean, 9 otherwise.
  int Check();
  // Reads the file when its modification time changed. 1 when unchanged or read cleanly (and then in
  // force); 0 otherwise, leaving the configuration in force untouched.
  int Reread();
  // The periodic timer: housekeeping, log re-open, Reread.
  void OnTimer(const void* data) override;
  // Registers the periodic timer (first delay and period `idletm`) and remembers it, so that a re-read
  // that changes `idle_timeout` can re-arm it with the new period.
  void ArmTimer(PollReactor& reactor);
  uint64_t TimerId() const { return timer_; }
  // Re-reads of a changed file taken, and refused for a faulty line; any thread.
  uint64_t RereadsTaken() const { return rereads_taken_.load(std::memory_order_relaxed); }
  uint64_t RereadsRefused() const { return rereads_refused_.load(std::memory_order_relaxed); }

  // Domain, user and address policy (read lock unless noted).
  // First matching domain entry; the caller holds Lock.
  std::vector<DomainOptions>::iterator FindDomain(const std::string& domain);
  // Sets `pcnt` on the matching domain until the next re-read (takes Lock for writing).
  void ForceKeepContactDomain(const std::string& domain);
  bool CheckUser(const std::string& user, UserOptions& out) const;
  // The admission check of a request from a client. False: refused, and already answered (or to be
  // dropped silently in quiet mode). May change msg (X-COOKIE, X-LB, Request-URI substitution); fills out.
  bool CheckDomain(SipMessage& msg, const InetAddress& src, const Defects& defects, DomainOptions& out);
  // The same for the dialogs' domain hook, which still hands the device's defects over as letters.
  bool CheckDomain(SipMessage& msg, const InetAddress& src, const std::string& defect_letters,
                   DomainOptions& out) {
    return CheckDomain(msg, src, Defects::FromLetters(defect_letters), out);
  }
  // 1 pass, 0 listed to drop, -1 not listed (only when some events are listed).
  int CheckEvent(const std::string& event) const;
  bool IsTrusted(uint32_t ip) const;
  // Whether requests from ip may enter by the internal port: a `server` or `trusted` address, or a
  // server the relay learnt by using it (g_server_sources).
  bool IsServerSource(uint32_t ip) const;
  bool IsDosWLists(uint32_t ip) const;
  // Registration interval for a client address; fills the subnet's NAT type, LBC flag and defects.
  int GetSubscribeTimeout(uint32_t ip, NatType::Mode& mode, bool* lbc, Defects* dfct) const;
  // Whether two client addresses can reach each other directly (same address or same pool).
  bool CompareAddresses(uint32_t ip1, uint32_t ip2, int* pool) const;

  // Media policy (read lock).
  uint16_t CheckRsvp(uint64_t key) const;
  // The defects of a device name by the `broken` table; UnlistedDevice() when no entry applies.
  Defects DeviceDefects(const std::string& device) const;
  // The defects of the device that sent msg: its User-Agent, else its Server, by the `broken` table;
  // UnlistedDevice() when it names itself in neither or no entry applies. The level is not used.
  Defects CheckDefect(const SipMessage& msg, int level) const;
  // A device the table does not list: no workaround, shown in records and logs as one blank.
  static Defects UnlistedDevice() { return Defects::FromLetters(" "); }
  // CheckTransRules of the message's SDP body; -1 without one.
  int CheckTransRules(const SipMessage& msg, uint8_t* payload, TranscodingRule* chosen = nullptr) const;
  // The transcoding rule for an offer: the number (from 1) of the first rule whose client codec is among
  // the codecs of the first audio section, that codec's payload type in *payload and a copy of the rule in
  // *chosen (a re-read may shorten the list while the call runs); -1 without an SDP, without an RTP audio
  // section or when no rule fits.
  int CheckTransRules(const Sdp* sdp, uint8_t* payload, TranscodingRule* chosen = nullptr) const;
  // The configured rule numbered `number` (from 1); false when there is none such.
  bool TranscodingRuleAt(int number, TranscodingRule& out) const;
  // Strips a description down to the `bare_sdp` codecs and media attributes; keeps the session's "tool".
  void BareSDP(Sdp* sdp) const;
  // One section of BareSDP: false when none of its codecs may stay.
  // The caller holds Lock for reading.
  bool BareMedia(SdpRtpMedia* media) const;

 private:
  void ParseCommandLine(int argc, char** argv);
  bool ReadLines(std::istream& file, Settings& read, bool rereading) const;
  bool FinishRead(Settings& read) const;
  void TakeRead(Settings&& read, bool rereading);
  // False (each fault logged) when a ring file is not configured, unreadable or holds no whole frame.
  bool LoadRingFiles();
  int CheckAddresses();
  void RearmTimer();

  long timestamp_ns_ = 0;    // nanoseconds of the file time, so a change within a second is seen
  bool log_opened_ = false;  // the last read's log target could be opened

  PollReactor* reactor_ = nullptr;
  uint64_t timer_ = ~0ULL;
  std::atomic<uint64_t> rereads_taken_{0};
  std::atomic<uint64_t> rereads_refused_{0};
};

extern Config g_config;

// Usage text to standard error, then exit status 1.
[[noreturn]] void Syntax(const char* prog);
