"""Calls recovering from what goes wrong on the way: an ACK lost after the call was answered (the server
repeats its 200 until an ACK comes), and a call redirected by the server that the phone sets up again toward
the new target on the same dialog."""

import unittest

from harness import header, status_line
from test_calls import SDP, Phone, ScriptedCall, ScriptedServer


class LostAck(ScriptedCall):
    def answered(self, callid):
        invite = self.start_call(callid)
        self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
        ok = self.phone.receive_status(200)
        self.assertIsNotNone(ok, self.d.log())
        return invite, ok

    def ack(self, callid, branch):
        self.phone.send(self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 1, branch,
                                             extra=["Route: %s" % r for r in reversed(record_routes(self.ok))]))

    def test_repeated_200_reaches_the_phone_once_each_and_its_new_ack_reaches_the_server(self):
        invite, self.ok = self.answered("lost-ack-1")
        self.ack("lost-ack-1", "z9hG4bK-ack-1")
        first_ack = self.server.receive_request("ACK")
        self.assertIsNotNone(first_ack, self.d.log())

        # The server did not get the ACK (as far as it knows): it repeats its 200, twice.
        for attempt in (1, 2):
            self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
            again = self.phone.receive_status(200, timeout=2.0)
            self.assertIsNotNone(again, "repeat %d\n%s" % (attempt, self.d.log()))
            self.assertEqual(header(again, "CSeq"), "1 INVITE")
            self.assertEqual(header(again, "To"), header(self.ok, "To"), "the same dialog")
            self.assertEqual(record_routes(again), record_routes(self.ok), "the same route set")
            self.assertIsNone(self.phone.receive(timeout=0.3), "each repeat is relayed once")
            self.ack("lost-ack-1", "z9hG4bK-ack-1-%d" % attempt)
            ack = self.server.receive_request("ACK")
            self.assertIsNotNone(ack, "ACK of repeat %d\n%s" % (attempt, self.d.log()))
            self.assertEqual(header(ack, "CSeq"), "1 ACK")
            self.assertEqual(ack.split("\r\n")[0], first_ack.split("\r\n")[0], "the same target")

        # The call goes on as answered: a BYE still follows the route set and ends it.
        bye = self.phone.in_dialog("BYE", self.phone.invite_text, "srv1", 2, "z9hG4bK-bye-lost-ack",
                                   extra=["Route: %s" % r for r in reversed(record_routes(self.ok))])
        self.phone.send(bye)
        relayed = self.server.receive_request("BYE")
        self.assertIsNotNone(relayed, self.d.log())
        self.server.answer(relayed, 200, "OK")
        self.assertIsNotNone(self.phone.receive_status(200), self.d.log())
        self.assertTrue(self.d.wait_log("Call event BYE: CLN"), self.d.log())
        self.assertNotIn("Error: No Action", self.d.log())


def record_routes(message):
    out = []
    for line in message.split("\r\n")[1:]:
        if not line:
            break
        key, _, value = line.partition(":")
        if key.strip().lower() == "record-route":
            out += [v.strip() for v in value.split(",")]
    return out


class Redirected(ScriptedCall):
    def test_phone_follows_302_to_the_new_target_on_the_same_dialog(self):
        # Another server of the same domain (the relay serves that domain only).
        target_ip = self.server_ip
        target = ScriptedServer(self.udp_socket(target_ip, 5090))
        invite = self.start_call("moved-1")
        self.server.answer(invite, 302, "Moved Temporarily", extra=["Contact: <sip:bob@%s:5090>" % target_ip])
        moved = self.phone.receive_status(302)
        self.assertIsNotNone(moved, self.d.log())
        self.assertIn("%s:5090" % target_ip, header(moved, "Contact"))
        self.phone.send(self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 1, self.phone.branch))
        self.assertIsNotNone(self.server.receive_request("ACK"), self.d.log())
        self.assertTrue(self.d.wait_log("Call event REJECT: 302,Moved Temporarily"), self.d.log())

        # The phone tries the new target: same Call-ID and From tag, next CSeq, new Request-URI.
        retry = self.phone.invite_text.replace("INVITE sip:bob@%s " % self.server_addr,
                                               "INVITE sip:bob@%s:5090 " % target_ip)
        retry = retry.replace("CSeq: 1 INVITE", "CSeq: 2 INVITE").replace(self.phone.branch, "z9hG4bK-moved-2")
        self.phone.send(retry)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        relayed = target.receive_request("INVITE")
        self.assertIsNotNone(relayed, "the new target gets the INVITE\n" + self.d.log())
        self.assertEqual(header(relayed, "CSeq"), "2 INVITE")
        self.assertRegex(header(relayed, "Via"), r"branch=z9hG4bK-ostrel-")
        self.assertIsNone(self.server.receive_request("INVITE", timeout=0.5), "not the old server")

        target.answer(relayed, 200, "OK", body=SDP.format(ip=target_ip, extra=""))
        ok = self.phone.receive_status(200)
        self.assertIsNotNone(ok, self.d.log())
        self.assertEqual(header(ok, "CSeq"), "2 INVITE")
        ack = self.phone.in_dialog("ACK", retry, "srv1", 2, "z9hG4bK-ack-moved",
                                   extra=["Route: %s" % r for r in reversed(record_routes(ok))])
        self.phone.send(ack)
        self.assertIsNotNone(target.receive_request("ACK"), self.d.log())
        self.assertTrue(self.d.wait_log("Overwrite Key: C&moved-1&srv1"), self.d.log())
        # The 40 s wait of the redirected attempt no longer runs: the answered call stays.
        self.assertNotIn("End of Dialog  C&moved-1", self.d.log())


if __name__ == "__main__":
    unittest.main()
