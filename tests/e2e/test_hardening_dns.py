"""Host names in requests never stall the relay: the names a request needs are looked up by the resolver's
threads while the request waits aside, so a name whose DNS never answers delays nobody else and fails its
own request with the usual answer, while a name that resolves is relayed as before.

Runs in a mount namespace whose /etc/resolv.conf names a fake DNS of the test's own on 127.0.0.53
(CMakeLists.txt binds resolv.conf there), so no query leaves the machine."""

import socket
import struct
import threading
import time
import unittest

from harness import DaemonTestCase, status_line

DNS_ADDRESS = ("127.0.0.53", 53)


class FakeDns:
    """Answers A queries for the names it maps and SRV queries for the services it knows (one target, or
    records with priorities and weights), never answers the silent names, and says NXDOMAIN to the rest;
    counts the queries per name."""

    def __init__(self, names, silent, services=None):
        self.names = names
        self.silent = silent
        self.services = services or {}
        self.queries = {}
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(DNS_ADDRESS)
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()

    def serve(self):
        while self.running:
            try:
                data, source = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            labels, at = [], 12
            while data[at]:
                labels.append(data[at + 1:at + 1 + data[at]].decode())
                at += 1 + data[at]
            qtype = struct.unpack("!H", data[at + 1:at + 3])[0]
            question = data[12:at + 5]
            name = ".".join(labels).lower()
            self.queries[name] = self.queries.get(name, 0) + 1
            if name in self.silent:
                continue
            ip = self.names.get(name)
            answers, count = b"", 0
            if ip and qtype == 1:
                answers, count = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + socket.inet_aton(ip), 1
            elif name in self.services and qtype == 33:
                # (target, port), or a list of (priority, weight, target, port).
                records = self.services[name]
                for prio, weight, target, port in [(0, 1) + records] if isinstance(records, tuple) else records:
                    rdata = struct.pack("!HHH", prio, weight, port) + b"".join(
                        bytes([len(l)]) + l.encode() for l in target.split(".")) + b"\0"
                    answers += struct.pack("!HHHIH", 0xC00C, 33, 1, 60, len(rdata)) + rdata
                    count += 1
            flags = 0x8180 if ip or answers else 0x8183
            head = struct.pack("!HHHHHH", struct.unpack("!H", data[:2])[0], flags, 1, count, 0, 0)
            self.sock.sendto(head + question + answers, source)


class NameResolution(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.peer(relay=None)
        self.dns = FakeDns({"server.test": self.server.address, "sip1.srv.test": self.server.address},
                           {"never.test", "never2.test", "never3.test"},
                           {"_sip._udp.srv.test": ("sip1.srv.test", self.server.port)})
        self.addCleanup(self.dns.stop)
        self.d = self.start_daemon(["domain = srv.test srv", "domain = *test", "domain = example.com"])
        self.dns.names["relay.test"] = self.d.address
        self.relay_uri = "sip:%s:%d" % (self.d.address, self.d.port)

    def options_round_trip(self, phone):
        began = time.monotonic()
        answer = phone.ask(phone.request("OPTIONS", self.relay_uri), 2.0)
        self.assertEqual(status_line(answer), "SIP/2.0 200 OK", self.logs())
        return time.monotonic() - began

    def test_a_name_that_never_resolves_delays_no_one_else(self):
        attacker, phone = self.peer(), self.peer()
        self.options_round_trip(phone)
        began = time.monotonic()
        for n, host in enumerate(["never.test", "never2.test", "never3.test", "never.test"]):
            attacker.send(attacker.request("OPTIONS", "sip:bob@%s" % host, callid="never-%d" % n))
        self.quick_while_names_wait(phone)
        self.assertTrue(self.dns.queries.get("never.test"), self.dns.queries)
        # The third name is over the sender's bound: it fails at once and is never asked; the others fail
        # after the time-out, each with the answer of a destination that does not resolve.
        self.assertNotIn("never3.test", self.dns.queries)
        answers = [attacker.receive_status(484, 4.0) for _ in range(4)]
        self.assertTrue(all(answers), self.logs())
        self.assertLess(time.monotonic() - began, 3.5)
        self.assertIn("Warning: No answer in 2000 ms to resolve: never.test !!!", self.logs())
        self.quick_while_names_wait(phone)

    def quick_while_names_wait(self, phone):
        """Five OPTIONS of another source: typically answered within 100 ms and none held for a lookup's
        time-out (the median, so that one scheduling hiccup of a loaded machine is not taken for a stall)."""
        times = []
        for _ in range(5):
            times.append(self.options_round_trip(phone))
            time.sleep(0.05)
        self.assertLess(sorted(times)[2], 0.1, "%s\n%s" % (times, self.logs()))
        self.assertLess(max(times), 1.0, "%s\n%s" % (times, self.logs()))

    def test_names_that_resolve_are_relayed(self):
        phone = self.peer()
        server_host = "server.test:%d" % self.server.port
        # The relay's own name is the relay: answered by the relay itself.
        self.assertEqual(status_line(phone.ask(phone.request("OPTIONS", "sip:relay.test:%d" % self.d.port))),
                         "SIP/2.0 200 OK", self.logs())
        cases = [("OPTIONS", "sip:bob@" + server_host, []),
                 ("MESSAGE", "sip:bob@example.com", ["Route: <sip:%s;lr>" % server_host]),
                 ("MESSAGE", "sip:bob@srv.test", [])]
        for method, uri, extra in cases:
            with self.subTest(method=method):
                phone.send(phone.request(method, uri, extra))
                request = self.server.receive_request(method)
                self.assertIsNotNone(request, self.logs())
                self.server.answer(request, 200, "OK")
                self.assertIsNotNone(phone.receive_status(200), self.logs())
        # Asked once: the second request found the answer in the cache.
        self.assertEqual(self.dns.queries.get("server.test"), 1, self.dns.queries)


if __name__ == "__main__":
    unittest.main()
