"""A relay on the open internet under floods, each attack beside an honest peer: a flooder rotating its source
port is blocked on its whole address, and faulty messages cost a bounded number of log lines."""

import re
import time
import unittest

from harness import SDP, DaemonTestCase, next_address, status_line, wait_until


class PortRotatingFlood(DaemonTestCase):
    def test_many_ports_of_one_address_are_blocked_while_another_phone_is_answered(self):
        d = self.start_daemon(["dos_level = local", "dos_max_mps = 5 4", "dos_ip_max_mps = 40"])
        uri = "sip:%s:%d" % (d.address, d.port)
        honest = self.peer()
        flood_ip = next_address()
        # 40 ports, 4 messages each: every port under its own limit of 5, the address at 160 a second.
        ports = [self.peer(flood_ip) for _ in range(40)]
        answered = 0
        for round_ in range(4):
            for p in ports:
                p.send(p.request("OPTIONS", uri))
            answered += status_line(honest.ask(honest.request("OPTIONS", uri))) == "SIP/2.0 200 OK"
        self.assertEqual(answered, 4, "the honest phone is answered throughout")
        self.assertTrue(d.wait_log("Source: %s exceed IP MPS Limit: 40" % flood_ip), d.log())
        self.assertIn("Set Block for %s:0 for 4 sec" % flood_ip, d.log())
        self.assertNotIn("exceed MPS Limit", d.log(), "no single port went over its own limit")
        for p in ports:
            while p.receive(0.05) is not None:
                pass
        fresh = self.peer(flood_ip)
        self.assertIsNone(fresh.ask(fresh.request("OPTIONS", uri), 0.5), "a new port of the address gets nothing")
        self.assertEqual(status_line(honest.ask(honest.request("OPTIONS", uri))), "SIP/2.0 200 OK")
        self.assertTrue(d.wait_log("Remove Block for %s:0" % flood_ip, timeout=8))
        self.assertEqual(status_line(fresh.ask(fresh.request("OPTIONS", uri))), "SIP/2.0 200 OK")


# An SDP that fails (the last m= line's port) after many bad lines: two faults for each "?bad" line.
BAD_LINES = 60
BAD_SDP = SDP.format(ip="{ip}", extra="".join("?bad line %d\r\n" % i for i in range(BAD_LINES)) +
                     "m=audio 99999 RTP/AVP 0\r\n")
LINE = re.compile(r"^\[[^\]]*\] (\d\d:\d\d:\d\d)\.\d+ (.*)$")


class FaultLogBound(DaemonTestCase):
    def fault_lines(self, since):
        """(second, text) of the lines about faulty input written after since characters of the log."""
        lines = []
        for line in self.d.log()[since:].splitlines():
            m = LINE.match(line)
            if m and any(w in m.group(2) for w in ("SDP", "BAD Parse", "suppressed")):
                lines.append((m.group(1), m.group(2)))
        return lines

    def test_bad_sdp_writes_one_summary_and_a_flood_a_bounded_log(self):
        # The per-address limits (the message rate's block too) would refuse most of the flood before its SDP
        # is read: off here, so that every INVITE of the flood reaches the SDP parser and the log bound alone
        # is measured.
        d = self.start_daemon(["dos_level = off", "dos_max_mps = 0", "unanswered_calls_per_ip = 0",
                               "dialogs_per_ip = 0"])
        server = self.peer(next_address(), 5080)
        target = "%s:%d" % (server.address, server.port)
        honest = self.peer()
        relay_uri = "sip:%s:%d" % (d.address, d.port)

        attacker = self.peer()
        attacker.invite(target, "bad-sdp-1", body=BAD_SDP.format(ip=attacker.address))
        self.assertTrue(d.wait_log("faults in the message from %s:%d]" % (attacker.address, attacker.port)), d.log())
        time.sleep(0.3)
        summary = [t for _, t in self.fault_lines(0) if "faults in the message" in t]
        self.assertEqual(summary, ["SDP no '=' error [%d faults in the message from %s:%d]" %
                                   (2 * BAD_LINES + 1, attacker.address, attacker.port)])
        self.assertEqual(d.log().count("SDP no '=' error"), 1, "one line, not one per bad line")
        self.assertEqual(d.log().count("Error: Parsing received SDP"), 1)

        since = len(d.log())
        for i in range(300):
            attacker.invite(target, "bad-sdp-flood-%d" % i, body=BAD_SDP.format(ip=attacker.address))
            attacker.send(b"GARBAGE %d that is no SIP at all\r\n\r\n" % i)
        self.assertEqual(status_line(honest.ask(honest.request("OPTIONS", relay_uri), 3.0)), "SIP/2.0 200 OK")
        self.assertTrue(d.wait_log("similar lines suppressed", timeout=5), d.log()[since:])
        time.sleep(1.2)  # the last second's count comes at its end
        lines = self.fault_lines(since)
        per_second = {}
        for second, text in lines:
            if "suppressed" not in text:
                per_second[second] = per_second.get(second, 0) + 1
        self.assertLessEqual(max(per_second.values()), 20, lines)
        told = sum(int(re.search(r"\.\.\. (\d+) similar", t).group(1)) for _, t in lines if "suppressed" in t)
        self.assertGreater(told, 0, "what was held back is counted")
        # Before, each of these INVITEs wrote its 121 faults, some several times over.
        self.assertLess(len(d.log()) - since, 64 * 1024)
        self.assertEqual(status_line(honest.ask(honest.request("OPTIONS", relay_uri))), "SIP/2.0 200 OK")


if __name__ == "__main__":
    unittest.main()
