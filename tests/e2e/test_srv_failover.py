"""Server selection for calls end to end: a domain with the `srv` option sends its calls to the servers DNS SRV
names (lowest priority first, equal priorities shared by weight, the next server when one stays silent),
or to configured `server` lines or a trusted sender's X-LB list without asking DNS, the wildcard keys
tried from the most to the least specific.

Runs in a mount namespace whose /etc/resolv.conf names the fake DNS of test_hardening_dns on 127.0.0.53
(CMakeLists.txt binds resolv.conf there), so no query leaves the machine."""

import time
import unittest

from harness import DaemonTestCase, header, next_address, response, status_line
from test_hardening_dns import FakeDns


class Servers(DaemonTestCase):
    """Scripted servers on addresses of their own (port 5080) and a phone; a call's INVITE is looked for at
    every server."""

    def servers(self, *names):
        self.srv = {n: self.peer(next_address(), 5080, relay=None) for n in names}

    def call(self, domain, callid, extra=()):
        self.phone.invite(domain, callid, extra=list(extra))

    def which(self, timeout=3.0):
        """(name of the server that got the INVITE, INVITE), looking at each in turn until timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for name, peer in self.srv.items():
                invite = peer.receive_request("INVITE", 0.02)
                if invite:
                    return name, invite
        return None, None

    def refuse(self, name, invite):
        """The server refuses the call; the phone gets the answer and acknowledges it."""
        self.srv[name].answer(invite, 486, "Busy Here")
        answer = self.got(self.phone.receive_status(486))
        self.phone.send(self.phone.in_dialog("ACK", "srv1", 1, header(answer, "Via").split("branch=")[1]))


class DnsSrv(Servers):
    def setUp(self):
        super().setUp()
        self.servers("a", "b")
        a, b = self.srv["a"], self.srv["b"]
        self.dns = FakeDns({"a.srv.test": a.address, "b.srv.test": b.address}, set(), {
            "_sip._udp.prio.test": [(10, 1, "a.srv.test", a.port), (5, 1, "b.srv.test", b.port)],
            "_sip._udp.weight.test": [(5, 1, "a.srv.test", a.port), (5, 3, "b.srv.test", b.port)]})
        self.addCleanup(self.dns.stop)
        self.start_daemon(["log_level = debug+short", "domain = prio.test srv", "domain = weight.test srv"])
        self.phone = self.peer(next_address())

    def test_lowest_priority_first_and_the_next_when_it_stays_silent(self):
        self.call("prio.test", "prio-1")
        name, invite = self.which()
        self.assertEqual(name, "b", self.log())
        self.assertEqual(self.dns.queries.get("_sip._udp.prio.test"), 1)
        # b stays silent: after the first transmission and one retransmission the INVITE goes to a.
        began = time.monotonic()
        self.assertIsNotNone(self.srv["b"].receive_request("INVITE", 1.0), "b's retransmission")
        name, invite = self.which(3.0)
        self.assertEqual(name, "a", self.log())
        self.assertLess(time.monotonic() - began, 2.5)
        self.assertIn("Next Destination: %s:5080" % self.srv["a"].address, self.log())
        self.srv["a"].answer(invite, 200, "OK", body="")
        self.assertEqual(status_line(self.got(self.phone.receive_status(200))), "SIP/2.0 200 OK")

    def test_equal_priorities_share_new_calls_by_weight(self):
        counts = {"a": 0, "b": 0}
        for n in range(60):
            self.call("weight.test", "weight-%d" % n)
            name, invite = self.which()
            self.assertIsNotNone(name, self.log())
            counts[name] += 1
            self.refuse(name, invite)
        # Weights 1 and 3: a gets a quarter (15 of 60 expected; fewer than 5 is a chance of about 1 in 1000).
        self.assertGreaterEqual(counts["a"], 5, counts)
        self.assertGreater(counts["b"], counts["a"], counts)


class ConfiguredServers(Servers):
    def setUp(self):
        super().setUp()
        self.servers("exact", "suffix", "star", "lb")
        s = {n: "%s:5080" % p.address for n, p in self.srv.items()}
        self.dns = FakeDns({}, set())
        self.addCleanup(self.dns.stop)
        phone_ip = next_address()
        self.start_daemon(["log_level = debug+short", "range = 40000 40010", "trusted = %s" % phone_ip,
                           "domain = b.test srv", "domain = x.a.b.test srv", "domain = other.test srv",
                           "server = b.test 0 " + s["exact"], "server = *.b.test 0 " + s["suffix"],
                           "server = * 0 " + s["star"]])
        self.phone = self.peer(phone_ip)

    def test_server_lines_and_x_lb_lists_spare_dns_and_wildcards_go_from_most_to_least_specific(self):
        cases = [("x.a.b.test", [], "suffix"),  # *.x.a.b.test, *.a.b.test, then *.b.test
                 ("b.test", [], "exact"),
                 ("other.test", [], "star"),  # *.other.test, *.test, then *
                 ("lb.test", ["X-LB: %s:5080" % self.srv["lb"].address], "lb")]  # unknown domain, trusted sender
        for n, (domain, extra, expected) in enumerate(cases):
            with self.subTest(domain=domain):
                self.call(domain, "conf-%d" % n, extra)
                name, invite = self.which()
                self.assertEqual(name, expected, self.log())
                self.refuse(name, invite)
        # The intake looks every Request-URI host up before the domain is known (its A record, a cached
        # answer for later requests); the selection of the server asks no SRV record.
        self.assertEqual([q for q in self.dns.queries if q.startswith("_sip.")], [], self.dns.queries)


if __name__ == "__main__":
    unittest.main()
