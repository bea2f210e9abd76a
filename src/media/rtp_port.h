// RTP/RTCP port pairs of an anchored call: an even RTP port and the next RTCP port from the configured range,
// their destinations, and the probe mode in which the reactor hands a pair's first packets to the call.
// Open/close/Register/Unregister: the thread holding the call; destinations and sends: any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"
#include "media/srtp_hook.h"
#include "ports/socket.h"

class RtpPort;

// What a call does with the packets of a pair in probe mode (implemented by the call).
class ProbeSink {
 public:
  virtual ~ProbeSink() = default;
  // Reactor thread, with the call's dialog locked: one datagram arrived on `pair` from `src`.
  virtual void ProbePacket(RtpPort& pair, const InetAddress& src) = 0;
};

// How a pair in probe mode reaches its call through the dialog table, which sits above media and
// implements this. The table registers itself when it is created; reactor thread and workers.
class ProbeCalls {
 public:
  virtual ~ProbeCalls() = default;
  // From now on (until RemoveProbeHandle) the socket fd leads to the call numbered `number`.
  virtual void AddProbeHandle(unsigned number, int fd) = 0;
  virtual void RemoveProbeHandle(unsigned number, int fd) = 0;
  // Locks the call that fd leads to and, when it is still call `number`, runs deliver under its lock;
  // false when no such call holds fd.
  virtual bool DeliverLocked(int fd, unsigned number, const std::function<void()>& deliver) = 0;

  static ProbeCalls* Instance() { return instance_; }
  static void SetInstance(ProbeCalls* calls) { instance_ = calls; }

 private:
  static inline ProbeCalls* instance_ = nullptr;
};

class ProbeInput;

class RtpPort : public SocketUDP {
 public:
  // Media sockets hold a few hundred packets, so a scheduling hiccup of the relay loses no audio.
  static constexpr int kSocketBuffer = 256 * 1024;

  explicit RtpPort(unsigned uniq) : number_(uniq) {}
  ~RtpPort() override { close(); }

  // A free pair from the range, searched from a random pair on; the RTP handle or -1 (the range is
  // exhausted). The handle when already open.
  int Open();
  // Exactly `port` and `port` + 1 (an HA slave taking over the master's calls); the handle or -1.
  int Open(int port);
  // Leaves probe mode, closes both sockets. The relay thread using the pair must have been stopped.
  void close();

  // Probe mode: the reactor hands the pair's packets to `call` (the call's unique number leads the
  // reactor's handle lookup to it).
  void Register(ProbeSink* call);
  void Unregister();
  bool Registered() const { return registered_; }

  int LPort() const { return local_port_.load(std::memory_order_acquire); }
  InetAddress RtpDestination() const { return FromKey(rtp_destination_.load(std::memory_order_acquire)); }
  InetAddress RtcpDestination() const { return FromKey(rtcp_destination_.load(std::memory_order_acquire)); }
  void RtpDestination(const InetAddress& a) { rtp_destination_.store(a.Key().b, std::memory_order_release); }
  void RtcpDestination(const InetAddress& a) {
    rtcp_destination_.store(a.Key().b, std::memory_order_release);
  }
  int GetRtcpHandle() const { return rtcp.GetHandle(); }

  int RtpSend(const void* pkt, size_t len) { return static_cast<int>(sendto(pkt, len, RtpDestination(), 0)); }
  int RtcpSend(const void* pkt, size_t len) {
    return static_cast<int>(rtcp.sendto(pkt, len, RtcpDestination(), 0));
  }
  int RtcpReceive(void* buf, size_t len, InetAddress& from, int flags = 0) {
    return static_cast<int>(rtcp.recvfrom(buf, len, from, flags));
  }

  unsigned Number() const { return number_; }
  virtual bool ClientSide() const = 0;

  // Any thread: the pairs open now on the client side (or the server side), and the pairs the configured
  // range holds (on each side's address).
  static int OpenPairs(bool client_side) {
    return open_pairs_[client_side ? 0 : 1].load(std::memory_order_relaxed);
  }
  static int RangePairs();

  // Reactor thread, probe mode, the call's lock held: reads the datagram waiting on fd (still this pair's
  // handle) and hands it to the call.
  void ProbeReceive(int fd);

 protected:
  // The local address of the pair's side (configuration text; empty means any).
  virtual const char* LocalIP() const = 0;

 private:
  static InetAddress FromKey(uint64_t k) {
    InetAddress a;
    InetAddress::PackedKey key;
    key.b = k;
    a.SetKey(key);
    return a;
  }
  // port_lock_ held. Binds both sockets at `port`; 0 or the error that is not EADDRINUSE.
  int BindPair(int port, int& real_error);
  void SetOptions();

  std::atomic<uint64_t> rtp_destination_{0};   // InetAddress key of the far party's RTP address
  std::atomic<uint64_t> rtcp_destination_{0};  // the same for RTCP
  SocketUDP rtcp;
  std::atomic<int> local_port_{-1};
  bool registered_ = false;  // the call's lock held
  ProbeSink* probe_ = nullptr;
  // What the reactor calls while the pair is registered; deleted on the reactor thread (see ProbeInput).
  ProbeInput* probe_input_ = nullptr;
  const unsigned number_;

  static Mutex port_lock_;  // serialises the searches of the range
  // Counts the pair open (side: ClientSide(), taken while the object is whole) or closed.
  void CountOpen();
  void CountClosed();
  int counted_side_ = -1;  // 0 client, 1 server, -1 not counted; the call's lock held
  static std::atomic<int> open_pairs_[2];
};

// Client side: binds `private_ipaddr` and may carry the leg's SRTP context.
class ClientRtpPort : public RtpPort {
 public:
  explicit ClientRtpPort(unsigned uniq) : RtpPort(uniq) {}
  bool ClientSide() const override { return true; }
  SrtpHook* Srtp() const { return srtp_pointer_.load(std::memory_order_acquire); }
  // Installs the context once; false when one is already installed (the relay may be using it).
  bool SetSrtp(std::unique_ptr<SrtpHook> ctx);

 protected:
  const char* LocalIP() const override;

 private:
  std::unique_ptr<SrtpHook> srtp_;
  std::atomic<SrtpHook*> srtp_pointer_{nullptr};
};

// Server side: binds `intern_ipaddr`.
class ServerRtpPort : public RtpPort {
 public:
  explicit ServerRtpPort(unsigned uniq) : RtpPort(uniq) {}
  bool ClientSide() const override { return false; }

 protected:
  const char* LocalIP() const override;
};
