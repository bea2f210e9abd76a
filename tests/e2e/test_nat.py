"""NAT type detection end to end: a phone "behind NAT" sends from one loopback address and names another one
in its Contact and SDP. The relay probes it with OPTIONS whose answer it asks for at the alternate port; a
scripted phone answers (or not) from the addresses that stand for the different NAT types. Also the relay's
own 183 and INVITE that test whether the phone's media gets through, the type kept in the registration,
and zero-media mode, where the phone gets a 200 of the relay's own before the server answers."""

import re
import signal
import socket
import time
import unittest

from harness import DaemonTestCase, header, next_address, status_line
from test_calls import SDP, ScriptedServer, headers

PROBE_BRANCH = r"z9hG4bK-opt-ostrel-(\d+)\.(\d)"


def method_of(text):
    return text.split(" ", 1)[0] if text else None


def cseq_number(text):
    return int(header(text, "CSeq").split()[0])


def answer_to(request, code, reason, to_tag=None, extra=(), body=""):
    """A response to request with its Vias, From, To (tagged when asked), Call-ID and CSeq."""
    lines = ["SIP/2.0 %d %s" % (code, reason)]
    lines += ["Via: %s" % v for v in headers(request, "Via")]
    lines += ["Record-Route: %s" % r for r in headers(request, "Record-Route")]
    lines.append("From: %s" % header(request, "From"))
    to = header(request, "To")
    lines.append("To: %s" % (to + ";tag=" + to_tag if to_tag and ";tag=" not in to else to))
    lines += ["Call-ID: %s" % header(request, "Call-ID"), "CSeq: %s" % header(request, "CSeq")]
    lines += list(extra)
    if body:
        lines.append("Content-Type: application/sdp")
    lines.append("Content-Length: %d" % len(body))
    return "\r\n".join(lines) + "\r\n\r\n" + body


def sdp_audio(text):
    """(connection address, audio port) of a message's SDP."""
    body = text.split("\r\n\r\n", 1)[1]
    host = re.search(r"c=IN IP4 ([\d.]+)", body).group(1)
    port = int(re.search(r"m=audio (\d+) ", body).group(1))
    return host, port


def stream(sock, target, packets=5):
    """A phone's RTP: a packet every 20 ms (the relay may miss the first while it enters the pair)."""
    for n in range(packets):
        sock.sendto(b"\x80\x00" + bytes([0, n]) + b"\x00" * 168, target)
        time.sleep(0.02)


def via_target(request):
    """Where the top Via asks for the answer: (host, port)."""
    sent_by = header(request, "Via").split()[1].split(";")[0]
    host, _, port = sent_by.partition(":")
    return host, int(port or 5060)


class NatPhone:
    """A phone whose NAT maps its private address (Contact and SDP) to the address of its socket."""

    def __init__(self, sock, relay, private_ip, private_port):
        self.sock = sock
        self.relay = relay
        self.address, self.port = sock.getsockname()
        self.private_ip = private_ip
        self.private_port = private_port
        self.seen = []

    def contact(self):
        return "<sip:alice@%s:%d>" % (self.private_ip, self.private_port)

    def invite(self, server_addr, callid, user_agent="NatPhone/1.0", cseq=1, domain="example.com"):
        body = SDP.format(ip=self.private_ip, extra="")
        lines = ["INVITE sip:bob@%s SIP/2.0" % server_addr,
                 "Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK-n-%s-%d;rport" % (self.address, self.port, callid, cseq),
                 "Max-Forwards: 70", "From: <sip:alice@%s>;tag=pf-%s" % (domain, callid),
                 "To: <sip:bob@%s>" % server_addr, "Call-ID: %s" % callid, "CSeq: %d INVITE" % cseq,
                 "Contact: %s" % self.contact(), "User-Agent: %s" % user_agent,
                 "Content-Type: application/sdp", "Content-Length: %d" % len(body)]
        self.invite_text = "\r\n".join(lines) + "\r\n\r\n" + body
        self.send(self.invite_text)
        return self.invite_text

    def send(self, text, to=None):
        self.sock.sendto(text.encode(), to or self.relay)

    def receive(self, timeout=2.0):
        self.sock.settimeout(timeout)
        try:
            data, src = self.sock.recvfrom(65535)
        except OSError:
            return None
        text = data.decode(errors="replace")
        self.seen.append(text)
        return text

    def receive_where(self, accept, timeout=3.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.receive(max(0.05, deadline - time.monotonic()))
            if text and accept(text):
                return text
        return None

    def receive_options(self, timeout=3.0):
        return self.receive_where(lambda t: t.startswith("OPTIONS "), timeout)

    def receive_status(self, code, timeout=3.0):
        return self.receive_where(lambda t: t.startswith("SIP/2.0 %d " % code), timeout)

    def receive_request(self, method, timeout=3.0):
        return self.receive_where(lambda t: t.startswith(method + " "), timeout)


class NatCase(DaemonTestCase):
    def start(self, lines=()):
        self.server = ScriptedServer(self.udp_socket(next_address(), 5080))
        self.server_addr = "%s:5080" % self.server.address
        config = ["log_level = debug+short", "domain = %s" % self.server.address] + list(lines)
        self.d = self.daemon(config_lines=config).start()
        self.relay = (self.d.address, self.d.port)
        self.alternate = (self.d.address, self.d.second_port)
        phone_ip = next_address()
        sock = self.udp_socket(phone_ip, 5064)
        self.phone = NatPhone(sock, self.relay, next_address(), 5062)
        return self.d

    def answer_probe(self, options, sock):
        """The phone's answer to a probe, sent from sock to where the probe's Via asks."""
        sock.sendto(answer_to(options, 200, "OK", to_tag="opt").encode(), via_target(options))

    def call_until_probe(self, callid, domain="example.com"):
        self.phone.invite(self.server_addr, callid, domain=domain)
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying", self.d.log())
        options = self.phone.receive_options()
        self.assertIsNotNone(options, self.d.log())
        return options

    def server_invite(self, timeout=3.0):
        invite = self.server.receive_request("INVITE", timeout)
        self.assertIsNotNone(invite, self.d.log())
        return invite


class ProbeNotAnswered(NatCase):
    def test_options_headers_then_the_invite_a_second_later_anchored_for_time_out(self):
        self.start()
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
        host, port = sdp_audio(invite)
        self.assertEqual(host, self.d.address, "the server is offered the relay's media address")
        self.assertNotEqual(port, 40000)
        log = self.d.log()
        self.assertIn("There is no OPTIONS Response  - Switch to FULL mode", log)
        self.assertRegex(log, r"FULL mode \(T\)")


class ProbeAnswered(NatCase):
    """The phone answers the probe from the address that stands for its kind of NAT."""

    def probe_answered_from(self, sock_address, callid):
        self.start()
        options = self.call_until_probe(callid)
        sock = self.phone.sock if sock_address is None else self.udp_socket(*sock_address)
        self.answer_probe(options, sock)
        return options

    def expect_bogus_183_then_time_out(self):
        early = self.phone.receive_status(183)
        self.assertIsNotNone(early, self.d.log())
        self.assertEqual(status_line(early), "SIP/2.0 183 Bogus Session in progress")
        self.assertRegex(header(early, "To"), r";tag=ostrel-\d+$")
        self.assertEqual(header(early, "Server"), "Ostrel/25.07.10")
        self.assertIsNone(header(early, "Contact"))
        self.assertIn("m=audio ", early)
        self.assertIn("o=ostrel 1 1 IN IP4 %s" % self.d.address, early)
        sent = time.monotonic()
        invite = self.server_invite()
        self.assertGreater(time.monotonic() - sent, 0.8, "the INVITE waits a second for the phone's media")
        self.assertIn("There is no 'Eraly Media' - Switch to FULL mode", self.d.log())
        return invite

    def test_answer_from_the_signalling_socket_on_another_port_is_restricted(self):
        self.probe_answered_from(None, "nat-restricted")
        self.expect_bogus_183_then_time_out()
        self.assertIn("Detected FW type: Restricted", self.d.log())

    def test_answer_from_another_address_and_port_is_symmetric_and_anchors_at_once(self):
        self.start()
        options = self.call_until_probe("nat-sym")
        self.answer_probe(options, self.udp_socket(next_address(), 5999))
        invite = self.server_invite(1.0)
        self.assertEqual(header(invite, "Call-ID"), "nat-sym")
        log = self.d.log()
        self.assertIn("Detected FW type: Symmetric", log)
        self.assertRegex(log, r"FULL mode \(D\)")
        self.assertIsNone(self.phone.receive_status(183, 0.3), "no bogus 183 for a symmetric NAT")


class EarlyMedia(NatCase):
    def test_client_media_within_a_second_sends_the_invite_with_its_real_media_address(self):
        self.start()
        options = self.call_until_probe("nat-media")
        self.answer_probe(options, self.phone.sock)
        early = self.phone.receive_status(183)
        self.assertIsNotNone(early, self.d.log())
        host, port = sdp_audio(early)
        self.assertEqual(host, self.d.address)
        media = self.udp_socket(self.phone.address, 41000)  # the NAT's mapping of the phone's port 40000
        sent = time.monotonic()
        stream(media, (host, port))
        invite = self.server_invite(1.0)
        self.assertLess(time.monotonic() - sent, 0.8, "no wait for the time-out")
        self.assertEqual(sdp_audio(invite), (self.phone.address, 41000), "the server gets the NAT's mapping")
        log = self.d.log()
        self.assertIn("Detected Client RTP Audio Port - 41000", log)
        self.assertNotIn("Switch to FULL mode", log)


class LoadBalancedClient(NatCase):
    def test_media_from_another_address_anchors_with_the_probe_socket_released_first(self):
        self.start(["broken = L NatPhone"])
        options = self.call_until_probe("nat-lb")
        self.answer_probe(options, self.phone.sock)
        early = self.phone.receive_status(183)
        self.assertIsNotNone(early, self.d.log())
        stream(self.udp_socket(next_address(), 40000), sdp_audio(early))
        invite = self.server_invite(1.0)
        self.assertEqual(sdp_audio(invite)[0], self.d.address, "anchored")
        log = self.d.log()
        self.assertIn("Session FW type set to LB Symmetric", log)
        self.assertRegex(log, r"FULL mode \(D\)")
        self.assertTrue(self.d.wait_log("Start Thread:"), log)
        log = self.d.log()
        self.assertLess(log.index("Removing from reactor port"), log.index("Start Thread:"),
                        "the relay thread is the only reader of the client's socket")


class PortPreserve(NatCase):
    def until_early_media(self, callid):
        self.start()
        options = self.call_until_probe(callid)
        sock = self.udp_socket(self.phone.address, self.phone.private_port)
        self.answer_probe(options, sock)
        early = self.phone.receive_status(183)
        self.assertIsNotNone(early, self.d.log())
        log = self.d.log()
        self.assertIn("Detected FW type is Strict PreservePort Suspect...", log)
        self.assertIn("Detected FW type: PortPreserve", log)
        return sdp_audio(early)

    def test_answer_from_the_public_address_and_contact_port(self):
        self.until_early_media("nat-pp2")
        self.server_invite()
        self.assertIn("There is no 'Eraly Media' - Switch to FULL mode", self.d.log())

    def test_media_from_the_offered_port_shows_a_restricted_nat(self):
        host, port = self.until_early_media("nat-pp3")
        stream(self.udp_socket(self.phone.address, 40000), (host, port))
        invite = self.server_invite(1.0)
        self.assertEqual(sdp_audio(invite), (self.phone.address, 40000))
        self.assertIn("Session FW type is changed PortPreserve to Restricted", self.d.log())

    def test_media_from_another_port_shows_a_symmetric_nat(self):
        host, port = self.until_early_media("nat-pp4")
        stream(self.udp_socket(self.phone.address, 41004), (host, port))
        invite = self.server_invite(1.0)
        self.assertEqual(sdp_audio(invite)[0], self.d.address, "anchored after all")
        log = self.d.log()
        self.assertIn("Session FW type is changed PortPreserve to Symmetric", log)
        self.assertRegex(log, r"FULL mode \(D\)")


class SecondAddress(NatCase):
    def test_answer_to_the_probe_from_the_calls_own_port_is_transparent(self):
        second = next_address()
        self.start(["second_ipaddr = %s" % second])
        self.phone.invite(self.server_addr, "nat-transparent")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 100 Trying")
        probes = {}
        sources = {}
        deadline = time.monotonic() + 3
        while len(probes) < 2 and time.monotonic() < deadline:
            self.phone.sock.settimeout(0.5)
            try:
                data, src = self.phone.sock.recvfrom(65535)
            except OSError:
                continue
            text = data.decode()
            if text.startswith("OPTIONS "):
                digit = re.search(PROBE_BRANCH, header(text, "Via")).group(2)
                probes[digit], sources[digit] = text, src
        self.assertEqual(sorted(probes), ["1", "2"], self.d.log())
        self.assertEqual(sources["1"][0], second, "the first probe leaves from the call's own port")
        self.assertNotEqual(sources["1"][1], self.d.second_port + 1)
        self.assertEqual(sources["2"], self.relay, "the second leaves from the external port")
        self.assertTrue(header(probes["1"], "Call-ID").startswith("1."))
        self.assertTrue(header(probes["2"], "Call-ID").startswith("2."))
        self.assertIn("SIP/2.0/UDP %s:%d;" % (self.d.address, self.d.second_port), header(probes["1"], "Via"))
        self.assertIn("SIP/2.0/UDP %s:%d;" % (second, self.d.second_port), header(probes["2"], "Via"))

        self.answer_probe(probes["1"], self.phone.sock)
        self.assertIsNotNone(self.phone.receive_status(183), self.d.log())
        self.assertIn("Detected FW type: Transparent", self.d.log())
        self.assertTrue(self.d.wait_log("Removing from reactor Opt port with handle"), self.d.log())


    def test_icmp_refusal_of_the_first_probe_marks_the_call(self):
        second = next_address()
        self.start(["second_ipaddr = %s" % second])
        # The kernel's ICMP budget is shared by the whole machine: a refusal may take another call.
        sock = self.phone.sock
        for attempt in range(3):
            self.phone.sock = self.udp_socket(self.phone.address, 5065 + attempt)
            self.phone.invite(self.server_addr, "nat-icmp-%d" % attempt)
            self.phone.sock.close()  # nobody listens there any more: the probes are refused
            if self.d.wait_log("ICMP Response from Client. Received:", timeout=1.5):
                break
        self.phone.sock = sock
        self.assertIn("ICMP Response from Client. Received:", self.d.log())
        self.assertIn("Considered!", self.d.log())
        self.assertTrue(self.d.wait_log("There is no OPTIONS Response  - Switch to FULL mode"), self.d.log())


class CancelDuringProbe(NatCase):
    def test_the_relay_answers_a_cancel_for_the_invite_it_still_holds(self):
        self.start()
        self.call_until_probe("nat-cancel")
        cancel = self.phone.invite_text.split("\r\n\r\n")[0].replace("INVITE ", "CANCEL ", 1)
        cancel = cancel.replace("1 INVITE", "1 CANCEL").replace("Content-Type: application/sdp\r\n", "")
        cancel = re.sub(r"Content-Length: \d+", "Content-Length: 0", cancel) + "\r\n\r\n"
        self.phone.send(cancel)
        self.assertEqual(header(self.phone.receive_status(200), "CSeq"), "1 CANCEL")
        self.assertEqual(header(self.phone.receive_status(487), "CSeq"), "1 INVITE")
        self.assertIsNone(self.server.receive_request("INVITE", 1.5), "the server never hears of the call")


class ProbeScreening(NatCase):
    def test_answers_with_a_foreign_call_id_or_branch_are_not_taken(self):
        self.start()
        options = self.call_until_probe("nat-forged")
        forged = answer_to(options, 200, "OK", to_tag="x").replace(header(options, "Call-ID"), "0.forged@x")
        self.phone.send(forged, self.alternate)
        self.phone.send(answer_to(options, 200, "OK", to_tag="x").replace("z9hG4bK-opt-ostrel-", "z9hG4bK-"),
                        self.alternate)
        self.assertTrue(self.d.wait_log("Warning: Unknown ID:"), self.d.log())
        self.assertTrue(self.d.wait_log("Warning: Missing or Unexpected 'Via:'"), self.d.log())
        self.server_invite()
        self.assertIn("There is no OPTIONS Response  - Switch to FULL mode", self.d.log())

    def test_challenge_and_options_at_the_alternate_port(self):
        self.start()
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(probe.close)
        probe.bind((next_address(), 0))
        probe.settimeout(2)
        me = "%s:%d" % probe.getsockname()
        for method in ("CHALLENGE", "OPTIONS"):
            text = "\r\n".join(["%s sip:%s:%d SIP/2.0" % (method, self.d.address, self.d.second_port),
                                "Via: SIP/2.0/UDP %s;branch=z9hG4bK-q" % me, "From: <sip:a@b>;tag=1",
                                "To: <sip:a@b>", "Call-ID: q-%s" % method, "CSeq: 1 %s" % method,
                                "Content-Length: 0", "", ""])
            probe.sendto(text.encode(), self.alternate)
            data, src = probe.recvfrom(65535)
            answer = data.decode()
            self.assertEqual(status_line(answer), "SIP/2.0 200 OK")
            if method == "CHALLENGE":
                self.assertEqual(header(answer, "Hole"), me)
                self.assertEqual(src, self.relay, "the hole is reported from the external port")
            else:
                self.assertEqual(src[1], self.d.second_port, "the alternate port answers for itself")

    def test_a_flood_at_the_alternate_port_blocks_its_source_there_and_at_the_external_port(self):
        self.start(["dos_level = local", "dos_max_mps = 5 2"])
        flooder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(flooder.close)
        flooder.bind((next_address(), 0))
        me = "%s:%d" % flooder.getsockname()

        def options(n):
            return "\r\n".join(["OPTIONS sip:%s:%d SIP/2.0" % (self.d.address, self.d.second_port),
                                 "Via: SIP/2.0/UDP %s;branch=z9hG4bK-f%d" % (me, n), "From: <sip:a@b>;tag=1",
                                 "To: <sip:a@b>", "Call-ID: flood-%d" % n, "CSeq: 1 OPTIONS",
                                 "Content-Length: 0", "", ""]).encode()

        for n in range(20):
            flooder.sendto(options(n), self.alternate)
        time.sleep(0.3)
        flooder.settimeout(0.1)
        try:
            while flooder.recv(65535):
                pass
        except OSError:
            pass
        self.assertTrue(self.d.wait_log("exceed MPS Limit"), self.d.log())
        flooder.settimeout(0.5)
        flooder.sendto(options(99), self.alternate)
        self.assertRaises(OSError, flooder.recv, 65535)
        flooder.sendto(options(100).replace(b":%d SIP" % self.d.second_port, b":%d SIP" % self.d.port), self.relay)
        self.assertRaises(OSError, flooder.recv, 65535)

    def test_garbage_at_the_alternate_port_is_reported(self):
        self.start()
        sock = self.udp_socket()
        sock.sendto(b"this is not SIP\r\n\r\n", self.alternate)
        self.assertTrue(self.d.wait_log("<==X== %s:%d\tBAD Parse" % sock.getsockname()), self.d.log())


class ServerCall(NatCase):
    """A registered phone behind NAT called by the server: the relay's own INVITE, its ACK, the second one."""

    def register(self):
        phone = self.phone
        body = "\r\n".join(["REGISTER sip:%s SIP/2.0" % self.server_addr,
                            "Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK-reg1;rport" % (phone.address, phone.port),
                            "Max-Forwards: 70", "From: <sip:alice@%s>;tag=r1" % self.server.address,
                            "To: <sip:alice@%s>" % self.server.address, "Call-ID: reg-nat-1",
                            "CSeq: 1 REGISTER", "Contact: %s" % phone.contact(), "Expires: 3600",
                            "User-Agent: NatPhone/1.0", "Content-Length: 0", "", ""])
        phone.send(body)
        relayed = self.server.receive_request("REGISTER")
        self.assertIsNotNone(relayed, self.d.log())
        contact = header(relayed, "Contact").strip("<>")
        self.server.send(answer_to(relayed, 200, "OK", to_tag="reg",
                                   extra=["Contact: <%s>;expires=3600" % contact]))
        self.assertIsNotNone(phone.receive_status(200), self.d.log())
        return contact

    def server_invites(self, contact, callid):
        body = SDP.format(ip=self.server.address, extra="")
        lines = ["INVITE %s SIP/2.0" % contact,
                 "Via: SIP/2.0/UDP %s;branch=z9hG4bK-srv-%s" % (self.server_addr, callid),
                 "Max-Forwards: 70", "From: <sip:carol@%s>;tag=srv-%s" % (self.server.address, callid),
                 "To: <%s>" % contact, "Call-ID: %s" % callid, "CSeq: 7 INVITE",
                 "Contact: <sip:carol@%s>" % self.server_addr,
                 "Content-Type: application/sdp", "Content-Length: %d" % len(body)]
        text = "\r\n".join(lines) + "\r\n\r\n" + body
        self.server.sock.sendto(text.encode(), (self.d.address, self.d.second_port + 3))
        return text

    def test_relays_own_invite_ack_and_second_invite(self):
        self.start()
        contact = self.register()
        self.server_invites(contact, "srv-nat-1")
        options = self.phone.receive_options()
        self.assertIsNotNone(options, self.d.log())
        self.assertEqual(header(options, "To"), "<%s>" % contact)
        self.answer_probe(options, self.phone.sock)

        first = self.phone.receive_request("INVITE")
        self.assertIsNotNone(first, self.d.log())
        self.assertIn("Detected FW type: Restricted", self.d.log())
        self.phone.send(answer_to(first, 200, "OK", to_tag="ph1", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        ack = self.phone.receive_request("ACK")
        self.assertIsNotNone(ack, self.d.log())
        self.assertEqual(header(ack, "User-Agent"), "Ostrel/25.07.10")
        self.assertEqual(cseq_number(ack), cseq_number(first))
        early = [self.server.receive(0.3)]
        self.assertFalse(any(t and t.startswith("SIP/2.0 200") for t in early),
                         "the server learns of the answer with the second INVITE")

        second = self.phone.receive_request("INVITE", 3.0)
        self.assertIsNotNone(second, self.d.log())
        self.assertIn(";tag=ph1", header(second, "To"), "the second INVITE is in the relay's dialog")
        self.assertEqual(cseq_number(second), cseq_number(first) + 1)
        self.assertIn("There is no 'X Client Media' - Switch to FULL mode", self.d.log())
        self.phone.send(answer_to(second, 200, "OK", to_tag="ph1", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        ok = self.server.receive()
        while ok is not None and not ok.startswith("SIP/2.0 200"):
            ok = self.server.receive()
        self.assertIsNotNone(ok, self.d.log())
        self.assertEqual(header(ok, "CSeq"), "7 INVITE", "the server sees its own numbering")
        self.assertIn(";tag=ph1", header(ok, "To"))

    def test_client_media_after_the_relays_ack_brings_the_second_invite_at_once(self):
        self.start()
        contact = self.register()
        self.server_invites(contact, "srv-nat-2")
        self.answer_probe(self.phone.receive_options(), self.phone.sock)
        first = self.phone.receive_request("INVITE")
        self.assertIsNotNone(first, self.d.log())
        host, port = sdp_audio(first)
        self.assertEqual(host, self.d.address, "the relay's own offer points at its client-side pair")
        self.phone.send(answer_to(first, 200, "OK", to_tag="ph2", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        self.assertIsNotNone(self.phone.receive_request("ACK"), self.d.log())
        media = self.udp_socket(self.phone.address, 41002)
        sent = time.monotonic()
        stream(media, (host, port))
        second = self.phone.receive_request("INVITE", 1.0)
        self.assertIsNotNone(second, self.d.log())
        self.assertLess(time.monotonic() - sent, 0.8)
        self.assertEqual(sdp_audio(second), (self.server.address, 40000), "now the server's own media address")
        self.phone.send(answer_to(second, 200, "OK", to_tag="ph2", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        ok = self.server.receive()
        while ok is not None and not ok.startswith("SIP/2.0 200"):
            ok = self.server.receive()
        self.assertIsNotNone(ok, self.d.log())
        self.assertEqual(sdp_audio(ok), (self.phone.address, 41002), "the server gets the NAT's mapping")
        self.assertNotIn("Switch to FULL mode", self.d.log())

    def test_server_cancel_after_the_relays_ack_ends_the_relays_dialog_with_the_client(self):
        self.start()
        contact = self.register()
        invite = self.server_invites(contact, "srv-nat-3")
        self.answer_probe(self.phone.receive_options(), self.phone.sock)
        first = self.phone.receive_request("INVITE")
        self.assertIsNotNone(first, self.d.log())
        self.phone.send(answer_to(first, 200, "OK", to_tag="ph3", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        self.assertIsNotNone(self.phone.receive_request("ACK"), self.d.log())
        cancel = invite.split("\r\n\r\n")[0].replace("INVITE ", "CANCEL ", 1).replace("7 INVITE", "7 CANCEL")
        cancel = cancel.replace("Content-Type: application/sdp\r\n", "")
        cancel = re.sub(r"Content-Length: \d+", "Content-Length: 0", cancel) + "\r\n\r\n"
        self.server.sock.sendto(cancel.encode(), (self.d.address, self.d.second_port + 3))
        bye = self.phone.receive_request("BYE")
        self.assertIsNotNone(bye, self.d.log())
        self.assertIn(";tag=ph3", header(bye, "To"))
        answers = [self.server.receive(), self.server.receive(), self.server.receive()]
        lines = [status_line(a) + " / " + header(a, "CSeq") for a in answers if a]
        self.assertIn("SIP/2.0 200 OK / 7 CANCEL", lines)
        self.assertIn("SIP/2.0 487 Terminated.. / 7 INVITE", lines)

    def test_second_invite_refused_for_a_lost_ack_brings_the_ack_again_and_a_third_invite(self):
        self.start()
        contact = self.register()
        self.server_invites(contact, "srv-nat-4")
        self.answer_probe(self.phone.receive_options(), self.phone.sock)
        first = self.phone.receive_request("INVITE")
        self.assertIsNotNone(first, self.d.log())
        self.phone.send(answer_to(first, 200, "OK", to_tag="ph4", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        second = self.phone.receive_request("INVITE", 3.0)
        self.assertIsNotNone(second, self.d.log())
        self.phone.send(answer_to(second, 481, "Call/Transaction Does Not Exist"))
        acks = [self.phone.receive_request("ACK"), self.phone.receive_request("ACK")]
        self.assertTrue(all(acks), self.d.log())
        self.assertEqual([cseq_number(a) for a in acks], [cseq_number(first)] * 2)
        self.assertNotEqual(header(acks[0], "Via"), header(acks[1], "Via"), "a transaction's ACK, then a dialog's")
        third = self.phone.receive_request("INVITE")
        self.assertIsNotNone(third, self.d.log())
        self.assertEqual(cseq_number(third), cseq_number(second) + 1)
        self.phone.send(answer_to(third, 200, "OK", to_tag="ph4", extra=["Contact: %s" % self.phone.contact()],
                                  body=SDP.format(ip=self.phone.private_ip, extra="")))
        ok = self.server.receive()
        while ok is not None and not ok.startswith("SIP/2.0 200"):
            ok = self.server.receive()
        self.assertIsNotNone(ok, self.d.log())
        self.assertEqual(header(ok, "CSeq"), "7 INVITE")

    def test_learned_type_is_kept_in_the_registration_and_skips_the_next_probe(self):
        self.start()
        contact = self.register()
        options = self.call_until_probe("nat-learn-1", self.server.address)
        self.answer_probe(options, self.phone.sock)
        self.assertIsNotNone(self.phone.receive_status(183), self.d.log())
        self.server_invite()
        self.d.signal(signal.SIGUSR1)
        self.assertTrue(self.d.wait_log("Total: 1"), self.d.log())
        self.assertIn("%s  ==> sip:alice@%s:5062\t(Restricted)" % (contact, self.phone.private_ip), self.d.log())

        self.phone.invite(self.server_addr, "nat-learn-2", domain=self.server.address)
        self.assertIsNotNone(self.phone.receive_status(183), self.d.log())
        self.assertFalse(any(t.startswith("OPTIONS ") for t in self.phone.seen[-3:]), "no second probe")
        self.assertIn("Saved FW type: Restricted", self.d.log())


class ZeroMedia(NatCase):
    """Defect 'T' with 'e': the server's 183 becomes the relay's 200 "OKey"; the server's 200 completes it."""

    def until_okey(self, callid):
        self.start(["broken = Te ZPhone"])
        phone = self.phone
        phone.private_ip, phone.private_port = phone.address, phone.port  # a public phone: no probe
        phone.invite(self.server_addr, callid, user_agent="ZPhone/2")
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 100 Trying", self.d.log())
        invite = self.server_invite()
        sdp = SDP.format(ip=self.server.address, extra="")
        self.server.answer(invite, 183, "Session Progress", tag="srvz", body=sdp)
        okey = phone.receive_status(200)
        self.assertIsNotNone(okey, self.d.log())
        self.assertEqual(status_line(okey), "SIP/2.0 200 OKey")
        ztag = re.search(r";tag=(ostrel-\d+)", header(okey, "To")).group(1)
        ack = phone.invite_text.replace("INVITE sip:", "ACK sip:", 1).replace("1 INVITE", "1 ACK")
        ack = ack.replace("To: <sip:bob@%s>" % self.server_addr, "To: <sip:bob@%s>;tag=%s" % (self.server_addr, ztag))
        ack = ack.replace("z9hG4bK-n-", "z9hG4bK-a-").split("Content-Type")[0] + "Content-Length: 0\r\n\r\n"
        phone.send(ack)
        return invite, ztag, sdp

    def start_public_call(self, callid):
        invite, ztag, sdp = self.until_okey(callid)
        self.server.answer(invite, 200, "OK", tag="srvz", body=sdp)
        server_ack = self.server.receive_request("ACK")
        self.assertIsNotNone(server_ack, self.d.log())
        self.assertIn(";tag=srvz", header(server_ack, "To"), "the server sees its own tag")
        self.assertIsNone(self.phone.receive_status(200, 0.3), "the client has its answer already")
        return invite, ztag

    def test_client_hangs_up(self):
        invite, ztag = self.start_public_call("zero-1")
        bye = self.phone.invite_text.split("\r\n\r\n")[0].replace("INVITE sip:", "BYE sip:", 1)
        bye = bye.replace("1 INVITE", "2 BYE").replace("z9hG4bK-n-", "z9hG4bK-b-")
        bye = bye.replace("To: <sip:bob@%s>" % self.server_addr, "To: <sip:bob@%s>;tag=%s" % (self.server_addr, ztag))
        bye = bye.replace("Content-Type: application/sdp\r\n", "")
        bye = re.sub(r"Content-Length: \d+", "Content-Length: 0", bye) + "\r\n\r\n"
        self.phone.send(bye)
        relayed = self.server.receive_request("BYE")
        self.assertIsNotNone(relayed, self.d.log())
        self.assertIn(";tag=srvz", header(relayed, "To"))
        self.server.answer(relayed, 200, "OK")
        ok = self.phone.receive_status(200)
        self.assertIsNotNone(ok, self.d.log())
        self.assertIn(";tag=" + ztag, header(ok, "To"))

    def test_server_hangs_up(self):
        invite, ztag = self.start_public_call("zero-2")
        lines = ["BYE sip:alice@%s:%d SIP/2.0" % (self.phone.address, self.phone.port),
                 "Via: SIP/2.0/UDP %s;branch=z9hG4bK-sb" % self.server_addr, "Max-Forwards: 70",
                 "From: <sip:bob@%s>;tag=srvz" % self.server_addr, "To: %s" % header(invite, "From"),
                 "Call-ID: zero-2", "CSeq: 5 BYE", "Content-Length: 0", "", ""]
        self.server.send("\r\n".join(lines))
        bye = self.phone.receive_request("BYE")
        self.assertIsNotNone(bye, self.d.log())
        self.assertIn(";tag=" + ztag, header(bye, "From"), "the phone sees the relay's tag")
        self.phone.send(answer_to(bye, 200, "OK"))
        ok = self.server.receive()
        self.assertIsNotNone(ok, self.d.log())
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK")
        self.assertIn(";tag=srvz", header(ok, "From"))
        self.assertEqual(header(ok, "CSeq"), "5 BYE")


class ZeroMediaDirectAnswer(NatCase):
    def test_an_answer_without_early_media_keeps_the_two_views_of_the_dialog(self):
        self.start(["broken = Te ZPhone"])
        phone = self.phone
        phone.private_ip, phone.private_port = phone.address, phone.port
        phone.invite(self.server_addr, "zero-4", user_agent="ZPhone/2")
        invite = self.server_invite()
        self.server.answer(invite, 200, "OK", tag="srvz", body=SDP.format(ip=self.server.address, extra=""))
        ok = phone.receive_status(200)
        self.assertIsNotNone(ok, self.d.log())
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK")
        ztag = re.search(r";tag=(ostrel-\d+)", header(ok, "To")).group(1)
        ack = "\r\n".join(["ACK sip:bob@%s SIP/2.0" % self.server_addr,
                            "Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK-za" % (phone.address, phone.port),
                            "Max-Forwards: 70", "From: <sip:alice@example.com>;tag=pf-zero-4",
                            "To: <sip:bob@%s>;tag=%s" % (self.server_addr, ztag), "Call-ID: zero-4",
                            "CSeq: 1 ACK", "Content-Length: 0", "", ""])
        phone.send(ack)
        server_ack = self.server.receive_request("ACK")
        self.assertIsNotNone(server_ack, self.d.log())
        self.assertIn(";tag=srvz", header(server_ack, "To"))
        bye = "\r\n".join(["BYE sip:alice@%s:%d SIP/2.0" % (phone.address, phone.port),
                            "Via: SIP/2.0/UDP %s;branch=z9hG4bK-zb" % self.server_addr, "Max-Forwards: 70",
                            "From: <sip:bob@%s>;tag=srvz" % self.server_addr,
                            "To: <sip:alice@example.com>;tag=pf-zero-4", "Call-ID: zero-4", "CSeq: 2 BYE",
                            "Content-Length: 0", "", ""])
        self.server.send(bye)
        relayed = phone.receive_request("BYE")
        self.assertIsNotNone(relayed, self.d.log())
        self.assertIn(";tag=" + ztag, header(relayed, "From"))


class ZeroMediaOtherAnswer(ZeroMedia):
    def test_server_answer_with_other_media_is_offered_to_the_client_anew(self):
        invite, ztag, sdp = self.until_okey("zero-3")
        other = sdp.replace("m=audio 40000", "m=audio 40002")
        self.server.answer(invite, 200, "OK", tag="srvz", body=other)
        reinvite = self.phone.receive_request("INVITE")
        self.assertIsNotNone(reinvite, self.d.log())
        self.assertIn(";tag=" + ztag, header(reinvite, "From"))
        self.assertIn(";tag=pf-zero-3", header(reinvite, "To"))
        self.assertEqual(header(reinvite, "CSeq"), "1 INVITE")
        self.assertEqual(sdp_audio(reinvite)[1], 40002)
        self.assertIsNone(self.server.receive_request("ACK", 0.3), "the server waits for the client's answer")
        self.phone.send(answer_to(reinvite, 200, "OK", extra=["Contact: <sip:alice@%s:%d>" % (
            self.phone.address, self.phone.port)], body=SDP.format(ip=self.phone.address, extra="")))
        ack = self.phone.receive_request("ACK")
        self.assertIsNotNone(ack, self.d.log())
        self.assertEqual(header(ack, "CSeq"), "1 ACK")
        server_ack = self.server.receive_request("ACK")
        self.assertIsNotNone(server_ack, self.d.log())
        self.assertIn(";tag=srvz", header(server_ack, "To"))
        self.assertEqual(header(server_ack, "CSeq"), "1 ACK")
        self.assertIn("zMode - StarWar Episod II implementation", self.d.log())

    test_client_hangs_up = None
    test_server_hangs_up = None


if __name__ == "__main__":
    unittest.main()
