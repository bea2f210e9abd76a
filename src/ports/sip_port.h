// The SIP ports: one object per bound SIP socket, with its direction mark for the log, the sending path
// (shrinking what goes to a client), the reading loop of a reader thread or of the reactor, and the
// dialog timers it serves. send() may be called from any thread; input_cb from its reader or the reactor.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>
#include <vector>

#include "foundation/reactor.h"
#include "ports/socket.h"

class SIP;

class SIPPort_t : public SocketUDP {
 public:
  static constexpr size_t kMaxDatagram = 8190;
  static constexpr size_t kShrinkAbove = 1420;

  ~SIPPort_t() override = default;
  virtual char spec() const { return '#'; }
  // Sends one message; a message to a client above 1420 bytes is shrunk first (msg changes then).
  // threshold: the dialog's log mask (0 for the global one); level: extra bits for the two log lines.
  int send(SIP& msg, const InetAddr& to, int threshold, int level) const;

 protected:
  virtual bool shrinks() const { return true; }
};

// A datagram read from a port: the bytes (NUL-terminated after len) and the sender.
struct Datagram {
  char* data;
  size_t len;
  InetAddr from;
};

class ExtPort_t : public SIPPort_t, public TimerCB, public InputCB {
 public:
  // What the port hands its datagrams and dialog timers to; set by the core at start-up.
  using Handler = std::function<void(Datagram&)>;
  using TimerHandler = std::function<void(const void* data)>;

  char spec() const override { return 'C'; }
  void SetHandler(Handler h) { handler_m = std::move(h); }
  void SetTimerHandler(TimerHandler h) { timer_handler_m = std::move(h); }

  // fd != 0: called by the reactor on a non-blocking socket, reads one datagram.
  // fd == 0: a reader thread's loop on a blocking socket, until StopReaders.
  void input_cb(int fd) override;
  void timer_cb(const void* data) override;

  // Starts n joinable reader threads named name; 0 or the pthread error.
  int StartReaders(unsigned n, const char* name, const char* banner);
  // Stop flag, shutdown() to wake blocked readers, then join them; the socket stays open.
  void StopReaders();

 protected:
  static void* ReadLoop(void* port);
  // One datagram into buf; false when nothing usable was read. Datagrams cut by the buffer are dropped.
  bool read_one(char* buf, Datagram& d);

  Handler handler_m;
  TimerHandler timer_handler_m;
  std::atomic<bool> stop_m{false};
  std::vector<pthread_t> readers_m;
  const char* thread_name_m = "Ext UDP Read";
  const char* banner_m = "Start External Reading loop\n";
};

class IntPort_t : public ExtPort_t {
 public:
  char spec() const override { return 'S'; }

 protected:
  bool shrinks() const override { return false; }
};

class AltPort_t : public ExtPort_t {
 public:
  char spec() const override { return 'X'; }
};

// The process's SIP ports, bound by start-up.
extern ExtPort_t ExtPort;
extern IntPort_t IntPort;
extern AltPort_t AltPort;
