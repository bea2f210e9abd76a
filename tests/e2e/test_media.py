"""Anchored media end to end: calls whose RTP passes through the relay's own port pairs (FULL mode), with the
SDP each side sees, the packets each side gets, latching, foreign sources, two clients behind one NAT and
an exhausted port range. The peers are scripted sockets (and SIPp for a call with real RTP streams)."""

import os
import re
import socket
import struct
import time
import unittest

from harness import DaemonTestCase, header, next_address, status_line, udp_ports_bound, wait_until
from test_calls import Phone, ScriptedServer

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
RANGE = (40000, 40010)

SDP = "v=0\r\no={user} 1 1 IN IP4 {ip}\r\ns=-\r\nc=IN IP4 {ip}\r\nt=0 0\r\nm=audio {port} RTP/AVP 0 101\r\n" \
      "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n{extra}"


def sdp_of(text):
    return text.split("\r\n\r\n", 1)[1] if text and "\r\n\r\n" in text else ""


def media_of(text):
    """(connection address, audio port) of a message's SDP."""
    body = sdp_of(text)
    conn = re.search(r"^c=IN IP4 ([\d.]+)", body, re.M)
    port = re.search(r"^m=audio (\d+) ", body, re.M)
    return (conn.group(1) if conn else None, int(port.group(1)) if port else None)


def rtp(seq, ssrc=0x1234, payload=b"\x55" * 160, ts=None):
    return struct.pack("!BBHII", 0x80, 0, seq & 0xFFFF, (ts if ts is not None else seq * 160) & 0xFFFFFFFF,
                       ssrc) + payload


def receive_all(sock, timeout=0.5):
    """Every datagram that arrives within timeout of the last one."""
    got = []
    sock.settimeout(timeout)
    while True:
        try:
            got.append(sock.recvfrom(4096))
        except OSError:
            return got


class MediaCall(DaemonTestCase):
    """A client and a server as sockets, each with a SIP socket and an RTP socket (and its RTCP neighbour)."""

    def start_daemon(self, extra=(), args=()):
        self.server_ip = next_address()
        lines = ["log_level = debug+short", "range = %d %d" % RANGE, "domain = %s smtr" % self.server_ip]
        self.d = self.daemon(config_lines=lines + list(extra), args=list(args)).start()
        self.server = ScriptedServer(self.udp_socket(self.server_ip, 5080))
        self.server_addr = "%s:5080" % self.server_ip
        self.srv_media = self.rtp_socket(self.server_ip)

    def rtp_socket(self, address):
        """An RTP socket on an even port with its RTCP port bound as well."""
        for port in range(30000, 31000, 2):
            try:
                s = self.udp_socket(address, port, timeout=1.0)
            except OSError:
                continue
            try:
                self.udp_socket(address, port + 1, timeout=1.0)
            except OSError:
                continue
            return s
        raise AssertionError("no RTP port free on %s" % address)

    def phone(self, address=None, contact_host=None):
        """A phone; with contact_host its Contact names that (private) address, so it counts as behind NAT."""
        p = Phone(self.udp_socket(address), (self.d.address, self.d.port))
        p.media = self.rtp_socket(p.address)
        p.contact_host = contact_host
        return p

    def invite(self, phone, callid, sdp_ip=None, sdp_port=None, extra=()):
        ip = sdp_ip or phone.address
        port = sdp_port or phone.media.getsockname()[1]
        body = SDP.format(user="alice", ip=ip, port=port, extra="")
        text = phone.request("INVITE", "sip:bob@" + self.server_addr, list(extra) + ["Content-Type: application/sdp"],
                             body=body, via_branch="z9hG4bK-inv-" + callid, callid=callid)
        if phone.contact_host:
            text = text.replace("Contact: <sip:alice@%s:%d>" % (phone.address, phone.port),
                                "Contact: <sip:alice@%s:5060>" % phone.contact_host)
        phone.invite_text = text
        phone.branch = "z9hG4bK-inv-" + callid
        phone.send(text)
        return text

    def establish(self, phone, callid, **kwargs):
        """A call from phone answered by the server; returns (INVITE seen by the server, 200 seen by the phone)."""
        self.invite(phone, callid, **kwargs)
        invite = self.server.receive_request("INVITE", timeout=3.0)
        self.assertIsNotNone(invite, self.d.log())
        body = SDP.format(user="bob", ip=self.server_ip, port=self.srv_media.getsockname()[1], extra="")
        self.server.answer(invite, 200, "OK", body=body)
        ok = phone.receive_status(200)
        self.assertIsNotNone(ok, self.d.log())
        phone.send(phone.in_dialog("ACK", phone.invite_text, "srv1", 1, "z9hG4bK-ack-" + callid))
        self.assertIsNotNone(self.server.receive_request("ACK"), self.d.log())
        return invite, ok

    def hang_up(self, phone, callid):
        phone.send(phone.in_dialog("BYE", phone.invite_text, "srv1", 2, "z9hG4bK-bye-" + callid))
        bye = self.server.receive_request("BYE")
        self.assertIsNotNone(bye, self.d.log())
        self.server.answer(bye, 200, "OK")
        self.assertIsNotNone(phone.receive_status(200), self.d.log())


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

        self.hang_up(phone, callid)
        self.assertTrue(self.d.wait_log("Terminating thread"), self.d.log())
        bound = udp_ports_bound()
        for port in (cln_side[1], cln_side[1] + 1, srv_side[1], srv_side[1] + 1):
            self.assertNotIn((self.d.address, port), bound, "pair closed after BYE")
        return srv_side, cln_side

    def test_forced_full_mode_relays_both_ways_and_closes_the_pairs(self):
        self.start_daemon(args=["-f"])
        phone = self.phone()
        self.check_anchored_call(phone, "full-f")
        self.assertIn("FULL mode (C)", self.d.log())


if __name__ == "__main__":
    unittest.main()
