// The SIP ports: one object per bound SIP socket, with its direction mark for the log, the sending path
// (shrinking what goes to a client), the reading loop of a reader thread or of the reactor, and the
// dialog timers it serves. send() may be called from any thread; OnInput from its reader or the reactor.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/reactor.h"
#include "ports/socket.h"

class SipMessage;

// The kinds of SIP port, for the datagram counts: the clients' port, the second address's probe ports, the
// servers' port, the alternate (NAT probe) port and the events/HA port.
enum class SipPortKind : uint8_t { EXTERNAL = 0, SECOND, INTERNAL, ALTERNATE, EVENTS };
inline constexpr size_t kSipPortKinds = 5;
// Datagrams read and sent through the ports of one kind since start; relaxed counters, any thread.
struct PortTraffic {
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> sent{0};
  void Received() { received.fetch_add(1, std::memory_order_relaxed); }
  void Sent() { sent.fetch_add(1, std::memory_order_relaxed); }
};
extern PortTraffic g_port_traffic[kSipPortKinds];
inline PortTraffic& TrafficOf(SipPortKind kind) { return g_port_traffic[static_cast<size_t>(kind)]; }

class SipPort : public SocketUDP {
 public:
  static constexpr size_t kMaxDatagram = 8190;
  static constexpr size_t kShrinkAbove = 1420;

  ~SipPort() override = default;
  virtual char DirectionMark() const { return '#'; }
  virtual SipPortKind Kind() const { return SipPortKind::EXTERNAL; }
  // Sends one message; a message to a client above 1420 bytes is shrunk first (msg changes then).
  // threshold: the dialog's log mask (0 for the global one); level: extra bits for the two log lines.
  int send(SipMessage& msg, const InetAddress& to, int threshold, int level) const;

 protected:
  virtual bool Shrinks() const { return true; }
};

// A datagram read from a port: the bytes (NUL-terminated after len) and the sender; waits counts how often
// the intake kept it for a name lookup and handed it back.
struct Datagram {
  char* data;
  size_t len;
  InetAddress from;
  int waits = 0;
  // Read by a reader thread (not the reactor), which may process its request itself.
  bool on_reader = false;
};

class ExternalPort : public SipPort, public TimerCB, public InputCB {
 public:
  // What the port hands its datagrams and dialog timers to; set by the core at start-up.
  using Handler = std::function<void(Datagram&)>;
  using TimerHandler = std::function<void(const void* data)>;

  ExternalPort();
  ~ExternalPort() override;  // out of line: the read buffers' type is the source file's

  char DirectionMark() const override { return 'C'; }
  void SetHandler(Handler h) { handler_ = std::move(h); }
  void SetTimerHandler(TimerHandler h) { timer_handler_ = std::move(h); }

  // fd != 0: called by the reactor on a non-blocking socket, reads what is waiting (up to kBatch).
  // fd == 0: a reader thread's loop on a blocking socket, until StopReaders.
  void OnInput(int fd) override;
  void OnTimer(const void* data) override;

  // Starts n joinable reader threads named name; 0 or the pthread error (or the errno of a failed bind).
  // A port bound with BindShared() gives each reader a socket of its own on its address, so that the
  // datagrams of one source are handed on in the order they came (see ReadLoop).
  int StartReaders(unsigned n, const char* name, const char* banner);
  // Stop flag, shutdown() to wake blocked readers, then join them; the port's own socket stays open for
  // sending, the readers' further sockets close.
  void StopReaders();

 protected:
  static void* ReadLoop(void* port);
  // Hands on the datagrams of the blocking socket sock until StopReaders.
  void ReadSocket(int sock);
  // Datagrams read with one system call: up to kBatch of what is waiting, each into a buffer of its own.
  struct ReadBatch;
  static constexpr unsigned kBatch = 32;
  // Reads into batch what sock holds (flags: MSG_WAITFORONE blocks for the first only, MSG_DONTWAIT not at
  // all) and hands each datagram on in the order read; the number read, or -1 with errno. Datagrams cut by
  // the buffer are dropped.
  int ReadAndHand(int sock, ReadBatch& batch, int flags);

  Handler handler_;
  TimerHandler timer_handler_;
  std::atomic<bool> stopping_{false};
  std::vector<pthread_t> readers_;
  // The sockets of the readers after the first, which reads the port's own; written before the readers
  // start, only read by them.
  std::vector<std::unique_ptr<SocketUDP>> reader_sockets_;
  std::atomic<unsigned> next_reader_{0};
  std::unique_ptr<ReadBatch> reactor_batch_;  // the reactor's buffers, made at its first read
  const char* thread_name_ = "Ext UDP Read";
  const char* banner_ = "Start External Reading loop\n";
};

class InternalPort : public ExternalPort {
 public:
  char DirectionMark() const override { return 'S'; }
  SipPortKind Kind() const override { return SipPortKind::INTERNAL; }

 protected:
  bool Shrinks() const override { return false; }
};

class AlternatePort : public ExternalPort {
 public:
  char DirectionMark() const override { return 'X'; }
  SipPortKind Kind() const override { return SipPortKind::ALTERNATE; }
};

// The process's SIP ports, bound by start-up.
extern ExternalPort g_external_port;
extern InternalPort g_internal_port;
extern AlternatePort g_alternate_port;
