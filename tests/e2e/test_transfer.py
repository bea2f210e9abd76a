"""Call transfers through the relay, end to end with scripted phones and servers: a blind transfer the server
starts with "Refer-Sub: false" (the 202 ends the call's media and the relay answers the phone's NOTIFYs
itself), a phone's REFER (Referred-By added or restored), the device workarounds of transfers ('n', 'C',
'R', 'b'), and attended transfers across zero-media mode, where the phone knows the server's tag as the
relay's "ostrel-" tag: a Replaces built by one side is translated so that the other side finds its dialog."""

import os
import re
import shutil
import time
import unittest
from urllib.parse import quote, unquote

from harness import (SDP, DaemonTestCase, SharedDaemonCase, header, media_of, media_offer, next_address, response,
                     rtp, status_line, udp_ports_bound, wait_until)


def token(callid):
    """A Call-ID as it may stand in a branch."""
    return re.sub(r"[^\w-]", "-", callid)


def replaces_of(refer):
    """The Replaces embedded in a REFER's Refer-To, as written."""
    m = re.search(r"[?&]Replaces=([^&>]*)", header(refer, "Refer-To"), re.I)
    return m.group(1) if m else None


class Parties:
    """A phone and a server around the daemon self.d, and the requests each sends in a call's dialog."""

    def parties(self, server):
        self.server = server
        self.server_addr = "%s:%d" % (server.address, server.port)
        self.internal = (self.d.address, self.d.second_port + 3)
        self.phone = self.peer(next_address(), 5064)
        self.phone.contact = "<sip:alice@%s:%d>" % (self.phone.address, self.phone.port)

    def call(self, callid, agent, tag, body=None):
        """A call of the phone answered by the server with tag; returns (INVITE at the server, the tag the
        phone sees)."""
        invite = self.start_call(self.phone, self.server, callid, extra=["User-Agent: " + agent], body=body,
                                 from_tag="pf-" + callid, branch="z9hG4bK-inv-" + token(callid),
                                 domain=self.server.address)
        ok = self.answer_call_tagged(invite, tag)
        self.phone.calls[callid] = self.phone.invite_text
        return invite, re.search(r";tag=([^;>\s]+)", header(ok, "To")).group(1)

    def answer_call_tagged(self, invite, tag, body=None):
        self.server.answer(invite, 200, "OK", tag=tag, body=body or SDP.format(ip=self.server.address, extra=""))
        ok = self.got(self.phone.receive_status(200))
        phone_tag = re.search(r";tag=([^;>\s]+)", header(ok, "To")).group(1)
        self.phone.send(self.phone.in_dialog("ACK", phone_tag, 1, "z9hG4bK-ack-" + token(header(invite, "Call-ID"))))
        self.got(self.server.receive_request("ACK"))
        return ok

    def phone_request(self, callid, method, cseq, to_tag, extra=(), body=""):
        text = self.phone.in_dialog(method, to_tag, cseq, "z9hG4bK-%s-%s-%d" % (method.lower(), token(callid), cseq), extra,
                                    invite=self.phone.calls[callid])
        if not body:
            return text
        head = text.split("\r\n\r\n")[0].replace("Content-Length: 0", "Content-Length: %d" % len(body))
        return head + "\r\n\r\n" + body

    def server_request(self, invite, method, cseq, tag, extra=(), contact=None):
        """A request of the server in the dialog of the phone's call invite."""
        self.server.send(self.server.request(
            method, "sip:alice@%s:%d" % (self.phone.address, self.phone.port), list(extra), from_user="bob",
            domain=self.server_addr, via_branch="z9hG4bK-s-%s-%d" % (method.lower(), cseq), from_tag=tag,
            to=header(invite, "From"), callid=header(invite, "Call-ID"), cseq=cseq, contact=contact), self.internal)

    def notify(self, callid, cseq, to_tag, state):
        self.phone.send(self.phone_request(callid, "NOTIFY", cseq, to_tag,
                                           ["Event: refer", "Subscription-State: " + state,
                                            "Content-Type: message/sipfrag"], "SIP/2.0 180 Ringing\r\n"))

    def refer_accepted(self, invite, cseq, tag, extra, contact=None):
        """The server's REFER, the phone's 202 for it; returns the REFER as the phone got it."""
        self.server_request(invite, "REFER", cseq, tag, extra, contact)
        refer = self.got(self.phone.receive_request("REFER"))
        self.phone.reply(response(refer, 202, "Accepted", tag=None))
        self.assertEqual(status_line(self.got(self.server.receive_status(202))), "SIP/2.0 202 Accepted")
        return refer


class BlindTransfer(Parties, DaemonTestCase):
    """An anchored call the server transfers away with "Refer-Sub: false"."""

    def test_accepted_refer_ends_media_and_the_phones_notifies_are_answered_by_the_relay(self):
        server_ip = next_address()
        self.start_daemon(["log_level = debug+short", "range = 40000 40010", "domain = %s smtr full" % server_ip])
        self.parties(self.media_peer(server_ip, 5080))
        self.phone.media = self.rtp_socket(self.phone.address)
        self.phone.calls = {}
        invite, _ = self.call("blind-1", "Phone/1", "srv1", body=media_offer(self.phone))
        pairs = [p for p in udp_ports_bound() if p[0] == self.d.address and 40000 <= p[1] <= 40010]
        self.assertEqual(len(pairs), 4, "two anchored pairs")

        self.refer_accepted(invite, 2, "srv1", ["Refer-To: <sip:carol@%s>" % self.server_addr, "Refer-Sub: false"])
        self.assertTrue(wait_until(lambda: not [p for p in udp_ports_bound() if p in pairs]), self.log())
        for cseq, state in ((2, "active;expires=60"), (3, "active;expires=60"), (4, "terminated;reason=noresource")):
            self.notify("blind-1", cseq, "srv1", state)
            ok = self.got(self.phone.receive_status(200))
            self.assertEqual(status_line(ok), "SIP/2.0 200 OKey")
            self.assertEqual(header(ok, "CSeq"), "%d NOTIFY" % cseq)
        self.assertIsNone(self.server.receive_request("NOTIFY", 0.3), "the server sees none of them")
        self.assertEqual(self.log().count("Suppress propagating NOTIFY"), 3)
        # Once the subscription ended, a NOTIFY goes to the server again.
        self.notify("blind-1", 5, "srv1", "terminated")
        self.got(self.server.receive_request("NOTIFY"))


class Transfers(Parties, SharedDaemonCase):
    @classmethod
    def config(cls):
        return ["log_level = debug+short", "domain = %s prsn" % cls.server_ip, "broken = T ZPhone", "broken = Tb ZbPhone",
                "broken = n NPhone", "broken = C CPhone", "broken = B BPhone", "broken = R RPhone"]

    def setUp(self):
        super().setUp()
        self.parties(self.server_peer())
        self.phone.calls = {}

    def register(self, agent):
        """The phone registered through the relay; returns the Contact the server knows it by."""
        self.phone.send(self.phone.request(
            "REGISTER", "sip:" + self.server_addr, ["Expires: 3600", "User-Agent: " + agent],
            via_branch="z9hG4bK-reg-%d" % self.phone.port, domain=self.server.address, from_tag="r1",
            to="<sip:alice@%s>" % self.server.address, callid="reg-%s" % self.phone.address,
            contact=self.phone.contact))
        relayed = self.got(self.server.receive_request("REGISTER"))
        contact = header(relayed, "Contact").strip("<>")
        self.server.reply(response(relayed, 200, "OK", "reg", ["Contact: <%s>;expires=3600" % contact]))
        self.got(self.phone.receive_status(200))
        return contact

    def test_phones_refer_gets_referred_by_from_its_contact_and_defect_b_restores_it(self):
        for agent, given in (("Phone/1", None), ("BPhone/1", "<sip:someone@elsewhere.example>")):
            with self.subTest(agent=agent):
                callid = "refer-by-" + agent[0]
                _, tag = self.call(callid, agent, "srvb")
                extra = ["Refer-To: <sip:carol@%s>" % self.server_addr] + (["Referred-By: " + given] if given else [])
                self.phone.send(self.phone_request(callid, "REFER", 2, tag, extra))
                refer = self.got(self.server.receive_request("REFER"))
                self.assertEqual(header(refer, "Referred-By"), "<sip:alice@%s>" % self.server.address)
                self.server.answer(refer, 202, "Accepted")
                self.got(self.phone.receive_status(202))
        self.assertIn("Add Missing 'Referred-By:'", self.log())
        self.assertIn("Defect 'B' - Restore 'Referred-By:'", self.log())

    def test_defect_n_drops_the_first_notifies_of_a_transfer(self):
        # Without "Refer-Sub: false" two NOTIFYs are dropped and the third goes on (3, 1, 0); with it two are
        # dropped and the rest answered by the relay until the terminated one (-4, -2, -1).
        for sub, final in (([], None), (["Refer-Sub: false"], "SIP/2.0 200 OKey")):
            with self.subTest(refer_sub=bool(sub)):
                callid = "notify-n-%d" % len(sub)
                invite, tag = self.call(callid, "NPhone/1", "srvn")
                self.refer_accepted(invite, 2, "srvn", ["Refer-To: <sip:carol@%s?Replaces=x%%3Bto-tag%%3Da%%3Bfrom-tag%%3Db>"
                                                        % self.server_addr] + sub)
                for cseq in (2, 3):
                    self.notify(callid, cseq, tag, "active")
                    self.assertIsNone(self.phone.receive(0.3), "dropped without an answer")
                self.notify(callid, 4, tag, "terminated")
                if final:
                    self.assertEqual(status_line(self.got(self.phone.receive_status(200))), final)
                    self.assertIsNone(self.server.receive_request("NOTIFY", 0.3))
                else:
                    notify = self.got(self.server.receive_request("NOTIFY"))
                    self.assertEqual(header(notify, "CSeq"), "4 NOTIFY")
        self.assertIn("Defect 'n' - Disregard NOTIFY (0x01)", self.log())
        self.assertIn("Defect 'n' - Disregard NOTIFY (0xFE)", self.log())

    def test_server_refer_workarounds_contact_and_replaces_escaping(self):
        # 'C': a REFER without Contact names the relay. 'R': an unescaped '@' in the embedded Replaces is
        # escaped, the valid rest (lower-case escapes, "-") stays as written; one that does not decode goes
        # unchanged.
        invite, _ = self.call("refer-c", "CPhone/1", "srvc")
        refer = self.refer_accepted(invite, 2, "srvc", ["Refer-To: <sip:carol@%s>" % self.server_addr], contact=False)
        self.assertEqual(header(refer, "Contact"), "<sip:ostrel@%s:%d>" % (self.d.address, self.d.port))
        invite, _ = self.call("refer-r", "RPhone/1", "srvr")
        for cseq, given, seen in ((2, "ab-1@host%3bto-tag%3Dt-1%3Bfrom-tag%3Df.1%3Bearly-only",
                                   "ab-1%40host%3bto-tag%3Dt-1%3Bfrom-tag%3Df.1%3Bearly-only"),
                                  (3, "ab-2%40host%3Bto-tag%3Dt%3Bfrom-tag%3Df", "ab-2%40host%3Bto-tag%3Dt%3Bfrom-tag%3Df"),
                                  (4, "ab-3@host%zz%3Bto-tag%3Dt", "ab-3@host%zz%3Bto-tag%3Dt")):
            refer = self.refer_accepted(invite, cseq, "srvr",
                                        ["Refer-To: <sip:carol@%s?Replaces=%s>" % (self.server_addr, given)])
            self.assertEqual(replaces_of(refer), seen)

    def test_attended_transfer_across_zero_media_mode(self):
        # The phone's REFER names its other call by the relay's tag: the server gets its own tag, the other
        # fields (early-only) as they were.
        contact = self.register("ZPhone/1")
        first, ztag1 = self.call("att-1@phone", "ZPhone/1", "srv-a1")
        _, ztag2 = self.call("att-2@phone", "ZPhone/1", "srv-a2")
        self.assertRegex(ztag1, r"^ostrel-\d+$")
        self.assertNotEqual(ztag1, ztag2)
        value = "att-1@phone;to-tag=%s;from-tag=pf-att-1@phone;early-only" % ztag1
        self.phone.send(self.phone_request("att-2@phone", "REFER", 2, ztag2, [
            "Refer-To: <sip:carol@%s?Replaces=%s>" % (self.server_addr, quote(value, safe=""))]))
        refer = self.got(self.server.receive_request("REFER"))
        self.assertEqual(unquote(replaces_of(refer)), value.replace(ztag1, "srv-a1"))
        self.assertIn("GetRplcs(C) found Key: C&att-1@phone", self.log())
        self.server.answer(refer, 202, "Accepted")
        self.got(self.phone.receive_status(202))

        # The server's new call replaces the first one: the phone is told the relay's tag it knows.
        self.server.send(self.server.request(
            "INVITE", contact, ["Content-Type: application/sdp",
                                              "Replaces: att-1@phone;to-tag=pf-att-1@phone;from-tag=srv-a1;early-only"],
            SDP.format(ip=self.server.address, extra=""), from_user="carol", domain=self.server.address,
            via_branch="z9hG4bK-att-3", from_tag="srv-a3", callid="att-3", cseq=1), self.internal)
        invite = self.got(self.phone.receive_request("INVITE"))
        self.assertEqual(header(invite, "Replaces"), "att-1@phone;to-tag=pf-att-1@phone;from-tag=%s;early-only" % ztag1,
                         self.log())
        self.assertIn("Substitute Replaces.", self.log())

        # The replaced call ends cleanly on both sides.
        self.server_request(first, "BYE", 5, "srv-a1", contact=False)
        bye = self.got(self.phone.receive_request("BYE"))
        self.assertIn(";tag=" + ztag1, header(bye, "From"))
        self.phone.reply(response(bye, 200, "OK", tag=None))
        ok = self.got(self.server.receive_status(200))
        self.assertEqual(header(ok, "CSeq"), "5 BYE")

    def test_defect_b_ignores_the_first_bye_of_a_replaced_call(self):
        contact = self.register("ZbPhone/1")
        first, ztag = self.call("rb-1", "ZbPhone/1", "srv-b1")
        self.server.send(self.server.request(
            "INVITE", contact, ["Content-Type: application/sdp", "Replaces: rb-1;to-tag=pf-rb-1;from-tag=srv-b1"],
            SDP.format(ip=self.server.address, extra=""), from_user="carol", domain=self.server.address,
            via_branch="z9hG4bK-rb-2", from_tag="srv-b2", callid="rb-2", cseq=1), self.internal)
        self.assertEqual(header(self.got(self.phone.receive_request("INVITE")), "Replaces"),
                         "rb-1;to-tag=pf-rb-1;from-tag=" + ztag)
        self.server_request(first, "BYE", 5, "srv-b1", contact=False)
        self.assertIsNone(self.phone.receive_request("BYE", 0.5), "the first BYE is swallowed")
        self.assertIn("Defect 'b' - Ignore first BYE for Replaced Call", self.log())
        self.server_request(first, "BYE", 5, "srv-b1", contact=False)
        self.got(self.phone.receive_request("BYE"))


@unittest.skipUnless(shutil.which("baresip") and shutil.which("kamailio") or os.environ.get("CI") == "true",
                     "baresip and kamailio are installed by scripts/install-deps.sh")
class SoftPhoneTransfer(DaemonTestCase):
    """Real phones: bob transfers the call alice made to him over to carol, through the relay and Kamailio."""

    def test_baresip_transfers_an_answered_call_and_the_target_rings(self):
        from test_softphones import Baresip, Kamailio
        kam_ip, alice_ip, bob_ip, carol_ip = (next_address() for _ in range(4))
        d = self.daemon(config_lines=["log_level = debug+short", "register_timeout = 60",
                                      "domain = %s prsn" % kam_ip]).start()
        relay = "%s:%d" % (d.address, d.port)
        kam = Kamailio(self.workdir, kam_ip)
        self.addCleanup(kam.peer.stop)
        phones = {}
        for name, ip, auto in (("alice", alice_ip, False), ("bob", bob_ip, True), ("carol", carol_ip, False)):
            phones[name] = Baresip(self.workdir, name, ip, name, kam_ip, relay, auto_answer=auto)
            self.addCleanup(phones[name].stop)
        for phone in phones.values():
            phone.connect()
            self.assertTrue(phone.wait_registered(), phone.peer.output() + d.log())
        alice, bob, carol = phones["alice"], phones["bob"], phones["carol"]

        alice.command("dial", "sip:bob@%s" % kam_ip)
        self.assertTrue(bob.wait_event("CALL_ESTABLISHED"), bob.peer.output() + d.log())
        self.assertTrue(alice.wait_event("CALL_ESTABLISHED"), alice.peer.output() + d.log())
        bob.command("transfer", "sip:carol@%s" % kam_ip)
        self.assertTrue(carol.wait_event("CALL_INCOMING"),
                        carol.peer.output() + alice.peer.output() + bob.peer.output() + d.log())
        log = d.log()
        self.assertRegex(log, r"<==C== %s:5060\s*\nREFER " % re.escape(bob_ip))
        self.assertRegex(log, r"--C--> %s:5060\s*\nREFER " % re.escape(alice_ip))
        self.assertIn("Add Missing 'Referred-By:'", log)
        self.assertRegex(log, r"<==C== %s:5060\s*\nINVITE sip:carol@" % re.escape(alice_ip))


if __name__ == "__main__":
    unittest.main()
