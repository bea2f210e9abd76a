"""High availability end to end: two relays on distinct loopback addresses, each the other's HA peer. What a
client does through one is replicated to the other (registrations, their removal, established calls, their
end), a restarted relay gets its peer's calls back, and records from any third address are ignored.

Each relay's events/HA socket listens on every address; the test gives each relay's address a route whose
source is that relay's own address, as a host with one address per relay would have."""

import hashlib
import hmac
import os
import re
import socket
import struct
import subprocess
import unittest

from harness import Collector, DaemonTestCase, header, media_of, next_address, status_line, udp_ports_bound, wait_until


def route_from(to_ip, src_ip):
    subprocess.check_call(["ip", "route", "replace", "local", to_ip + "/32", "dev", "lo", "src", src_ip,
                           "table", "local"])


class Pair(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.a_ip, self.b_ip = next_address(), next_address()
        route_from(self.b_ip, self.a_ip)
        route_from(self.a_ip, self.b_ip)
        self.server_ip = next_address()
        self.server = self.media_peer(self.server_ip, 5080)
        self.server_addr = "%s:5080" % self.server_ip
        self.collector = self.peer(next_address(), 9999, kind=Collector)

    def relay(self, name, address, port, peer_ip, peer_port, args=(), lines=()):
        lines = ["ha_peer = %s:%d" % (peer_ip, peer_port + 12), "register_timeout = 45",
                 "log_level = debug+short+reg_regul", "domain = %s smtr" % self.server_ip,
                 "events_collector = %s:%d" % (self.collector.address, self.collector.port)] + list(lines)
        return self.daemon(os.path.join(self.workdir, name), address=address, port=port, config_lines=lines,
                           args=args).start()

    def start_a(self, **kwargs):
        return self.relay("a", self.a_ip, 5060, self.b_ip, 5160, **kwargs)

    def start_b(self, **kwargs):
        return self.relay("b", self.b_ip, 5160, self.a_ip, 5060, **kwargs)

    def register(self, d, user, expires=3600, phone=None, callid=None):
        phone = phone or self.peer(relay=(d.address, d.port))
        phone.send(phone.request("REGISTER", "sip:" + self.server_addr, ["Expires: %d" % expires], from_user=user,
                                 callid=callid or "reg-%s" % user, domain=self.server_ip, cseq=1 if expires else 2,
                                 contact="<sip:%s@192.168.1.20:5062>" % user, to="<sip:%s@%s>" % (user, self.server_ip)))
        relayed = self.got(self.server.receive())
        if expires:
            self.server.grant(relayed, expires)
        else:
            self.server.answer(relayed, 200, "OK", extra=["Expires: 0"], contact="")
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK", d.log())
        return header(relayed, "Contact").strip("<>"), phone

    def events_of(self, d):
        self.collector.drain()
        return [e for e in self.collector.seen if e.endswith("Self: %s:%d\n" % (d.address, d.port))]


class Replication(Pair):
    def test_stranger_ignored_registrations_and_calls_replicated_calls_given_back_after_a_restart(self):
        b = self.start_b()
        # A record from a third address is ignored, and a stranger does not get our calls.
        intruder = self.udp_socket(next_address())
        record = "R|sip:mallory*x@%s:5173|sip:mallory@10.9.9.9:5060|c|||mallory@x||10.9.9.9:5060|3600|45|0|0||||0|0" \
                 % self.b_ip
        intruder.sendto(record.encode(), (self.b_ip, 5172))
        intruder.sendto(b"?", (self.b_ip, 5172))
        self.assertTrue(b.wait_log("is not from the peer - ignored"), b.log())
        self.assertIn("without ha_secret_file: its records are trusted by address alone", b.log())
        dump = b.status_dump()
        self.assertNotIn("mallory", dump)
        self.assertNotIn("Share Calls", b.log())
        self.assertIn("Total: 0\n", dump)

        a = self.start_a()
        # B serves a client itself first, so it is master until A's record arrives.
        carol, _ = self.register(b, "carol")
        self.assertTrue(b.wait_log("HA role: master"), b.log())
        self.assertTrue(wait_until(lambda: carol in a.status_dump()), a.log())
        alice, phone = self.register(a, "alice")
        self.assertTrue(b.wait_log("HA role: slave"), b.log())
        dump = b.status_dump()
        self.assertIn("%s  ==> sip:alice@192.168.1.20:5062\t(" % alice, dump)
        self.assertIn("Total: 2\n", dump)
        # A slave sends no events; A's removal of alice is replicated, and reported by A alone.
        before = len(self.events_of(b))
        self.register(a, "alice", expires=0, phone=phone)
        self.assertTrue(wait_until(lambda: alice not in b.status_dump(), 5), b.log())
        unreg = self.collector.wait("UNREG")
        self.assertIsNotNone(unreg)
        self.assertTrue(unreg.endswith("Self: %s:%d\n" % (a.address, a.port)), unreg)
        self.assertEqual(len(self.events_of(b)), before)

        # Established calls are replicated; an ended one lingers at A to absorb late messages, and B drops it
        # when A destroys it.
        call_line = re.compile(r"\[\d+\] (C&ha-call-1&srv1)\n")
        phones = {}
        for callid in ("ha-call-1", "ha-call-2"):
            phones[callid] = self.peer(relay=(a.address, a.port))
            self.answer_call(phones[callid], self.server, self.start_call(phones[callid], self.server, callid))
            if callid == "ha-call-1":
                self.assertTrue(wait_until(lambda: call_line.search(b.status_dump()) is not None, 5), b.log())
                self.assertRegex(b.status_dump(), r"Active Calls =+\n\[\d+\] C&ha-call-1&srv1\n.*\nTotal: 1\n")
        self.assertTrue(wait_until(lambda: "C&ha-call-2&srv1" in b.status_dump(), 5), b.log())
        self.hang_up(phones["ha-call-2"], self.server, "z9hG4bK-bye-ha")
        self.assertTrue(a.wait_log("End of Dialog  C&ha-call-2", timeout=50), a.log())
        self.assertTrue(wait_until(lambda: "C&ha-call-2" not in b.status_dump(), 5), b.log())

        # A stops (its calls go with it, unreported) and comes back: it asks B, and B gives the call back.
        a.stop()
        a2 = self.relay("a2", self.a_ip, 5060, self.b_ip, 5160)
        self.assertTrue(b.wait_log("Share Calls(1) info with peer."), b.log())
        self.assertTrue(wait_until(lambda: call_line.search(a2.status_dump()) is not None, 5), a2.log())

    def test_anchored_call_replicated_with_its_ports_opened_at_the_peer(self):
        b = self.start_b(args=["-f"], lines=["range = 40000 40010"])
        a = self.start_a(args=["-f"], lines=["range = 40000 40010"])
        phone = self.media_peer()
        phone.relay = (a.address, a.port)
        invite, ok = self.anchored_call(phone, self.server, "ha-full", branch="z9hG4bK-inv-ha-f")
        cln_port, srv_port = media_of(ok)[1], media_of(invite)[1]

        self.assertTrue(b.wait_log("F|C&ha-full&srv1|"), b.log())
        record = [l for l in b.log().split("\n") if "F|C&ha-full&srv1|" in l][0]
        fields = record.split("] ", 1)[1].split("|")
        self.assertEqual(len(fields), 17, record)
        self.assertEqual(fields[6], str(cln_port))
        self.assertEqual(fields[9], str(srv_port))
        self.assertEqual(fields[10], "%s:%d" % (self.server_ip, self.server.media.getsockname()[1]))
        self.assertTrue(wait_until(lambda: {(b.address, cln_port), (b.address, srv_port)} <= udp_ports_bound(), 5),
                        b.log())
        self.assertTrue(b.wait_log("FULL mode"), b.log())
        self.assertNotIn("route set not usable", b.log())
        self.assertRegex(b.status_dump(), r"\[\d+\] C&ha-full&srv1\n")


def spoofed(src, dst, payload):
    """A UDP datagram from any source address and port (a raw socket: the attacker forges the peer's)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    try:
        udp = struct.pack("!HHHH", src[1], dst[1], 8 + len(payload), 0) + payload
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                         socket.inet_aton(src[0]), socket.inet_aton(dst[0]))
        s.sendto(ip + udp, (dst[0], 0))
    finally:
        s.close()


class Secret(Pair):
    """With ha_secret_file on both relays, records forged from the peer's own address (no MAC, a wrong one) and
    a genuine record replayed are dropped and counted, while the peer's records apply."""

    def relay(self, name, address, port, peer_ip, peer_port, args=(), lines=()):
        path = os.path.join(self.workdir, "ha.secret")
        with open(path, "w") as f:
            f.write("a-shared-secret-of-the-pair\n")
        os.chmod(path, 0o600)
        return super().relay(name, address, port, peer_ip, peer_port, args, list(lines) + ["ha_secret_file = " + path])

    def test_forged_and_replayed_records_refused_the_peers_applied(self):
        b, a = self.start_b(), self.start_a()
        self.assertNotIn("without ha_secret_file", b.log())
        alice, phone = self.register(a, "alice")
        self.assertTrue(wait_until(lambda: alice in b.status_dump(), 5), b.log())
        genuine = re.search(r" (R\|%s\|[^\n]*\|\d+\.\d+\|[0-9a-f]{32})\n" % re.escape(alice), b.log()).group(1)

        from_a, to_b = (self.a_ip, 5072), (self.b_ip, 5172)
        mallory = "R|sip:mallory*x@%s:5173|sip:mallory@10.9.9.9:5060|c|||mallory@x||10.9.9.9:5060|3600|45|0|0||||0|0" \
                  % self.b_ip
        spoofed(from_a, to_b, ("U|" + alice).encode())
        spoofed(from_a, to_b, (mallory + "|1.1|" + "0" * 32).encode())
        self.assertTrue(b.wait_log("HA record without a valid MAC - dropped"), b.log())
        # The genuine removal applies; the genuine registration sent again is a replay.
        self.register(a, "alice", expires=0, phone=phone)
        self.assertTrue(wait_until(lambda: alice not in b.status_dump(), 5), b.log())
        spoofed(from_a, to_b, genuine.encode())
        self.assertTrue(wait_until(lambda: "1 replayed" in b.status_dump(), 5), b.log())
        dump = b.status_dump()
        self.assertNotIn("mallory", dump)
        self.assertNotIn(alice, dump)
        self.assertIn("HA records: 2 without a valid MAC, 1 replayed, 0 from strangers, 0 not sent\n", dump)

        # A record the peer could not read whole is not sent, and says so.
        self.register(a, "dave", callid="reg|dave")
        self.assertTrue(a.wait_log("HA record not sent, a field holds '|' or a line end: R|"), a.log())
        self.assertIn(", 1 not sent\n", a.status_dump())

    def test_a_restarted_peer_is_accepted_again(self):
        b, a = self.start_b(), self.start_a()
        a.stop()
        a2 = self.relay("a2", self.a_ip, 5060, self.b_ip, 5160)
        carol, _ = self.register(a2, "carol")
        self.assertTrue(wait_until(lambda: carol in b.status_dump(), 5), b.log())


if __name__ == "__main__":
    unittest.main()
