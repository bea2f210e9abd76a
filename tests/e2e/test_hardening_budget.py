"""Memory under attack: for a minute, three attacking addresses rotate their source ports (so no single
address-and-port floods) and mix the attacks an internet-facing relay meets: OPTIONS and MESSAGE with a new
Call-ID each, SUBSCRIBEs naming ever new events, INVITEs with two Vias (indirect, so anchored) that their
server leaves ringing, INVITEs full of bad SDP lines, requests from strangers on the internal port, garbage.
The daemon's resident memory stays within a budget above idle, and an honest phone registers and completes
calls all along."""

import os
import random
import socket
import threading
import time
import unittest

from harness import DaemonTestCase, header, next_address, response, status_line

DURATION = float(os.environ.get("OSTREL_ATTACK_SECONDS", "60"))
BUDGET_KB = 64 * 1024
RATE_PER_ATTACKER = 200  # messages per second, under the per-IP rate limit on purpose
PORTS_PER_ATTACKER = 64  # about three messages per second per address and port: no per-port flood either


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def bad_sdp(ip):
    lines = ["v=0", "o=x 1 1 IN IP4 %s" % ip, "s=-", "c=IN IP4 %s" % ip, "t=0 0", "m=audio 4000 RTP/AVP 0"]
    lines += ["a=rtpmap:%d broken line number %d" % (i, i) for i in range(200)] + ["m=bogus", "c=IN IP9 x"]
    return "\r\n".join(lines) + "\r\n"


class Attacker(threading.Thread):
    """One attacking address sending a mix of attacks from many source ports at a steady rate."""

    def __init__(self, relay, internal, target, stop):
        super().__init__(daemon=True)
        self.address = next_address()
        self.relay, self.internal, self.target, self.stop = relay, internal, target, stop
        self.sockets = []
        for _ in range(PORTS_PER_ATTACKER):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((self.address, 0))
            s.setblocking(False)
            self.sockets.append(s)
        self.sent = 0

    def message(self, n, sock):
        port = sock.getsockname()[1]
        callid = "atk-%s-%d" % (self.address, n)
        uri = "sip:bob@%s" % self.target
        kind = n % 8
        method = ["OPTIONS", "MESSAGE", "SUBSCRIBE", "INVITE", "INVITE", "OPTIONS", "MESSAGE", "GARBAGE"][kind]
        if method == "GARBAGE":
            return bytes(random.getrandbits(8) for _ in range(200)), self.relay
        vias = ["Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK-a%d" % (self.address, port, n)]
        extra, body = [], ""
        if method == "SUBSCRIBE":
            extra.append("Event: junk-%s-%d" % (self.address, n))
        if method == "INVITE":
            vias.append("Via: SIP/2.0/UDP 127.0.0.9:5060;branch=z9hG4bK-b%d" % n)
            body = bad_sdp(self.address) if kind == 4 else \
                "v=0\r\no=x 1 1 IN IP4 %s\r\ns=-\r\nc=IN IP4 %s\r\nt=0 0\r\nm=audio %d RTP/AVP 0\r\n" % (
                    self.address, self.address, 20000 + 2 * (n % 1000))
            extra.append("Content-Type: application/sdp")
        lines = ["%s %s SIP/2.0" % (method, uri)] + vias + [
            "Max-Forwards: 70", "From: <sip:eve@%s>;tag=t%d" % (self.target.split(":")[0], n), "To: <%s>" % uri,
            "Call-ID: %s" % callid, "CSeq: 1 %s" % method, "Contact: <sip:eve@%s:%d>" % (self.address, port)]
        lines += extra + ["Content-Length: %d" % len(body)]
        text = ("\r\n".join(lines) + "\r\n\r\n" + body).encode()
        # One message in sixteen tries the server side as a stranger.
        return text, self.internal if n % 16 == 5 else self.relay

    def run(self):
        n = 0
        start = time.monotonic()
        while not self.stop.is_set():
            sock = self.sockets[n % len(self.sockets)]
            data, to = self.message(n, sock)
            try:
                sock.sendto(data, to)
                self.sent += 1
            except OSError:
                pass
            try:
                while sock.recv(65535):
                    pass
            except OSError:
                pass
            n += 1
            delay = start + n / RATE_PER_ATTACKER - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        for s in self.sockets:
            s.close()


class RingingServer(threading.Thread):
    """The attackers' server: answers every INVITE 180 and never 200, ignores the rest."""

    def __init__(self, sock, stop):
        super().__init__(daemon=True)
        self.sock, self.stop = sock, stop
        sock.settimeout(0.2)

    def run(self):
        while not self.stop.is_set():
            try:
                data, source = self.sock.recvfrom(65535)
            except OSError:
                continue
            text = data.decode(errors="replace")
            if text.startswith("INVITE "):
                try:
                    self.sock.sendto(response(text, 180, "Ringing", extra=[
                        "Contact: <sip:bob@%s:%d>" % self.sock.getsockname()]).encode(), source)
                except OSError:
                    pass


class AttackBudget(DaemonTestCase):
    def test_a_minute_of_mixed_attacks_keeps_memory_bounded_while_a_phone_is_served(self):
        server_ip = next_address()
        self.start_daemon(["log_level = error", "dos_level = local", "range = 40000 40400",
                           "domain = %s" % server_ip], asan_options="quarantine_size_mb=16")
        honest = self.peer(server_ip, 5080)
        attack_target = self.udp_socket(server_ip, 5090)
        time.sleep(1.0)
        idle = rss_kb(self.d.proc.pid)

        stop = threading.Event()
        self.addCleanup(stop.set)
        internal = (self.d.address, self.d.second_port + 3)
        attackers = [Attacker((self.d.address, self.d.port), internal, "%s:5090" % server_ip, stop)
                     for _ in range(3)]
        threads = [RingingServer(attack_target, stop)] + attackers
        for t in threads:
            t.start()

        peak = idle
        served = 0
        start = time.monotonic()
        calls = [start + f * DURATION for f in (0.2, 0.5, 0.8)]
        while time.monotonic() < start + DURATION:
            peak = max(peak, rss_kb(self.d.proc.pid))
            if calls and time.monotonic() >= calls[0]:
                calls.pop(0)
                self.phone_registers_and_calls(honest, served)
                served += 1
            time.sleep(0.25)
        stop.set()
        for t in threads:
            t.join(5)

        sent = sum(a.sent for a in attackers)
        self.assertGreater(sent, DURATION * RATE_PER_ATTACKER * 3 * 0.5, "the attack ran at its rate")
        self.assertEqual(served, 3, "the phone was served during the attack")
        print("attack: %d messages, resident memory %d kB idle, %d kB peak" % (sent, idle, peak))
        self.assertIsNone(self.d.proc.poll(), "the daemon is still running")
        self.assertLess(peak - idle, BUDGET_KB,
                        "resident memory %d kB above idle (%d kB) after %d attack messages" % (peak - idle, idle, sent))

    def phone_registers_and_calls(self, server, n):
        phone = self.peer()
        registrar = "%s:%d" % (server.address, server.port)
        phone.send(phone.request("REGISTER", "sip:" + registrar, ["Expires: 3600"], callid="reg-%d" % n,
                                 domain=server.address, to="<sip:alice@%s>" % server.address))
        relayed = self.got(server.receive_request("REGISTER", 5.0), "the registration reaches the server")
        server.grant(relayed)
        self.assertEqual(status_line(phone.receive_where(lambda t: t.startswith("SIP/2.0 200"), 5.0)),
                         "SIP/2.0 200 OK", "the phone's registration is answered")
        callid = "honest-%d" % n
        invite = self.start_call(phone, server, callid)
        self.answer_call(phone, server, invite)
        self.hang_up(phone, server)
        self.assertEqual(header(invite, "Call-ID"), callid)


if __name__ == "__main__":
    unittest.main()
