"""Plain dialogs relayed end to end: a SIPp phone and a SIPp server on either side of the daemon, in both
threading modes, each asserting on what reaches it."""

import unittest

from harness import SharedDaemonCase, header, next_address, status_line


class Dialogs(SharedDaemonCase):
    @classmethod
    def config(cls):
        return ["log_level = debug+short"]

    def setUp(self):
        super().setUp()
        self.server = self.peer(next_address(), 5080)
        self.server_addr = "%s:5080" % self.server.address
        self.phone = self.peer()

    def test_sipp_message_through_the_relay(self):
        internal = "%s:%d" % (self.d.address, self.d.second_port + 3)
        client, server = self.sipp_pair(self.d, "uac_message.xml", "uas_message.xml", next_address())
        seen = server.messages()
        self.assertEqual(seen.count("MESSAGE sip:bob@"), 1, "one transaction reaches the server")
        vias = [l for l in seen.split("\n") if l.startswith("Via:")]
        self.assertRegex(vias[0], r"^Via: SIP/2.0/UDP %s;branch=z9hG4bK-ostrel-\d+-7\.0\s*$" % internal)
        self.assertRegex(vias[1], r"^Via: SIP/2.0/UDP %s:5062;branch=" % client.address)
        self.assertRegex(seen, r"Contact: <sip:alice\*example.com-%s\+5062@%s>" % (client.address, internal))
        answer = client.messages().split("SIP/2.0 200 OK")[-1]
        self.assertNotIn("ostrel", answer.split("\n\n")[0], "the relay's Via is removed from the answer")

    def test_request_carrying_the_dialogs_own_branch_is_a_loop(self):
        self.phone.send(self.phone.request("SUBSCRIBE", "sip:bob@" + self.server_addr, ["Event: presence", "Expires: 60"],
                                           callid="loop-1"))
        relayed = self.server.receive()
        top_via = header(relayed, "Via")
        self.assertIn("branch=z9hG4bK-ostrel-", top_via)
        # The server answers and the dialog stands; then a request comes back carrying the relay's branch.
        self.server.answer(relayed, 200, "OK", extra=["Expires: 60"])
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
        looped = self.phone.request("SUBSCRIBE", "sip:bob@" + self.server_addr, ["Event: presence"], callid="loop-1",
                                    to_tag="srv1", extra_vias=[top_via], cseq=2)
        self.assertEqual(status_line(self.phone.ask(looped)), "SIP/2.0 482 Loop Detected")

    def test_subscription_record_route_faces_and_notify_to_the_client(self):
        """SUBSCRIBE, its 200 and the server's NOTIFY inside the dialog, with both faces of the Record-Route."""
        d, phone, server = self.d, self.phone, self.server
        internal = "%s:%d" % (d.address, d.second_port + 3)
        # The phone sits behind NAT (its Contact names a private address) and its own outbound proxy
        # record-routes: the relay adds its inner face on top of that.
        phone.send(phone.request("SUBSCRIBE", "sip:bob@" + self.server_addr, ["Event: presence", "Expires: 60",
                                 "Record-Route: <sip:127.0.0.66;lr>"], callid="sub-1",
                                 contact="<sip:alice@192.168.1.20:5060>"))
        relayed = server.receive()
        number = header(relayed, "Via").split("z9hG4bK-ostrel-")[1].split("-")[0]
        self.assertEqual(header(relayed, "Record-Route"), "<sip:%s@%s;lr>" % (number, internal))
        server.answer(relayed, 200, "OK", extra=["Expires: 60"])
        ok = phone.receive()
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK")
        self.assertEqual(header(ok, "Record-Route"), "<sip:%s@%s:%d;lr>" % (number, d.address, d.port))

        # The server's NOTIFY goes to the rewritten Contact, through the relay, to the phone's real address.
        contact = header(relayed, "Contact").strip("<>")
        self.assertRegex(contact, r"^sip:alice\*example.com-%s\+%d@%s$" % (phone.address, phone.port, internal))
        server.send(server.request("NOTIFY", contact, ["Route: <sip:%s@%s;lr>" % (number, internal), "Event: presence",
                                                       "Subscription-State: active"], from_user="bob",
                                   domain=self.server_addr, from_tag="srv1", callid="sub-1",
                                   to="<sip:alice@example.com>;tag=" + header(relayed, "From").split("tag=")[1]),
                    (d.address, d.second_port + 3))
        got = self.got(phone.receive())
        self.assertTrue(got.startswith("NOTIFY sip:alice@192.168.1.20:5060 SIP/2.0"), got)
        self.assertRegex(header(got, "Via"), r"^SIP/2.0/UDP %s:%d;branch=z9hG4bK-ostrel-\d+-1\.0$" % (d.address, d.port))

    def test_message_retransmissions(self):
        """A phone's retransmitted MESSAGE is the same transaction at the server, and after the answer the relay
        answers further copies itself."""
        message = self.phone.request("MESSAGE", "sip:bob@" + self.server_addr, ["Content-Type: text/plain"], body="hi",
                                     callid="retr-1", via_branch="z9hG4bK-retr1")
        self.phone.send(message)
        first = self.server.receive()
        self.phone.send(message)  # before the server answered: relayed again on the same branch
        second = self.server.receive()
        self.assertEqual(header(first, "Via"), header(second, "Via"))
        self.server.answer(first, 200, "OK", tag="s1")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
        self.phone.send(message)  # after the answer: the relay repeats it, the server hears nothing
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
        self.assertIsNone(self.server.receive(0.5))


if __name__ == "__main__":
    unittest.main()
