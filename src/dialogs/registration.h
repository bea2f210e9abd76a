// Register_t: one client registration the server accepted: the client's own Contact tied to the Contact
// the relay shows the server, what was learnt about the client, its calls, its expiry timer; and the
// registration cache that answers frequent refreshes. Any worker or reader thread; the timer runs on the
// reactor. Lock order: RegsLock before a record's RLock_m, and RegsLock released before DlgLock is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/fw_type.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"

class SIP;
class Dialog_t;
struct RegValues_t;

class Register_t {
 public:
  // Enters the record under ncnt (and under Call-ID + domain + user when user is not empty); returns
  // locked. When ncnt is registered already the record stays out of the maps: Entered() is false and the
  // caller deletes it.
  Register_t(const std::string& ncnt, const std::string& ocnt, const std::string& callid, const std::string& user,
             const std::string& domain);
  ~Register_t();
  Register_t(const Register_t&) = delete;
  Register_t& operator=(const Register_t&) = delete;

  void lock() { RLock_m.lock(); }
  void unlock() { RLock_m.unlock(); }
  bool Entered() const { return !NCont_m.empty(); }

  // Lookups: the record locked, or an empty guard.
  static TGuard<Register_t> GetRegister(const std::string& ncnt);
  static TGuard<Register_t> GetRegister(const std::string& callid, const std::string& domain, const std::string& user);
  static bool HasRegister(const std::string& ncnt);
  // Removes the record (waiting for any holder).
  static void Destroy(TGuard<Register_t> reg);
  static void Destroy(const std::string& ncnt);
  // SIGCONT: every record expires within twice its registration time.
  static void CleanUp();
  // At exit, after every worker stopped: deletes every record without telling anyone.
  static void DestroyAll();
  static size_t Count();
  // Housekeeping: the records expired at now, and those this node serves whose client has not been heard of
  // for twice its interval (a client behind NAT, or one kept by presence). RegsLock for reading.
  static std::vector<std::string> Stale(time_t now);
  // SIGUSR1: the registrations' banner, one line per record and their number, in the log.
  static void LogActive();

  // The record's lock is held by the caller for all of these.
  void param(const InetAddr& hole, const std::string& fuser, const std::string& defect, uint32_t exp_rtp_ip,
             int lifetime, int reg_tm, int log_level, bool fdomain, bool publ, bool indr, bool chain, bool srtp,
             bool prsn, bool trnsc);
  void URegParam(const InetAddr& server, const std::string& ttag);
  void UpdateCalls(const InetAddr& addr, unsigned except);
  void AddCall(unsigned uno) { RCalls_m.insert(uno); }
  void RemCall(unsigned uno) { RCalls_m.erase(uno); }
  void ScheduleRegTimer(int seconds);
  void CancelRegTimer();
  // A new 200 for the record: own contact and Call-ID follow the client. Releases and re-takes the record.
  static void Refresh(const char* tag, int level, TGuard<Register_t>& reg, const std::string& callid,
                      const std::string& ocnt);

  // A 200 to a SUBSCRIBE from a client behind NAT keeps its registration alive, creating a short one when
  // there is none, so that the server's NOTIFYs find the client. The dialog is locked by the caller.
  static void KeepAliveFromSubscribe(Dialog_t& d);

  // The cache: true when msg (a REGISTER) was turned into the 200 to send back to the client.
  static bool IsHitCache(SIP& msg, const std::string& ncnt, const std::string& fuser, int& level);

  // What a dialog the server opens toward this client starts from.
  RegValues_t Values() const;

  // The number that names the record in "regs-" tags and the internal un-registration.
  uint32_t Number() const { return Number_m; }

  const std::string& NCont() const { return NCont_m; }
  const std::string& OCont() const { return OCont_m; }
  const std::string& CallID() const { return CallID_m; }
  const std::string& Defect() const { return Defect_m; }
  const std::string& Usr() const { return Usr_m; }
  const std::string& Domain() const { return Domain_m; }
  const std::string& FUser() const { return FUser_m; }
  const std::string& TTag() const { return TTag_m; }
  const InetAddr& Hole() const { return Hole_m; }
  void Hole(const InetAddr& h) { Hole_m = h; }
  time_t Expiration() const { return Expiration_m; }
  void Expiration(time_t t) { Expiration_m = t; }
  time_t LastUpdate() const { return LastUpdate_m; }
  int RegTm() const { return RegTm_m; }
  int LogLevel() const { return LogLevel_m; }
  bool FDomain() const { return FDomain_m; }
  bool PublicIP() const { return Publ_m; }
  bool Indirect() const { return Indr_m; }
  bool Chained() const { return Chain_m; }
  bool SRTP() const { return RSRTP_m; }
  bool Prsn() const { return Prsn_m; }
  bool Trnsc() const { return Trnsc_m; }
  bool DDNAT() const { return DDNAT_m; }
  void DDNAT(bool v) { DDNAT_m = v; }
  const InetAddr& SrvSipAddr() const { return SrvSipAddr_m; }
  bool XUnReg() const { return !SrvSipAddr_m.empty(); }
  FWType::Mode_t Mode() const { return Mode_m; }
  void Mode(FWType::Mode_t m) { Mode_m = m; }
  uint32_t ExpRtpIP() const { return ExpRtpIP_m; }
  bool IsMaster() const { return Mastr_m; }
  const std::set<uint32_t>& CallList() const { return RCalls_m; }

  // What registrations tell the rest of the daemon; set once at start-up.
  struct Hooks {
    std::function<bool()> is_slave;
    std::function<void()> set_master;                       // a record's timer runs here: this node is master
    std::function<void(unsigned uno, const InetAddr& addr)> update_call;  // key manager UpdKey
    std::function<void(unsigned uno)> clear_call;           // key manager ClearReg
    std::function<void(const Register_t& reg)> removed;     // HA un-registration and the "removed" event
    std::function<void(SIP& msg, const InetAddr& to)> send_to_server;
  };
  static Hooks hooks;

 private:
  struct RegTimeout_t : TimerCB {
    void timer_cb(const void* cookie) override;
  };
  static void Expired(uint32_t number, uint32_t generation);
  void SendInternalUnregister(long time_left);

  std::string NCont_m, OCont_m, CallID_m, Defect_m, Usr_m, Domain_m, FUser_m;
  InetAddr Hole_m;
  time_t Expiration_m = 0;
  time_t LastUpdate_m = 0;
  int RegTm_m = 0;
  int LogLevel_m = 0;
  bool FDomain_m = false, Publ_m = false, Indr_m = false, Chain_m = false, RSRTP_m = false, Prsn_m = false,
       Trnsc_m = false, DDNAT_m = false;
  std::string TTag_m;
  InetAddr SrvSipAddr_m;
  FWType::Mode_t Mode_m = FWType::UNKNOWN;
  uint32_t ExpRtpIP_m = 0;
  bool Mastr_m = false;
  uint64_t TimerID_m = PollReactor::kNoTimer;
  uint32_t TimerGen_m = 0;
  uint32_t Number_m = 0;
  Mutex RLock_m;
  std::set<uint32_t> RCalls_m;

  static std::map<std::string, Register_t*> RegsCnts;
  static std::map<std::string, Register_t*> RegsCUsr;
  static std::map<uint32_t, Register_t*> RegsNum;  // the timer finds its record by number, never by pointer
  static RW_Mutex RegsLock;
  static RegTimeout_t RegExp;
  static uint32_t NextNumber_m;  // guarded by RegsLock (write)
};
