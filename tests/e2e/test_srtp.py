"""SRTP toward the phone end to end: a phone offering RTP/SAVP with its keys calls a plain-RTP server through a
domain with "srtp"; the server sees RTP/AVP without keys, the phone gets the relay's own key in RTP/SAVP, and
the media crosses both ways: decrypted toward the server byte for byte, encrypted toward the phone so that
its own SRTP authenticates it. Tampered and replayed packets go nowhere, sequence numbers wrap both ways. The
phone is a scripted one on libsrtp2 (tools/srtppeer, key handling of its own) and baresip, whose SRTP is its
own code."""

import base64
import os
import re
import shutil
import signal
import struct
import subprocess
import time
import unittest

from harness import media_of, media_offer, receive_all, sdp_of
from test_media import MediaCall
from test_softphones import Baresip
from test_transcoding import audioop, goertzel, packet, tone

SUITE = "AES_CM_128_HMAC_SHA1_80"


def srtppeer(verb, crypto, packets):
    """The packets protected or unprotected in one libsrtp2 session; None for each packet it refused."""
    tool = os.path.join(os.environ["OSTREL_BUILD_DIR"], "tools", "srtppeer", "srtppeer")
    data = b"".join(struct.pack("!H", len(p)) + p for p in packets)
    out = subprocess.run([tool, verb, crypto], input=data, stdout=subprocess.PIPE, check=True).stdout
    result = []
    while out:
        n = struct.unpack("!H", out[:2])[0]
        result.append(out[2:2 + n] if n else None)
        out = out[2 + n:]
    return result


def collect(sock, seconds):
    """Every datagram arriving within the next seconds."""
    got, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            got.append(sock.recv(4096))
        except OSError:
            pass
    return got


def savp_offer(phone, crypto):
    ip, port = phone.address, phone.media.getsockname()[1]
    return ("v=0\r\no=alice 1 1 IN IP4 %s\r\ns=-\r\nc=IN IP4 %s\r\nt=0 0\r\nm=audio %d RTP/SAVP 0 101\r\n"
            "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\na=crypto:%s\r\n" % (ip, ip, port, crypto))


class ScriptedSrtpPhone(MediaCall):
    def test_phone_srtp_reaches_the_plain_server_and_back_with_tampering_replays_and_wraps(self):
        self.start_media(domain="smtr srtp")
        phone = self.phone()
        mine = "1 %s inline:%s" % (SUITE, base64.b64encode(os.urandom(30)).decode())
        invite = self.start_call(phone, self.server, "srtp-1", body=savp_offer(phone, mine))
        to_server = sdp_of(invite)
        self.assertRegex(to_server, r"m=audio \d+ RTP/AVP 0 101\r\n")
        self.assertNotIn("crypto", to_server)
        ok = self.answer_call(phone, self.server, invite, media_offer(self.server, user="bob"))
        answer = sdp_of(ok)
        self.assertRegex(answer, r"m=audio \d+ RTP/SAVP ")
        relay_key = re.search(r"a=crypto:(1 %s inline:[A-Za-z0-9+/]{40})\r\n" % SUITE, answer)
        self.assertIsNotNone(relay_key, answer)
        self.assertNotIn(mine.split("inline:")[1], answer, "the relay answers with a key of its own")
        cln_port, srv_port = media_of(ok)[1], media_of(invite)[1]
        to_relay_cln, to_relay_srv = (self.d.address, cln_port), (self.d.address, srv_port)

        # Phone to server, across a sequence wrap: plain RTP, the payload the phone protected.
        plain = [packet(0, 65530 + i, 160 * i, bytes([i]) * 160) for i in range(12)]
        protected = srtppeer("protect", mine, plain)
        for p in protected:
            phone.media.sendto(p, to_relay_cln)
        got = [p for p, _ in receive_all(self.srv_media)]
        self.assertEqual(got, plain, self.log())

        # A tampered packet and a replayed one are dropped (and logged).
        forged = bytearray(srtppeer("protect", mine, plain + [packet(0, 6, 960, b"\x07" * 160)])[-1])
        forged[20] ^= 1
        phone.media.sendto(bytes(forged), to_relay_cln)
        phone.media.sendto(protected[3], to_relay_cln)
        self.assertEqual(receive_all(self.srv_media), [], self.log())

        # Server to phone, across a wrap too: SRTP the phone's own library authenticates.
        sent = [packet(0, 65532 + i, 7000 + 160 * i, bytes([0x40 + i]) * 160, ssrc=0x777) for i in range(8)]
        for p in sent:
            self.srv_media.sendto(p, to_relay_srv)
        arrived = [p for p, _ in receive_all(phone.media)]
        self.assertEqual([len(p) for p in arrived], [len(p) + 10 for p in sent])
        self.assertEqual(srtppeer("unprotect", relay_key.group(1), arrived), sent)
        self.d.signal(signal.SIGUSR1)
        self.assertTrue(self.wait_log("SRTP from the client dropped: 1 bad tag, 1 replayed, 0 other"), self.log())


    def test_relay_answers_the_first_suite_it_can_use(self):
        self.start_media(domain="smtr srtp")
        phone = self.phone()
        keys = [base64.b64encode(os.urandom(30)).decode() for _ in range(2)]
        offer = savp_offer(phone, "1 F8_128_HMAC_SHA1_32 inline:%s" % keys[0]) + \
            "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:%s\r\n" % keys[1]
        invite = self.start_call(phone, self.server, "srtp-2", body=offer)
        self.assertNotIn("crypto", sdp_of(invite))
        ok = self.answer_call(phone, self.server, invite, media_offer(self.server, user="bob"))
        self.assertRegex(sdp_of(ok), r"a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:[A-Za-z0-9+/]{40}\r\n")


@unittest.skipUnless(shutil.which("baresip") or os.environ.get("CI") == "true",
                     "baresip is installed by scripts/install-deps.sh")
class BaresipSrtpPhone(MediaCall):
    def test_baresip_with_mandatory_srtp_talks_to_a_plain_server(self):
        self.start_media(domain="smtr srtp")
        phone_ip = self.server_ip.rsplit(".", 1)[0] + ".250"
        relay = "%s:%d" % (self.d.address, self.d.port)
        alice = Baresip(self.workdir, "alice", phone_ip, "alice", self.server_ip, relay,
                        account=";mediaenc=srtp-mand", modules=("srtp.so",), regint=0)
        self.addCleanup(alice.stop)
        alice.connect()
        alice.command("dial", "sip:bob@%s:5080" % self.server_ip)
        invite = self.server.receive_request("INVITE", timeout=10)
        self.assertIsNotNone(invite, alice.peer.output() + self.log())
        self.assertRegex(sdp_of(invite), r"m=audio \d+ RTP/AVP ")
        self.assertNotIn("crypto", sdp_of(invite))
        self.server.answer(invite, 200, "OK", body=("v=0\r\no=bob 1 1 IN IP4 {ip}\r\ns=-\r\nc=IN IP4 {ip}\r\nt=0 0\r\n"
                                                   "m=audio {port} RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n").format(
            ip=self.server.address, port=self.srv_media.getsockname()[1]))
        self.assertIsNotNone(self.server.receive_request("ACK", timeout=10), alice.peer.output() + self.log())
        self.assertTrue(alice.wait_event("CALL_ESTABLISHED"), alice.peer.output() + self.log())
        srv_port = media_of(invite)[1]

        # Baresip's tone (440 Hz) reaches the server as plain PCMU; the server's tone reaches baresip as SRTP
        # it accepts.
        ulaw = audioop.lin2ulaw(tone(1000, 160 * 50), 2)
        for i in range(50):
            self.srv_media.sendto(packet(0, 100 + i, 160 * i, ulaw[160 * i:160 * i + 160]),
                                  (self.d.address, srv_port))
            time.sleep(0.02)
        got = collect(self.srv_media, 1.0)  # the phone streams on: take what a second brings
        self.assertGreater(len(got), 20, alice.peer.output() + self.log())
        samples = struct.unpack("<%dh" % (160 * len(got[5:])), audioop.ulaw2lin(b"".join(p[12:] for p in got[5:]), 2))
        self.assertGreater(goertzel(samples, 440), 20 * goertzel(samples, 840), "baresip's 440 Hz at the server")
        self.assertTrue(re.search(r"incoming rtp for 'audio' established", alice.peer.output()),
                        alice.peer.output())
        self.assertNotRegex(alice.peer.output(), r"(?i)srtp.*(error|fail)", alice.peer.output())
        alice.command("hangup")


if __name__ == "__main__":
    unittest.main()
