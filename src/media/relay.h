// MediaRelay: the packet handler of one anchored call, run by a media thread of the engine. It moves every
// packet to the opposite side, latches onto the addresses packets really come from and guards both sides
// against foreign sources. Start/Stop: the thread holding the call; the setters and counters: any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "config/media_policy.h"
#include "foundation/inet_addr.h"
#include "media/media_engine.h"
#include "media/rtp_port.h"
#include "media/stream_quality.h"

// Event numbers of the events port for a stream's new source (0: no event).
enum RelayEvent : int { E_NOP = 0, E_CLN_AUDIO = 6, E_SRV_AUDIO = 7, E_CLN_VIDEO = 8, E_SRV_VIDEO = 9 };

// What the call tells the relay when it starts it. Fixed for the thread's life.
struct RelaySetup {
  int log_threshold = 0;  // the call's log threshold (0: the global mask)
  bool accept_any =
      false;  // load-balancer mode or a negative repeat_threshold_first: any client address may send
  bool symmetric = false;  // the server side latches onto the addresses its packets come from
  uint32_t orig_ip = 0;    // the client's public media address, host order (the call's client_rtp_ip_)
  // The client's signalling source address (host order): media may go to it before the client has sent
  // any; any other client address must first be confirmed by a packet from it.
  uint32_t signalling_ip = 0;
  bool video = false;  // relay the video pairs too (used only when both are open)
  // The audio is converted between the client's codec and the server's (the rule's client code decides
  // how); client_payload is the client codec's payload type.
  bool transcode = false;
  TranscodeFormat transcode_from = G729_60;
  uint8_t client_payload = 0;
};

// What the relay tells the call. Called on the call's media thread, which holds no lock while calling and
// serves other calls too: never wait for a lock here.
class RelayObserver {
 public:
  virtual ~RelayObserver() = default;
  // A stream's source or SSRC changed: the call has media; send `event` (E_NOP: none) with the source text.
  virtual void StreamSeen(RelayEvent event, const std::string& source) = 0;
  // Packets from a foreign client source since the last batch (at most one batch per 100 ms). The default
  // tallies them with the flood detector as RTP suspicions of the call.
  virtual void ForeignPackets(const InetAddress& src, unsigned count, unsigned uniq);
};

// The media side of one anchored call as the engine relays it: the call's port pairs, what the relay learned,
// its counters and its per-stream quality. Start/Stop: the thread holding the call; the rest: any thread.
class MediaRelay {
 public:
  // The pairs belong to the call and must outlive this object (declare it after them, so it is stopped
  // before they close).
  MediaRelay(ClientRtpPort& cln_rtp, ServerRtpPort& srv_rtp, ClientRtpPort& cln_video,
             ServerRtpPort& srv_video);
  ~MediaRelay() { Stop(); }
  MediaRelay(const MediaRelay&) = delete;
  MediaRelay& operator=(const MediaRelay&) = delete;

  // Hands the open audio pairs (and video pairs with setup.video) to a media thread. false: the audio pairs
  // are not open, the relay runs already, or no media thread could be started; answer it like a failed port
  // allocation. observer may be null; it must outlive the relay's run.
  bool Start(const RelaySetup& setup, RelayObserver* observer);
  // Takes the call off its media thread: on return the engine no longer touches the call or its sockets.
  // Logs "Terminating thread". Harmless when not running.
  void Stop();
  bool Running() const { return static_cast<bool>(handle_); }
  // The relay ran at some time (its quality figures mean something).
  bool StartedOnce() const { return started_once_; }
  // The media thread serving the call; -1 when not running.
  int ThreadIndex() const;

  // The dialog is established: from then on a non-symmetric server side accepts only its exact address.
  void Established(bool on) { established_.store(on, std::memory_order_release); }
  // The call terminates SRTP toward the client (both keys are in place).
  void SrtpTerminated(bool on) { srtp_.store(on, std::memory_order_release); }

  // Packets accepted from each side since the start (the call's ClientPacketCount and ServerPacketCount).
  uint64_t ClientPacketCount() const { return client_ticks_.load(std::memory_order_relaxed); }
  uint64_t ServerPacketCount() const { return server_ticks_.load(std::memory_order_relaxed); }
  // Quality of the audio from the client and from the server, over every run of the relay.
  StreamQuality::Figures ClientQuality() const { return client_quality_.Snapshot(); }
  StreamQuality::Figures ServerQuality() const { return server_quality_.Snapshot(); }
  // True once, for the first caller after the relay ran and stopped: whoever adds a finished call's quality
  // to a total asks this, so a call whose end is seen twice (its completion, then its destruction) counts
  // once. The call's lock held.
  bool TakeFinalQuality() const { return started_once_ && !Running() && !quality_taken_.exchange(true); }

 private:
  friend class RelaySession;

  RtpPort* pairs_[4];  // client audio, server audio, client video, server video
  SessionHandle handle_;
  RelaySetup setup_;
  RelayObserver* observer_ = nullptr;
  unsigned number_;
  bool started_once_ = false;
  std::atomic<bool> established_{false};
  std::atomic<bool> srtp_{false};
  mutable std::atomic<bool> quality_taken_{false};
  std::atomic<uint64_t> client_ticks_{0};
  std::atomic<uint64_t> server_ticks_{0};
  StreamQuality client_quality_;  // counted by the media thread, read by anyone
  StreamQuality server_quality_;
};
