"""NAT type detection end to end: a phone "behind NAT" sends from one loopback address and names another one
in its Contact and SDP. The relay probes it with OPTIONS whose answer it asks for at the alternate port; a
scripted phone answers (or not) from the addresses that stand for the different NAT types. Also the relay's
own 183 and INVITE that test whether the phone's media gets through, the type kept in the registration,
and zero-media mode, where the phone gets a 200 of the relay's own before the server answers."""

import re
import time
import unittest

from harness import SDP, DaemonTestCase, Peer, SharedDaemonCase, header, media_of, next_address, response, status_line

PROBE_BRANCH = r"z9hG4bK-opt-ostrel-(\d+)\.(\d)"


def cseq_number(text):
    return int(header(text, "CSeq").split()[0])


def bodiless(request, method, cseq, to_tag=None, branch_prefix=None):
    """request's headers as another request of its transaction or dialog: that method and CSeq, no body."""
    head = request.split("\r\n\r\n")[0].replace(request.split(" ", 1)[0] + " ", method + " ", 1)
    head = re.sub(r"CSeq: \d+ \w+", "CSeq: %d %s" % (cseq, method), head).replace("Content-Type: application/sdp\r\n", "")
    if to_tag:
        head = re.sub(r"(\r\nTo: [^\r]*)", r"\1;tag=" + to_tag, head, 1)
    if branch_prefix:
        head = re.sub(r"branch=z9hG4bK-\w+-", "branch=" + branch_prefix, head, 1)
    return re.sub(r"Content-Length: \d+", "Content-Length: 0", head) + "\r\n\r\n"


def stream(sock, target, packets=5):
    """A phone's RTP: a packet every 20 ms (the relay may miss the first while it enters the pair)."""
    for n in range(packets):
        sock.sendto(b"\x80\x00" + bytes([0, n]) + b"\x00" * 168, target)
        time.sleep(0.02)


def via_target(request):
    """Where the top Via asks for the answer: (host, port)."""
    host, _, port = header(request, "Via").split()[1].split(";")[0].partition(":")
    return host, int(port or 5060)


class NatPhone(Peer):
    """A phone whose NAT maps its private address (Contact and SDP) to the address of its socket."""

    def contact(self):
        return "<sip:alice@%s:%d>" % (self.private_ip, self.private_port)

    def invite(self, server_addr, callid, user_agent="NatPhone/1.0", cseq=1, domain="example.com"):
        return Peer.invite(self, server_addr, callid, cseq, ["User-Agent: %s" % user_agent],
                           SDP.format(ip=self.private_ip, extra=""), "z9hG4bK-n-%s-%d;rport" % (callid, cseq),
                           domain=domain, from_tag="pf-" + callid, contact=self.contact())

    def ok(self, request, tag):
        """The phone's 200 with its SDP to the relay's INVITE."""
        self.send(response(request, 200, "OK", tag, ["Contact: %s" % self.contact()],
                           SDP.format(ip=self.private_ip, extra="")))


class NatPeers:
    """A scripted server and a phone behind NAT (its socket on one loopback address, its Contact and SDP
    naming another) around the daemon self.d."""

    def peers(self, server):
        self.server = server
        self.server_addr = "%s:%d" % (server.address, server.port)
        self.relay = (self.d.address, self.d.port)
        self.alternate = (self.d.address, self.d.second_port)
        self.internal = (self.d.address, self.d.second_port + 3)
        self.phone = self.peer(next_address(), 5064, kind=NatPhone)
        self.phone.private_ip, self.phone.private_port = next_address(), 5062

    def answer_probe(self, options, sock):
        """The phone's answer to a probe, sent from sock to where the probe's Via asks."""
        sock.sendto(response(options, 200, "OK", "opt").encode(), via_target(options))

    def call_until_probe(self, callid, domain="example.com"):
        self.phone.invite(self.server_addr, callid, domain=domain)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying", self.log())
        return self.got(self.phone.receive_request("OPTIONS"))

    def server_invite(self, timeout=3.0):
        return self.got(self.server.receive_request("INVITE", timeout))

    def early_media(self):
        return media_of(self.got(self.phone.receive_status(183)))


class NatCase(NatPeers, DaemonTestCase):
    def start(self, lines=()):
        server_ip = next_address()
        self.start_daemon(["log_level = debug+short", "domain = %s" % server_ip] + list(lines))
        self.peers(self.peer(server_ip, 5080))


class SharedNatCase(NatPeers, SharedDaemonCase):
    LINES = []

    @classmethod
    def config(cls):
        return ["log_level = debug+short", "domain = %s" % cls.server_ip] + cls.LINES

    def setUp(self):
        super().setUp()
        self.peers(self.server_peer())


class Probes(SharedNatCase):
    """Calls of phones behind NAT that share one daemon: the probe, its answers and what they show."""

    def test_probe_not_answered_options_headers_then_the_invite_a_second_later_anchored_for_time_out(self):
        options = self.call_until_probe("nat-silent")
        probed = time.monotonic()
        self.assertEqual(options.split("\r\n")[0], "OPTIONS sip:alice@%s:5062 SIP/2.0" % self.phone.private_ip)
        self.assertEqual(header(options, "CSeq"), "5 OPTIONS")
        self.assertEqual(header(options, "Max-Forwards"), "0")
        self.assertRegex(header(options, "Via"),
                         r"^SIP/2.0/UDP %s:%d;branch=%s$" % (re.escape(self.d.address), self.d.second_port,
                                                             PROBE_BRANCH.replace(r"(\d)", "0")))
        self.assertRegex(header(options, "From"),
                         r'^"sip:alice\*[^"]+" <sip:ostrel@%s>;tag=\d+-\d+$' % re.escape(self.d.address))
        self.assertEqual(header(options, "To"), "<sip:alice@example.com>")
        self.assertTrue(header(options, "Call-ID").startswith("0."))
        self.assertEqual(header(options, "User-Agent"), "Ostrel/25.07.10")

        invite = self.server_invite()
        self.assertGreater(time.monotonic() - probed, 0.8, "the INVITE waits for the probe's second")
        self.assertEqual(header(invite, "Call-ID"), "nat-silent")
        host, port = media_of(invite)
        self.assertEqual(host, self.d.address, "the server is offered the relay's media address")
        self.assertTrue(32768 <= port < 65536 and port % 2 == 0, "a pair of the default range: %d" % port)
        self.assertIn("There is no OPTIONS Response  - Switch to FULL mode", self.log())
        self.assertRegex(self.log(), r"FULL mode \(T\)")

    def test_answer_from_the_signalling_socket_on_another_port_is_restricted(self):
        self.answer_probe(self.call_until_probe("nat-restricted"), self.phone.sock)
        early = self.got(self.phone.receive_status(183))
        self.assertEqual(status_line(early), "SIP/2.0 183 Bogus Session in progress")
        self.assertRegex(header(early, "To"), r";tag=ostrel-\d+$")
        self.assertEqual(header(early, "Server"), "Ostrel/25.07.10")
        self.assertIsNone(header(early, "Contact"))
        self.assertIn("m=audio ", early)
        self.assertIn("o=ostrel 1 1 IN IP4 %s" % self.d.address, early)
        sent = time.monotonic()
        self.server_invite()
        self.assertGreater(time.monotonic() - sent, 0.8, "the INVITE waits a second for the phone's media")
        self.assertIn("There is no 'Eraly Media' - Switch to FULL mode", self.log())
        self.assertIn("Detected FW type: Restricted", self.log())

    def test_answer_from_another_address_and_port_is_symmetric_and_anchors_at_once(self):
        self.answer_probe(self.call_until_probe("nat-sym"), self.udp_socket(next_address(), 5999))
        self.assertEqual(header(self.server_invite(1.0), "Call-ID"), "nat-sym")
        self.assertIn("Detected FW type: Symmetric", self.log())
        self.assertRegex(self.log(), r"FULL mode \(D\)")
        self.assertIsNone(self.phone.receive_status(183, 0.3), "no bogus 183 for a symmetric NAT")

    def test_client_media_within_a_second_sends_the_invite_with_its_real_media_address(self):
        self.answer_probe(self.call_until_probe("nat-media"), self.phone.sock)
        host, port = self.early_media()
        self.assertEqual(host, self.d.address)
        media = self.udp_socket(self.phone.address, 41000)  # the NAT's mapping of the phone's port 40000
        sent = time.monotonic()
        stream(media, (host, port))
        invite = self.server_invite(1.0)
        self.assertLess(time.monotonic() - sent, 0.8, "no wait for the time-out")
        self.assertEqual(media_of(invite), (self.phone.address, 41000), "the server gets the NAT's mapping")
        self.assertIn("Detected Client RTP Audio Port - 41000", self.log())
        self.assertNotIn("Switch to FULL mode", self.log())

    def until_port_preserving_early_media(self, callid):
        """The probe answered from the public address and the Contact's port: a port-preserving NAT."""
        self.answer_probe(self.call_until_probe(callid), self.udp_socket(self.phone.address, self.phone.private_port))
        early = self.early_media()
        self.assertIn("Detected FW type is Strict PreservePort Suspect...", self.log())
        self.assertIn("Detected FW type: PortPreserve", self.log())
        return early

    def test_port_preserve_without_media_times_out_to_full_mode(self):
        self.until_port_preserving_early_media("nat-pp2")
        self.server_invite()
        self.assertIn("There is no 'Eraly Media' - Switch to FULL mode", self.log())

    def test_port_preserve_media_from_the_offered_port_shows_a_restricted_nat(self):
        target = self.until_port_preserving_early_media("nat-pp3")
        stream(self.udp_socket(self.phone.address, 40000), target)
        self.assertEqual(media_of(self.server_invite(1.0)), (self.phone.address, 40000))
        self.assertIn("Session FW type is changed PortPreserve to Restricted", self.log())

    def test_port_preserve_media_from_another_port_shows_a_symmetric_nat(self):
        target = self.until_port_preserving_early_media("nat-pp4")
        stream(self.udp_socket(self.phone.address, 41004), target)
        self.assertEqual(media_of(self.server_invite(1.0))[0], self.d.address, "anchored after all")
        self.assertIn("Session FW type is changed PortPreserve to Symmetric", self.log())
        self.assertRegex(self.log(), r"FULL mode \(D\)")

    def test_the_relay_answers_a_cancel_for_the_invite_it_still_holds(self):
        self.call_until_probe("nat-cancel")
        self.phone.send(bodiless(self.phone.invite_text, "CANCEL", 1))
        self.assertEqual(header(self.phone.receive_status(200), "CSeq"), "1 CANCEL")
        self.assertEqual(header(self.phone.receive_status(487), "CSeq"), "1 INVITE")
        self.assertIsNone(self.server.receive_request("INVITE", 1.5), "the server never hears of the call")

    def test_probe_answers_with_a_foreign_call_id_or_branch_are_not_taken(self):
        options = self.call_until_probe("nat-forged")
        forged = response(options, 200, "OK", "x")
        self.phone.send(forged.replace(header(options, "Call-ID"), "0.forged@x"), self.alternate)
        self.phone.send(forged.replace("z9hG4bK-opt-ostrel-", "z9hG4bK-"), self.alternate)
        self.assertTrue(self.wait_log("Warning: Unknown ID:"), self.log())
        self.assertTrue(self.wait_log("Warning: Missing or Unexpected 'Via:'"), self.log())
        self.server_invite()
        self.assertIn("There is no OPTIONS Response  - Switch to FULL mode", self.log())

    def test_challenge_and_options_at_the_alternate_port(self):
        probe = self.peer(relay=self.alternate)
        me = "%s:%d" % (probe.address, probe.port)
        for method in ("CHALLENGE", "OPTIONS"):
            probe.send(probe.request(method, "sip:%s:%d" % self.alternate, contact=False).replace(
                "Max-Forwards: 70\r\n", ""))
            answer = probe.receive()
            self.assertEqual(status_line(answer), "SIP/2.0 200 OK")
            if method == "CHALLENGE":
                self.assertEqual(header(answer, "Hole"), me)
                self.assertEqual(probe.last_from, self.relay, "the hole is reported from the external port")
            else:
                self.assertEqual(probe.last_from[1], self.d.second_port, "the alternate port answers for itself")

    def test_garbage_at_the_alternate_port_is_reported(self):
        sock = self.udp_socket()
        sock.sendto(b"this is not SIP\r\n\r\n", self.alternate)
        self.assertTrue(self.wait_log("<==X== %s:%d\tBAD Parse" % sock.getsockname()), self.log())


class OwnConfiguration(NatCase):
    def test_load_balanced_client_media_from_another_address_anchors_with_the_probe_socket_released_first(self):
        self.start(["broken = L NatPhone"])
        self.answer_probe(self.call_until_probe("nat-lb"), self.phone.sock)
        stream(self.udp_socket(next_address(), 40000), self.early_media())
        self.assertEqual(media_of(self.server_invite(1.0))[0], self.d.address, "anchored")
        self.assertIn("Session FW type set to LB Symmetric", self.log())
        self.assertRegex(self.log(), r"FULL mode \(D\)")
        self.assertTrue(self.wait_log("Start Thread:"), self.log())
        log = self.log()
        self.assertLess(log.index("Removing from reactor port"), log.index("Start Thread:"),
                        "the relay thread is the only reader of the client's socket")

    def test_second_address_answer_to_the_probe_from_the_calls_own_port_is_transparent(self):
        second = next_address()
        self.start(["second_ipaddr = %s" % second])
        self.phone.invite(self.server_addr, "nat-transparent")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        probes, sources = {}, {}
        deadline = time.monotonic() + 3
        while len(probes) < 2 and time.monotonic() < deadline:
            text = self.phone.receive(0.5)
            if text and text.startswith("OPTIONS "):
                digit = re.search(PROBE_BRANCH, header(text, "Via")).group(2)
                probes[digit], sources[digit] = text, self.phone.last_from
        self.assertEqual(sorted(probes), ["1", "2"], self.log())
        self.assertEqual(sources["1"][0], second, "the first probe leaves from the call's own port")
        self.assertNotEqual(sources["1"][1], self.d.second_port + 1)
        self.assertEqual(sources["2"], self.relay, "the second leaves from the external port")
        self.assertTrue(header(probes["1"], "Call-ID").startswith("1."))
        self.assertTrue(header(probes["2"], "Call-ID").startswith("2."))
        self.assertIn("SIP/2.0/UDP %s:%d;" % (self.d.address, self.d.second_port), header(probes["1"], "Via"))
        self.assertIn("SIP/2.0/UDP %s:%d;" % (second, self.d.second_port), header(probes["2"], "Via"))

        self.answer_probe(probes["1"], self.phone.sock)
        self.got(self.phone.receive_status(183))
        self.assertIn("Detected FW type: Transparent", self.log())
        self.assertTrue(self.wait_log("Removing from reactor Opt port with handle"), self.log())

    def test_second_address_icmp_refusal_of_the_first_probe_marks_the_call(self):
        self.start(["second_ipaddr = %s" % next_address()])
        # The kernel's ICMP budget is shared by the whole machine: a refusal may take another call.
        for attempt in range(3):
            self.phone.sock = self.udp_socket(self.phone.address, 5065 + attempt)
            self.phone.invite(self.server_addr, "nat-icmp-%d" % attempt)
            self.phone.sock.close()  # nobody listens there any more: the probes are refused
            if self.wait_log("ICMP Response from Client. Received:", timeout=1.5):
                break
        self.assertIn("ICMP Response from Client. Received:", self.log())
        self.assertIn("Considered!", self.log())
        self.assertTrue(self.wait_log("There is no OPTIONS Response  - Switch to FULL mode"), self.log())

    def test_a_flood_at_the_alternate_port_blocks_its_source_there_and_at_the_external_port(self):
        self.start(["dos_level = local", "dos_max_mps = 5 2"])
        flooder = self.peer(relay=self.alternate)

        def options(port):
            return flooder.request("OPTIONS", "sip:%s:%d" % (self.d.address, port), contact=False).replace(
                "Max-Forwards: 70\r\n", "")

        for _ in range(20):
            flooder.send(options(self.d.second_port))
        time.sleep(0.3)
        while flooder.receive(0.1):
            pass
        self.assertTrue(self.wait_log("exceed MPS Limit"), self.log())
        self.assertIsNone(flooder.ask(options(self.d.second_port), 0.5))
        flooder.send(options(self.d.port), self.relay)
        self.assertIsNone(flooder.receive(0.5))


class ServerCall(NatCase):
    """A registered phone behind NAT called by the server: the relay's own INVITE, its ACK, the second one."""

    def register(self):
        self.phone.send(self.phone.request(
            "REGISTER", "sip:" + self.server_addr, ["Expires: 3600", "User-Agent: NatPhone/1.0"],
            via_branch="z9hG4bK-reg1;rport", domain=self.server.address, from_tag="r1",
            to="<sip:alice@%s>" % self.server.address, callid="reg-nat-1", contact=self.phone.contact()))
        relayed = self.got(self.server.receive_request("REGISTER"))
        contact = header(relayed, "Contact").strip("<>")
        self.server.reply(response(relayed, 200, "OK", "reg", ["Contact: <%s>;expires=3600" % contact]))
        self.got(self.phone.receive_status(200))
        return contact

    def relays_own_invite(self, callid):
        """The server's INVITE to the registered phone, the probe it brings (answered from the phone's socket)
        and the relay's own INVITE to the phone; returns the server's INVITE and the relay's."""
        self.start()
        contact = self.register()
        invite = self.server.request("INVITE", contact, ["Content-Type: application/sdp"],
                                     SDP.format(ip=self.server.address, extra=""), from_user="carol",
                                     domain=self.server.address, via_branch="z9hG4bK-srv-" + callid,
                                     from_tag="srv-" + callid, callid=callid, cseq=7,
                                     contact="<sip:carol@%s>" % self.server_addr)
        self.server.send(invite, self.internal)
        options = self.got(self.phone.receive_request("OPTIONS"))
        self.assertEqual(header(options, "To"), "<%s>" % contact)
        self.answer_probe(options, self.phone.sock)
        first = self.got(self.phone.receive_request("INVITE"))
        return invite, first

    def test_relays_own_invite_ack_and_second_invite(self):
        _, first = self.relays_own_invite("srv-nat-1")
        self.assertIn("Detected FW type: Restricted", self.log())
        self.phone.ok(first, "ph1")
        ack = self.got(self.phone.receive_request("ACK"))
        self.assertEqual(header(ack, "User-Agent"), "Ostrel/25.07.10")
        self.assertEqual(cseq_number(ack), cseq_number(first))
        self.assertIsNone(self.server.receive_status(200, 0.3), "the server learns of the answer with the second INVITE")

        second = self.got(self.phone.receive_request("INVITE", 3.0))
        self.assertIn(";tag=ph1", header(second, "To"), "the second INVITE is in the relay's dialog")
        self.assertEqual(cseq_number(second), cseq_number(first) + 1)
        self.assertIn("There is no 'X Client Media' - Switch to FULL mode", self.log())
        self.phone.ok(second, "ph1")
        ok = self.got(self.server.receive_status(200))
        self.assertEqual(header(ok, "CSeq"), "7 INVITE", "the server sees its own numbering")
        self.assertIn(";tag=ph1", header(ok, "To"))

    def test_client_media_after_the_relays_ack_brings_the_second_invite_at_once(self):
        _, first = self.relays_own_invite("srv-nat-2")
        host, port = media_of(first)
        self.assertEqual(host, self.d.address, "the relay's own offer points at its client-side pair")
        self.phone.ok(first, "ph2")
        self.got(self.phone.receive_request("ACK"))
        media = self.udp_socket(self.phone.address, 41002)
        sent = time.monotonic()
        stream(media, (host, port))
        second = self.got(self.phone.receive_request("INVITE", 1.0))
        self.assertLess(time.monotonic() - sent, 0.8)
        self.assertEqual(media_of(second), (self.server.address, 40000), "now the server's own media address")
        self.phone.ok(second, "ph2")
        ok = self.got(self.server.receive_status(200))
        self.assertEqual(media_of(ok), (self.phone.address, 41002), "the server gets the NAT's mapping")
        self.assertNotIn("Switch to FULL mode", self.log())

    def test_server_cancel_after_the_relays_ack_ends_the_relays_dialog_with_the_client(self):
        invite, first = self.relays_own_invite("srv-nat-3")
        self.phone.ok(first, "ph3")
        self.got(self.phone.receive_request("ACK"))
        self.server.send(bodiless(invite, "CANCEL", 7), self.internal)
        bye = self.got(self.phone.receive_request("BYE"))
        self.assertIn(";tag=ph3", header(bye, "To"))
        answers = [self.server.receive(), self.server.receive(), self.server.receive()]
        lines = [status_line(a) + " / " + header(a, "CSeq") for a in answers if a]
        self.assertIn("SIP/2.0 200 OK / 7 CANCEL", lines)
        self.assertIn("SIP/2.0 487 Terminated.. / 7 INVITE", lines)

    def test_second_invite_refused_for_a_lost_ack_brings_the_ack_again_and_a_third_invite(self):
        _, first = self.relays_own_invite("srv-nat-4")
        self.phone.ok(first, "ph4")
        second = self.got(self.phone.receive_request("INVITE", 3.0))
        self.phone.send(response(second, 481, "Call/Transaction Does Not Exist"))
        acks = [self.phone.receive_request("ACK"), self.phone.receive_request("ACK")]
        self.assertTrue(all(acks), self.log())
        self.assertEqual([cseq_number(a) for a in acks], [cseq_number(first)] * 2)
        self.assertNotEqual(header(acks[0], "Via"), header(acks[1], "Via"), "a transaction's ACK, then a dialog's")
        third = self.got(self.phone.receive_request("INVITE"))
        self.assertEqual(cseq_number(third), cseq_number(second) + 1)
        self.phone.ok(third, "ph4")
        ok = self.got(self.server.receive_status(200))
        self.assertEqual(header(ok, "CSeq"), "7 INVITE")

    def test_learned_type_is_kept_in_the_registration_and_skips_the_next_probe(self):
        self.start()
        contact = self.register()
        self.answer_probe(self.call_until_probe("nat-learn-1", self.server.address), self.phone.sock)
        self.got(self.phone.receive_status(183))
        self.server_invite()
        self.assertIn("%s  ==> sip:alice@%s:5062\t(Restricted)" % (contact, self.phone.private_ip),
                      self.d.status_dump())

        self.phone.invite(self.server_addr, "nat-learn-2", domain=self.server.address)
        self.got(self.phone.receive_status(183))
        self.assertFalse(any(t.startswith("OPTIONS ") for t in self.phone.seen[-3:]), "no second probe")
        self.assertIn("Saved FW type: Restricted", self.log())


class ZeroMedia(SharedNatCase):
    """Defect 'T' with 'e': the server's 183 becomes the relay's 200 "OKey"; the server's 200 completes it."""

    LINES = ["broken = Te ZPhone"]

    def zero_call(self, callid):
        """A call of a public phone of that kind; returns the INVITE as the server got it."""
        phone = self.phone
        phone.private_ip, phone.private_port = phone.address, phone.port  # a public phone: no probe
        phone.invite(self.server_addr, callid, user_agent="ZPhone/2")
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 100 Trying", self.log())
        return self.server_invite()

    def ack_or_bye(self, method, cseq, tag, branch_prefix):
        self.phone.send(bodiless(self.phone.invite_text, method, cseq, to_tag=tag, branch_prefix=branch_prefix))

    def until_okey(self, callid, ack=True):
        invite = self.zero_call(callid)
        sdp = SDP.format(ip=self.server.address, extra="")
        self.server.answer(invite, 183, "Session Progress", tag="srvz", body=sdp)
        okey = self.got(self.phone.receive_status(200))
        self.assertEqual(status_line(okey), "SIP/2.0 200 OKey")
        ztag = re.search(r";tag=(ostrel-\d+)", header(okey, "To")).group(1)
        if ack:
            self.ack_or_bye("ACK", 1, ztag, "z9hG4bK-a-")
        return invite, ztag, sdp

    def start_public_call(self, callid):
        invite, ztag, sdp = self.until_okey(callid)
        self.server.answer(invite, 200, "OK", tag="srvz", body=sdp)
        server_ack = self.got(self.server.receive_request("ACK"))
        self.assertIn(";tag=srvz", header(server_ack, "To"), "the server sees its own tag")
        self.assertIsNone(self.phone.receive_status(200, 0.3), "the client has its answer already")
        return invite, ztag

    def server_hangs_up(self, invite, ztag, cseq, branch):
        self.server.reply(self.server.request(
            "BYE", "sip:alice@%s:%d" % (self.phone.address, self.phone.port), from_user="bob",
            domain=self.server_addr, via_branch=branch, from_tag="srvz", to=header(invite, "From"),
            callid=header(invite, "Call-ID"), cseq=cseq, contact=False))
        bye = self.got(self.phone.receive_request("BYE"))
        self.assertIn(";tag=" + ztag, header(bye, "From"), "the phone sees the relay's tag")
        return bye

    def test_server_answer_before_the_clients_ack_is_held_until_the_ack(self):
        invite, ztag, sdp = self.until_okey("zero-5", ack=False)
        self.server.answer(invite, 200, "OK", tag="srvz", body=sdp)
        self.assertIsNone(self.server.receive_request("ACK", 0.3), "the client's dialog is not confirmed yet")
        self.ack_or_bye("ACK", 1, ztag, "z9hG4bK-a-")
        self.assertIn(";tag=srvz", header(self.got(self.server.receive_request("ACK")), "To"))

    def test_client_hangs_up(self):
        invite, ztag = self.start_public_call("zero-1")
        self.ack_or_bye("BYE", 2, ztag, "z9hG4bK-b-")
        relayed = self.got(self.server.receive_request("BYE"))
        self.assertIn(";tag=srvz", header(relayed, "To"))
        self.server.answer(relayed, 200, "OK")
        ok = self.got(self.phone.receive_status(200))
        self.assertIn(";tag=" + ztag, header(ok, "To"))

    def test_server_hangs_up(self):
        invite, ztag = self.start_public_call("zero-2")
        self.phone.send(response(self.server_hangs_up(invite, ztag, 5, "z9hG4bK-sb"), 200, "OK"))
        ok = self.got(self.server.receive())
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK")
        self.assertIn(";tag=srvz", header(ok, "From"))
        self.assertEqual(header(ok, "CSeq"), "5 BYE")

    def test_an_answer_without_early_media_keeps_the_two_views_of_the_dialog(self):
        invite = self.zero_call("zero-4")
        self.server.answer(invite, 200, "OK", tag="srvz", body=SDP.format(ip=self.server.address, extra=""))
        ok = self.got(self.phone.receive_status(200))
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK")
        ztag = re.search(r";tag=(ostrel-\d+)", header(ok, "To")).group(1)
        self.ack_or_bye("ACK", 1, ztag, "z9hG4bK-a-")
        server_ack = self.got(self.server.receive_request("ACK"))
        self.assertIn(";tag=srvz", header(server_ack, "To"))
        self.server_hangs_up(invite, ztag, 2, "z9hG4bK-zb")

    def test_server_answer_with_other_media_is_offered_to_the_client_anew(self):
        invite, ztag, sdp = self.until_okey("zero-3")
        self.server.answer(invite, 200, "OK", tag="srvz", body=sdp.replace("m=audio 40000", "m=audio 40002"))
        reinvite = self.got(self.phone.receive_request("INVITE"))
        self.assertIn(";tag=" + ztag, header(reinvite, "From"))
        self.assertIn(";tag=pf-zero-3", header(reinvite, "To"))
        self.assertEqual(header(reinvite, "CSeq"), "1 INVITE")
        self.assertEqual(media_of(reinvite)[1], 40002)
        self.assertIsNone(self.server.receive_request("ACK", 0.3), "the server waits for the client's answer")
        self.phone.send(response(reinvite, 200, "OK", extra=["Contact: <sip:alice@%s:%d>" % (
            self.phone.address, self.phone.port)], body=SDP.format(ip=self.phone.address, extra="")))
        ack = self.got(self.phone.receive_request("ACK"))
        self.assertEqual(header(ack, "CSeq"), "1 ACK")
        server_ack = self.got(self.server.receive_request("ACK"))
        self.assertIn(";tag=srvz", header(server_ack, "To"))
        self.assertEqual(header(server_ack, "CSeq"), "1 ACK")
        self.assertIn("zMode - StarWar Episod II implementation", self.log())


if __name__ == "__main__":
    unittest.main()
