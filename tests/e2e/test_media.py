"""Anchored media end to end: calls whose RTP passes through the relay's own port pairs (FULL mode), with the
SDP each side sees, the packets each side gets, latching, foreign sources, two clients behind one NAT, the
server's calls to a full domain's registered phones, an exhausted port range and two hundred calls at once on
the media threads. The peers are scripted sockets (and SIPp for a call with real RTP streams)."""

import os
import re
import selectors
import socket
import struct
import time
import unittest

from harness import (DaemonTestCase, call_keys, header, headers, media_of, media_offer, next_address, receive_all,
                     response, rtp, sdp_of, status_line, udp_ports_bound, wait_until)

RANGE = (40000, 40010)


def relay_threads(daemon):
    """How many threads of the daemon are media threads (by the name they give themselves)."""
    count = 0
    task = "/proc/%d/task" % daemon.proc.pid
    for tid in os.listdir(task):
        try:
            with open(os.path.join(task, tid, "comm")) as f:
                count += f.read().strip() == "RTP Relay"
        except OSError:
            pass
    return count


def media_section(dump):
    return dump[dump.index("= Media Threads ="):]


class MediaCall(DaemonTestCase):
    """A client and a server as sockets, each with a SIP socket and an RTP socket (and its RTCP neighbour)."""

    def start_media(self, extra=(), args=(), domain="smtr"):
        self.server_ip = next_address()
        self.start_daemon(["log_level = debug+short", "range = %d %d" % RANGE, "media_threads = 2",
                           ("domain = %s %s" % (self.server_ip, domain)).strip()] + list(extra), args=list(args))
        self.server = self.media_peer(self.server_ip, 5080)
        self.srv_media = self.server.media

    def phone(self, address=None, contact_host=None):
        """A phone; with contact_host its Contact names that (private) address, so it counts as behind NAT."""
        p = self.media_peer(address)
        p.contact = "<sip:alice@%s:5060>" % contact_host if contact_host else None
        return p

    def invite(self, phone, callid, sdp_ip=None, sdp_port=None):
        return phone.invite("%s:5080" % self.server_ip, callid, body=media_offer(phone, sdp_ip, sdp_port),
                            contact=phone.contact)

    def establish(self, phone, callid, **kwargs):
        """A call from phone answered by the server; returns (INVITE seen by the server, 200 seen by the phone)."""
        return self.anchored_call(phone, self.server, callid, contact=phone.contact, **kwargs)


class FullModeCall(MediaCall):
    def check_anchored_call(self, phone, callid):
        invite, ok = self.establish(phone, callid)
        srv_side = media_of(invite)
        self.assertEqual(srv_side[0], self.d.address, "the server is given the relay's address")
        self.assertTrue(RANGE[0] <= srv_side[1] < RANGE[1] and srv_side[1] % 2 == 0, srv_side)
        self.assertRegex(sdp_of(invite), r"o=ostrel \d+ 1 IN IP4 %s\r\n" % re.escape(self.d.address))
        cln_side = media_of(ok)
        self.assertEqual(cln_side[0], self.d.address)
        self.assertTrue(RANGE[0] <= cln_side[1] < RANGE[1] and cln_side[1] % 2 == 0, cln_side)
        self.assertNotEqual(cln_side[1], srv_side[1], "a pair on each side")
        self.assertRegex(sdp_of(ok), r"o=ostrel \d+ 1 IN IP4 ")

        # Payloads arrive unchanged both ways, RTCP too.
        sent = [rtp(i, payload=bytes([i]) * 160) for i in range(5)]
        for pkt in sent:
            phone.media.sendto(pkt, (self.d.address, cln_side[1]))
        got = [data for data, _ in receive_all(self.srv_media)]
        self.assertEqual(got, sent, self.d.log())
        back = [rtp(i, ssrc=0x9999, payload=bytes([200 - i]) * 160) for i in range(5)]
        for pkt in back:
            self.srv_media.sendto(pkt, (self.d.address, srv_side[1]))
        self.assertEqual([data for data, _ in receive_all(phone.media)], back, self.d.log())
        self.assertEqual(relay_threads(self.d), 2, "the configured media threads, none per call")
        dump = self.d.status_dump()
        self.assertRegex(media_section(dump), r"Media thread \d: 1 calls: \d+\n")
        self.assertRegex(dump, r"\tMedia thread \d: CLN pkts=5 lost=0 reord=0 jitter=\d+ms, SRV pkts=5 lost=0 ")

        self.hang_up(phone, self.server)
        self.assertTrue(self.d.wait_log("Terminating thread"), self.d.log())
        self.assertEqual(relay_threads(self.d), 2)
        self.assertNotIn(": 1 calls", media_section(self.d.status_dump()), "the call left its media thread")
        bound = udp_ports_bound()
        for port in (cln_side[1], cln_side[1] + 1, srv_side[1], srv_side[1] + 1):
            self.assertNotIn((self.d.address, port), bound, "pair closed after BYE")
        return srv_side, cln_side

    def test_anchored_calls_relay_both_ways_and_close_the_pairs(self):
        phone_ip = next_address()
        # what anchors the call: arguments, domain options, configuration lines; what the log tells
        for args, domain, extra, logs in [
                (["-f"], "smtr", [], ["FULL mode (C)"]),
                ([], "smtr full", [], ["Known FULL Domain.", "FULL mode (C)"]),
                ([], "smtr", ["subnet = %s/32 60 Symmetric" % phone_ip], ["Sticky FW type: Symmetric", "FULL mode (D)"])]:
            with self.subTest(args=args, domain=domain, extra=extra):
                self.start_media(extra, args, domain)
                phone = self.phone(phone_ip)
                self.check_anchored_call(phone, "full-1")
                for line in logs:
                    self.assertIn(line, self.d.log())
                if extra:
                    self.check_anchored_call(phone, "full-2")
                self.d.stop()


class FullDomain(MediaCall):
    """Two phones behind NAT, registered through the relay in a full domain, call each other through the server,
    which calls the second one at its registered Contact: both legs are anchored, the server's one too."""

    def registered_phone(self, user, private_ip):
        """A phone whose Contact names its private address, registered as user; it and the Contact the server
        reaches it at."""
        phone = self.phone()
        phone.contact = "<sip:%s@%s:5060>" % (user, private_ip)
        phone.send(phone.request("REGISTER", "sip:%s:5080" % self.server_ip, ["Expires: 3600"], from_user=user,
                                 domain=self.server_ip, to="<sip:%s@%s>" % (user, self.server_ip),
                                 contact=phone.contact))
        relayed = self.got(self.server.receive_request("REGISTER"))
        self.server.grant(relayed)
        self.got(phone.receive_status(200))
        return phone, header(relayed, "Contact").strip("<>")

    def test_call_from_the_server_to_a_registered_phone_is_anchored_and_media_flows_both_ways(self):
        inner = next_address()
        self.start_media(["server_ipaddr = %s" % inner], domain="full")
        internal = (inner, self.d.second_port + 3)
        alice, _ = self.registered_phone("alice", "10.0.0.5")
        bob, bob_contact = self.registered_phone("bob", "10.0.0.6")

        to_server = self.start_call(alice, self.server, "fd-a", body=media_offer(alice), contact=alice.contact)
        self.assertEqual(media_of(to_server)[0], inner, "the server is given the relay's inner address")
        # The server calls bob's registered Contact with the offer it got for alice's leg.
        self.server.send(self.server.request(
            "INVITE", bob_contact, ["Content-Type: application/sdp"], sdp_of(to_server), domain=self.server_ip,
            via_branch="z9hG4bK-fd-b", from_tag="fd-b", callid="fd-b",
            contact="<sip:alice@%s:5080>" % self.server_ip), internal)
        to_bob = self.got(bob.receive_request("INVITE"))
        self.assertFalse([t for t in bob.seen if t.startswith("OPTIONS ")],
                         "no NAT probe: the media is anchored anyway")
        bob.answer(to_bob, 200, "OK", tag="bob1", body=media_offer(bob, user="bob"), contact=bob.contact)
        bob_ok = self.got(self.server.receive_status(200))
        routes = ["Route: %s" % r for r in reversed(headers(bob_ok, "Record-Route"))]
        self.server.send(self.server.request(
            "ACK", header(bob_ok, "Contact").strip("<>"), routes, domain=self.server_ip, from_tag="fd-b",
            to=header(bob_ok, "To"), callid="fd-b", contact=False), internal)
        self.got(bob.receive_request("ACK"))
        alice_ok = self.answer_call(alice, self.server, to_server, body=sdp_of(bob_ok))

        self.assertIn("Regst FULL Domain.", self.d.log())
        self.assertEqual(self.d.log().count("FULL mode (C)"), 2, self.d.log())
        ports = []
        for phone, seen in ((alice, alice_ok), (bob, to_bob)):
            host, port = media_of(seen)
            self.assertEqual(host, self.d.address, "the phone is given the relay's outer address")
            self.assertTrue(RANGE[0] <= port < RANGE[1] and port % 2 == 0, port)
            self.assertNotIn(inner, sdp_of(seen))
            ports.append(port)
        for sender, port, receiver in ((alice, ports[0], bob), (bob, ports[1], alice)):
            sent = [rtp(i, ssrc=port, payload=bytes([i]) * 160) for i in range(5)]
            for pkt in sent:
                sender.media.sendto(pkt, (self.d.address, port))
            self.assertEqual([data for data, _ in receive_all(receiver.media)], sent, self.d.log())


class SippCall(MediaCall):
    def test_sipp_phone_streams_through_an_anchored_call_to_an_echoing_server(self):
        self.start_media(args=["-f"])
        client, server = self.sipp_pair(self.d, "uac_call.xml", "uas_call.xml", self.server_ip, 5082,
                                        extra=call_keys(media="stream"), server_extra=["-rtp_echo"])
        seen = server.messages()
        invite = seen[seen.index("INVITE sip:bob@"):]
        srv_side = media_of(invite)
        self.assertEqual(srv_side[0], self.d.address)
        self.assertTrue(RANGE[0] <= srv_side[1] < RANGE[1] and srv_side[1] % 2 == 0, srv_side)
        self.assertRegex(invite, r"o=ostrel \d+ 1 IN IP4 %s" % re.escape(self.d.address))
        answer = client.messages()
        ok = answer[answer.index("SIP/2.0 200 OK"):]
        self.assertEqual(media_of(ok)[0], self.d.address)
        log = self.d.log()
        self.assertIn("Got CLN Audio Stream", log, "the phone's stream reached the relay")
        self.assertIn("Got SRV Audio Stream", log, "and came back echoed")
        self.assertTrue(self.d.wait_log("Terminating thread"), log)
        self.assertFalse(any(RANGE[0] <= port < RANGE[1] for ip, port in udp_ports_bound() if ip == self.d.address))


class DirectMedia(MediaCall):
    def test_public_client_keeps_its_sdp_and_no_pair_is_opened(self):
        self.start_media()
        phone = self.phone()
        sent = self.invite(phone, "direct-1")
        invite = self.got(self.server.receive_request("INVITE"))
        self.assertEqual(sdp_of(invite), sdp_of(sent), "the public client's SDP reaches the server unchanged")
        self.assertFalse(any(RANGE[0] <= port < RANGE[1] for _, port in udp_ports_bound()))
        self.assertNotIn("Start Thread", self.d.log())


class Latching(MediaCall):
    def test_client_behind_nat_is_reached_at_the_address_its_media_comes_from(self):
        phone_ip = next_address()
        self.start_media(extra=["subnet = %s/32 60 Symmetric" % phone_ip])
        phone = self.phone(phone_ip, contact_host="10.0.0.5")
        invite, ok = self.establish(phone, "nat-1", sdp_ip="10.0.0.5", sdp_port=4000)
        self.assertIn("Cln Audio RTP  Adress 10.0.0.5:4000", self.d.log())
        cln_port, srv_port = media_of(ok)[1], media_of(invite)[1]
        # Toward the SDP's private address nothing arrives; once the phone's media came from its NAT, it does.
        self.srv_media.sendto(rtp(1, ssrc=7), (self.d.address, srv_port))
        self.assertEqual(receive_all(phone.media, 0.3), [])
        phone.media.sendto(rtp(1), (self.d.address, cln_port))
        self.assertEqual(len(receive_all(self.srv_media, 0.3)), 1, self.d.log())
        self.srv_media.sendto(rtp(2, ssrc=7), (self.d.address, srv_port))
        got = receive_all(phone.media, 0.5)
        self.assertEqual([d for d, _ in got], [rtp(2, ssrc=7)], self.d.log())
        self.assertEqual(got[0][1], (self.d.address, cln_port), "from the relay's client-side pair")

    def test_symmetric_server_is_followed_to_the_address_its_packets_come_from(self):
        self.start_media(args=["-f"])
        phone = self.phone()
        invite, ok = self.establish(phone, "sym-1")
        moved = self.rtp_socket(self.server_ip)
        moved.sendto(rtp(1, ssrc=9), (self.d.address, media_of(invite)[1]))
        self.assertEqual(len(receive_all(phone.media, 0.3)), 1, self.d.log())
        phone.media.sendto(rtp(5), (self.d.address, media_of(ok)[1]))
        self.assertEqual([d for d, _ in receive_all(moved, 0.5)], [rtp(5)], self.d.log())
        self.assertEqual(receive_all(self.srv_media, 0.2), [], "no longer to the SDP's port")

    def test_server_that_is_not_symmetric_is_held_to_its_sdp_address(self):
        self.start_media(args=["-f"], domain="")
        phone = self.phone()
        invite, ok = self.establish(phone, "asym-1")
        moved = self.rtp_socket(self.server_ip)
        moved.sendto(rtp(1, ssrc=9), (self.d.address, media_of(invite)[1]))
        self.assertEqual(receive_all(phone.media, 0.3), [], "once established, only the SDP's address is relayed")
        self.srv_media.sendto(rtp(2, ssrc=9), (self.d.address, media_of(invite)[1]))
        self.assertEqual(len(receive_all(phone.media, 0.3)), 1, self.d.log())
        phone.media.sendto(rtp(5), (self.d.address, media_of(ok)[1]))
        self.assertEqual([d for d, _ in receive_all(self.srv_media, 0.5)], [rtp(5)], self.d.log())


class Reflection(MediaCall):
    def test_an_invite_naming_another_address_never_makes_the_relay_send_there(self):
        self.start_media(args=["-f"])
        phone = self.phone()
        victim = self.udp_socket(next_address(), timeout=0.3)
        invite, ok = self.establish(phone, "reflect-1", sdp_ip=victim.getsockname()[0],
                                    sdp_port=victim.getsockname()[1])
        server_side = (self.d.address, media_of(invite)[1])
        for i in range(20):
            self.srv_media.sendto(rtp(i, ssrc=0x5151), server_side)
        self.assertEqual(receive_all(victim, 0.5), [], "no packet went to an address no packet confirmed")

        # The caller's own media, from its signalling address, is relayed and confirms where it is.
        phone.media.sendto(rtp(1, ssrc=0x7777), (self.d.address, media_of(ok)[1]))
        self.assertEqual([d for d, _ in receive_all(self.srv_media)], [rtp(1, ssrc=0x7777)])
        self.srv_media.sendto(rtp(21, ssrc=0x5151), server_side)
        self.assertEqual([d for d, _ in receive_all(phone.media)], [rtp(21, ssrc=0x5151)])
        self.assertEqual(receive_all(victim, 0.3), [])

    def test_a_stranger_at_the_server_side_port_of_a_server_that_is_not_symmetric_reaches_nobody(self):
        self.start_media(args=["-f"], domain="")
        phone = self.phone()
        invite, _ = self.establish(phone, "reflect-2")
        server_side = (self.d.address, media_of(invite)[1])
        stranger = self.udp_socket(next_address())
        for i in range(20):
            stranger.sendto(rtp(100 + i, ssrc=0x6666), server_side)
        self.srv_media.sendto(rtp(1, ssrc=0x5151), server_side)
        self.assertEqual([d for d, _ in receive_all(phone.media)], [rtp(1, ssrc=0x5151)])
        self.assertEqual(receive_all(stranger, 0.3), [])


class ForeignSources(MediaCall):
    def call(self, callid):
        """An anchored call: (the relay's client-side RTP address, its server-side one)."""
        self.start_media(args=["-f"])
        self.caller = self.phone()
        invite, ok = self.establish(self.caller, callid)
        return (self.d.address, media_of(ok)[1]), (self.d.address, media_of(invite)[1])

    def test_third_address_dropped_and_reported_new_stream_taken_only_when_paced_after_a_second_of_silence(self):
        relay, _ = self.call("foreign-1")
        phone = self.caller
        for i in range(3):
            phone.media.sendto(rtp(i), relay)
        self.assertEqual(len(receive_all(self.srv_media, 0.3)), 3, self.d.log())
        silent_since = time.monotonic()

        burst = self.udp_socket(next_address())
        for i in range(26):
            burst.sendto(rtp(i, ssrc=0xB0), relay)
        time.sleep(0.3)
        self.assertEqual(receive_all(self.srv_media, 0.3), [], "26 packets within 100 ms are no stream")
        self.assertTrue(self.d.wait_log("Report R suspect: %s" % burst.getsockname()[0], 2.0), self.d.log())

        # The phone has been silent for over a second: a stream paced like voice takes over.
        time.sleep(max(0.0, silent_since + 1.1 - time.monotonic()))
        paced = self.udp_socket(next_address())
        for i in range(30):
            paced.sendto(rtp(i, ssrc=0xCC), relay)
            time.sleep(0.02)
        got = [d for d, _ in receive_all(self.srv_media, 0.3)]
        self.assertGreaterEqual(len(got), 1, self.d.log())
        self.assertEqual(got[0], rtp(25, ssrc=0xCC), "the 26th packet is the first one taken")
        self.assertIn("Switch to Another RTP Stream from: %s" % paced.getsockname()[0], self.d.log())

        phone.media.sendto(rtp(100), relay)
        self.assertEqual([d for d, _ in receive_all(self.srv_media, 0.3)], [rtp(100)])
        self.assertTrue(self.d.wait_log("Restore Original RTP Stream from: %s" % phone.address, 2.0))

    def test_phone_whose_address_changes_mid_call_keeps_its_call(self):
        relay, srv_relay = self.call("rebind-1")
        for i in range(5):
            self.caller.media.sendto(rtp(i), relay)
        moved = self.rtp_socket(next_address())  # the phone's NAT maps it anew: its stream goes on from there
        for i in range(5, 10):
            moved.sendto(rtp(i), relay)
        self.assertEqual([d for d, _ in receive_all(self.srv_media)], [rtp(i) for i in range(10)], self.d.log())
        self.srv_media.sendto(rtp(1, ssrc=0x9999), srv_relay)
        self.assertEqual([d for d, _ in receive_all(moved)], [rtp(1, ssrc=0x9999)], self.d.log())
        self.assertEqual(receive_all(self.caller.media, 0.2), [], "no longer to the old address")
        self.assertIn("Switch to Another RTP Stream from: %s" % moved.getsockname()[0], self.d.log())

    def test_sprayer_never_takes_the_call_while_the_phone_is_silent_for_half_a_second(self):
        relay, srv_relay = self.call("spray-1")
        sprayer = self.rtp_socket(next_address())
        phone_sent = []
        start = time.monotonic()
        # Every 20 ms the sprayer and the server send; the phone too, except for half a second.
        for tick in range(60):
            time.sleep(max(0.0, start + tick * 0.02 - time.monotonic()))
            sprayer.sendto(rtp(tick, ssrc=0x5BAD), relay)
            if not 10 <= tick < 38:
                phone_sent.append(rtp(tick))
                self.caller.media.sendto(phone_sent[-1], relay)
            self.srv_media.sendto(rtp(tick, ssrc=0x9999), srv_relay)
        self.assertEqual([d for d, _ in receive_all(self.srv_media)], phone_sent, "nothing of the sprayer's")
        self.assertEqual([d for d, _ in receive_all(self.caller.media)], [rtp(t, ssrc=0x9999) for t in range(60)],
                         self.d.log())
        self.assertEqual(receive_all(sprayer, 0.2), [], "the sprayer never hears the call")
        self.assertNotIn("Switch to Another RTP Stream", self.d.log())
        self.assertTrue(self.d.wait_log("Report R suspect: %s" % sprayer.getsockname()[0], 2.0), self.d.log())


class SameNat(MediaCall):
    def test_two_clients_behind_one_nat_get_each_others_private_addresses(self):
        nat_ip = next_address()
        self.start_media(extra=["subnet = %s/32 60 Symmetric 7" % nat_ip])
        alice = self.phone(nat_ip, contact_host="10.0.0.5")
        bob = self.phone(nat_ip, contact_host="10.0.0.6")
        self.invite(alice, "nat-a", sdp_ip="10.0.0.5", sdp_port=4000)
        to_bob = self.server.receive_request("INVITE")
        self.invite(bob, "nat-b", sdp_ip="10.0.0.6", sdp_port=4002)
        to_alice = self.got(self.server.receive_request("INVITE"))
        self.assertRegex(sdp_of(to_bob), r"a=tool:ostrel-[A-Za-z0-9+/=]{16}\r\n")
        self.assertEqual(media_of(to_bob)[0], self.d.address)
        # The server joins the two calls: each answer carries the other leg's offer.
        self.server.answer(to_bob, 200, "OK", body=sdp_of(to_alice))
        self.server.answer(to_alice, 200, "OK", tag="srv2", body=sdp_of(to_bob))
        for phone, peer in ((alice, ("10.0.0.6", 4002)), (bob, ("10.0.0.5", 4000))):
            ok = self.got(phone.receive_status(200))
            self.assertEqual(media_of(ok), peer)
            self.assertNotIn("a=tool", ok)
        self.assertEqual(self.d.log().count("CLN is behind the same firewall"), 2, self.d.log())


class PortRange(MediaCall):
    def test_third_call_in_a_five_pair_range_gets_500(self):
        self.start_media(args=["-f"])
        phones = [self.phone() for _ in range(3)]
        held = []  # the relay's ports of each call: (client side, server side)
        for n, phone in enumerate(phones[:2]):
            invite, ok = self.establish(phone, "range-%d" % n)
            held.append((media_of(ok)[1], media_of(invite)[1]))
        free = set(range(RANGE[0], RANGE[1], 2)) - set(held[0]) - set(held[1])
        self.assertEqual(len(free), 1, held)
        self.invite(phones[2], "range-2")
        refused = self.got(phones[2].receive_status(500))
        self.assertEqual(status_line(refused), "SIP/2.0 500 Server Error/No Ports")
        self.assertIsNone(self.server.receive_request("INVITE", timeout=0.5), "the server never sees it")
        self.assertIn("Cannot open port in range [40000-40010]", self.d.log())
        self.assertIn("Call event REJECT: No Ports Available", self.d.log())
        self.assertNotIn((self.d.address, free.pop()), udp_ports_bound(), "the pair opened before the failure is closed")

        self.hang_up(phones[0], self.server)
        again = self.phone()
        invite, ok = self.establish(again, "range-3")
        ports = {media_of(ok)[1], media_of(invite)[1]}
        self.assertEqual(len(ports), 2)
        self.assertFalse(ports & set(held[1]), "freed pairs are handed out again")


class ManyCalls(DaemonTestCase):
    """Two hundred anchored calls at once on two media threads: every packet reaches its own call's far end,
    once and unchanged, each way; when the calls end they leave their threads and close their pairs."""

    CALLS = 200
    ROUNDS = 10
    BATCH = 50  # calls set up (and hung up) together; keeps the SIP sockets' queues short

    def media_socket(self, address, port):
        """A non-blocking RTP socket with room for everything a call gets in the test."""
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(s.close)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 18)
        s.bind((address, port))
        s.setblocking(False)
        return s

    def requests_at_server(self, method, callids, timeout=15.0):
        """Call-ID -> (request, where it came from) of the server's first method request of each call."""
        got = {}
        deadline = time.monotonic() + timeout
        while len(got) < len(callids) and time.monotonic() < deadline:
            text = self.server.receive(max(0.05, deadline - time.monotonic()))
            if text and text.startswith(method + " "):
                callid = header(text, "Call-ID")
                if callid in callids and callid not in got:
                    got[callid] = (text, self.server.last_from)
        self.assertEqual(sorted(set(callids) - set(got)), [],
                         "%s never reached the server\n%s" % (method, self.logs()))
        return got

    def media_counts(self):
        """Calls on each media thread, from a fresh status dump."""
        section = media_section(self.d.status_dump())
        return [int(n) for n in re.findall(r"^Media thread \d+: (\d+) calls", section, re.M)]

    def test_two_hundred_calls_at_once_relay_every_packet_once_each_way_then_leave_the_media_threads(self):
        server_ip = next_address()
        self.start_daemon(["range = 40000 41000", "media_threads = 2", "domain = %s smtr" % server_ip], args=["-f"])
        self.server = self.peer(server_ip, 5080)
        self.server.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        phone_ips = [next_address() for _ in range(4)]
        calls = []
        for n in range(self.CALLS):
            phone = self.peer(phone_ips[n % len(phone_ips)])
            phone.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 18)
            phone.media = self.media_socket(phone.address, 30000 + 2 * (n // len(phone_ips)))
            calls.append({"n": n, "callid": "many-%d-%d" % (n, os.getpid()), "phone": phone,
                          "srv_media": self.media_socket(server_ip, 30000 + 2 * n)})

        for first in range(0, self.CALLS, self.BATCH):
            batch = calls[first:first + self.BATCH]
            for c in batch:
                c["phone"].invite("%s:5080" % server_ip, c["callid"], body=media_offer(c["phone"]))
            invites = self.requests_at_server("INVITE", [c["callid"] for c in batch])
            for c in batch:
                invite, source = invites[c["callid"]]
                c["srv_relay"] = media_of(invite)
                body = media_offer(self.server, port=c["srv_media"].getsockname()[1], user="bob")
                self.server.send(response(invite, 200, "OK", extra=["Contact: <sip:bob@%s:5080>" % server_ip],
                                          body=body), source)
            for c in batch:
                ok = self.got(c["phone"].receive_status(200), c["callid"])
                c["cln_relay"] = media_of(ok)
                c["phone"].send(c["phone"].in_dialog("ACK", "srv1", 1, "z9hG4bK-ack-" + c["callid"]))
            self.requests_at_server("ACK", [c["callid"] for c in batch])
        relay_ports = [p for c in calls for p in (c["cln_relay"][1], c["srv_relay"][1])]
        self.assertEqual(len(set(relay_ports)), 2 * self.CALLS, "a pair of its own on each side of every call")
        counts = self.media_counts()
        self.assertEqual(len(counts), 2, self.logs())
        self.assertEqual(sum(counts), self.CALLS, counts)
        self.assertNotIn(0, counts, "both media threads carry calls")

        # Each round: one packet per call each way, payload naming the call, the round and the direction.
        def packet(c, rnd, way):
            return rtp(rnd, ssrc=0x10000 + 2 * c["n"] + way, payload=struct.pack("!HHB", c["n"], rnd, way) * 32)

        sel = selectors.DefaultSelector()
        got = {}
        for c in calls:
            for sock in (c["phone"].media, c["srv_media"]):
                sel.register(sock, selectors.EVENT_READ)
                got[sock] = []

        def drain(timeout):
            for key, _ in sel.select(timeout):
                while True:
                    try:
                        got[key.fileobj].append(key.fileobj.recvfrom(4096))
                    except BlockingIOError:
                        break

        start = time.monotonic()
        for rnd in range(self.ROUNDS):
            for c in calls:
                c["phone"].media.sendto(packet(c, rnd, 0), c["cln_relay"])
                c["srv_media"].sendto(packet(c, rnd, 1), c["srv_relay"])
            until = start + (rnd + 1) * 0.02
            while time.monotonic() < until:
                drain(max(0.0, until - time.monotonic()))
        expected = 2 * self.CALLS * self.ROUNDS
        deadline = time.monotonic() + 20.0
        while sum(map(len, got.values())) < expected and time.monotonic() < deadline:
            drain(0.2)
        drain(0.3)  # anything sent twice shows up as well
        sel.close()
        faults = []
        for c in calls:
            for sock, way, relay in ((c["srv_media"], 0, c["srv_relay"]), (c["phone"].media, 1, c["cln_relay"])):
                want = sorted(packet(c, rnd, way) for rnd in range(self.ROUNDS))
                data = sorted(d for d, _ in got[sock])
                if data != want:
                    name = lambda p: struct.unpack("!HHB", p[12:17]) if len(p) >= 17 else p  # (call, round, way)
                    faults.append("call %d %s: missing %s, twice %s, foreign %s" % (
                        c["n"], ("phone->server", "server->phone")[way], [name(p) for p in want if p not in data],
                        [name(p) for p in want if data.count(p) > 1], [name(p) for p in data if p not in want]))
                sources = {src for _, src in got[sock]}
                if sources - {relay}:
                    faults.append("call %d %s: sent from %s, not the relay's %s" % (
                        c["n"], ("phone->server", "server->phone")[way], sorted(sources - {relay}), relay))
        self.assertEqual(faults[:20], [], "%d faults of %d packets in %.1f s\n%s" % (
            len(faults), expected, time.monotonic() - start, self.logs()[-20000:]))

        for first in range(0, self.CALLS, self.BATCH):
            batch = calls[first:first + self.BATCH]
            for c in batch:
                c["phone"].send(c["phone"].in_dialog("BYE", "srv1", 2, "z9hG4bK-bye-" + c["callid"]))
            byes = self.requests_at_server("BYE", [c["callid"] for c in batch])
            for c in batch:
                bye, source = byes[c["callid"]]
                self.server.send(response(bye, 200, "OK"), source)
            for c in batch:
                self.got(c["phone"].receive_status(200), c["callid"])
        self.assertTrue(wait_until(lambda: self.media_counts() == [0, 0], 20.0, 0.3), self.logs()[-20000:])
        bound = udp_ports_bound()
        self.assertEqual([p for p in relay_ports if (self.d.address, p) in bound], [], "every pair closed")


if __name__ == "__main__":
    unittest.main()
