// Call_t: the dialog of one INVITE-initiated call: its INVITE transaction (answers, retransmissions,
// CANCEL, challenges, glare), its completion and the answers the relay gives for calls itself.
// Worker threads and the reactor's timers, always with the call locked (TGuard<Dialog_t>).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "dialogs/dialog.h"
#include "media/relay.h"
#include "media/rtp_port.h"
#include "ports/ha_record.h"

class SDP;
class SDP_Media;

class Call_t : public Dialog_t, private RelayObserver {
 public:
  // The events a call reports to the events collector.
  enum EvntType_t {
    E_NOP = 0, E_INVITE, E_TIMEOUT, E_CANCEL, E_REJECT, E_TALK,
    E_CLN_AUDIO, E_SRV_AUDIO, E_CLN_VIDEO, E_SRV_VIDEO, E_BYE, E_DTOR
  };
  static const char* EventName(int ev);

  // What calls need from the parts above them; unset members do nothing. Installed before any worker runs.
  struct CallHooks {
    std::function<void(const Call_t& call, int ev, const std::string& extra)> event_call;
    std::function<void(const Call_t& call, bool started)> ha_call;  // the HA peer learns a call started/stopped
    std::function<void()> set_master;                               // this node serves calls: HA master
    std::function<bool()> is_slave;                                 // this node is an HA slave (unset: no)
    // A media stream of an anchored call got a new source. On the relay thread with no lock held: it must
    // not touch the call, hence the number instead of the call.
    std::function<void(unsigned uniq, int ev, const std::string& source)> media_event;
  };
  static CallHooks& Hooks();

  // A call opened by a client (completed by clnSetup).
  Call_t(std::unique_ptr<SIP> msg, std::string key, std::string defect);
  // A call opened by the server toward a registered client.
  Call_t(std::unique_ptr<SIP> msg, std::string key, const InetAddr& srv, const RegValues_t& reg);
  // A call taken over from the HA peer, entered under key and locked by its creator (Entered() false: the
  // key was taken and the creator deletes it).
  Call_t(std::string key, std::string defect);
  ~Call_t() override;

  bool IsCall() const override { return true; }
  void HandleClnMsg(State_t event) override { Process(event, FROM_CLN); }
  void HandleSrvMsg(State_t event) override { Process(event, FROM_SRV); }
  bool Confirmed() const override { return Confirmed_m; }
  bool WithinDlg() const override { return !okey_m.empty(); }
  void Register(Register_t* reg) override { Register_m = reg; }

  // The dispatcher: the pair (state, event) selects the handler.
  void Process(State_t event, Direction_t dir);
  // The retransmission timer fired; false: the call is to be destroyed by the caller.
  bool Retransmit();
  // 0: the message belongs to the current INVITE transaction; other values: out of sequence; -1: not part of it.
  int CheckSeqNo(Direction_t dir);
  // Removes 'E', 'e', 'T', 't' from the defects; true when one was removed.
  bool CleanDefect();

  const std::string& OKey() const { return okey_m; }
  Direction_t InviteDirection() const { return InvDirect_m; }
  int ClnMaxCSeq() const { return ClnMaxCSeqNum_m; }
  bool onHold() const { return HoldTS_m != 0; }
  bool IsMaster() const { return Mastr_m; }
  bool hasVideo() const { return Video_m; }
  const SIP* RetrmMSG() const { return rtm_m.get(); }
  void NextPRACK() { ++NoPRACK_m; }
  int PRACKs() const { return NoPRACK_m; }

  // HA replication and housekeeping (call_replica.cc); the call is locked by the caller.
  // The flags the peer needs, as bits (see kBit*); SetBitMask only sets, never clears.
  unsigned GetBitMask() const;
  void SetBitMask(unsigned mask);
  void OKey(const std::string& key) { okey_m = key; }
  // What the HA peer needs to carry on the call.
  ha::CallRecord Replica() const;
  // The peer's view of the call; created: the call was just made from the record.
  void ApplyReplica(const ha::CallRecord& r, bool created);
  bool CSTA() const { return CSTA_m; }
  // Housekeeping tears down a call whose parties went silent.
  void ForceBye() { SendXBye(); }
  const SIP* SrvMSG() const { return srv_m.get(); }
  // The zero-answer timer found the call waiting for its answer in state Z_ACK_RECV: the INVITE is cancelled
  // toward the server and the client is sent a BYE (call_replica.cc).
  void ZeroAnswerTimeout();
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
  // Stops the relay and closes every pair.
  void ClosePorts();
  bool Anchored() const { return Mode_m == FWType::OPAQUE; }
  // Answers to low-bit-rate or 'D' devices keep their first codec and telephone-event.
  void RestrctSDP(SDP* sdp);
  // Offers of low-bit-rate calls put the compressed codecs first.
  void ReorderSDP(SDP* sdp);
  bool HasMedia() const { return Media_m.load(std::memory_order_acquire); }
  mcUDP_t& ClnRtp() { return ClnRtp_m; }
  msUDP_t& SrvRtp() { return SrvRtp_m; }
  mcUDP_t& ClnVideo() { return ClnVideo_m; }
  msUDP_t& SrvVideo() { return SrvVideo_m; }
  const RelayThread_t& Relay() const { return Relay_m; }
  int ClnLocalRtpPort() const { return ClnLocalRtpPort_m; }
  int ClnLocalVideoPort() const { return ClnLocalVideoPort_m; }

 protected:
  bool PreProcess(Direction_t dir) override;
  void PostProcess(Direction_t dir) override;
  bool SymmetricNoReg() const override { return Symmtr_m && Register_m == nullptr; }
  const SIP* OrigMSG() const override { return org_m.get(); }
  void Symmetric(bool s) override { Symmtr_m = s; }
  void LB(bool b) override { LB_m = b; }
  void BCodec(uint8_t c) override { BCodec_m = c; }
  void StopCall() override;
  void CallEvent(int ev, const std::string& reason) override;

 private:
  // Transaction handlers (call_invite.cc, call_cancel.cc).
  void InviteRecv(Direction_t dir);
  void InviteSending();
  void InviteResponse(Direction_t dir);
  void AnswerToInvite(Direction_t dir);
  void OtherInTransaction(Direction_t dir);
  void OutsideTransaction(Direction_t dir);
  void RepeatedInvite(Direction_t dir);
  void Challenge(Direction_t dir, int cseq);
  void CancelRecv(Direction_t dir);
  void Canceled(Direction_t dir);
  void Completed(Direction_t dir);
  void Moved(Direction_t dir);
  void AuthSkip(Direction_t dir);
  bool TimeOut();
  void SendXBye();
  std::string BogusSDP() const;
  // Stores a copy of the current message for retransmission and sets the first 0.5 s timer.
  void RetrmMSG(const char* name);
  void OrigMSG(const SIP& m);
  void SetSrvMsg();
  void OverwriteKey();
  // The ACK of a 2xx confirms the dialog.
  void ConfirmByAck();
  void DecideFWType();
  void ClientInviteDefects();
  void CleanSDP(Direction_t dir, SDP& sdp);
  void RemoveTool(SDP& sdp);
  bool HoldCheck(Direction_t dir);
  void AnswerHoldForDevice();
  // A CANCEL of the relay's own for the pending INVITE, passed toward the answering side.
  void SendCancel(bool dropVia);
  // An answer of the relay's own to the current request (a copy of it), back to the side that sent it.
  void Reply(Direction_t to, int code, const std::string& reason);
  void ReplyTo(const SIP& req, Direction_t to, int code, const std::string& reason);
  void SendTo(Direction_t to, SIP& m) const;
  static Direction_t Other(Direction_t d) { return d == FROM_CLN ? FROM_SRV : FROM_CLN; }
  int SeqOf(const SIP& m) const;

  std::string okey_m;
  std::unique_ptr<SIP> org_m;
  std::unique_ptr<SIP> rsp_m;
  std::unique_ptr<SIP> rtm_m;
  std::unique_ptr<SIP> srv_m;
  bool Confirmed_m = false;
  Direction_t InvDirect_m = FROM_NOWHERE;
  time_t HoldTS_m = 0;
  uint64_t LastAckTs_m = 0;
  int ClnMaxCSeqNum_m = 0;
  int AuthCSeqNum_m = 0;
  int NoPRACK_m = 0;
  Register_t* Register_m = nullptr;
  bool Mastr_m = false;
  bool Video_m = false;
  bool LB_m = false;
  bool LBC_m = false;
  bool Symmtr_m = false;
  bool Got183_m = false;
  bool SNAT_m = false;
  bool ICMP_m = false;
  bool InvRspRecv_m = false;
  bool ExptPRACK_m = false;
  bool CSTA_m = false;
  bool HeldCancel_m = false;  // a CANCEL waits for the first provisional answer
  uint8_t BCodec_m = 0;
  unsigned ReplicaBits_m = 0;  // replicated flags this relay keeps only to pass them on
  uint64_t ClnNPsav_m = 0;     // relayed packet counts at housekeeping's last look
  uint64_t SrvNPsav_m = 0;
  void KeepServerRoute(const ha::CallRecord& r);

  // --- Anchored media (call_media.cc, call_sdp.cc).
  // Rewrites the SDP of msg, which came from dir, for the other side: the relay's ports for an anchored
  // call, the client's public media address for a direct one, a peer's private address behind one NAT.
  void SubstituteSDP(SIP& msg, Direction_t dir);
  void LearnMedia(Direction_t dir, SDP& sdp);
  bool LearnClient(const SDP_Media& media, mUDP_t& pair, const char* what);
  void LearnServer(const SDP_Media& media, mUDP_t& pair, const char* what);
  void NameG729(SDP& sdp, SDP_Media& audio);
  void NoteClientMedia(const SDP_Media* main, const SDP_Media* video);
  bool SameFirewall(SDP& sdp, bool hold, SDP_Media* audio, SDP_Media* video, SDP_Media* image);
  void Sign(SDP& sdp);
  void StreamSeen(RelayEvent_t event, const std::string& source) override;
  RelaySetup MediaSetup() const;
  // Out of ports or threads: the INVITE's sender gets 500 and the call is rejected.
  void NoPorts();

  std::string SignSDP_m;
  int ClnLocalRtpPort_m = 0;
  int ClnLocalVideoPort_m = 0;
  bool DDNAT_m = false;
  uint32_t ClnSdpIP_m = 0;   // the address of the client's last SDP (for the signature)
  uint16_t SignAport_m = 0;  // the audio port of the signature
  std::atomic<bool> Media_m{false};  // a relayed stream has been seen (written by the relay thread)
  mcUDP_t ClnRtp_m{UniqNo_m};
  msUDP_t SrvRtp_m{UniqNo_m};
  mcUDP_t ClnVideo_m{UniqNo_m};
  msUDP_t SrvVideo_m{UniqNo_m};
  // After the pairs: destroyed (and its thread joined) before any of them closes.
  RelayThread_t Relay_m{ClnRtp_m, SrvRtp_m, ClnVideo_m, SrvVideo_m};
};
