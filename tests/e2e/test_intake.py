"""Both roads in as a peer sees them: the relay's own early answers to a phone and to the SIP server, admission
by domain and source, what is ignored, flood protection, and that the daemon survives the RFC 4475 torture
messages."""

import os
import time
import unittest

from harness import DaemonTestCase, header, next_address, read, status_line, wait_until

SHARED = os.environ.get("OSTREL_SHARED_DIR", "")


class EarlyAnswers(DaemonTestCase):
    # request method, Request-URI (None: the relay itself), headers, status line (None: no answer), with Contact
    CLIENT_CASES = [
        ("OPTIONS", None, [], "SIP/2.0 200 OK", False),
        ("PING", None, [], "SIP/2.0 200 OK", None),
        ("SUBSCRIBE", "sip:bob@example.com", [], "SIP/2.0 400 Bad Request, Event missing", False),
        ("SUBSCRIBE", "sip:bob@example.com", ["Event: message-summary"], "SIP/2.0 489 Bad Event. message-summary", None),
        ("SUBSCRIBE", "sip:bob@example.com", ["Event: dialog"], None, None),
        ("NOTIFY", "sip:bob@example.com", ["Event: keep-alive"], "SIP/2.0 406 Keep Alive Not Acceptable", None),
        ("NOTIFY", "sip:bob@example.com", ["Event: Keep-Alive"], "SIP/2.0 406 Keep Alive Not Acceptable", None),
        ("CANCEL", "sip:bob@example.com", [], "SIP/2.0 481 Call Leg/Transaction Does Not Exist", False),
    ]

    def test_client_and_server_side_early_answers(self):
        server_ip = next_address()  # requests on the internal port come only from servers: this one is trusted
        d = self.start_daemon(["subscribe_event = presence", "subscribe_event = dialog drop", "trusted = 127.0.0.250",
                               "trusted = %s" % server_ip])
        phone = self.peer()
        relay_uri = "sip:%s:%d" % (d.address, d.port)
        for method, uri, headers, status, contact in self.CLIENT_CASES:
            with self.subTest(method=method, headers=headers):
                answer = phone.ask(phone.request(method, uri or relay_uri, headers), 2.0 if status else 1.0)
                self.assertEqual(status_line(answer), status)
                if status:
                    self.assertEqual(header(answer, "Server"), "Ostrel/25.07.10")
                    self.assertIsNone(header(answer, "Route"))
                if contact is False:
                    self.assertIsNone(header(answer, "Contact"))

        # Keep-alives and garbage get nothing.
        for data in (b"\r\n\r\n", b"jaK\x00", b"\x00ping", b"not sip at all\r\n\r\n"):
            phone.send(data)
        self.assertIsNone(phone.receive(1.0))
        self.assertEqual(status_line(phone.ask(phone.request("OPTIONS", relay_uri))), "SIP/2.0 200 OK")

        # A SIPp phone gets its early answers too.
        sipp = self.sipp("options_relay.xml", remote="%s:%d" % (d.address, d.port), port=5062, timeout=20).start()
        self.assertEqual(sipp.wait(), 0, sipp.output + sipp.errors())

        # The server's keep-alive OPTIONS to the relay is answered whatever its Max-Forwards.
        internal = "%s:%d" % (d.address, d.second_port + 3)
        server = self.peer(server_ip, relay=(d.address, d.second_port + 3))
        for max_forwards in (None, "5", "70"):
            text = server.request("OPTIONS", "sip:" + internal)
            text = text.replace("Max-Forwards: 70\r\n", "" if max_forwards is None else "Max-Forwards: %s\r\n" % max_forwards)
            answer = server.ask(text)
            self.assertEqual(status_line(answer), "SIP/2.0 200 OKey", max_forwards)
            self.assertEqual(header(answer, "Server"), "Ostrel/25.07.10")
        # A request for an unknown rewritten Contact is not found.
        uri = "sip:bob*example.com-%s+5062@%s" % (next_address(), internal)
        self.assertEqual(status_line(server.ask(server.request("MESSAGE", uri))), "SIP/2.0 404 Not Found")
        # The answer to a request that came through another proxy keeps its Via.
        answer = server.ask(server.request("OPTIONS", "sip:" + internal,
                                           extra_vias=["SIP/2.0/UDP 127.0.0.77:5080;branch=z9hG4bK-up"]))
        self.assertEqual(status_line(answer), "SIP/2.0 200 OKey")
        self.assertIn("127.0.0.77:5080", answer)
        self.assertIsNone(phone.receive(0.5), "the phone hears nothing of the server's requests")


class Admission(DaemonTestCase):
    def test_requests_the_domain_policy_refuses(self):
        wl = os.path.join(self.workdir, "wl.txt")
        with open(wl, "w") as f:
            f.write("10.0.0.0/8\n")
        # configuration, domain of the request, status line (None: no answer), Contact it carries
        cases = [
            (["domain = example.com"], "other.org", "SIP/2.0 404 Not Found", None),
            (["domain = *example.com"], "badexample.com", "SIP/2.0 404 Not Found", None),  # only at a dot
            (["domain = example.com whitelist:%s" % wl], "example.com", "SIP/2.0 403 Forbidden.", None),
            (["domain = example.com", "quiet_mode = yes"], "other.org", None, None),
            (["domain = corp.example rstr", "restrict_forward = sip:portal@corp.example"], "corp.example",
             "SIP/2.0 305 Use Proxy", "sip:portal@corp.example"),
            (["domain = corp.example rstr"], "corp.example", "SIP/2.0 603 Decline/Invalid Agent", None),
        ]
        for lines, domain, status, contact in cases:
            with self.subTest(config=lines):
                d = self.start_daemon(lines)
                phone = self.peer()
                answer = phone.ask(phone.request("MESSAGE", "sip:bob@" + domain, domain=domain),
                                   2.0 if status else 1.0)
                self.assertEqual(status_line(answer), status)
                if status == "SIP/2.0 404 Not Found":
                    self.assertEqual(header(answer, "Server"), "Ostrel/25.07.10")
                if contact:
                    self.assertIn(contact, header(answer, "Contact"))
                d.stop()


class Torture(DaemonTestCase):
    def test_survives_every_torture_message(self):
        folder = os.path.join(SHARED, "conformance", "rfc4475")
        if not os.path.isdir(folder):
            if os.environ.get("CI") == "true":
                self.fail("missing %s" % folder)
            self.skipTest("no torture messages here")
        d = self.start_daemon()
        c = self.peer()
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
        # A 4 s block: on a loaded machine the flood and the drain below can take longer than a shorter one.
        d = self.start_daemon(["dos_level = local", "dos_max_mps = 5 4"])
        flooder, other = self.peer(), self.peer()
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
        time.sleep(4.2)
        self.assertEqual(status_line(flooder.ask(flooder.request("OPTIONS", uri))), "SIP/2.0 200 OK")

    def test_firewall_commands_get_separate_arguments_and_no_shell(self):
        record = os.path.join(self.workdir, "fw-args")
        script = os.path.join(self.workdir, "fw.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\nfor a in \"$@\"; do printf '%%s\\n' \"$a\"; done >> %s\necho --- >> %s\n" % (record, record))
        os.chmod(script, 0o755)
        marker = os.path.join(self.workdir, "pwned")
        d = self.start_daemon(["dos_level = fw", "dos_max_mps = 3 60", "sysfw_rule = R;touch>%s" % marker] +
                              ["sysfw_%s = %s %s" % (w, script, w) for w in ("start", "stop", "block", "unblock")])
        flooder = self.peer()
        for _ in range(12):
            flooder.send(flooder.request("OPTIONS", "sip:%s:%d" % (d.address, d.port)))
        self.assertTrue(wait_until(lambda: "block" in read(record)))
        self.assertEqual(d.stop(), 0)
        text = read(record)
        self.assertIn("start\nR;touch>%s\n---" % marker, text)
        self.assertIn("block\nR;touch>%s\n%s\n%d\n---" % (marker, flooder.address, flooder.port), text)
        self.assertIn("stop\n", text)
        self.assertFalse(os.path.exists(marker))


if __name__ == "__main__":
    unittest.main()
