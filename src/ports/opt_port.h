// ProbePort: a call's own probe socket on the second address, from which the ".1" NAT probe goes out and
// whose ICMP errors tell that the client's NAT answers probes with "port unreachable".
// Created on the thread holding the call; error/input callbacks and deletion on the reactor thread (Retire).
#pragma once

#include <functional>
#include <memory>

#include "foundation/reactor.h"
#include "ports/sip_port.h"

class ProbePort : public SipPort, public ErrorCB, public InputCB {
 public:
  // A bound and registered port for the call with that unique number (see Usable()).
  static std::unique_ptr<ProbePort> Open(int uno);
  // Binds an ephemeral port on second_ipaddr with the IP error queue on.
  explicit ProbePort(int uno);
  ~ProbePort() override;
  ProbePort(const ProbePort&) = delete;
  ProbePort& operator=(const ProbePort&) = delete;

  char DirectionMark() const override { return 'O'; }
  SipPortKind Kind() const override { return SipPortKind::SECOND; }
  bool Usable() const { return GetHandle() >= 0; }
  // Hands the port to the reactor; only once the object is complete, since the reactor may call it at once.
  void Enroll();
  int Number() const { return number_; }

  // Reactor thread: an ICMP "port unreachable" for the probe marks the call.
  void OnError(int fd) override;
  // Reactor thread: nothing is expected here; a datagram is read and dropped so that it cannot keep the
  // reactor awake.
  void OnInput(int fd) override;

  // The reactor runs callbacks without its lock, so the socket is unregistered and deleted on the reactor
  // thread: at once when called there, otherwise through a zero-delay timer.
  static void Retire(std::unique_ptr<ProbePort> port);

  // What an ICMP refusal does to the call with that unique number; set at start-up.
  static std::function<void(int uno)> OnICMP;

 private:
  const int number_;
  bool registered_ = false;
};
