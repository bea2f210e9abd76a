// Dialog_t: the state kept for one SIP dialog or stand-alone transaction between a client and the server,
// and the relay operation that rewrites a message for the other side and sends it.
// A dialog is worked on only by the thread holding its lock; timers find it again by its number.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "config/fw_type.h"
#include "config/servers.h"
#include "dialogs/dialog_hooks.h"
#include "dialogs/messages.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"
#include "sip/message.h"

class DialogTable;
class Register_t;
class SIPPort_t;

// The values of the called client's registration that a dialog opened by the server starts from.
struct RegValues_t {
  std::string NewContact;  // the Contact the relay registered for the client
  std::string OldContact;  // the client's own Contact
  std::string Domain;
  std::string Defect;
  InetAddr Hole;       // the client's public SIP address
  uint32_t RtpIP = 0;  // the client's expected RTP address
  bool PublicIP = false;
  bool Indirect = false;
  bool Chained = false;
  bool Prsn = false;
  bool Transc = false;  // transcoding allowed
  bool SRTP = false;    // SRTP allowed
  int LogLevel = 0;
};

class Dialog_t {
 public:
  enum State_t {
    Blank = 0,
    CLN_REGISTER_RECV,
    INVITE_RECV,
    OPTIONS_SENT,
    OPTIONS_RECV,
    INVITE_SENT,
    X_INVITE_SENT,
    X_183_SENT,
    X_ACK_SENT,
    X_CLNMEDIA_RECV,
    Z_OK_SENT,
    Z_ACK_RECV,
    Z_DONE,
    Z_INV_SENT,
    START_FULL_MODE,
    CANCEL_RECV,
    REFER_RECV,
    AUTH,
    MOVED,
    PASS,
    COMPLETE,
    Last
  };
  // A dialog has at most one pending timer; bits, so that CancelTimer can name several.
  enum Timer_t { T_NONE = 0, T_RETRANS = 1, T_OPTIONS = 2, T_MEDIA = 4, T_AUTH = 8, T_COMPLETE = 16, T_ZANSWER = 32, T_ANY = 255 };
  enum Direction_t { FROM_NOWHERE = 0, FROM_CLN = 1, FROM_SRV = 2 };

  // The event of a completion that reports nothing.
  static constexpr int E_NOP = 0;
  // How long a completed transaction keeps answering retransmissions (RFC 3261 Timer J), and a call's linger.
  static constexpr int kLingerMs = 32000;
  static constexpr int kCallLingerSec = 40;

  // A dialog opened by the server toward a registered client; srv is where the server's messages came from.
  Dialog_t(std::unique_ptr<SIP> msg, std::string key, const InetAddr& srv, const RegValues_t& reg);
  // A dialog opened by a client request (completed by clnSetup); an empty defect is taken from the device.
  Dialog_t(std::unique_ptr<SIP> msg, std::string key, std::string defect);
  // A bare entry under key (no message).
  explicit Dialog_t(std::string key);
  virtual ~Dialog_t();
  Dialog_t(const Dialog_t&) = delete;
  Dialog_t& operator=(const Dialog_t&) = delete;

  void lock() { Lock_m.lock(); }
  void unlock() { Lock_m.unlock(); }
  int trylock() { return Lock_m.trylock(); }

  // False when the key was taken already: the creator deletes the object without using it.
  bool Entered() const { return UniqNo_m != 0; }

  // --- Handlers, called by the intake with the dialog locked. event is a State_t value.
  virtual void HandleClnMsg(State_t event);
  virtual void HandleSrvMsg(State_t event);
  // Completes a dialog created from client request m; false: dropped or answered, the caller destroys it.
  bool clnSetup(const ClnMsg* m);
  // A completed transaction that still answers retransmissions: the intake must not destroy it yet.
  bool Lingers() const { return FinalRsp_m != nullptr; }
  // Calls are removed by their own timer, never by the intake.
  virtual bool IsCall() const { return false; }

  // --- Relay.
  // Rewrites and sends the current message (or msg, which stands in for it during the call and stays the
  // caller's) to the other side.
  void Pass(Direction_t dir, SIP* msg = nullptr);
  void RecRouteSet(Direction_t dir, bool keep);
  // Counts a retransmission and picks the server for it; false when the retransmissions are used up.
  bool SrvNext();
  void SetRU();
  void Complete(int ev, const std::string& reason);

  virtual bool Confirmed() const { return false; }
  virtual bool WithinDlg() const { return false; }
  virtual int LogTreshold() const { return 0; }

  // --- State and timers.
  State_t State() const { return State_m.load(std::memory_order_acquire); }
  void State(State_t s);
  static const char* StateName(int s);

  // A timer's data carries the dialog number and a generation; a callback from a replaced timer is stale.
  static const void* TimerCookie(unsigned no, uint32_t generation) {
    return reinterpret_cast<const void*>((uint64_t{generation} << 32) | no);
  }
  static unsigned CookieNumber(const void* cookie) {
    return static_cast<unsigned>(reinterpret_cast<uint64_t>(cookie) & 0xFFFFFFFFu);
  }
  static uint32_t CookieGeneration(const void* cookie) {
    return static_cast<uint32_t>(reinterpret_cast<uint64_t>(cookie) >> 32);
  }
  // The lock is held. Sets the one pending timer, replacing any earlier one.
  void ScheduleTimer(int type, TimerCB* cb, int ms);
  void CancelTimer(int mask);
  bool TimerIsCurrent(const void* cookie) const { return CookieGeneration(cookie) == TimerGen_m; }
  int TimerType() const { return TimerType_m; }
  uint64_t TimerID() const { return TimerID_m; }
  void TimerID(uint64_t id) { TimerID_m = id; }

  // --- Fields (plain reads and writes unless noted).
  const std::string& Key() const { return key_m; }
  unsigned UniqNo() const { return UniqNo_m; }
  const std::string& UniqStr() const { return UniqStr_m; }
  const char* UniqChr() const { return UniqStr_m.c_str(); }
  static int32_t GlobalNo();
  SIP* GetMSG() const { return msg_m.get(); }
  void SetMSG(std::unique_ptr<SIP> m) { msg_m = std::move(m); }
  Direction_t Direction() const { return Direction_m; }
  void Direction(Direction_t d) { Direction_m = d; }

  const std::string& OrgContact() const { return OrgContact_m; }
  // Also takes the Contact's host and port as ClnCntAddr.
  void OrgContact(const std::string& c);
  // OrgContact with the dialog's domain as host, no port and no URI parameters.
  void OrgCntURI(SIP_URI& u) const;
  const std::string& NewContact() const { return NewContact_m; }
  void NewContact(const std::string& c) { NewContact_m = c; }
  const std::string& Domain() const { return Domain_m; }
  void Domain(const std::string& d) { Domain_m = d; }

  const InetAddr& SrvSipAddr() const { return SrvSipAddr_m; }
  void SrvSipAddr(const InetAddr& a) { SrvSipAddr_m = a; }
  const InetAddr& ClnSipAddr() const { return ClnSipAddr_m; }
  // Logs when a known address is replaced by another.
  void ClnSipAddr(const InetAddr& a);
  // A call forgets its registration (the key manager, with the dialog locked); nothing for other dialogs.
  virtual void Register(Register_t* reg) {}
  const InetAddr& ClnCntAddr() const { return ClnCntAddr_m; }
  uint32_t ClnRtpIP() const { return ClnRtpIP_m; }
  void ClnRtpIP(uint32_t ip) { ClnRtpIP_m = ip; }
  uint16_t ExtSPort() const { return ExtSPort_m; }
  void ExtSPort(uint16_t p) { ExtSPort_m = p; }
  const InetAddr& From() const { return frm_m; }

  bool PublicIP() const { return PublicIP_m; }
  void PublicIP(bool b) { PublicIP_m = b; }
  bool Indirect() const { return Indirect_m; }
  void Indirect(bool b) { Indirect_m = b; }
  bool Chained() const { return Chained_m; }
  bool Prsn() const { return Prsn_m; }
  bool SRU() const { return SRU_m; }
  bool RSVP() const { return RSVP_m; }
  bool PCnt() const { return PCnt_m; }
  int8_t Transc() const { return Transc_m; }
  void Transc(int8_t t) { Transc_m = t; }
  int8_t SRTP() const { return SRTP_m; }
  void SRTP(int8_t s) { SRTP_m = s; }
  FWType::Mode_t Mode() const { return Mode_m; }
  void Mode(FWType::Mode_t m) { Mode_m = m; }
  char FullReason() const { return FullReason_m; }
  void FullReason(char r) { FullReason_m = r; }
  bool Peer() const { return FullReason_m == '='; }
  const std::vector<SRVR>* Srvs() const { return Srvs_m.get(); }

  bool Defect(char c) const { return Defect_m.find(c) != std::string::npos; }
  const std::string& Defect() const { return Defect_m; }
  void Defect(const std::string& d) { Defect_m = d; }

  int Retrns() const { return Retrns_m; }
  void Retrns(int r) { Retrns_m = r; }
  int Shift() const { return Shift_m; }
  void Shift(int s) { Shift_m = s; }
  time_t DlgUpdate() const { return DlgUpdate_m; }
  int LogLevel() const { return LogLevel_m; }
  void LogLevel(int l) { LogLevel_m = l; }

  // The request's start line, or a response's CSeq; "<Undefined>" without a message.
  std::string Print() const;

  // Process-wide hooks into the core and the registrations.
  static DialogHooks& Hooks();

 protected:
  friend class DialogTable;

  // Called by Pass before anything is rewritten (false stops it) and just before sending.
  virtual bool PreProcess(Direction_t dir);
  virtual void PostProcess(Direction_t dir);

  // What calls and registrations add; a plain dialog is neither.
  // A call that is symmetric and has no registration behind it.
  virtual bool SymmetricNoReg() const { return false; }
  // A call's first INVITE, whose top Via restores a response that lost its own.
  virtual const SIP* OrigMSG() const { return nullptr; }
  virtual void Symmetric(bool) {}
  virtual void LB(bool) {}
  virtual void BCodec(uint8_t) {}
  virtual void StopCall() {}
  virtual void CallEvent(int ev, const std::string& reason) {}
  virtual void SetFDomain() {}

  // A line of this dialog's log: its number as tag, its threshold, LogTreshold() added to level.
  void DLog(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
  bool Resolve(InetAddr& a, const std::string& host) const;

  std::atomic<State_t> State_m{Blank};  // read by other dialogs' workarounds without this dialog's lock
  std::unique_ptr<SIP> msg_m;
  std::string key_m;
  Direction_t Direction_m = FROM_CLN;
  std::string OrgContact_m;
  std::string NewContact_m;
  std::string Domain_m;
  std::string UniqStr_m;
  InetAddr SrvSipAddr_m;
  InetAddr ClnSipAddr_m;
  InetAddr ClnCntAddr_m;
  uint32_t ClnRtpIP_m = 0;
  uint16_t ExtSPort_m = 0;
  InetAddr frm_m;
  bool PublicIP_m = false;
  bool Indirect_m = false;
  bool Chained_m = false;
  bool Prsn_m = false;
  bool SRU_m = false;
  bool RSVP_m = false;
  bool PCnt_m = false;
  int8_t Transc_m = 0;
  int8_t SRTP_m = 0;
  FWType::Mode_t Mode_m = FWType::UNKNOWN;
  char FullReason_m = '-';
  std::unique_ptr<std::vector<SRVR>> Srvs_m;
  std::string Defect_m;
  int Retrns_m = 0;
  unsigned UniqNo_m = 0;
  int Shift_m = 0;
  uint64_t TimerID_m = PollReactor::kNoTimer;
  int TimerType_m = T_NONE;
  uint32_t TimerGen_m = 0;
  time_t DlgUpdate_m = 0;
  int LogLevel_m = 0;
  Mutex Lock_m;
  DialogTable* table_m;

  // Entries posted for this dialog besides its key and number; changed only under the table's write lock.
  std::vector<std::string> ExtraKeys_m;
  std::vector<unsigned> ExtraNums_m;

 private:
  void AddKeys();
  // Pass's steps on the current message.
  void Relay(Direction_t dir);
  bool NextHopOfResponse(Direction_t dir, std::string& hop);
  bool UpdateServer(const std::string& hop);
  void RewriteContact();
  // The NOTIFY workarounds of the client's device; false: the NOTIFY is held back.
  bool NotifyWorkarounds();
  // The transaction a plain dialog relays, and its final response once completed.
  struct Txn {
    int cseq = -1;
    SIP_StartLine::Method_t method = SIP_StartLine::Blank_Method;
    std::string branch;
  };
  void NoteTransaction(const SIP& req);
  bool IsRetransmission(const SIP& req) const;
  // After a handler relayed a message: a relayed final response starts the linger.
  void AfterRelay(Direction_t dir);
  // A request reaching a lingering dialog: true when it was a retransmission and has been answered.
  bool AbsorbRetransmission(Direction_t dir);
  void CountMethod() const;
  // clnSetup's steps.
  bool Throttled(const ClnMsg* m);
  bool SetUpDestination(const DomainOptions_t& opts);
  void AnalyseVias();

  Txn Txn_m;
  std::unique_ptr<SIP> FinalRsp_m;
};
