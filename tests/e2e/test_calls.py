"""Calls relayed end to end: SIPp phones and servers (or scripted peers) on either side of the daemon, the
phone on a public address (its Contact is its source), so media stays direct. Scripted calls share one
daemon, each with a phone and a server port of its own; the calls whose 40 s linger is watched have theirs."""

import re
import time
import unittest

from harness import (SDP, DaemonTestCase, SharedDaemonCase, call_keys, header, headers, next_address, status_line,
                     wait_until)

CALLS_HEAD = "========================= Active Calls"


def config(server_ip, *lines):
    # Calls to the server's domain are symmetric: the relay record-routes them and keeps the phone's Contact.
    return ["log_level = debug+short", "domain = %s smtr" % server_ip] + list(lines)


def record_routes(message):
    return [r.strip() for value in headers(message, "Record-Route") for r in value.split(",")]


def calls_section(dump):
    return dump[dump.index(CALLS_HEAD):dump.index("========================= Active Non-Invite")]


class CallsLinger(DaemonTestCase):
    """An answered call is listed in the status dump; a completed one stays listed 40 s to catch late messages,
    then it goes. SIPp calls in both threading modes run while the scripted one lingers."""

    def sipp_call(self, listeners, hangup):
        server_ip = next_address()
        # Daemons that run together need alternate ports (bound on every address) of their own.
        d = self.start_daemon(config(server_ip, "num_listeners = %d" % listeners), port=5060 + 100 * listeners)
        internal, outer = "%s:%d" % (d.address, d.second_port + 3), "%s:%d" % (d.address, d.port)
        client, server = self.sipp_pair(d, "uac_call.xml", "uas_call.xml", server_ip, extra=call_keys(hangup))
        seen_by_client, seen = client.messages(), server.messages()
        self.assertEqual(len(re.findall(r"SIP/2.0 100 ", seen_by_client)), 1, "only the relay's own 100")
        self.assertIn("SIP/2.0 100 Trying", seen_by_client)
        self.assertIn("SIP/2.0 180 Ringing", seen_by_client)
        self.assertNotIn("a=tool", seen_by_client, "the server's tool attribute is removed")
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
        self.assertTrue(d.wait_log("Set timer 'COMPLETE' to 40 sec."), d.log())
        return d, re.search(r"Call-ID: (\S+)", seen).group(1), time.monotonic()

    def test_completed_calls_are_listed_for_40_seconds_then_gone(self):
        server_ip = next_address()
        d = self.start_daemon(config(server_ip))
        server, phone = self.peer(server_ip, 5080), self.peer()
        invite = self.start_call(phone, server, "lifetime-1", trying=True)
        self.answer_call(phone, server, invite, ack_branch="z9hG4bK-ack-lifetime")
        talking = calls_section(d.status_dump())
        self.assertIn("C&lifetime-1&srv1", talking)
        self.assertIn("Total: 1\n", talking)
        self.assertNotIn("(COMPLETE)", talking)
        self.hang_up(phone, server, "z9hG4bK-bye-lifetime")
        self.assertTrue(d.wait_log("Set timer 'COMPLETE' to 40 sec."), d.log())
        completed = time.monotonic()
        ended = calls_section(d.status_dump())
        self.assertIn("C&lifetime-1&srv1", ended, "kept for late messages")
        self.assertIn("(COMPLETE)", ended)
        self.assertIn("Total: 1\n", ended)

        sipp_calls = [self.sipp_call(1, "client"), self.sipp_call(4, "server")]
        time.sleep(max(0.0, completed + 35 - time.monotonic()))
        self.assertIn("C&lifetime-1&srv1", d.status_dump(), "still there 35 s after the BYE")
        self.assertTrue(wait_until(lambda: "End of Dialog  C&lifetime-1" in d.log(), 10, 0.2), d.log())
        self.assertGreater(time.monotonic() - completed, 38)
        gone = calls_section(d.status_dump())
        self.assertNotIn("lifetime-1", gone)
        self.assertIn("Total: 0\n", gone)
        for sipp_daemon, callid, sipp_completed in sipp_calls:
            self.assertTrue(sipp_daemon.wait_log("End of Dialog  C&" + callid, timeout=50), sipp_daemon.log())
            self.assertGreater(time.monotonic() - sipp_completed, 38)


class CallsInOrder(DaemonTestCase):
    """With four listeners (four client readers, two server readers, four or more workers) a burst of calls
    whose server answers 100, 180 and 200 back to back: every phone sees the relay's 100, then 180, then 200,
    whichever reader read and whichever worker relayed each answer."""

    CALLS = 500

    def test_burst_of_calls_with_four_listeners_reaches_every_phone_in_order(self):
        server_ip = next_address()
        d = self.start_daemon(["domain = %s smtr" % server_ip, "num_listeners = 4", "dos_max_mps = 100000 300"])
        # Both peers must end every call; a phone that saw 200 before 180 fails that call on an unexpected
        # message.
        client, server = self.sipp_pair(d, "uac_ordered_call.xml", "uas_ordered_call.xml", server_ip,
                                        extra=["-m", str(self.CALLS)], client_extra=["-r", "200", "-l", "100"])
        for peer in (client, server):
            self.assertNotIn("unexpected", peer.errors())


class ScriptedCalls(SharedDaemonCase):
    """Calls with scripted peers, for what a phone or server does at the edges of a transaction."""

    # defect letter of a client's device, what the phone adds or changes, check on what the server receives
    DEFECTS = [
        ("E", {"headers": ["Supported: 100rel, timer"]}, lambda t, s: t.assertEqual(header(s, "Supported"), "timer")),
        ("T", {"headers": ["Supported: 100rel"]}, lambda t, s: t.assertIsNone(header(s, "Supported"))),
        ("t", {"headers": ["Record-Route: <sip:proxy.example.com;lr>"]},
         lambda t, s: t.assertNotIn("proxy.example.com", s)),
        ("U", {}, lambda t, s: t.assertIn("m=audio 40000 RTP/AVP 0 101\r\n", s)),
        ("i", {"user": "bob.smith", "headers": ["Call-Info: <sip:example.com>;answer-after=0"]},
         lambda t, s: t.assertRegex(s.split("\r\n")[0], r"^INVITE sip:[\d.]+:%d SIP/2.0$" % t.server.port)),
        ("A", {"body": ""}, lambda t, s: (t.assertEqual(header(s, "Content-Type"), "application/sdp"),
                                          t.assertIn("s=SIP Ostrel", s))),
        ("C", {"user": "ostrel"}, lambda t, s: t.assertRegex(s.split("\r\n")[0], r"^INVITE sip:bob@[\d.]+:%d " % t.server.port)),
        # Without a letter the INVITE is kept.
        ("none", {"headers": ["Supported: 100rel, timer"]},
         lambda t, s: (t.assertEqual(header(s, "Supported"), "100rel, timer"),
                       t.assertIn("m=audio 40000 RTP/AVP 0 8 101\r\n", s))),
    ]

    @classmethod
    def config(cls):
        return config(cls.server_ip, *["broken = %s Phone-%s" % (l, l) for l, _, _ in cls.DEFECTS[:-1]],
                      "broken = P Phone-P")

    def setUp(self):
        super().setUp()
        self.server = self.server_peer()
        self.server_addr = "%s:%d" % (self.server_ip, self.server.port)
        self.phone = self.peer()

    def start_call_(self, callid):
        return self.start_call(self.phone, self.server, callid, trying=True)

    def cancel(self):
        return self.phone.in_dialog("CANCEL", None, 1, self.phone.branch)

    def test_cancel_before_any_answer_waits_for_the_first_provisional(self):
        invite = self.start_call_("cancel-held")
        self.phone.send(self.cancel())
        self.assertIsNone(self.server.receive_request("CANCEL", timeout=1.0), "held until the server answers")
        self.server.answer(invite, 180, "Ringing")
        relayed = self.got(self.server.receive_request("CANCEL"))
        self.assertEqual(header(relayed, "Via"), header(invite, "Via"), "the CANCEL matches the INVITE")
        self.assertNotIn(";tag=", header(relayed, "To"))
        self.server.answer(relayed, 200, "OK")
        self.server.answer(invite, 487, "Request Terminated")
        self.got(self.phone.receive_status(487))

    def test_cancel_after_ringing_is_forwarded_at_once(self):
        invite = self.start_call_("cancel-ringing")
        self.server.answer(invite, 100, "Trying")
        self.server.answer(invite, 180, "Ringing")
        self.assertIsNotNone(self.phone.receive_status(180))
        self.phone.send(self.cancel())
        relayed = self.got(self.server.receive_request("CANCEL", timeout=0.5))
        self.server.answer(relayed, 200, "OK")
        self.server.answer(invite, 487, "Request Terminated")
        self.got(self.phone.receive_status(487))
        self.phone.send(self.phone.in_dialog("ACK", "srv1", 1, self.phone.branch))
        self.assertIsNotNone(self.server.receive_request("ACK"), "the ACK of the 487 reaches the server")

    def test_bye_before_the_answer_cancels_the_servers_invite(self):
        invite = self.start_call_("bye-early")
        self.server.answer(invite, 180, "Ringing")
        self.assertIsNotNone(self.phone.receive_status(180))
        self.phone.send(self.phone.in_dialog("BYE", "srv1", 2, "z9hG4bK-bye-early"))
        self.got(self.phone.receive_status(200))
        relayed = self.got(self.server.receive_request("CANCEL"))
        self.assertEqual(header(relayed, "Via"), header(invite, "Via"))

    def test_challenge_retry_and_second_challenge(self):
        invite = self.start_call_("auth-1")
        self.server.answer(invite, 401, "Unauthorized", extra=['WWW-Authenticate: Digest realm="x", nonce="n1"'])
        challenge = self.got(self.phone.receive_status(401))
        self.assertIn("nonce", header(challenge, "WWW-Authenticate"))
        self.phone.send(self.phone.in_dialog("ACK", "srv1", 1, self.phone.branch))
        self.assertIsNotNone(self.server.receive_request("ACK"))

        credentials = 'Authorization: Digest username="alice", realm="x", nonce="n1", response="abc"'
        self.phone.invite(self.server_addr, "auth-1", cseq=2, extra=[credentials])
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        retried = self.got(self.server.receive_request("INVITE"))
        self.assertEqual(header(retried, "CSeq"), "2 INVITE")
        self.assertIn('response="abc"', header(retried, "Authorization"))

        self.server.answer(retried, 407, "Proxy Authentication Required",
                           extra=['Proxy-Authenticate: Digest realm="x", nonce="n2"'])
        self.got(self.phone.receive_status(407))
        self.assertTrue(self.wait_log("Call event REJECT: Wrong Authorization"), self.log())
        self.assertTrue(self.wait_log("Report H suspect: %s:%d" % (self.phone.address, self.phone.port)), self.log())

    def test_silent_server_gets_the_invite_eight_times_then_408_and_cancel(self):
        self.phone.invite(self.server_addr, "silent-1")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        times = []
        first = None
        while len(times) < 8:
            text = self.got(self.server.receive(timeout=3.0), "%d INVITEs only" % len(times))
            if text.startswith("INVITE "):
                first = first or text
                times.append(time.monotonic())
        for got, expected in zip([t - times[0] for t in times], [0, 0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5]):
            self.assertAlmostEqual(got, expected, delta=0.3)
        timeout = self.got(self.phone.receive_status(408, timeout=2.0))
        self.assertEqual(status_line(timeout), "SIP/2.0 408 Request Timeout")
        cancel = self.got(self.server.receive_request("CANCEL"))
        self.assertEqual(header(cancel, "Via"), header(first, "Via"))
        self.assertIsNone(self.server.receive_request("INVITE", timeout=1.5), "no ninth INVITE")
        self.assertTrue(self.wait_log("End of Dialog  C&silent-1"), self.log())

    def establish(self, callid):
        invite = self.start_call_(callid)
        self.answer_call(self.phone, self.server, invite)
        return invite

    def server_request(self, method, invite, cseq):
        """A request of the server inside the call, toward the phone."""
        from_tag = header(invite, "From").split(";tag=")[1]
        lines = ["%s sip:alice@%s:%d SIP/2.0" % (method, self.phone.address, self.phone.port),
                 "Via: SIP/2.0/UDP %s;branch=z9hG4bK-srv-%d" % (self.server_addr, cseq),
                 "Max-Forwards: 70", "From: <sip:bob@example.com>;tag=srv1",
                 "To: <sip:alice@example.com>;tag=%s" % from_tag, "Call-ID: %s" % header(invite, "Call-ID"),
                 "CSeq: %d %s" % (cseq, method), "Contact: <sip:bob@%s>" % self.server_addr, "Content-Length: 0"]
        return "\r\n".join(lines) + "\r\n\r\n"

    def test_hold_glare_and_repeated_reinvite(self):
        invite = self.establish("reinv-1")
        hold = self.phone.in_dialog("INVITE", "srv1", 2, "z9hG4bK-hold",
                                    body=SDP.format(ip=self.phone.address, extra="a=sendonly\r\n"))
        self.phone.send(hold)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        relayed = self.got(self.server.receive_request("INVITE"))
        self.assertRegex(header(relayed, "X-Holder") or "", r"^sip:alice@")

        self.server.reply(self.server_request("INVITE", invite, 7))
        glare = self.server.receive()
        self.assertEqual(status_line(glare), "SIP/2.0 491 Request Pending", self.log())

        self.phone.send(hold)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying Again")
        self.server.answer(relayed, 200, "OK", body=SDP.format(ip=self.server_ip, extra="a=recvonly\r\n"))
        self.assertIsNotNone(self.phone.receive_status(200))
        self.phone.send(hold)
        again = self.phone.receive()
        self.assertEqual(status_line(again), "SIP/2.0 200 OK", "the stored answer, sent again")
        self.assertEqual(header(again, "CSeq"), "2 INVITE")
        self.phone.send(self.phone.in_dialog("ACK", "srv1", 2, "z9hG4bK-ack-hold"))
        self.assertIsNotNone(self.server.receive_request("ACK"))
        self.assertTrue(self.wait_log("New State -  PASS"))

    def test_unanswered_reinvite_ends_the_call(self):
        self.establish("reinv-2")
        self.phone.send(self.phone.in_dialog("INVITE", "srv1", 2, "z9hG4bK-reinv2",
                                             body=SDP.format(ip=self.phone.address, extra="")))
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        timeout = self.got(self.phone.receive_status(504, timeout=10.0))
        self.assertEqual(status_line(timeout), "SIP/2.0 504 Server Time-out")
        bye = self.got(self.server.receive_request("BYE", timeout=2.0))
        self.assertIn(";tag=srv1", header(bye, "To"))
        self.assertTrue(header(bye, "User-Agent").startswith("Ostrel/"), bye)
        self.assertEqual(header(bye, "CSeq"), "1002 BYE", "past every CSeq the phone used")
        self.assertTrue(self.wait_log("Call event BYE: CLN"), self.log())

    def routed(self, method, cseq, branch, ok, invite=None):
        return self.phone.in_dialog(method, "srv1", cseq, branch, invite=invite,
                                    extra=["Route: %s" % r for r in reversed(record_routes(ok))])

    def test_lost_ack_repeated_200_reaches_the_phone_once_each_and_its_new_ack_reaches_the_server(self):
        invite = self.start_call_("lost-ack-1")
        self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
        ok = self.got(self.phone.receive_status(200))
        self.phone.send(self.routed("ACK", 1, "z9hG4bK-ack-1", ok))
        first_ack = self.got(self.server.receive_request("ACK"))

        # The server did not get the ACK (as far as it knows): it repeats its 200, twice.
        for attempt in (1, 2):
            self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
            again = self.got(self.phone.receive_status(200, timeout=2.0), "repeat %d" % attempt)
            self.assertEqual(header(again, "CSeq"), "1 INVITE")
            self.assertEqual(header(again, "To"), header(ok, "To"), "the same dialog")
            self.assertEqual(record_routes(again), record_routes(ok), "the same route set")
            self.assertIsNone(self.phone.receive(timeout=0.3), "each repeat is relayed once")
            self.phone.send(self.routed("ACK", 1, "z9hG4bK-ack-1-%d" % attempt, ok))
            ack = self.got(self.server.receive_request("ACK"), "ACK of repeat %d" % attempt)
            self.assertEqual(header(ack, "CSeq"), "1 ACK")
            self.assertEqual(ack.split("\r\n")[0], first_ack.split("\r\n")[0], "the same target")

        # The call goes on as answered: a BYE still follows the route set and ends it.
        self.phone.send(self.routed("BYE", 2, "z9hG4bK-bye-lost-ack", ok))
        relayed = self.got(self.server.receive_request("BYE"))
        self.server.answer(relayed, 200, "OK")
        self.got(self.phone.receive_status(200))
        self.assertTrue(self.wait_log("Call event BYE: CLN"), self.log())
        self.assertNotIn("Error: No Action", self.log())

    def test_phone_follows_302_to_the_new_target_on_the_same_dialog(self):
        target = self.server_peer()  # another server of the same domain (the relay serves that domain only)
        target_addr = "%s:%d" % (self.server_ip, target.port)
        invite = self.start_call_("moved-1")
        self.server.answer(invite, 302, "Moved Temporarily", extra=["Contact: <sip:bob@%s>" % target_addr])
        moved = self.got(self.phone.receive_status(302))
        self.assertIn(target_addr, header(moved, "Contact"))
        self.phone.send(self.phone.in_dialog("ACK", "srv1", 1, self.phone.branch))
        self.got(self.server.receive_request("ACK"))
        self.assertTrue(self.wait_log("Call event REJECT: 302,Moved Temporarily"), self.log())

        # The phone tries the new target: same Call-ID and From tag, next CSeq, new Request-URI.
        retry = self.phone.invite_text.replace("INVITE sip:bob@%s " % self.server_addr, "INVITE sip:bob@%s " % target_addr)
        retry = retry.replace("CSeq: 1 INVITE", "CSeq: 2 INVITE").replace(self.phone.branch, "z9hG4bK-moved-2")
        self.phone.send(retry)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        relayed = self.got(target.receive_request("INVITE"), "the new target gets the INVITE")
        self.assertEqual(header(relayed, "CSeq"), "2 INVITE")
        self.assertRegex(header(relayed, "Via"), r"branch=z9hG4bK-ostrel-")
        self.assertIsNone(self.server.receive_request("INVITE", timeout=0.5), "not the old server")

        target.answer(relayed, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
        ok = self.got(self.phone.receive_status(200))
        self.assertEqual(header(ok, "CSeq"), "2 INVITE")
        self.phone.send(self.routed("ACK", 2, "z9hG4bK-ack-moved", ok, invite=retry))
        self.got(target.receive_request("ACK"))
        self.assertTrue(self.wait_log("Overwrite Key: C&moved-1&srv1"), self.log())
        # The 40 s wait of the redirected attempt no longer runs: the answered call stays.
        self.assertNotIn("End of Dialog  C&moved-1", self.log())

    def defect_invite(self, letter, case, port=None):
        user = case.get("user", "bob")
        uri = "sip:%s@%s:%d" % (user, self.server_ip, port or self.server.port)
        body = case.get("body", SDP.format(ip=self.phone.address, extra=""))
        extra = ["User-Agent: Phone-%s" % letter] + case.get("headers", []) + (["Content-Type: application/sdp"] if body else [])
        to = "<sip:bob@%s:%d>" % (self.server_ip, port or self.server.port) if user == "ostrel" else None
        self.phone.send(self.phone.request("INVITE", uri, extra, body=body, callid="defect-" + letter, to=to))

    def received(self, server, callid):
        return server.receive_where(lambda t: t.startswith("INVITE ") and header(t, "Call-ID") == callid)

    def test_each_device_defect_letter_changes_the_invite(self):
        for letter, case, check in self.DEFECTS:
            with self.subTest(letter=letter):
                self.defect_invite(letter, case)
                seen = self.got(self.received(self.server, "defect-" + letter))
                check(self, seen)
        # 'P': a Request-URI naming the relay's own port loses it (and goes to the default port).
        default_port = self.server_peer(5060)
        self.defect_invite("P", {}, port=self.d.port)
        seen = self.got(self.received(default_port, "defect-P"))
        self.assertEqual(seen.split("\r\n")[0], "INVITE sip:bob@%s SIP/2.0" % self.server_ip)


if __name__ == "__main__":
    unittest.main()
