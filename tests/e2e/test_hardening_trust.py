"""Whom the relay believes, end to end, the attack and the honest case side by side: requests on the internal
port come only from servers; a completed transaction answers retransmissions only to the address its request
came from; a dialog follows its client to a new address only when the client registered there or its old
address stopped answering; and a BYE for a domain the relay does not serve goes nowhere."""

import re
import time
import unittest

from harness import PRIVATE_CONTACT, SDP, DaemonTestCase, header, next_address, status_line

STRANGER_LOG = "Warning: Requests on the internal port from a non-server address: "
DROPPED = r"Dropped: (\d+) requests on the internal port from non-server addresses, (\d+) retransmissions"


class Trust(DaemonTestCase):
    def start(self, lines=()):
        self.server = self.peer(next_address(), 5080)
        self.server_addr = "%s:%d" % (self.server.address, self.server.port)
        self.start_daemon(["log_level = debug+short+reg_regul+reg_cache"] + list(lines))
        self.internal = (self.d.address, self.d.second_port + 3)
        self.phone = self.peer()

    def register(self, phone, callid="reg-1", cseq=1):
        """phone registers behind NAT (its Contact names a private address); returns the Contact the server
        saw."""
        phone.send(phone.request("REGISTER", "sip:" + self.server_addr, ["Expires: 3600"], callid=callid, cseq=cseq,
                                 domain=self.server.address, from_tag="r1", to="<sip:alice@%s>" % self.server.address,
                                 contact="<%s>" % PRIVATE_CONTACT))
        relayed = self.got(self.server.receive_request("REGISTER"))
        self.server.grant(relayed)
        self.assertEqual(status_line(phone.receive_status(200)), "SIP/2.0 200 OK", self.d.log())
        return header(relayed, "Contact").strip("<>")

    def to_phone(self, sender, method, contact, callid, headers=()):
        sender.send(sender.request(method, contact, list(headers), from_user="bank", domain="bank.example",
                                   callid=callid, contact=False), self.internal)

    def dropped(self):
        counts = re.search(DROPPED, self.d.status_dump())
        return (int(counts.group(1)), int(counts.group(2))) if counts else (0, 0)

    def test_only_servers_reach_registered_phones_through_the_internal_port(self):
        configured, trusted = self.peer(next_address(), 5080), self.peer(next_address(), 5080)
        self.start(["server = example.org 0 %s:5080" % configured.address, "trusted = %s" % trusted.address])
        contact = self.register(self.phone)
        stranger = self.peer(next_address(), 5080)
        # The stranger's INVITE from "the bank", its probe for contacts that may exist, and its NOTIFY that
        # would cut the phone's registration short: nothing reaches the phone, nothing comes back.
        self.to_phone(stranger, "INVITE", contact, "bank-1")
        self.to_phone(stranger, "OPTIONS", contact.replace("alice", "nobody"), "bank-2")
        self.to_phone(stranger, "NOTIFY", contact, "bank-3", ["Event: unreg"])
        self.assertIsNone(self.phone.receive(0.5), self.d.log())
        self.assertIsNone(stranger.receive(0.2))
        self.assertTrue(self.wait_log(STRANGER_LOG), self.d.log())
        self.assertRegex(self.log(), r"%s\d+ dropped \(last from %s:5080\)" % (re.escape(STRANGER_LOG), stranger.address))
        self.assertEqual(self.dropped(), (3, 0))
        # The registrar the relay used, a `trusted` address and a configured `server` are servers.
        for n, sender in enumerate((self.server, trusted)):
            self.to_phone(sender, "MESSAGE", contact, "srv-%d" % n)
            got = self.got(self.phone.receive_request("MESSAGE"), "from %s" % sender.address)
            self.assertEqual(header(got, "Call-ID"), "srv-%d" % n)
        self.to_phone(configured, "INVITE", contact, "srv-invite")
        got = self.got(self.phone.receive(), "the configured server's INVITE reaches the phone")
        self.assertRegex(got, r"^(INVITE|OPTIONS) ")  # the INVITE, or the relay's probe of the phone for it
        self.assertEqual(self.dropped(), (3, 0))

    def test_a_forged_retransmission_gets_nothing_back(self):
        self.start()
        message = self.phone.request("MESSAGE", "sip:bob@" + self.server_addr, ["Content-Type: text/plain"],
                                     body="hi", callid="retr-1", via_branch="z9hG4bK-retr1")
        self.phone.send(message)
        relayed = self.got(self.server.receive_request("MESSAGE"))
        # A server answer far larger than the request: each answer again would multiply the forger's bytes.
        self.server.answer(relayed, 200, "OK", extra=["X-Padding: " + "p" * 6000])
        self.assertGreater(len(self.got(self.phone.receive_status(200))), 6000)
        victim = self.peer(next_address(), 5060)
        for _ in range(5):
            victim.send(message)  # the same bytes, from another address
        self.assertIsNone(victim.receive(0.5), "a forged retransmission is not answered")
        self.assertIsNone(self.phone.receive(0.2), "nor does its answer go to the phone")
        self.assertIsNone(self.server.receive(0.2))
        for _ in range(12):  # the phone's own retransmissions get the stored answer, ten times at most
            self.phone.send(message)
        answers = [a for a in iter(lambda: self.phone.receive(0.5), None)]
        self.assertEqual([status_line(a) for a in answers], ["SIP/2.0 200 OK"] * 10)
        self.assertEqual(self.dropped(), (0, 5))
        self.assertIn("Warning: Retransmissions from another address than their request's: ", self.log())

    def test_a_dialog_follows_its_client_only_to_where_it_registered(self):
        self.start()
        self.register(self.phone)
        subscribe = dict(callid="sub-1", from_tag="s1", domain=self.server.address, contact="<%s>" % PRIVATE_CONTACT)

        def refresh(phone, cseq, **sent_by):
            phone.send(phone.request("SUBSCRIBE", "sip:bob@" + self.server_addr, ["Event: presence", "Expires: 60"],
                                     cseq=cseq, to_tag="srv1", **dict(subscribe, **sent_by)))
            relayed = self.got(self.server.receive_request("SUBSCRIBE"))
            self.server.answer(relayed, 200, "OK", extra=["Expires: 60"])
            return relayed

        self.phone.send(self.phone.request("SUBSCRIBE", "sip:bob@" + self.server_addr,
                                           ["Event: presence", "Expires: 60"], **subscribe))
        first = self.got(self.server.receive_request("SUBSCRIBE"))
        self.server.answer(first, 200, "OK", extra=["Expires: 60"])
        self.got(self.phone.receive_status(200))

        # A forged request of the dialog from an address where the phone is not registered is relayed, but
        # the dialog stays with the phone: the answer goes to the phone, none to the forger.
        forger = self.peer(next_address(), 5060)
        refresh(forger, 2)
        self.assertIsNone(forger.receive(0.5), self.d.log())
        self.got(self.phone.receive_status(200), "the answer still goes to the phone")

        # The phone's NAT gives it a new mapping; it registers again from there, and the dialog follows it.
        moved = self.peer(self.phone.address)
        self.register(moved, cseq=2)
        refresh(moved, 3)
        self.got(moved.receive_status(200), "the phone's new address gets the answer")
        self.assertIsNone(self.phone.receive(0.3), "the old mapping gets nothing")
        self.assertIn("Client moved (registered there): %s:%d --> %s:%d" % (
            self.phone.address, self.phone.port, moved.address, moved.port), self.log())

    def call(self, callid):
        """A call of the registered phone behind NAT, answered and acknowledged; the INVITE the server got."""
        self.phone.invite(self.server_addr, callid, domain=self.server.address, contact="<%s>" % PRIVATE_CONTACT)
        invite = self.got(self.server.receive_request("INVITE"))
        self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server.address, extra=""))
        self.got(self.phone.receive_status(200))
        self.phone.send(self.phone.in_dialog("ACK", "srv1", 1, "z9hG4bK-ack-" + callid))
        self.got(self.server.receive_request("ACK"))
        return invite

    def from_new_mapping(self, moved, method, cseq):
        """The phone's request of its call, sent from its new NAT mapping."""
        moved.send(self.phone.in_dialog(method, "srv1", cseq, "z9hG4bK-%s-%d" % (method, cseq)).replace(
            "%s:%d" % (self.phone.address, self.phone.port), "%s:%d" % (moved.address, moved.port)))
        request = self.got(self.server.receive_request(method))
        self.server.answer(request, 200, "OK")

    def test_a_call_follows_its_phone_when_it_registers_from_a_new_address(self):
        self.start(["full_mode = yes"])
        self.register(self.phone)
        self.call("call-nat")
        # The phone's NAT gives it a new mapping; it registers again from there and hangs up from there.
        moved = self.peer(self.phone.address)
        self.register(moved, cseq=2)
        self.from_new_mapping(moved, "BYE", 2)
        self.got(moved.receive_status(200), "the phone's new address gets the answer to its BYE")

    def test_a_call_follows_its_phone_once_its_old_address_stopped_answering(self):
        self.start(["full_mode = yes"])
        self.register(self.phone)
        invite = self.call("call-silent")
        moved = self.peer(self.phone.address)
        # From a new mapping where it is not registered, the phone's request does not move the call yet ...
        self.from_new_mapping(moved, "INFO", 2)
        self.assertIsNone(moved.receive(0.5))
        self.got(self.phone.receive_status(200), "the answer goes to the address the call knows")
        # ... but once the server's request to the old mapping went unanswered for 4 s, it does.
        self.server.send(self.server.request(
            "INFO", header(invite, "Contact").strip("<>"), [], from_user="bob", domain=self.server.address, from_tag="srv1", callid="call-silent", cseq=5,
            to=header(invite, "From"), contact=False), self.internal)
        self.got(self.phone.receive_request("INFO"))
        time.sleep(4.2)
        self.from_new_mapping(moved, "INFO", 3)
        self.got(moved.receive_status(200), "the phone's new address gets the answer")
        self.assertIn("Client moved (old address silent)", self.log())

    def test_an_out_of_dialog_bye_for_a_foreign_domain_is_refused(self):
        victim = self.peer(next_address(), 5080)
        self.server = self.peer(next_address(), 5080)
        self.start_daemon(["log_level = debug+short", "domain = example.com", "server = example.com 0 %s:5080" % self.server.address])
        self.phone = self.peer()
        for target, reaches in ((victim, None), (self.server, self.server)):
            bye = self.phone.request("BYE", "sip:bob@%s:5080" % target.address, to_tag="t1",
                                     callid="bye-%s" % target.address)
            self.phone.send(bye)
            if reaches is None:
                self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 404 Not Found", self.d.log())
                self.assertIsNone(victim.receive(0.5), "the relay sends nothing to a host a stranger names")
            else:
                # A BYE to a server's own address (a call the relay forgot) still reaches that server.
                self.got(self.server.receive_request("BYE"), self.d.log())
        self.assertIn("Note: Restricted domain: '%s'" % victim.address, self.log())


if __name__ == "__main__":
    unittest.main()
