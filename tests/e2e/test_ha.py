"""High availability end to end: two relays on distinct loopback addresses, each the other's HA peer. What a
client does through one is replicated to the other (registrations, their removal, established calls), a
restarted relay gets its peer's calls back, and records from any third address are ignored.

Each relay's events/HA socket listens on every address; the test gives each relay's address a route whose
source is that relay's own address, as a host with one address per relay would have."""

import os
import re
import signal
import socket
import subprocess
import time
import unittest

from harness import (Daemon, DaemonTestCase, SipClient, header, next_address, status_line, udp_ports_bound,
                     wait_until)
from test_calls import SDP, Phone, ScriptedServer
from test_media import SDP as MEDIA_SDP, MediaCall, media_of
from test_events import Collector
from test_registrations import PRIVATE_CONTACT, Registrar, answer

DUMP_END = "========================================================================\n\n"


def route_from(to_ip, src_ip):
    subprocess.check_call(["ip", "route", "replace", "local", to_ip + "/32", "dev", "lo", "src", src_ip,
                           "table", "local"])


class Pair(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.a_ip, self.b_ip = next_address(), next_address()
        route_from(self.b_ip, self.a_ip)
        route_from(self.a_ip, self.b_ip)
        self.server_ip = next_address()
        self.server = Registrar(self.udp_socket(self.server_ip, 5080))
        self.server_addr = "%s:5080" % self.server_ip
        self.collector = Collector(self.udp_socket(next_address(), 9999))
        self.dirs = {}
        self.extra_lines = []

    def relay(self, name, address, port, peer_ip, peer_port, start=True, args=()):
        workdir = self.dirs.setdefault(name, os.path.join(self.workdir, name))
        os.makedirs(workdir, exist_ok=True)
        lines = ["ha_peer = %s:%d" % (peer_ip, peer_port + 12), "register_timeout = 45",
                 "log_level = debug+short+reg_regul", "domain = %s smtr" % self.server_ip,
                 "events_collector = %s:%d" % (self.collector.address, self.collector.port)]
        d = Daemon(workdir, address=address, port=port, config_lines=lines + list(self.extra_lines), args=args)
        self.daemons.append(d)
        return d.start() if start else d

    def start_a(self, args=()):
        self.a = self.relay("a", self.a_ip, 5060, self.b_ip, 5160, args=args)
        return self.a

    def start_b(self, args=()):
        self.b = self.relay("b", self.b_ip, 5160, self.a_ip, 5060, args=args)
        return self.b

    def dump(self, d):
        """The relay's status dump, the last one it wrote."""
        before = d.log().count(DUMP_END)
        d.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: d.log().count(DUMP_END) > before), d.log())
        text = d.log()
        start = text.rindex("========================= Active Registrations")
        return text[start:text.rindex(DUMP_END)]

    def register(self, d, user, expires=3600):
        phone = SipClient(self.udp_socket(), (d.address, d.port))
        contact = "sip:%s@192.168.1.20:5062" % user
        text = phone.request("REGISTER", "sip:" + self.server_addr, ["Expires: %d" % expires], from_user=user,
                             callid="reg-%s" % user, domain=self.server_ip)
        text = text.replace("Contact: <sip:%s@%s:%d>" % (user, phone.address, phone.port), "Contact: <%s>" % contact)
        text = text.replace("To: <sip:%s>" % self.server_addr, "To: <sip:%s@%s>" % (user, self.server_ip))
        phone.send(text)
        relayed = self.server.receive()
        self.assertIsNotNone(relayed, d.log())
        if expires:
            self.server.grant(relayed, expires)
        else:
            self.server.reply(answer(relayed, 200, "OK", ["Expires: 0"]))
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK", d.log())
        return header(relayed, "Contact").strip("<>"), phone

    def unregister(self, d, user, phone):
        text = phone.request("REGISTER", "sip:" + self.server_addr, ["Expires: 0"], from_user=user,
                             callid="reg-%s" % user, domain=self.server_ip, cseq=2)
        text = text.replace("Contact: <sip:%s@%s:%d>" % (user, phone.address, phone.port),
                            "Contact: <sip:%s@192.168.1.20:5062>" % user)
        text = text.replace("To: <sip:%s>" % self.server_addr, "To: <sip:%s@%s>" % (user, self.server_ip))
        phone.send(text)
        relayed = self.server.receive()
        self.assertIsNotNone(relayed, d.log())
        self.server.reply(answer(relayed, 200, "OK", ["Expires: 0"]))
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK", d.log())


class Registrations(Pair):
    def test_registration_replicated_slave_silent_and_removal_replicated(self):
        b = self.start_b()
        a = self.start_a()
        # B serves a client itself first, so it is master until A's record arrives.
        carol, _ = self.register(b, "carol")
        self.assertTrue(b.wait_log("HA role: master"), b.log())
        self.assertTrue(wait_until(lambda: carol in self.dump(a)), a.log())

        alice, phone = self.register(a, "alice")
        self.assertTrue(b.wait_log("HA role: slave"), b.log())
        dump = self.dump(b)
        self.assertIn("%s  ==> sip:alice@192.168.1.20:5062\t(" % alice, dump)
        self.assertIn("Total: 2\n", dump)

        # A slave sends no events: B's un-registration of carol is not reported by B.
        while self.collector.drain(0.5):
            pass
        reported_by_b = [e for e in self.collector.seen if e.endswith("Self: %s:%d\n" % (b.address, b.port))]
        before = len(reported_by_b)
        self.unregister(a, "alice", phone)
        self.assertTrue(wait_until(lambda: alice not in self.dump(b), 5), b.log())
        unreg = self.collector.wait("UNREG")
        self.assertIsNotNone(unreg)
        self.assertTrue(unreg.endswith("Self: %s:%d\n" % (a.address, a.port)), unreg)
        while self.collector.drain(0.5):
            pass
        self.assertEqual(len([e for e in self.collector.seen
                              if e.endswith("Self: %s:%d\n" % (b.address, b.port))]), before)

    def test_record_from_a_third_address_is_ignored(self):
        b = self.start_b()
        intruder = self.udp_socket(next_address())
        record = "R|sip:mallory*x@%s:5173|sip:mallory@10.9.9.9:5060|c|||mallory@x||10.9.9.9:5060|3600|45|0|0||||0|0" \
                 % self.b_ip
        intruder.sendto(record.encode(), (self.b_ip, 5172))
        intruder.sendto(b"?", (self.b_ip, 5172))
        self.assertTrue(b.wait_log("is not from the peer - ignored"), b.log())
        dump = self.dump(b)
        self.assertNotIn("mallory", dump)
        self.assertNotIn("Share Calls", b.log(), "a stranger does not get our calls")
        self.assertIn("Total: 0\n", dump)


class Calls(Pair):
    def establish(self, d, callid):
        server = ScriptedServer(self.server.sock)
        phone = Phone(self.udp_socket(), (d.address, d.port))
        phone.invite(self.server_addr, callid)
        invite = server.receive_request("INVITE")
        self.assertIsNotNone(invite, d.log())
        server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
        self.assertIsNotNone(phone.receive_status(200), d.log())
        phone.send(phone.in_dialog("ACK", phone.invite_text, "srv1", 1, "z9hG4bK-ack-" + callid))
        self.assertIsNotNone(server.receive_request("ACK"), d.log())
        return phone, server, invite

    def test_established_call_replicated_and_given_back_to_a_restarted_peer(self):
        b = self.start_b()
        a = self.start_a()
        self.establish(a, "ha-call-1")
        call_line = re.compile(r"\[\d+\] (C&ha-call-1&srv1)\n")
        self.assertTrue(wait_until(lambda: call_line.search(self.dump(b)) is not None, 5), b.log())
        self.assertRegex(self.dump(b), r"Active Calls =+\n\[\d+\] C&ha-call-1&srv1\n.*\nTotal: 1\n")

        # A stops (its calls go with it, unreported) and comes back: it asks B, and B gives the call back.
        a.stop()
        a2 = self.relay("a2", self.a_ip, 5060, self.b_ip, 5160)
        self.assertTrue(b.wait_log("Share Calls(1) info with peer."), b.log())
        self.assertTrue(wait_until(lambda: call_line.search(self.dump(a2)) is not None, 5), a2.log())

    def test_anchored_call_replicated_with_its_ports_opened_at_the_peer(self):
        self.extra_lines = ["range = 40000 40010"]
        b = self.start_b(args=["-f"])
        a = self.start_a(args=["-f"])
        server = ScriptedServer(self.server.sock)
        srv_media = MediaCall.rtp_socket(self, self.server_ip)
        phone = Phone(self.udp_socket(), (a.address, a.port))
        phone.media = MediaCall.rtp_socket(self, phone.address)
        body = MEDIA_SDP.format(user="alice", ip=phone.address, port=phone.media.getsockname()[1], extra="")
        phone.invite_text = phone.request("INVITE", "sip:bob@" + self.server_addr, ["Content-Type: application/sdp"],
                                          body=body, via_branch="z9hG4bK-inv-ha-f", callid="ha-full")
        phone.send(phone.invite_text)
        invite = server.receive_request("INVITE", timeout=3.0)
        self.assertIsNotNone(invite, a.log())
        server.answer(invite, 200, "OK", body=MEDIA_SDP.format(user="bob", ip=self.server_ip,
                                                               port=srv_media.getsockname()[1], extra=""))
        ok = phone.receive_status(200)
        self.assertIsNotNone(ok, a.log())
        phone.send(phone.in_dialog("ACK", phone.invite_text, "srv1", 1, "z9hG4bK-ack-ha-f"))
        self.assertIsNotNone(server.receive_request("ACK"), a.log())
        cln_port, srv_port = media_of(ok)[1], media_of(invite)[1]

        self.assertTrue(b.wait_log("F|C&ha-full&srv1|"), b.log())
        record = [l for l in b.log().split("\n") if "F|C&ha-full&srv1|" in l][0]
        fields = record.split("] ", 1)[1].split("|")
        self.assertEqual(len(fields), 17, record)
        self.assertEqual(fields[6], str(cln_port))
        self.assertEqual(fields[9], str(srv_port))
        self.assertEqual(fields[10], "%s:%d" % (self.server_ip, srv_media.getsockname()[1]))
        bound = udp_ports_bound()
        self.assertTrue(wait_until(lambda: {(b.address, cln_port), (b.address, srv_port)} <= udp_ports_bound(), 5),
                        b.log())
        self.assertTrue(b.wait_log("FULL mode"), b.log())
        self.assertNotIn("route set not usable", b.log())
        self.assertRegex(self.dump(b), r"\[\d+\] C&ha-full&srv1\n")
        self.assertIsNotNone(bound)

    def test_call_end_replicated(self):
        b = self.start_b()
        a = self.start_a()
        phone, server, invite = self.establish(a, "ha-call-2")
        self.assertTrue(wait_until(lambda: "C&ha-call-2&srv1" in self.dump(b), 5), b.log())
        phone.send(phone.in_dialog("BYE", phone.invite_text, "srv1", 2, "z9hG4bK-bye-ha"))
        bye = server.receive_request("BYE")
        self.assertIsNotNone(bye, a.log())
        server.answer(bye, 200, "OK")
        self.assertIsNotNone(phone.receive_status(200), a.log())
        # The ended call lingers at A to absorb late messages; B drops it when A destroys it.
        self.assertTrue(a.wait_log("End of Dialog  C&ha-call-2", timeout=50), a.log())
        self.assertTrue(wait_until(lambda: "C&ha-call-2" not in self.dump(b), 5), b.log())


if __name__ == "__main__":
    unittest.main()
