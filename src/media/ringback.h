// Ringback: the ring tone the relay plays to calls that should hear ringing from it, one paced RTP stream per
// ringing call, all sent by one timer job of the media engine on an absolute 20 ms schedule; while no call
// rings the job sleeps. Start/Stop/Ringing: any thread; the job runs on its media thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "media/media_engine.h"
#include "media/rtp_port.h"

// A ringing call as the job sees it.
struct RingTarget {
  const ClientRtpPort* port = nullptr;  // the call's client audio pair: sent from it to its RTP destination
  uint8_t codec = 0;                    // the client's codec: 3 GSM, 18 G.729, anything else G.711 µ-law
  // The destination must be one of these (the client's signalling and media source addresses, host order):
  // ringback never goes to an address that only an SDP named.
  uint32_t allowed_ips[2] = {0, 0};
  unsigned number = 0;  // the call's number and log threshold, for its log lines
  int log_threshold = 0;
};

class Ringback {
 public:
  static constexpr uint64_t kFrameMs = 20;
  // A job more than this many frames late starts a new schedule instead of bursting to catch up.
  static constexpr uint64_t kMaxLateFrames = 5;

  static Ringback& Instance();

  // The call starts hearing ringing (logs "Start Ringing..." once per call); the first ringing call wakes the
  // job ("Ring Thread started"). Plays the configured ring frames.
  void Start(const RingTarget& target);
  // The call stops ringing ("Stop Ringing..."); on return the job no longer sends from its pair, so the pair
  // may be closed. The last one puts the job to sleep ("Ring Thread stoped"). Harmless when not ringing.
  void Stop(const ClientRtpPort* port);
  bool Ringing(const ClientRtpPort* port) const;
  // Calls ringing now, and whether the job's schedule runs.
  size_t Count() const;
  bool Running() const;

 private:
  class Job;
  Ringback() = default;
  // The job's timer, on its media thread.
  void Tick(MediaLoop& loop, uint64_t now_ms);
  // mutex_ held.
  void SendFrame(MediaLoop& loop);

  mutable std::mutex mutex_;  // held by the job while it sends, so Stop waits for at most one round
  std::unordered_map<const ClientRtpPort*, RingTarget> targets_;
  bool running_ = false;  // the schedule runs: set by the first Start, cleared by the last Stop
  bool fresh_ = false;    // the next tick starts a new schedule
  SessionHandle job_;     // attached on the first Start, kept for the process's life
  // The schedule and the RTP header all ringing calls share.
  uint64_t start_ms_ = 0;
  uint64_t ticks_ = 0;
  uint16_t sequence_ = 0;
  uint32_t timestamp_ = 0;
  uint32_t ssrc_ = 0;
  int frame_ = 0;
};
