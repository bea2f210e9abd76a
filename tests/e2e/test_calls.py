"""Calls relayed end to end: SIPp phones and servers (or scripted peers) on either side of the daemon, the
phone on a public address (its Contact is its source), so media stays direct."""

import os
import re
import time
import unittest

from harness import DaemonTestCase, SipClient, header, next_address, status_line, wait_until

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")


def symmetric_domain(server_ip):
    """Calls to the server's domain are symmetric: the relay record-routes them and keeps the phone's Contact."""
    return "domain = %s smtr" % server_ip


def sections(log_text, marker):
    """The messages a peer logged, split at each SIPp message marker."""
    return [s for s in log_text.split(marker) if s.strip()]


class BasicCall(DaemonTestCase):
    def run_call(self, listeners, hangup):
        server_ip, client_ip = next_address(), next_address()
        d = self.daemon(config_lines=["num_listeners = %d" % listeners, "log_level = debug+short",
                                      symmetric_domain(server_ip)]).start()
        internal = "%s:%d" % (d.address, d.second_port + 3)
        outer = "%s:%d" % (d.address, d.port)
        keys = ["-set", "hangup", hangup]
        server = self.sipp(os.path.join(SCENARIOS, "uas_call.xml"), address=server_ip, port=5080, name="server",
                           extra=keys).start()
        client = self.sipp(os.path.join(SCENARIOS, "uac_call.xml"), address=client_ip, port=5062, name="client",
                           remote=outer, extra=keys + ["-key", "server_addr", "%s:5080" % server_ip]).start()
        self.assertEqual(client.wait(), 0, client.output + client.errors() + d.log())
        self.assertEqual(server.wait(), 0, server.output + server.errors() + d.log())

        seen_by_client = client.messages()
        self.assertEqual(len(re.findall(r"SIP/2.0 100 ", seen_by_client)), 1, "only the relay's own 100")
        self.assertIn("SIP/2.0 100 Trying", seen_by_client)
        self.assertNotIn("a=tool", seen_by_client, "the server's tool attribute is removed")

        seen = server.messages()
        invite = seen[seen.index("INVITE sip:bob@"):]
        self.assertRegex(invite, r"Via: SIP/2.0/UDP %s;branch=z9hG4bK-ostrel-\d+-1\.0" % re.escape(internal))
        self.assertRegex(invite, r"Record-Route: <sip:\d+@%s;lr>" % re.escape(internal))
        ok = seen_by_client[seen_by_client.index("SIP/2.0 200 OK"):]
        self.assertRegex(ok, r"Record-Route: <sip:\d+@%s;lr>" % re.escape(outer), "the phone sees the outer face")
        ack = seen[seen.index("ACK sip:bob@%s:5080" % server_ip):]
        self.assertIn("Route: <sip:%s:5080;lr>" % server_ip, ack, "the ACK follows the route set")
        if hangup == "client":
            bye = seen[seen.index("BYE sip:bob@"):]
            self.assertRegex(bye, r"Via: SIP/2.0/UDP %s;branch=z9hG4bK-ostrel-\d+-2\.A" % re.escape(internal))
        else:
            bye = seen_by_client[seen_by_client.index("BYE sip:alice@"):]
            self.assertRegex(bye, r"Via: SIP/2.0/UDP %s;branch=z9hG4bK-ostrel-\d+-1\.A" % re.escape(outer))

        # The completed call stays 40 s to catch late messages, then it goes.
        self.assertTrue(d.wait_log("Set timer 'COMPLETE' to 40 sec."), d.log())
        completed = time.monotonic()
        self.assertTrue(d.wait_log("End of Dialog  C&", timeout=50), d.log())
        self.assertGreater(time.monotonic() - completed, 38)

    def test_single_thread_mode_client_hangs_up(self):
        self.run_call(1, "client")

    def test_multi_thread_mode_server_hangs_up(self):
        self.run_call(4, "server")


SDP = "v=0\r\no=alice 1 1 IN IP4 {ip}\r\ns=-\r\nc=IN IP4 {ip}\r\nt=0 0\r\nm=audio 40000 RTP/AVP 0 8 101\r\n" \
      "a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n{extra}"


def headers(text, name):
    """Every value of a header (long name, any case), in order."""
    out = []
    for line in text.split("\r\n")[1:]:
        if not line:
            break
        key, _, value = line.partition(":")
        if key.strip().lower() == name.lower():
            out.append(value.strip())
    return out


class ScriptedServer:
    """The SIP server as a socket: reads what the relay sends and answers it by hand."""

    def __init__(self, sock):
        self.sock = sock
        self.address, self.port = sock.getsockname()
        self.last_from = None

    def receive(self, timeout=2.0):
        self.sock.settimeout(timeout)
        try:
            data, src = self.sock.recvfrom(65535)
        except OSError:
            return None
        self.last_from = src
        return data.decode(errors="replace")

    def receive_request(self, method, timeout=2.0):
        """The next request of that method, skipping retransmissions and anything else."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.receive(max(0.05, deadline - time.monotonic()))
            if text and text.startswith(method + " "):
                return text
        return None

    def answer(self, request, code, reason, tag="srv1", extra=(), body=""):
        lines = ["SIP/2.0 %d %s" % (code, reason)]
        lines += ["Via: %s" % v for v in headers(request, "Via")]
        if code > 100 and code < 300:
            lines += ["Record-Route: %s" % r for r in headers(request, "Record-Route")]
        lines.append("From: %s" % header(request, "From"))
        to = header(request, "To")
        lines.append("To: %s" % (to if ";tag=" in to or code == 100 else to + ";tag=" + tag))
        lines += ["Call-ID: %s" % header(request, "Call-ID"), "CSeq: %s" % header(request, "CSeq")]
        if code > 100 and code < 300:
            lines.append("Contact: <sip:bob@%s:%d>" % (self.address, self.port))
        lines += list(extra)
        if body:
            lines.append("Content-Type: application/sdp")
        lines.append("Content-Length: %d" % len(body))
        self.send("\r\n".join(lines) + "\r\n\r\n" + body)

    def send(self, text):
        self.sock.sendto(text.encode(), self.last_from)


class Phone(SipClient):
    """A public phone: its Contact is its source; it keeps what it needs to CANCEL, ACK and BYE."""

    def invite(self, server_addr, callid, cseq=1, extra=(), body=None, branch=None):
        self.branch = branch or "z9hG4bK-inv-%s-%d" % (callid, cseq)
        self.callid = callid
        self.uri = "sip:bob@" + server_addr
        text = self.request("INVITE", self.uri, list(extra) + ["Content-Type: application/sdp"],
                            body=SDP.format(ip=self.address, extra="") if body is None else body,
                            via_branch=self.branch, cseq=cseq, callid=callid)
        self.invite_text = text
        self.send(text)
        return text

    def in_dialog(self, method, invite, to_tag, cseq, branch, extra=(), body=""):
        """A request of the INVITE's transaction or dialog, with the INVITE's From."""
        lines = ["%s %s SIP/2.0" % (method, invite.split(" ")[1]),
                 "Via: SIP/2.0/UDP %s:%d;branch=%s" % (self.address, self.port, branch),
                 "Max-Forwards: 70", "From: %s" % header(invite, "From"),
                 "To: %s%s" % (header(invite, "To"), ";tag=" + to_tag if to_tag else ""),
                 "Call-ID: %s" % header(invite, "Call-ID"), "CSeq: %d %s" % (cseq, method),
                 "Contact: <sip:alice@%s:%d>" % (self.address, self.port)] + list(extra)
        if body:
            lines.append("Content-Type: application/sdp")
        lines.append("Content-Length: %d" % len(body))
        return "\r\n".join(lines) + "\r\n\r\n" + body

    def receive_status(self, code, timeout=3.0):
        """The next answer with that status, skipping others; None when none came."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.receive(max(0.05, deadline - time.monotonic()))
            if text and status_line(text).split(" ")[1] == str(code):
                return text
        return None


class ScriptedCall(DaemonTestCase):
    """Calls with scripted peers, for what a phone or server does at the edges of a transaction."""

    def setUp(self):
        super().setUp()
        self.server_ip = next_address()
        self.d = self.daemon(config_lines=["log_level = debug+short", symmetric_domain(self.server_ip)]).start()
        self.server = ScriptedServer(self.udp_socket(self.server_ip, 5080))
        self.phone = Phone(self.udp_socket(), (self.d.address, self.d.port))
        self.server_addr = "%s:5080" % self.server_ip

    def start_call(self, callid):
        self.phone.invite(self.server_addr, callid)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        invite = self.server.receive_request("INVITE")
        self.assertIsNotNone(invite, self.d.log())
        return invite


class Cancel(ScriptedCall):
    def test_cancel_before_any_answer_waits_for_the_first_provisional(self):
        invite = self.start_call("cancel-held")
        cancel = self.phone.in_dialog("CANCEL", self.phone.invite_text, None, 1, self.phone.branch)
        self.phone.send(cancel)
        self.assertIsNone(self.server.receive_request("CANCEL", timeout=1.0), "held until the server answers")
        self.server.answer(invite, 180, "Ringing")
        relayed = self.server.receive_request("CANCEL")
        self.assertIsNotNone(relayed, self.d.log())
        self.assertEqual(header(relayed, "Via"), header(invite, "Via"), "the CANCEL matches the INVITE")
        self.assertNotIn(";tag=", header(relayed, "To"))
        self.server.answer(relayed, 200, "OK")
        self.server.answer(invite, 487, "Request Terminated")
        self.assertIsNotNone(self.phone.receive_status(487), self.d.log())

    def test_cancel_after_ringing_is_forwarded_at_once(self):
        invite = self.start_call("cancel-ringing")
        self.server.answer(invite, 100, "Trying")
        self.server.answer(invite, 180, "Ringing")
        self.assertIsNotNone(self.phone.receive_status(180))
        self.phone.send(self.phone.in_dialog("CANCEL", self.phone.invite_text, None, 1, self.phone.branch))
        relayed = self.server.receive_request("CANCEL", timeout=0.5)
        self.assertIsNotNone(relayed, self.d.log())
        self.server.answer(relayed, 200, "OK")
        self.server.answer(invite, 487, "Request Terminated")
        self.assertIsNotNone(self.phone.receive_status(487), self.d.log())
        ack = self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 1, self.phone.branch)
        self.phone.send(ack)
        self.assertIsNotNone(self.server.receive_request("ACK"), "the ACK of the 487 reaches the server")

    def test_bye_before_the_answer_cancels_the_servers_invite(self):
        invite = self.start_call("bye-early")
        self.server.answer(invite, 180, "Ringing")
        self.assertIsNotNone(self.phone.receive_status(180))
        self.phone.send(self.phone.in_dialog("BYE", self.phone.invite_text, "srv1", 2, "z9hG4bK-bye-early"))
        self.assertIsNotNone(self.phone.receive_status(200), self.d.log())
        relayed = self.server.receive_request("CANCEL")
        self.assertIsNotNone(relayed, self.d.log())
        self.assertEqual(header(relayed, "Via"), header(invite, "Via"))


class Challenge(ScriptedCall):
    def test_challenge_retry_and_second_challenge(self):
        invite = self.start_call("auth-1")
        self.server.answer(invite, 401, "Unauthorized", extra=['WWW-Authenticate: Digest realm="x", nonce="n1"'])
        challenge = self.phone.receive_status(401)
        self.assertIsNotNone(challenge, self.d.log())
        self.assertIn("nonce", header(challenge, "WWW-Authenticate"))
        self.phone.send(self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 1, self.phone.branch))
        self.assertIsNotNone(self.server.receive_request("ACK"))

        credentials = 'Authorization: Digest username="alice", realm="x", nonce="n1", response="abc"'
        self.phone.invite(self.server_addr, "auth-1", cseq=2, extra=[credentials])
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        retried = self.server.receive_request("INVITE")
        self.assertIsNotNone(retried, self.d.log())
        self.assertEqual(header(retried, "CSeq"), "2 INVITE")
        self.assertIn('response="abc"', header(retried, "Authorization"))

        self.server.answer(retried, 407, "Proxy Authentication Required",
                           extra=['Proxy-Authenticate: Digest realm="x", nonce="n2"'])
        self.assertIsNotNone(self.phone.receive_status(407), self.d.log())
        self.assertTrue(self.d.wait_log("Call event REJECT: Wrong Authorization"), self.d.log())
        self.assertTrue(self.d.wait_log("Report H suspect: %s:%d" % (self.phone.address, self.phone.port)),
                        self.d.log())


class SilentServer(ScriptedCall):
    def test_invite_sent_eight_times_then_408_and_cancel(self):
        self.phone.invite(self.server_addr, "silent-1")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        times = []
        first = None
        while len(times) < 8:
            text = self.server.receive(timeout=3.0)
            self.assertIsNotNone(text, "%d INVITEs only\n%s" % (len(times), self.d.log()))
            if text.startswith("INVITE "):
                first = first or text
                times.append(time.monotonic())
        offsets = [t - times[0] for t in times]
        for got, expected in zip(offsets, [0, 0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5]):
            self.assertAlmostEqual(got, expected, delta=0.3)
        timeout = self.phone.receive_status(408, timeout=2.0)
        self.assertIsNotNone(timeout, self.d.log())
        self.assertEqual(status_line(timeout), "SIP/2.0 408 Request Timeout")
        cancel = self.server.receive_request("CANCEL")
        self.assertIsNotNone(cancel, self.d.log())
        self.assertEqual(header(cancel, "Via"), header(first, "Via"))
        self.assertIsNone(self.server.receive_request("INVITE", timeout=1.5), "no ninth INVITE")
        self.assertTrue(self.d.wait_log("End of Dialog  C&silent-1"), self.d.log())


class ReInvite(ScriptedCall):
    def establish(self, callid):
        invite = self.start_call(callid)
        self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
        self.assertIsNotNone(self.phone.receive_status(200), self.d.log())
        self.phone.send(self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 1, "z9hG4bK-ack-" + callid))
        self.assertIsNotNone(self.server.receive_request("ACK"), self.d.log())
        return invite

    def server_request(self, method, invite, cseq):
        """A request of the server inside the call, toward the phone."""
        from_tag = header(invite, "From").split(";tag=")[1]
        lines = ["%s sip:alice@%s:%d SIP/2.0" % (method, self.phone.address, self.phone.port),
                 "Via: SIP/2.0/UDP %s:5080;branch=z9hG4bK-srv-%d" % (self.server_ip, cseq),
                 "Max-Forwards: 70", "From: <sip:bob@example.com>;tag=srv1",
                 "To: <sip:alice@example.com>;tag=%s" % from_tag, "Call-ID: %s" % header(invite, "Call-ID"),
                 "CSeq: %d %s" % (cseq, method), "Contact: <sip:bob@%s:5080>" % self.server_ip, "Content-Length: 0"]
        return "\r\n".join(lines) + "\r\n\r\n"

    def test_hold_glare_and_repeated_reinvite(self):
        invite = self.establish("reinv-1")
        hold = self.phone.in_dialog("INVITE", self.phone.invite_text, "srv1", 2, "z9hG4bK-hold",
                                    body=SDP.format(ip=self.phone.address, extra="a=sendonly\r\n"))
        self.phone.send(hold)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        relayed = self.server.receive_request("INVITE")
        self.assertIsNotNone(relayed, self.d.log())
        self.assertRegex(header(relayed, "X-Holder") or "", r"^sip:alice@")

        self.server.send(self.server_request("INVITE", invite, 7))
        glare = self.server.receive()
        self.assertEqual(status_line(glare), "SIP/2.0 491 Request Pending", self.d.log())

        self.phone.send(hold)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying Again")
        self.server.answer(relayed, 200, "OK", body=SDP.format(ip=self.server_ip, extra="a=recvonly\r\n"))
        self.assertIsNotNone(self.phone.receive_status(200))
        self.phone.send(hold)
        again = self.phone.receive()
        self.assertEqual(status_line(again), "SIP/2.0 200 OK", "the stored answer, sent again")
        self.assertEqual(header(again, "CSeq"), "2 INVITE")
        self.phone.send(self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 2, "z9hG4bK-ack-hold"))
        self.assertIsNotNone(self.server.receive_request("ACK"))
        self.assertTrue(self.d.wait_log("New State -  PASS"))

    def test_unanswered_reinvite_ends_the_call(self):
        self.establish("reinv-2")
        reinvite = self.phone.in_dialog("INVITE", self.phone.invite_text, "srv1", 2, "z9hG4bK-reinv2",
                                        body=SDP.format(ip=self.phone.address, extra=""))
        self.phone.send(reinvite)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        timeout = self.phone.receive_status(504, timeout=10.0)
        self.assertIsNotNone(timeout, self.d.log())
        self.assertEqual(status_line(timeout), "SIP/2.0 504 Server Time-out")
        bye = self.server.receive_request("BYE", timeout=2.0)
        self.assertIsNotNone(bye, self.d.log())
        self.assertIn(";tag=srv1", header(bye, "To"))
        self.assertTrue(header(bye, "User-Agent").startswith("Ostrel/"), bye)
        self.assertEqual(header(bye, "CSeq"), "1002 BYE", "past every CSeq the phone used")
        self.assertTrue(self.d.wait_log("Call event BYE: CLN"), self.d.log())


class DeviceDefects(DaemonTestCase):
    """What each defect letter of a client's device changes in its INVITE on the way to the server."""

    # letter, what the phone adds or changes, check on what the server receives
    CASES = [
        ("E", {"headers": ["Supported: 100rel, timer"]}, lambda t, s: t.assertEqual(header(s, "Supported"), "timer")),
        ("T", {"headers": ["Supported: 100rel"]}, lambda t, s: t.assertIsNone(header(s, "Supported"))),
        ("t", {"headers": ["Record-Route: <sip:proxy.example.com;lr>"]},
         lambda t, s: t.assertNotIn("proxy.example.com", s)),
        ("U", {}, lambda t, s: t.assertIn("m=audio 40000 RTP/AVP 0 101\r\n", s)),
        ("i", {"user": "bob.smith", "headers": ["Call-Info: <sip:example.com>;answer-after=0"]},
         lambda t, s: t.assertRegex(s.split("\r\n")[0], r"^INVITE sip:[\d.]+:5080 SIP/2.0$")),
        ("A", {"body": ""}, lambda t, s: (t.assertEqual(header(s, "Content-Type"), "application/sdp"),
                                          t.assertIn("s=SIP Ostrel", s))),
        ("C", {"user": "ostrel"}, lambda t, s: t.assertRegex(s.split("\r\n")[0], r"^INVITE sip:bob@[\d.]+:5080 ")),
    ]

    def invite(self, phone, server_ip, letter, case, port=5080):
        user = case.get("user", "bob")
        uri = "sip:%s@%s:%d" % (user, server_ip, port)
        body = case.get("body", SDP.format(ip=phone.address, extra=""))
        extra = ["User-Agent: Phone-%s" % letter] + case.get("headers", [])
        if body:
            extra.append("Content-Type: application/sdp")
        text = phone.request("INVITE", uri, extra, body=body, callid="defect-" + letter)
        if user == "ostrel":
            text = text.replace("To: <%s>" % uri, "To: <sip:bob@%s:%d>" % (server_ip, port))
        phone.send(text)

    def received(self, server, callid):
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            server.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                text = server.recvfrom(65535)[0].decode()
            except OSError:
                return None
            if text.startswith("INVITE ") and header(text, "Call-ID") == callid:
                return text
        return None

    def test_each_letter_changes_the_invite(self):
        server_ip = next_address()
        config = [symmetric_domain(server_ip)] + ["broken = %s Phone-%s" % (l, l) for l, _, _ in self.CASES]
        config += ["broken = P Phone-P"]
        d = self.daemon(config_lines=config).start()
        server = self.udp_socket(server_ip, 5080)
        phone = SipClient(self.udp_socket(), (d.address, d.port))
        for letter, case, check in self.CASES:
            with self.subTest(letter=letter):
                self.invite(phone, server_ip, letter, case)
                seen = self.received(server, "defect-" + letter)
                self.assertIsNotNone(seen, d.log())
                check(self, seen)
        # 'P': a Request-URI naming the relay's own port loses it (and goes to the default port).
        default_port = self.udp_socket(server_ip, 5060)
        self.invite(phone, server_ip, "P", {}, port=d.port)
        seen = self.received(default_port, "defect-P")
        self.assertIsNotNone(seen, d.log())
        self.assertEqual(seen.split("\r\n")[0], "INVITE sip:bob@%s SIP/2.0" % server_ip)

    def test_without_letters_the_invite_is_kept(self):
        server_ip = next_address()
        d = self.daemon(config_lines=[symmetric_domain(server_ip)]).start()
        server = self.udp_socket(server_ip, 5080)
        phone = SipClient(self.udp_socket(), (d.address, d.port))
        self.invite(phone, server_ip, "none", {"headers": ["Supported: 100rel, timer"]})
        seen = self.received(server, "defect-none")
        self.assertIsNotNone(seen, d.log())
        self.assertEqual(header(seen, "Supported"), "100rel, timer")
        self.assertIn("m=audio 40000 RTP/AVP 0 8 101\r\n", seen)


if __name__ == "__main__":
    unittest.main()
