// EventsPort: the one UDP socket that reports events to the events collector and exchanges records with
// the HA peer, and the statistics block reported every 16 seconds.
// Senders: any thread (one sendto per datagram). OnInput: the reactor thread.
#pragma once

#include <atomic>
#include <ctime>
#include <map>
#include <string>

#include "dos/dos_core.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"
#include "ports/ha_record.h"
#include "ports/socket.h"

class Registration;
class RegisterDialog;
class Call;

// Counts between two statistics reports. A leaf lock: nothing else is taken while it is held.
struct StatisticsBlock : Mutex {
  std::map<std::string, unsigned> methods;
  std::map<int, unsigned> bounces;
  std::map<std::string, unsigned> bad_events;
  std::map<char, unsigned> attackers;
  void reset();
};

class EventsPort : public SocketUDP, public InputCB {
 public:
  // Fixes the start time and this node's "Self: " line; the main thread, before any sender runs.
  void Start(const std::string& myip, int main_port);
  // TERM: no more records to the peer.
  void StopHa() { ha_stopped_.store(true, std::memory_order_release); }

  // Events. Each does nothing without a collector; nothing is sent by an HA slave.
  void SendEvent(const std::string& text);
  void EventOstrelStop();
  // Also writes the statistics log line, with or without a collector.
  void EventOstrelActive(unsigned regs, unsigned dialogs, unsigned calls, unsigned full,
                         const std::string& extra);
  // what: 1 registered, 0 removed. The record is locked by the caller.
  void EventRegistration(int what, const Registration& reg, const std::string& agent, unsigned ext_port,
                         const std::string& addrs);
  // A registration the server refused (403/404); the dialog is locked by the caller.
  void EventReason(const RegisterDialog& d, const std::string& reason);
  void EventCall(int ev, const Call& call, const std::string& extra);
  // A relayed stream's new source, from the relay thread, which must not touch the call: the call is named
  // by its number and its domain is the one its earlier events gave.
  void EventMedia(unsigned uniq, int ev, const std::string& source);
  void EventBlock(bool on, uint32_t ip, int port);
  void EventDdos(bool on);
  // After each processed message: the first one of a new 16-second slot sends what the last slot counted.
  void EventStatSlot(long slot);

  // Records for the HA peer; each does nothing without a peer. The record or call is locked by the caller.
  void HaRequest();
  void HaRegister(const Registration& reg);
  void HaUnregister(const Registration& reg);
  void HaCallStart(const Call& call);
  void HaCallStop(const Call& call);

  void OnInput(int fd) override;

  StatisticsBlock stats_;
  // An unknown SUBSCRIBE event refused by a reader, counted for the next statistics report; any thread.
  // The names come from strangers: the first kBadEventNames of a report are counted apiece (cut to
  // kBadEventNameLength characters), any further ones together as kOtherBadEvents.
  void CountBadEvent(const std::string& event);
  static constexpr size_t kBadEventNames = 16;
  static constexpr size_t kBadEventNameLength = 32;
  static constexpr const char* kOtherBadEvents = "(other)";
  // Datagrams that reached the HA port from anywhere but the peer.
  std::atomic<uint64_t> foreign_{0};
  // With a secret: the peer's datagrams without a valid MAC, and those already accepted (or of an earlier
  // boot of the peer, or this relay's own sent back). Records this relay could not send (a field holding
  // the separator, too long).
  std::atomic<uint64_t> ha_forged_{0};
  std::atomic<uint64_t> ha_replayed_{0};
  std::atomic<uint64_t> ha_unsent_{0};

 private:
  bool HasPeer() const;
  void SendRecord(const std::string& record);
  void WriteStatLog(unsigned regs, unsigned calls);

  std::string self_;                         // written once by Start
  Mutex domains_lock_;                       // a leaf
  std::map<unsigned, std::string> domains_;  // calls' domains by number, from INVITE/TALK to DTOR
  time_t started_ = 0;
  std::atomic<bool> ha_stopped_{false};
  // The sequence of this relay's records: its boot (start time in microseconds) and the last counter.
  uint64_t boot_ = 0;  // written once by Start
  std::atomic<uint64_t> sent_{0};
  ha::ReplayWindow peer_window_;  // the reactor thread
  time_t refused_logged_ = 0;     // the reactor thread: one refusal line a second
  uint64_t refused_unlogged_ = 0;
  // A refused record from the peer's address: counted, logged at most once a second.
  void RefuseRecord(std::atomic<uint64_t>& counter, const char* why);
};

extern EventsPort g_events_port;

// The peer's records applied to this node (ha_apply.cc); the reactor thread.
namespace ha {
void Apply(const Record& r);
// A registration or call read back from the state store at start-up, entered as a take-over would (an
// anchored call reopens its ports) without changing the HA role; the calls are this relay's own again.
// False when it could not be entered.
bool Restore(const Record& r);
}  // namespace ha

// The registration record the HA peer and the state store get; the record is locked by the caller.
ha::RegistrationRecord RegistrationRecordOf(const Registration& reg);

// Start-up (events_wiring.cc), main thread: the seams through which registrations, calls, dialogs, flood
// protection and the intake report to the collector and the peer; before the configuration is read.
void InstallEventHooks();
// After the ports are bound: this node's identity, its first role, and the peer's records on the reactor.
void StartEventsPort();
// Adds the flood protection's reports (BLOCK/UNBLOCK, DDOS, counts per letter) to the hooks start-up
// installs.
void AddDosEventHooks(DosCore::Hooks& dos);
