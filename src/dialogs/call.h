// Call: the dialog of one INVITE-initiated call: its INVITE transaction (answers, retransmissions,
// CANCEL, challenges, glare), its completion and the answers the relay gives for calls itself.
// Worker threads and the reactor's timers, always with the call locked (ObjectGuard<Dialog>).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "dialogs/dialog.h"
#include "media/relay.h"
#include "media/rtp_port.h"
#include "ports/ha_record.h"

class Sdp;
class ProbePort;
class SdpMedia;

// The first of PCMU, G729 and GSM an offer lists (the codecs the relay offers and rings in); 0 when none.
uint8_t PreferredCodec(SipMessage& invite);

class SrtpContext;

class Call : public Dialog, private RelayObserver, private ProbeSink {
 public:
  // The events a call reports to the events collector.
  enum CallEventType {
    E_NOP = 0,
    E_INVITE,
    E_TIMEOUT,
    E_CANCEL,
    E_REJECT,
    E_TALK,
    E_CLN_AUDIO,
    E_SRV_AUDIO,
    E_CLN_VIDEO,
    E_SRV_VIDEO,
    E_BYE,
    E_DTOR
  };
  static const char* EventName(int ev);

  // What calls need from the parts above them; unset members do nothing. Installed before any worker runs.
  struct CallHooks {
    std::function<void(const Call& call, int ev, const std::string& extra)> event_call;
    std::function<void(const Call& call, bool started)> ha_call;  // the HA peer learns a call started/stopped
    std::function<void()> set_master;                             // this node serves calls: HA master
    std::function<bool()> is_slave;                               // this node is an HA slave (unset: no)
    // A media stream of an anchored call got a new source. On the relay thread with no lock held: it must
    // not touch the call, hence the number instead of the call.
    std::function<void(unsigned uniq, int ev, const std::string& source)> media_event;
  };
  static CallHooks& Hooks();

  // A call opened by a client (completed by ClientSetup).
  Call(std::unique_ptr<SipMessage> msg, std::string key, Defects defects);
  // A call opened by the server toward a registered client.
  Call(std::unique_ptr<SipMessage> msg, std::string key, const InetAddress& srv,
       const RegistrationValues& reg);
  // A call taken over from the HA peer, entered under key and locked by its creator (Entered() false: the
  // key was taken and the creator deletes it).
  Call(std::string key, Defects defects);
  ~Call() override;

  bool IsCall() const override { return true; }
  void HandleClientMessage(DialogEvent event) override { Process(event, FROM_CLIENT); }
  void HandleServerMessage(DialogEvent event) override { Process(event, FROM_SERVER); }
  bool Confirmed() const override { return confirmed_; }
  bool WithinDialog() const override { return !original_key_.empty(); }
  void Register(Registration* reg) override { registration_ = reg; }
  bool TakeReplacedMark() override { return std::exchange(was_replaced_, false); }

  // The dispatcher: the pair (state, event) selects the handler.
  void Process(DialogEvent event, Direction dir);
  // The retransmission timer fired; false: the call is to be destroyed by the caller.
  bool Retransmit();
  // The INVITE stayed provisional for invite_timeout seconds (Timer C): the inviting side gets 408, the
  // answering side a CANCEL, and the call completes (its ports close).
  void InviteTimeout();
  // 0: the message belongs to the current INVITE transaction; other values: out of sequence; -1: not part of
  // it.
  int CheckSequence(Direction dir);
  // Removes the workarounds a client behind another proxy or relay must not get (NO_100REL,
  // EARLY_MEDIA_AS_ANSWER, ZERO_MEDIA, NO_RECORD_ROUTE: 'E', 'e', 'T', 't'); true when one was removed.
  bool CleanDefect();

  const std::string& OriginalKey() const { return original_key_; }
  Direction InviteDirection() const { return invite_direction_; }
  int ClientMaxCSeq() const { return client_max_cseq_; }
  bool OnHold() const { return hold_time_ != 0; }
  bool IsMaster() const { return master_; }
  // A call read back from the state store at start-up is this relay's own again: its end is reported.
  void Resume() { master_ = true; }
  bool HasVideo() const { return video_; }
  const SipMessage* RetransmittedMessage() const { return retransmitted_.get(); }
  void NextPRACK() { ++no_prack_; }
  int PrackCount() const { return no_prack_; }

  // NAT probe (call_nat.cc), from the reactor thread with the call locked: the alternate port's answers
  // and timers, and the probe port's ICMP refusal.
  // True when callid is the Call-ID of one of this call's probes.
  bool ProbeCallID(const std::string& callid) const;
  void OptionsAnswer(const std::string& branch, const InetAddress& src);
  void ProbeTimeout();
  void ICMP() { icmp_ = true; }
  bool ICMPSeen() const { return icmp_; }
  // Zero-media mode's answer timer fired (call_zero_media.cc).
  void ZAnswerTimeout();
  // The tag number of the relay's own "ostrel-" tags toward the client.
  uint32_t ZeroNumber();
  bool InZeroMode() const { return zero_message_ != nullptr; }
  // The callback of the zero-media answer timer (the core's); set at start-up.
  static TimerCB*& ZAnswerTimer();
  // HA replication and housekeeping (call_replica.cc); the call is locked by the caller.
  // The flags the peer needs, as bits (see kBit*); SetBitMask only sets, never clears.
  unsigned GetBitMask() const;
  void SetBitMask(unsigned mask);
  void OriginalKey(const std::string& key) { original_key_ = key; }
  // What the HA peer needs to carry on the call.
  ha::CallRecord Replica() const;
  // The peer's view of the call; created: the call was just made from the record.
  void ApplyReplica(const ha::CallRecord& r, bool created);
  bool CSTA() const { return csta_; }
  // Housekeeping tears down a call whose parties went silent.
  void ForceBye() { SendXBye(); }
  const SipMessage* ServerView() const { return server_message_.get(); }
  // For an "F" record: the peer's port numbers opened here and the relay started (after ApplyReplica).
  bool TakeOverMedia(const ha::CallRecord& r);
  // Whether each side sent RTP since the last look (housekeeping looks once per period).
  void MediaSince(bool& no_client, bool& no_server);
  // --- Anchored media (call_media.cc). The call's lock is held.
  // Anchors the call (type OPAQUE): opens the client- and server-side port pairs (and the video pairs
  // when the call has video), sets the destinations the SDPs gave and starts the relay thread; with send
  // the pending INVITE goes on (state INVITE_SENT). Set FullReason before calling. Out of ports or
  // threads, whatever was opened is closed, the INVITE's sender gets 500 "Server Error/No Ports" and the
  // call is rejected: false. Harmless on an anchored call (its pairs and thread stay).
  bool StartFullMode(bool send);
  // Joins the relay thread (the pairs stay open); then nothing touches the call's sockets.
  void StopRelay();
  // Leaves the ringing calls, stops the relay and closes every pair.
  void ClosePorts();
  // The client hears the relay's ring tone from its audio pair until StopRings (any call state).
  void StartRings();
  void StopRings();
  bool Anchored() const { return mode_ == NatType::OPAQUE; }
  // Answers to low-bit-rate or 'D' devices keep their first codec and telephone-event.
  void RestrictSdp(Sdp* sdp);
  // Offers of low-bit-rate calls put the compressed codecs first.
  void ReorderSDP(Sdp* sdp);
  bool HasMedia() const { return media_seen_.load(std::memory_order_acquire); }
  ClientRtpPort& ClientRtp() { return client_rtp_; }
  ServerRtpPort& ServerRtp() { return server_rtp_; }
  ClientRtpPort& ClientVideo() { return client_video_; }
  ServerRtpPort& ServerVideo() { return server_video_; }
  const MediaRelay& Relay() const { return relay_; }
  // The SRTP context of the client's audio; null when the call never used SRTP.
  const SrtpContext* ClientSrtp() const;
  bool WasAnchored() const { return relay_.StartedOnce(); }
  int ClientLocalRtpPort() const { return client_local_rtp_port_; }
  int ClientLocalVideoPort() const { return client_local_video_port_; }

 protected:
  bool PreProcess(Direction dir) override;
  void PostProcess(Direction dir) override;
  bool SymmetricWithoutRegistration() const override { return symmetric_ && registration_ == nullptr; }
  const SipMessage* OriginalInvite() const override { return original_invite_.get(); }
  void Symmetric(bool s) override { symmetric_ = s; }
  void LB(bool b) override { load_balanced_ = b; }
  void BareCodec(uint8_t c) override { bare_codec_ = c; }
  void StopCall() override;
  void CallEvent(int ev, const std::string& reason) override;

 private:
  // Transaction handlers (call_invite.cc, call_cancel.cc).
  void InviteReceived(Direction dir);
  void InviteSending();
  void InviteResponse(Direction dir);
  void AnswerToInvite(Direction dir);
  void OtherInTransaction(Direction dir);
  void OutsideTransaction(Direction dir);
  void RepeatedInvite(Direction dir);
  void Challenge(Direction dir, int cseq);
  void CancelReceived(Direction dir);
  void Canceled(Direction dir);
  void Completed(Direction dir);
  void Moved(Direction dir);
  // A provisional answer to the initial INVITE (re)starts Timer C; a 100 only starts it.
  void ArmInviteTimer(int status);
  void AuthSkip(Direction dir);
  bool TimeOut();
  void SendXBye();
  std::string BogusSDP() const;
  // The server's ringing and early answers to the initial INVITE: when the relay plays ringback.
  void RingbackOnAnswer(int status);
  // The client's 200 to the server's INVITE while transcoding is allowed: a rule fitting the answer
  // anchors the call.
  // False when anchoring failed and the call was rejected.
  bool TranscodeAnswer(SipMessage& m);
  // The SDP a transcoded call shows to one side: the rule's template with the relay's port.
  std::unique_ptr<Sdp> TranscodedSdp(Direction dir, bool hold) const;
  // SRTP toward the client: the keys each SDP brings or must carry (call_sdp.cc).
  void SrtpKeys(Sdp& sdp, Direction dir, bool answer);
  // The client's first usable "crypto" line becomes the context's receive keys and every line leaves the
  // media (the server sees plain RTP); false, and the media unchanged, when none is usable.
  bool TakeClientKeys(SdpMedia& media, SrtpContext& context);
  // The pair's SRTP context, made on first use.
  SrtpContext& SrtpOf(ClientRtpPort& pair);
  // Every media section but the first audio and the first video leaves the SDP.
  static void KeepFirstAudioAndVideo(Sdp& sdp);
  // Stores a copy of the current message for retransmission and sets the first 0.5 s timer.
  void RetransmittedMessage(const char* name);
  void OriginalInvite(const SipMessage& m);
  void SetSrvMsg();
  void OverwriteKey();
  // The ACK of a 2xx confirms the dialog.
  void ConfirmByAck();
  void DecideNatType();
  void ClientInviteDefects();
  void CleanSDP(Direction dir, Sdp& sdp);
  void RemoveTool(Sdp& sdp);
  bool HoldCheck(Direction dir);
  void AnswerHoldForDevice();
  // A CANCEL of the relay's own for the pending INVITE, passed toward the answering side.
  void SendCancel(bool drop_via);
  // An answer of the relay's own to the current request (a copy of it), back to the side that sent it.
  void Reply(Direction to, int code, const std::string& reason);
  void ReplyTo(const SipMessage& req, Direction to, int code, const std::string& reason);
  void SendTo(Direction to, SipMessage& m) const;
  static Direction Other(Direction d) { return d == FROM_CLIENT ? FROM_SERVER : FROM_CLIENT; }
  int SequenceOf(const SipMessage& m) const;

  // NAT type decision and probes (call_nat.cc, call_probe.cc).
  void StartProbe();
  void SendOptions();
  void OptionsReceived(bool changed);
  void SecondOptionsReceived();
  void StoreRegistrationMode();
  void SendX183();
  void SendXInvite();
  void SendXAck();
  void PassXAck();
  void PassXAck(const SipMessage& ok);
  void RecoverLostAck();
  std::unique_ptr<SipMessage> SecondInvite() const;
  void ClientMediaReceived();
  void MakeSecondInvite();
  void XAckCancel();
  void ClientAnsweredProbe();
  // The INVITE held back while the client is probed, and the message it stands in for again.
  void HoldInvite();
  void ResumeInvite();
  // The client-side ports during a probe (call_probe_media.cc).
  bool OpenProbeMedia();
  std::string ProbeSDP(bool full);
  void RegisterProbeMedia(bool video);
  void UnregisterProbeMedia();
  bool ClientRtpKnown() const;
  void NoteClientPorts(SipMessage& ok);
  // Anchors the call's media; with send, the INVITE goes on once the relay runs.
  void GoFull(bool send);
  void ProbePacket(RtpPort& pair, const InetAddress& src) override;
  void ProbeToFull();
  // Transfers (call_transfer.cc): REFER in either direction and the answer to it, the NOTIFYs of a
  // transfer the relay answers itself, the Replaces that names a call in zero-media mode.
  void ReferReceived(Direction dir);
  void ServerRefer();
  void ClientRefer();
  // The client's NOTIFY of a transfer while suppression is on: false when it goes no further.
  bool TransferNotify();
  // The server's new INVITE with Replaces names the call by the tags the client knows.
  void ReplacesFromServer();
  // The call of the same client that a Replaces names by Call-ID and tag, locked, when it is in zero-media
  // mode; it is marked as replaced. Never this call, and never a call whose lock another thread holds.
  ObjectGuard<Dialog> FindReplaced(const std::string& callid, const std::string& tag);
  // Zero-media mode (call_zero_media.cc).
  void StoreZInvite();
  bool ZEarlyAnswer();
  void ZeroModeOk(Direction dir);
  void ZeroModeAck(Direction dir);
  void ZeroAnswer(Direction dir);
  void ZeroReinviteResponse(Direction dir);
  void ZRetag(Direction dir);
  std::string ZeroTag() { return "ostrel-" + std::to_string(ZeroNumber()); }
  void StoreZAnswer(const SipMessage& m);
  void ZReInvite(const SipMessage& ok);
  void ZDone();
  void AckServer(const SipMessage& answer, bool confirmed);
  void AckClient(const SipMessage& ok);
  void ZByeToClient();
  void RestoreClientOk();

  std::string original_key_;
  std::unique_ptr<SipMessage> original_invite_;
  std::unique_ptr<SipMessage> response_;
  std::unique_ptr<SipMessage> retransmitted_;
  std::unique_ptr<SipMessage> server_message_;
  bool confirmed_ = false;
  Direction invite_direction_ = FROM_NOWHERE;
  time_t hold_time_ = 0;
  uint64_t last_ack_time_ = 0;
  int client_max_cseq_ = 0;
  int auth_cseq_number_ = 0;
  int no_prack_ = 0;
  Registration* registration_ = nullptr;
  bool master_ = false;
  bool video_ = false;
  bool load_balanced_ = false;
  bool lbc_ = false;
  bool symmetric_ = false;
  bool got_183_ = false;
  bool snat_ = false;
  bool icmp_ = false;
  bool invite_answered_ = false;
  bool expect_prack_ = false;
  bool csta_ = false;
  bool held_cancel_ = false;  // a CANCEL waits for the first provisional answer
  uint8_t bare_codec_ = 0;
  std::unique_ptr<SipMessage> zero_message_;  // zero-media mode: the server's view of the dialog
  std::unique_ptr<SipMessage>
      zero_final_;  // zero-media mode: the server's final answer, kept until the client's ACK
  std::unique_ptr<SipMessage> client_ok_;    // the client's first 200 to the relay's own INVITE
  std::unique_ptr<SipMessage> held_invite_;  // the INVITE held back while the client is probed
  std::string zero_server_media_;  // zero-media mode: the server's media address of its early answer
  std::unique_ptr<ProbePort> probe_port_;
  std::string probe_token_;  // makes the probes' Call-IDs unguessable
  uint32_t zero_number_ = 0;
  // Transfer NOTIFYs of the client: 0 pass; positive, or -4 and -2, dropped while shifted right (defect
  // 'n'); -1 answered 200 "OKey" by the relay until the one whose subscription is terminated.
  int8_t notify_suppression_ = 0;
  bool was_replaced_ = false;    // an INVITE with Replaces named this call
  int zero_reinvite_cseq_ = -1;  // the client-side CSeq of the relay's zero-media re-INVITE
  bool second_invite_ = false;
  bool lost_ack_ = false;
  bool transcoding_renegotiated_ = false;
  unsigned replica_flags_ = 0;        // replicated flags this relay keeps only to pass them on
  uint64_t client_packets_seen_ = 0;  // relayed packet counts at housekeeping's last look
  uint64_t server_packets_seen_ = 0;
  void KeepServerRoute(const ha::CallRecord& r);

  // --- Anchored media (call_media.cc, call_sdp.cc).
  // Rewrites the SDP of msg, which came from dir, for the other side: the relay's ports for an anchored
  // call, the client's public media address for a direct one, a peer's private address behind one NAT.
  void SubstituteSDP(SipMessage& msg, Direction dir);
  void LearnMedia(Direction dir, Sdp& sdp);
  bool LearnClient(const SdpMedia& media, RtpPort& pair, const char* what);
  void LearnServer(const SdpMedia& media, RtpPort& pair, const char* what);
  void NameG729(Sdp& sdp, SdpMedia& audio);
  void NoteClientMedia(const SdpMedia* main, const SdpMedia* video);
  bool SameFirewall(Sdp& sdp, bool hold, SdpMedia* audio, SdpMedia* video, SdpMedia* image);
  void Sign(Sdp& sdp);
  // A re-INVITE switching a direct call to fax; prepares the call for it.
  bool CheckForT38(Direction dir);
  void StreamSeen(RelayEvent event, const std::string& source) override;
  RelaySetup MediaSetup() const;
  // Out of ports or threads: the INVITE's sender gets 500 and the call is rejected.
  void NoPorts();
  // Over anchored_calls_per_ip: the INVITE's sender gets 503 with Retry-After and the call is rejected.
  void TooManyAnchored(unsigned limit);

  std::string signature_sdp_;
  int client_local_rtp_port_ = 0;
  int client_local_video_port_ = 0;
  bool double_nat_ = false;
  uint32_t client_sdp_ip_ = 0;           // the address of the client's last SDP (for the signature)
  uint16_t signature_audio_port_ = 0;    // the audio port of the signature
  std::atomic<bool> media_seen_{false};  // a relayed stream has been seen (written by the relay thread)
  ClientRtpPort client_rtp_{number_};
  ServerRtpPort server_rtp_{number_};
  ClientRtpPort client_video_{number_};
  ServerRtpPort server_video_{number_};
  // After the pairs: destroyed (and its thread joined) before any of them closes.
  MediaRelay relay_{client_rtp_, server_rtp_, client_video_, server_video_};
};
