// Registration: one client registration the server accepted: the client's own Contact tied to the Contact
// the relay shows the server, what was learnt about the client, its calls, its expiry timer; and the
// registration cache that answers frequent refreshes. Any worker or reader thread; the timer runs on the
// reactor. Lock order: maps_lock_ before a record's lock_, and maps_lock_ released before table_lock_ is
// taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/defects.h"
#include "config/fw_type.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"

class SipMessage;
class Dialog;
class DialogTable;
struct RegistrationValues;

class Registration {
 public:
  // Enters the record under ncnt (and under Call-ID + domain + user when user is not empty); returns
  // locked. When ncnt is registered already the record stays out of the maps: Entered() is false and the
  // caller deletes it.
  Registration(const std::string& ncnt, const std::string& ocnt, const std::string& callid,
               const std::string& user, const std::string& domain);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  void lock() { lock_.lock(); }
  void unlock() { lock_.unlock(); }
  bool Entered() const { return !new_contact_.empty(); }

  // Lookups: the record locked, or an empty guard.
  static ObjectGuard<Registration> GetRegister(const std::string& ncnt);
  static ObjectGuard<Registration> GetRegister(const std::string& callid, const std::string& domain,
                                               const std::string& user);
  static bool HasRegister(const std::string& ncnt);
  // Removes the record (waiting for any holder).
  static void Destroy(ObjectGuard<Registration> reg);
  static void Destroy(const std::string& ncnt);
  // SIGCONT: every record expires within twice its registration time.
  static void CleanUp();
  // At exit, after every worker stopped: deletes every record without telling anyone.
  static void DestroyAll();
  static size_t Count();
  // Housekeeping: the records expired at now, and those this node serves whose client has not been heard of
  // for twice its interval (a client behind NAT, or one kept by presence). maps_lock_ for reading.
  static std::vector<std::string> Stale(time_t now);
  // SIGUSR1: the registrations' banner, one line per record and their number, in the log.
  static void LogActive();
  // Every record, locked in turn under the maps' read lock: f must take no lock but leaves.
  static void ForEach(const std::function<void(const Registration&)>& f);

  // The record's lock is held by the caller for all of these.
  void Param(const InetAddress& hole, const std::string& fuser, const Defects& defects, uint32_t exp_rtp_ip,
             int lifetime, int reg_tm, int log_level, bool fdomain, bool publ, bool indr, bool chain,
             bool srtp, bool prsn, bool trnsc);
  void SetUnregisterTarget(const InetAddress& server, const std::string& ttag);
  void UpdateCalls(const InetAddress& addr, unsigned except);
  void AddCall(unsigned uno) { calls_.insert(uno); }
  void RemCall(unsigned uno) { calls_.erase(uno); }
  void ScheduleRegistrationTimer(int seconds);
  void CancelRegistrationTimer();
  // A new 200 for the record: own contact and Call-ID follow the client. Releases and re-takes the record.
  static void Refresh(const char* tag, int level, ObjectGuard<Registration>& reg, const std::string& callid,
                      const std::string& ocnt);

  // A 200 to a SUBSCRIBE from a client behind NAT keeps its registration alive, creating a short one when
  // there is none, so that the server's NOTIFYs find the client. The dialog is locked by the caller.
  static void KeepAliveFromSubscribe(Dialog& d);

  // The cache: true when msg (a REGISTER) was turned into the 200 to send back to the client.
  static bool IsHitCache(SipMessage& msg, const std::string& ncnt, const std::string& fuser, int& level);

  // What a dialog the server opens toward this client starts from.
  RegistrationValues Values() const;

  // The number that names the record in "regs-" tags and the internal un-registration.
  uint32_t Number() const { return number_; }

  const std::string& NewContact() const { return new_contact_; }
  const std::string& OldContact() const { return old_contact_; }
  const std::string& CallID() const { return call_id_; }
  const Defects& DeviceDefects() const { return defects_; }
  const std::string& User() const { return user_; }
  const std::string& Domain() const { return domain_; }
  const std::string& FUser() const { return full_user_; }
  const std::string& ToTag() const { return to_tag_; }
  const InetAddress& Hole() const { return hole_; }
  void Hole(const InetAddress& h) { hole_ = h; }
  time_t Expiration() const { return expiration_; }
  void Expiration(time_t t) { expiration_ = t; }
  time_t LastUpdate() const { return last_update_; }
  int RegistrationTime() const { return registration_time_; }
  int LogLevel() const { return log_level_; }
  bool FullDomain() const { return full_domain_; }
  bool PublicIP() const { return public_ip_; }
  bool Indirect() const { return indirect_; }
  bool Chained() const { return chained_; }
  bool SRTP() const { return srtp_; }
  bool Persistent() const { return persistent_; }
  bool Transcoding() const { return transcoding_; }
  bool DoubleNat() const { return double_nat_; }
  void DoubleNat(bool v) { double_nat_ = v; }
  const InetAddress& ServerSipAddress() const { return server_sip_address_; }
  bool ExtraUnregister() const { return !server_sip_address_.empty(); }
  NatType::Mode Mode() const { return mode_; }
  void Mode(NatType::Mode m) { mode_ = m; }
  uint32_t ExpectedRtpIP() const { return expected_rtp_ip_; }
  bool IsMaster() const { return master_; }
  const std::set<uint32_t>& CallList() const { return calls_; }

  // What registrations tell the core above them (HA role, events) and the server; set once at start-up.
  struct Hooks {
    std::function<bool()> is_slave;
    std::function<void()> set_master;                      // a record's timer runs here: this node is master
    std::function<void(const Registration& reg)> removed;  // HA un-registration and the "removed" event
    std::function<void(SipMessage& msg, const InetAddress& to)> send_to_server;
  };
  static Hooks hooks;

 private:
  static DialogTable* KeyTable();
  static bool tearing_down_;  // DestroyAll ran: the key manager is gone
  struct RegistrationTimeout : TimerCB {
    void OnTimer(const void* cookie) override;
  };
  static void Expired(uint32_t number, uint32_t generation);
  void SendInternalUnregister(long time_left);

  std::string new_contact_, old_contact_, call_id_, user_, domain_, full_user_;
  Defects defects_;
  InetAddress hole_;
  time_t expiration_ = 0;
  time_t last_update_ = 0;
  int registration_time_ = 0;
  int log_level_ = 0;
  bool full_domain_ = false, public_ip_ = false, indirect_ = false, chained_ = false, srtp_ = false,
       persistent_ = false, transcoding_ = false, double_nat_ = false;
  std::string to_tag_;
  InetAddress server_sip_address_;
  NatType::Mode mode_ = NatType::UNKNOWN;
  uint32_t expected_rtp_ip_ = 0;
  bool master_ = false;
  uint64_t timer_id_ = PollReactor::kNoTimer;
  uint32_t timer_generation_ = 0;
  uint32_t number_ = 0;
  Mutex lock_;
  std::set<uint32_t> calls_;

  static std::map<std::string, Registration*> by_contact_;
  static std::map<std::string, Registration*> by_user_;
  static std::map<uint32_t, Registration*>
      by_number_;  // the timer finds its record by number, never by pointer
  static ReadWriteMutex maps_lock_;
  static RegistrationTimeout expiry_timer_;
  static uint32_t next_number_;  // guarded by maps_lock_ (write)
};
