// Dialog: the state kept for one SIP dialog or stand-alone transaction between a client and the server,
// and the relay operation that rewrites a message for the other side and sends it.
// A dialog is worked on only by the thread holding its lock; timers find it again by its number.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "config/defects.h"
#include "config/fw_type.h"
#include "config/media_policy.h"
#include "config/servers.h"
#include "dialogs/dialog_hooks.h"
#include "dialogs/dialog_state.h"
#include "dialogs/full_mode_reason.h"
#include "dialogs/messages.h"
#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"
#include "sip/message.h"

class DialogTable;
class Registration;
class SipPort;

// Whether a dialog's client uses SRTP, and who holds its keys.
enum class SrtpMode : int8_t {
  OFF = 0,         // plain RTP (the client offered no "crypto")
  ALLOWED = -1,    // allowed for this client or domain; the parties' keys pass through unchanged
  OFFERED = 1,     // the relay terminates SRTP toward the client; the offer is made
  TERMINATED = 3,  // offer and answer made: the relay encrypts and decrypts the client's media
};

// The values of the called client's registration that a dialog opened by the server starts from.
struct RegistrationValues {
  std::string new_contact;  // the Contact the relay registered for the client
  std::string old_contact;  // the client's own Contact
  std::string domain;
  Defects defects;
  InetAddress hole;     // the client's public SIP address
  uint32_t rtp_ip = 0;  // the client's expected RTP address
  bool public_ip = false;
  bool full_domain = false;  // registered through a full domain: its calls are anchored
  bool indirect = false;
  bool chained = false;
  bool persistent = false;
  bool transcoding = false;  // transcoding allowed
  bool srtp = false;         // SRTP allowed
  int log_level = 0;
};

class Dialog {
 public:
  // A dialog has at most one pending timer; bits, so that CancelTimer can name several.
  enum TimerKind {
    T_NONE = 0,
    T_RETRANS = 1,
    T_OPTIONS = 2,
    T_MEDIA = 4,
    T_AUTH = 8,
    T_COMPLETE = 16,
    T_ZANSWER = 32,
    T_INVITE = 64,        // a call's INVITE answered provisionally only (Timer C)
    T_TRANSACTION = 128,  // a plain dialog's request without a final answer (Timer F)
    T_ANY = 255
  };
  enum Direction { FROM_NOWHERE = 0, FROM_CLIENT = 1, FROM_SERVER = 2 };

  // The event of a completion that reports nothing.
  static constexpr int E_NOP = 0;
  // How long a completed transaction keeps answering retransmissions (RFC 3261 Timer J), and a call's linger.
  static constexpr int kLingerMs = 32000;
  // At most this many retransmissions get the stored final response again: an honest client over UDP
  // sends ten in Timer F's 32 s; more only multiply the answer toward wherever the requests claim to be from.
  static constexpr int kMaxAnswersAgain = 10;
  // How long a non-INVITE request waits for its final answer (RFC 3261 Timer F, 64 x T1).
  static constexpr int kTransactionTimeoutMs = 32000;
  static constexpr int kCallLingerSec = 40;

  // A dialog opened by the server toward a registered client; srv is where the server's messages came from.
  Dialog(std::unique_ptr<SipMessage> msg, std::string key, const InetAddress& srv,
         const RegistrationValues& reg);
  // A dialog opened by a client request (completed by ClientSetup); empty defects are taken from the device.
  Dialog(std::unique_ptr<SipMessage> msg, std::string key, Defects defects);
  // A bare entry under key (no message).
  explicit Dialog(std::string key);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  void lock() { lock_.lock(); }
  void unlock() { lock_.unlock(); }
  int trylock() { return lock_.trylock(); }

  // False when the key was taken already: the creator deletes the object without using it.
  bool Entered() const { return number_ != 0; }

  // --- Handlers, called by the intake with the dialog locked: event is what arrived with the current
  // message.
  virtual void HandleClientMessage(DialogEvent event);
  virtual void HandleServerMessage(DialogEvent event);
  // Completes a dialog created from client request m; false: dropped or answered, the caller destroys it.
  bool ClientSetup(const ClientMessage* m);
  // A completed transaction that still answers retransmissions: the intake must not destroy it yet.
  bool Lingers() const { return final_response_ != nullptr; }
  // Calls are removed by their own timer, never by the intake.
  virtual bool IsCall() const { return false; }

  // --- Relay.
  // Rewrites and sends the current message (or msg, which stands in for it during the call and stays the
  // caller's) to the other side.
  void Pass(Direction dir, SipMessage* msg = nullptr);
  void RecordRouteSet(Direction dir, bool keep);
  // Counts a retransmission and picks the server for it; false when the retransmissions are used up.
  bool NextServer();
  void SetRequestUri();
  void Complete(int ev, const std::string& reason);

  virtual bool Confirmed() const { return false; }
  virtual bool WithinDialog() const { return false; }
  // A call that an INVITE with Replaces named: true once, and the mark is cleared (defect 'b').
  virtual bool TakeReplacedMark() { return false; }
  virtual int LogThreshold() const { return 0; }

  // --- State and timers.
  DialogState State() const { return state_.load(std::memory_order_acquire); }
  void State(DialogState s);

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
  bool TimerIsCurrent(const void* cookie) const { return CookieGeneration(cookie) == timer_generation_; }
  int TimerType() const { return timer_type_; }
  uint64_t TimerID() const { return timer_id_; }
  void TimerID(uint64_t id) { timer_id_ = id; }

  // --- Fields (plain reads and writes unless noted).
  const std::string& Key() const { return key_; }
  unsigned Number() const { return number_; }
  const std::string& NumberText() const { return number_text_; }
  const char* NumberCString() const { return number_text_.c_str(); }
  static int32_t GlobalNo();
  SipMessage* GetMessage() const { return message_.get(); }
  void SetMessage(std::unique_ptr<SipMessage> m) { message_ = std::move(m); }
  Direction CurrentDirection() const { return direction_; }
  void CurrentDirection(Direction d) { direction_ = d; }

  const std::string& OldContact() const { return old_contact_; }
  // Also takes the Contact's host and port as ClientContactAddress.
  void OldContact(const std::string& c);
  // OldContact with the dialog's domain as host, no port and no URI parameters.
  void OldContactUri(SipUri& u) const;
  const std::string& NewContact() const { return new_contact_; }
  void NewContact(const std::string& c) { new_contact_ = c; }
  const std::string& Domain() const { return domain_; }
  void Domain(const std::string& d) { domain_ = d; }

  const InetAddress& ServerSipAddress() const { return server_sip_address_; }
  void ServerSipAddress(const InetAddress& a) { server_sip_address_ = a; }
  const InetAddress& ClientSipAddress() const { return client_sip_address_; }
  // Logs when a known address is replaced by another.
  void ClientSipAddress(const InetAddress& a);

  // Where a client's message to this dialog may come from, and when it moves the client's address (the
  // intake asks before it hands the message over; a forged source must not turn the relay into a
  // reflector):
  //  - A retransmission (the CSeq number, method and top Via branch of the client's last new request) is
  //    taken only from the address that sent that request; from any other it is DROPPED, unanswered.
  //  - Responses never move the address.
  //  - A new request (not a retransmission) carrying the dialog's tags moves the address to its source
  //    (MOVED) when the source is the current address of the client's registration (the NAT mapping the
  //    server accepted its REGISTER from), or when the old address stopped answering: the relay sent the
  //    client a request kClientSilentMs ago or more and has heard nothing from that address since.
  //  - A new REGISTER moves it: nothing of it is kept before the registrar accepted it.
  //  - Anything else is relayed (ACCEPT) and answers keep going to the client's current address.
  // A dialog on an RSVP port or with a client on a public address never moves.
  enum class ClientSource { ACCEPT, MOVED, DROP };
  static constexpr uint64_t kClientSilentMs = 4000;
  ClientSource ScreenClientSource(const SipMessage& msg, const InetAddress& source, uint64_t now_ms);
  // A call forgets its registration (the key manager, with the dialog locked); nothing for other dialogs.
  virtual void Register(Registration* reg) {}
  const InetAddress& ClientContactAddress() const { return client_contact_address_; }
  uint32_t ClientRtpIP() const { return client_rtp_ip_; }
  void ClientRtpIP(uint32_t ip) { client_rtp_ip_ = ip; }
  uint16_t ExternalSourcePort() const { return external_source_port_; }
  void ExternalSourcePort(uint16_t p) { external_source_port_ = p; }
  const InetAddress& From() const { return source_; }

  bool PublicIP() const { return public_ip_; }
  void PublicIP(bool b) { public_ip_ = b; }
  bool Indirect() const { return indirect_; }
  void Indirect(bool b) { indirect_ = b; }
  bool Chained() const { return chained_; }
  bool Persistent() const { return persistent_; }
  bool ServerRequestUri() const { return server_request_uri_; }
  bool RSVP() const { return rsvp_; }
  bool KeepContact() const { return keep_contact_; }
  int8_t Transcoding() const { return transcoding_; }
  void Transcoding(int8_t t) { transcoding_ = t; }
  SrtpMode SRTP() const { return srtp_; }
  void SRTP(SrtpMode s) { srtp_ = s; }
  NatType::Mode Mode() const { return mode_; }
  void Mode(NatType::Mode m) { mode_ = m; }
  FullModeReason FullReason() const { return full_reason_; }
  void FullReason(FullModeReason r) { full_reason_ = r; }
  bool Peer() const { return full_reason_ == FullModeReason::SAME_FIREWALL; }
  const std::vector<ServerRecord>* Servers() const { return servers_.get(); }

  bool HasDefect(Defect d) const { return defects_.Has(d); }
  const Defects& DeviceDefects() const { return defects_; }
  void DeviceDefects(const Defects& d) { defects_ = d; }

  int Retransmissions() const { return retransmissions_; }
  void Retransmissions(int r) { retransmissions_ = r; }
  int Shift() const { return cseq_shift_; }
  void Shift(int s) { cseq_shift_ = s; }
  time_t LastUpdate() const { return last_update_; }
  int LogLevel() const { return log_level_; }
  void LogLevel(int l) { log_level_ = l; }

  // The request's start line, or a response's CSeq; "<Undefined>" without a message.
  std::string Print() const;

  // Process-wide hooks into the core and the registrations.
  static DialogHooks& Hooks();

 protected:
  friend class DialogTable;

  // Called by Pass before anything is rewritten (false stops it) and just before sending.
  virtual bool PreProcess(Direction dir);
  virtual void PostProcess(Direction dir);

  // What calls and registrations add; a plain dialog is neither.
  // A call that is symmetric and has no registration behind it.
  virtual bool SymmetricWithoutRegistration() const { return false; }
  // A call's first INVITE, whose top Via restores a response that lost its own.
  virtual const SipMessage* OriginalInvite() const { return nullptr; }
  virtual void Symmetric(bool) {}
  virtual void LB(bool) {}
  virtual void BareCodec(uint8_t) {}
  virtual void StopCall() {}
  virtual void CallEvent(int ev, const std::string& reason) {}
  virtual void SetFullDomain() {}

  // A line of this dialog's log: its number as tag, its threshold, LogThreshold() added to level.
  void LogLine(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
  bool Resolve(InetAddress& a, const std::string& host) const;

  std::atomic<DialogState> state_{
      DialogState::BLANK};  // read by other dialogs' workarounds without this dialog's lock
  std::unique_ptr<SipMessage> message_;
  std::string key_;
  Direction direction_ = FROM_CLIENT;
  std::string old_contact_;
  std::string new_contact_;
  std::string domain_;
  std::string number_text_;
  InetAddress server_sip_address_;
  InetAddress client_sip_address_;
  InetAddress client_contact_address_;
  uint32_t client_rtp_ip_ = 0;
  uint16_t external_source_port_ = 0;
  InetAddress source_;
  bool public_ip_ = false;
  bool indirect_ = false;
  bool chained_ = false;
  bool persistent_ = false;
  bool server_request_uri_ = false;
  bool rsvp_ = false;
  bool keep_contact_ = false;
  int8_t transcoding_ = 0;
  // A copy of the rule transcoding_ numbers, taken when it was chosen: a re-read may shorten the list.
  TranscodingRule transcoding_rule_{G729_60, G729_20};
  SrtpMode srtp_ = SrtpMode::OFF;
  NatType::Mode mode_ = NatType::UNKNOWN;
  FullModeReason full_reason_ = FullModeReason::NONE;
  std::unique_ptr<std::vector<ServerRecord>> servers_;
  Defects defects_;
  int retransmissions_ = 0;
  unsigned number_ = 0;
  int cseq_shift_ = 0;
  uint64_t timer_id_ = PollReactor::kNoTimer;
  int timer_type_ = T_NONE;
  uint32_t timer_generation_ = 0;
  time_t last_update_ = 0;
  int log_level_ = 0;
  Mutex lock_;
  DialogTable* table_;

  // The source address this dialog is counted for in the table's loads (0: none), and what it is counted
  // in; changed by the table under its loads lock, with this dialog locked or being destroyed.
  uint32_t counted_ip_ = 0;
  bool counted_unanswered_ = false;
  bool counted_anchored_ = false;

  // Entries posted for this dialog besides its key and number; changed only under the table's write lock.
  std::vector<std::string> extra_keys_;
  std::vector<unsigned> extra_numbers_;

 private:
  void AddKeys();
  // Pass's steps on the current message.
  void Relay(Direction dir);
  bool NextHopOfResponse(Direction dir, std::string& hop);
  bool UpdateServer(const std::string& hop);
  void RewriteContact();
  // The NOTIFY workarounds of the client's device; false: the NOTIFY is held back.
  bool NotifyWorkarounds();
  // The transaction a plain dialog relays, and its final response once completed.
  struct Transaction {
    int cseq = -1;
    SipStartLine::RequestMethod method = SipStartLine::BLANK_METHOD;
    std::string branch;
  };
  void NoteTransaction(const SipMessage& req);
  static bool IsSameTransaction(const Transaction& t, const SipMessage& req);
  // The client's newest request and its source, whose retransmissions only that source may send.
  void NoteClientRequest(const SipMessage& req, const InetAddress& source);
  bool IsRetransmission(const SipMessage& req) const;
  // ScreenClientSource's question: whether msg carries this dialog's tags (in either order).
  bool HasDialogTags(const SipMessage& msg) const;
  bool IsClientRegistrationAddress(const InetAddress& source) const;
  // After a handler relayed a message: a relayed final response starts the linger.
  void AfterRelay(Direction dir);
  // A request reaching a lingering dialog: true when it was a retransmission and has been answered.
  bool AbsorbRetransmission(Direction dir);
  void CountMethod() const;
  // ClientSetup's steps.
  bool Throttled(const ClientMessage* m);
  bool SetUpDestination(const DomainOptions& opts);
  void AnalyseVias();

  Transaction transaction_;
  std::unique_ptr<SipMessage> final_response_;
  int answered_again_ = 0;  // retransmissions the stored final response answered
  // The client's last request that was no retransmission, and the address it came from.
  Transaction client_request_;
  InetAddress client_request_source_;
  // Since when the client owes an answer to a request the relay sent it (0: it has been heard since).
  uint64_t client_owes_since_ms_ = 0;
};
