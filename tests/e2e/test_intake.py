"""The client-side road as a phone sees it: early answers, admission by domain and source, what is
ignored, and that the daemon survives the RFC 4475 torture messages."""

import os
import time
import unittest

from harness import DaemonTestCase, SipClient, header, next_address, status_line, wait_until

SHARED = os.environ.get("OSTREL_SHARED_DIR", "")


class EarlyAnswers(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.d = self.daemon(config_lines=["subscribe_event = presence", "subscribe_event = dialog drop",
                                           "trusted = 127.0.0.250"]).start()
        self.c = SipClient(self.udp_socket(), (self.d.address, self.d.port))
        self.relay_uri = "sip:%s:%d" % (self.d.address, self.d.port)

    def check_answer(self, answer, status):
        self.assertEqual(status_line(answer), status)
        self.assertEqual(header(answer, "Server"), "Ostrel/25.07.10")
        self.assertIsNone(header(answer, "Route"))

    def test_options_to_the_relay_itself(self):
        answer = self.c.ask(self.c.request("OPTIONS", self.relay_uri))
        self.check_answer(answer, "SIP/2.0 200 OK")
        self.assertIsNone(header(answer, "Contact"))

    def test_ping(self):
        self.check_answer(self.c.ask(self.c.request("PING", self.relay_uri)), "SIP/2.0 200 OK")

    def test_subscribe_without_event(self):
        answer = self.c.ask(self.c.request("SUBSCRIBE", "sip:bob@example.com"))
        self.check_answer(answer, "SIP/2.0 400 Bad Request, Event missing")
        self.assertIsNone(header(answer, "Contact"))

    def test_subscribe_with_an_unlisted_event(self):
        answer = self.c.ask(self.c.request("SUBSCRIBE", "sip:bob@example.com", ["Event: message-summary"]))
        self.check_answer(answer, "SIP/2.0 489 Bad Event. message-summary")

    def test_subscribe_with_a_dropped_event_gets_nothing(self):
        self.assertIsNone(self.c.ask(self.c.request("SUBSCRIBE", "sip:bob@example.com", ["Event: dialog"]), 1.0))

    def test_notify_keep_alive_in_any_case(self):
        for event in ("keep-alive", "Keep-Alive"):
            answer = self.c.ask(self.c.request("NOTIFY", "sip:bob@example.com", ["Event: %s" % event]))
            self.check_answer(answer, "SIP/2.0 406 Keep Alive Not Acceptable")

    def test_cancel_without_a_dialog(self):
        answer = self.c.ask(self.c.request("CANCEL", "sip:bob@example.com"))
        self.check_answer(answer, "SIP/2.0 481 Call Leg/Transaction Does Not Exist")
        self.assertIsNone(header(answer, "Contact"))

    def test_keep_alives_and_garbage_get_nothing(self):
        for data in (b"\r\n\r\n", b"jaK\x00", b"\x00ping", b"not sip at all\r\n\r\n"):
            self.c.send(data)
        self.assertIsNone(self.c.receive(1.0))
        self.assertEqual(status_line(self.c.ask(self.c.request("OPTIONS", self.relay_uri))), "SIP/2.0 200 OK")


class SippClient(DaemonTestCase):
    def test_sipp_phone_gets_its_early_answers(self):
        d = self.daemon().start()
        scenario = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios", "options_relay.xml")
        phone = self.sipp(scenario, remote="%s:%d" % (d.address, d.port), port=5062, timeout=20).start()
        self.assertEqual(phone.wait(), 0, phone.output + phone.errors())


class Admission(DaemonTestCase):
    def start(self, lines):
        self.d = self.daemon(config_lines=lines).start()
        self.c = SipClient(self.udp_socket(), (self.d.address, self.d.port))

    def test_unknown_domain_from_an_untrusted_source(self):
        self.start(["domain = example.com"])
        answer = self.c.ask(self.c.request("MESSAGE", "sip:bob@other.org", domain="other.org"))
        self.assertEqual(status_line(answer), "SIP/2.0 404 Not Found")
        self.assertEqual(header(answer, "Server"), "Ostrel/25.07.10")

    def test_wildcard_domain_matches_only_at_a_dot(self):
        self.start(["domain = *example.com"])
        answer = self.c.ask(self.c.request("MESSAGE", "sip:bob@badexample.com", domain="badexample.com"))
        self.assertEqual(status_line(answer), "SIP/2.0 404 Not Found")

    def test_outside_the_white_list(self):
        wl = os.path.join(self.workdir, "wl.txt")
        with open(wl, "w") as f:
            f.write("10.0.0.0/8\n")
        self.start(["domain = example.com whitelist:%s" % wl])
        answer = self.c.ask(self.c.request("MESSAGE", "sip:bob@example.com"))
        self.assertEqual(status_line(answer), "SIP/2.0 403 Forbidden.")

    def test_quiet_mode_answers_nothing(self):
        self.start(["domain = example.com", "quiet_mode = yes"])
        self.assertIsNone(self.c.ask(self.c.request("MESSAGE", "sip:bob@other.org", domain="other.org"), 1.0))

    def test_restricted_domain_redirects_or_declines(self):
        self.start(["domain = corp.example rstr", "restrict_forward = sip:portal@corp.example"])
        answer = self.c.ask(self.c.request("MESSAGE", "sip:bob@corp.example", domain="corp.example"))
        self.assertEqual(status_line(answer), "SIP/2.0 305 Use Proxy")
        self.assertIn("sip:portal@corp.example", header(answer, "Contact"))
        self.d.stop()
        self.start(["domain = corp.example rstr"])
        answer = self.c.ask(self.c.request("MESSAGE", "sip:bob@corp.example", domain="corp.example"))
        self.assertEqual(status_line(answer), "SIP/2.0 603 Decline/Invalid Agent")


class Torture(DaemonTestCase):
    def test_survives_every_torture_message(self):
        folder = os.path.join(SHARED, "conformance", "rfc4475")
        if not os.path.isdir(folder):
            if os.environ.get("CI") == "true":
                self.fail("missing %s" % folder)
            self.skipTest("no torture messages here")
        d = self.daemon().start()
        c = SipClient(self.udp_socket(), (d.address, d.port))
        sent = 0
        for root, _, files in os.walk(folder):
            for name in sorted(files):
                if name.endswith(".dat"):
                    with open(os.path.join(root, name), "rb") as f:
                        c.send(f.read())
                    sent += 1
        self.assertGreater(sent, 40)
        time.sleep(0.5)
        while c.receive(0.2) is not None:
            pass
        answer = c.ask(c.request("OPTIONS", "sip:%s:%d" % (d.address, d.port)))
        self.assertEqual(status_line(answer), "SIP/2.0 200 OK")
        self.assertIsNone(d.proc.poll())


class FloodProtection(DaemonTestCase):
    def test_a_flooding_source_is_blocked_then_answered_again(self):
        d = self.daemon(config_lines=["dos_level = local", "dos_max_mps = 5 2"]).start()
        flooder = SipClient(self.udp_socket(), (d.address, d.port))
        other = SipClient(self.udp_socket(), (d.address, d.port))
        uri = "sip:%s:%d" % (d.address, d.port)
        # Twice the limit and more: even split across a second boundary, one half exceeds it.
        for _ in range(20):
            flooder.send(flooder.request("OPTIONS", uri))
        time.sleep(0.3)
        while flooder.receive(0.1) is not None:
            pass
        self.assertIsNone(flooder.ask(flooder.request("OPTIONS", uri), 0.5), "a blocked source gets nothing")
        self.assertEqual(status_line(other.ask(other.request("OPTIONS", uri))), "SIP/2.0 200 OK")
        self.assertTrue(d.wait_log("exceed MPS Limit"))
        time.sleep(2.2)
        self.assertEqual(status_line(flooder.ask(flooder.request("OPTIONS", uri))), "SIP/2.0 200 OK")

    def test_firewall_commands_get_separate_arguments_and_no_shell(self):
        record = os.path.join(self.workdir, "fw-args")
        script = os.path.join(self.workdir, "fw.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\nfor a in \"$@\"; do printf '%%s\\n' \"$a\"; done >> %s\necho --- >> %s\n" % (record, record))
        os.chmod(script, 0o755)
        marker = os.path.join(self.workdir, "pwned")
        d = self.daemon(config_lines=[
            "dos_level = fw", "dos_max_mps = 3 60",
            "sysfw_rule = R;touch>%s" % marker,
            "sysfw_start = %s start" % script, "sysfw_stop = %s stop" % script,
            "sysfw_block = %s block" % script, "sysfw_unblock = %s unblock" % script]).start()
        flooder = SipClient(self.udp_socket(), (d.address, d.port))
        for _ in range(12):
            flooder.send(flooder.request("OPTIONS", "sip:%s:%d" % (d.address, d.port)))
        def recorded():
            if not os.path.exists(record):
                return ""
            with open(record) as f:
                return f.read()
        self.assertTrue(wait_until(lambda: "block" in recorded()))
        self.assertEqual(d.stop(), 0)
        text = recorded()
        self.assertIn("start\nR;touch>%s\n---" % marker, text)
        self.assertIn("block\nR;touch>%s\n%s\n%d\n---" % (marker, flooder.address, flooder.port), text)
        self.assertIn("stop\n", text)
        self.assertFalse(os.path.exists(marker))


if __name__ == "__main__":
    unittest.main()
