"""Transcoded calls and ringback end to end: a phone that speaks iLBC (or G.729 in 60 ms packets) talks to a
server that takes PCMU (or 20 ms G.729) through the relay, which shows each side only its own codec and
converts every packet; a tone stays that tone both ways (the project's iLBC decoder and ffmpeg's agree); an
offer no rule fits gets 415; and a phone whose call rings hears the relay's ring tone in its codec. The peers
are scripted sockets."""

import math
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop

from harness import header, media_of, media_offer, receive_all, sdp_of, status_line
from test_media import MediaCall

ILBC_PT = 97


def offer(phone, codecs, extra=""):
    """An offer of the phone's RTP socket with the given (payload type, rtpmap) codecs."""
    ip, port = phone.address, phone.media.getsockname()[1]
    return ("v=0\r\no=alice 1 1 IN IP4 %s\r\ns=-\r\nc=IN IP4 %s\r\nt=0 0\r\nm=audio %d RTP/AVP %s\r\n" %
            (ip, ip, port, " ".join(str(pt) for pt, _ in codecs)) +
            "".join("a=rtpmap:%d %s\r\n" % (pt, name) for pt, name in codecs if name) + extra)


def packet(pt, seq, ts, payload, ssrc=0x5150, marker=False):
    return struct.pack("!BBHII", 0x80, (0x80 if marker else 0) | pt, seq & 0xFFFF, ts & 0xFFFFFFFF, ssrc) + payload


def fields(pkt):
    """(payload type, sequence number, timestamp) of an RTP packet."""
    b1, seq, ts = struct.unpack("!xBHI", pkt[:8])
    return b1 & 0x7F, seq, ts


def tone(freq, samples, level=8000):
    return b"".join(struct.pack("<h", int(level * math.sin(2 * math.pi * freq * i / 8000))) for i in range(samples))


def pcm_samples(pcm):
    return struct.unpack("<%dh" % (len(pcm) // 2), pcm)


def goertzel(samples, freq):
    """Power of one frequency in the samples (8 kHz)."""
    k = 2 * math.cos(2 * math.pi * freq / 8000)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + k * s1 - s2, s1
    return s1 * s1 + s2 * s2 - k * s1 * s2


class ToneCheck:
    def assertTone(self, pcm, freq, what):
        """The audio is a clear tone of freq at roughly the level sent (the first 60 ms, the codecs' start, left
        out)."""
        samples = pcm_samples(pcm)[480:]
        self.assertGreater(len(samples), 1000, what)
        at = goertzel(samples, freq)
        for other in (freq - 400, freq + 400, 2 * freq + 150):
            self.assertGreater(at, 20 * goertzel(samples, other), "%s: %d Hz against %d Hz" % (what, freq, other))
        rms = math.sqrt(sum(x * x for x in samples) / len(samples))
        self.assertTrue(8000 / math.sqrt(2) / 3 < rms < 8000 / math.sqrt(2) * 2, "%s: level %.0f" % (what, rms))


def codec_tool():
    return os.path.join(os.environ["OSTREL_BUILD_DIR"], "tools", "ilbccodec", "ilbccodec")


def ilbc(verb, data):
    return subprocess.run([codec_tool(), verb], input=data, stdout=subprocess.PIPE, check=True).stdout


class IlbcToPcmu(MediaCall, ToneCheck):
    def test_ilbc_phone_and_pcmu_server_each_see_their_codec_and_hear_the_others_tone(self):
        self.start_media(["transcoding = ilbc/60 pcmu/20"], domain="smtr trns")
        phone = self.phone()
        invite = self.start_call(phone, self.server, "trans-ilbc",
                                 body=offer(phone, [(ILBC_PT, "iLBC/8000"), (0, "PCMU/8000"), (101, "telephone-event/8000")],
                                            "a=fmtp:%d mode=30\r\n" % ILBC_PT))
        srv_port = media_of(invite)[1]
        self.assertEqual(sdp_of(invite),
                         "v=0\r\no=ostrel %s 1 IN IP4 %s\r\ns=SIP Ostrel\r\nc=IN IP4 %s\r\nt=0 0\r\n"
                         "m=audio %d RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                         "a=ptime:20\r\n" % (re.search(r"o=ostrel (\d+)", sdp_of(invite)).group(1), self.d.address,
                                             self.d.address, srv_port))
        ok = self.answer_call(phone, self.server, invite, media_offer(self.server, user="bob"))
        cln = media_of(ok)
        body = sdp_of(ok)
        self.assertIn("m=audio %d RTP/AVP %d 101\r\n" % (cln[1], ILBC_PT), body)
        for line in ("a=rtpmap:%d iLBC/8000" % ILBC_PT, "a=fmtp:%d mode=30" % ILBC_PT,
                     "a=rtpmap:101 telephone-event/8000", "a=ptime:60", "s=SIP Ostrel"):
            self.assertIn(line + "\r\n", body)
        self.assertNotIn("PCMU", body)

        # Phone to server: a 1 kHz tone in 60 ms iLBC packets becomes three PCMU packets per packet.
        frames = ilbc("encode", tone(1000, 240 * 20))
        for i in range(10):
            phone.media.sendto(packet(ILBC_PT, 7000 + i, 48000 + 480 * i, frames[100 * i:100 * i + 100]),
                               (self.d.address, cln[1]))
            time.sleep(0.01)
        got = [p for p, _ in receive_all(self.srv_media)]
        self.assertEqual(len(got), 30, self.log())
        self.assertEqual({len(p) for p in got}, {172})
        self.assertEqual([fields(p) for p in got[:4]],
                         [(0, 501, 48160), (0, 502, 48320), (0, 503, 48480), (0, 504, 48640)])
        self.assertTone(audioop.ulaw2lin(b"".join(p[12:] for p in got), 2), 1000, "PCMU at the server")

        # Server to phone: 20 ms PCMU packets of a 600 Hz tone become one 112-byte iLBC packet per three.
        ulaw = audioop.lin2ulaw(tone(600, 160 * 30), 2)
        for i in range(30):
            self.srv_media.sendto(packet(0, 300 + i, 9000 + 160 * i, ulaw[160 * i:160 * i + 160]),
                                  (self.d.address, srv_port))
            time.sleep(0.002)
        got = [p for p, _ in receive_all(phone.media)]
        self.assertEqual(len(got), 10, self.log())
        self.assertEqual({len(p) for p in got}, {112})
        self.assertEqual([fields(p) for p in got[:2]], [(ILBC_PT, 101, 9000), (ILBC_PT, 102, 9480)])
        frames = b"".join(p[12:] for p in got)
        self.assertTone(ilbc("decode", frames), 600, "iLBC at the phone, project decoder")
        self.assertTone(self.ffmpeg_decode(frames), 600, "iLBC at the phone, ffmpeg")
        self.assertIn("Got CLN Audio iLBC   from: %s:%d" % (phone.address, phone.media.getsockname()[1]), self.log())
        self.assertIn("Got SRV Audio G711   from: ", self.log())

    def ffmpeg_decode(self, frames):
        work = tempfile.mkdtemp(prefix="ostrel-ilbc-")
        try:
            path = os.path.join(work, "call.lbc")
            with open(path, "wb") as f:
                f.write(b"#!iLBC30\n" + frames)  # the RFC 3952 storage format
            return subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "ilbc", "-i", path,
                                   "-f", "s16le", "-ar", "8000", "-ac", "1", "-"],
                                  stdout=subprocess.PIPE, check=True).stdout
        finally:
            shutil.rmtree(work)

    def test_offer_no_rule_fits_gets_415(self):
        self.start_media(["transcoding = ilbc/60 pcmu/20"], domain="trns")
        phone = self.phone()
        phone.invite("%s:5080" % self.server_ip, "trans-415", body=offer(phone, [(0, "PCMU/8000")]))
        answer = phone.receive_status(415)
        self.assertIsNotNone(answer, self.log())
        self.assertEqual(status_line(answer), "SIP/2.0 415 Unsupported Media Type")
        self.assertIsNone(self.server.receive_request("INVITE", timeout=0.5))


class G729Repacking(MediaCall):
    def test_sixty_ms_phone_packets_split_and_twenty_ms_server_packets_joined_in_order(self):
        self.start_media(["transcoding = g729/60 g729/20"], domain="smtr trns")
        phone = self.phone()
        invite = self.start_call(phone, self.server, "trans-g729",
                                 body=offer(phone, [(18, "G729/8000"), (101, "telephone-event/8000")], "a=ptime:60\r\n"))
        srv_port = media_of(invite)[1]
        self.assertIn("m=audio %d RTP/AVP 18 101\r\na=rtpmap:18 G729/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                      "a=ptime:20\r\n" % srv_port, sdp_of(invite))
        ok = self.answer_call(phone, self.server, invite,
                              offer(self.server, [(18, "G729/8000"), (101, "telephone-event/8000")]))
        cln_port = media_of(ok)[1]
        self.assertIn("m=audio %d RTP/AVP 18 101\r\na=rtpmap:18 G729/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                      "a=ptime:60\r\n" % cln_port, sdp_of(ok))
        to_phone, to_server = (self.d.address, cln_port), (self.d.address, srv_port)

        frames = bytes(range(60))
        phone.media.sendto(packet(18, 40, 1000, frames, marker=True), to_phone)
        phone.media.sendto(packet(101, 41, 1480, b"\x01\x0a\x00\xa0"), to_phone)
        got = [p for p, _ in receive_all(self.srv_media)]
        self.assertEqual([(fields(p), p[12:]) for p in got],
                         [((18, 501, 1000), frames[:20]), ((18, 502, 1160), frames[20:40]),
                          ((18, 503, 1320), frames[40:]), ((101, 504, 1480), b"\x01\x0a\x00\xa0")])
        self.assertEqual(got[0][1] & 0x80, 0x80, "the first keeps the marker")
        self.assertEqual(got[1][1] & 0x80, 0, "the others do not")

        server_frame = {n: bytes([n]) * 20 for n in range(5, 10)}
        for n in (7, 5, 6):
            self.srv_media.sendto(packet(18, n, 160 * n, server_frame[n]), to_server)
        got = [p for p, _ in receive_all(phone.media)]
        self.assertEqual([(fields(p), p[12:]) for p in got],
                         [((18, 101, 800), server_frame[5] + server_frame[6] + server_frame[7])])

        # Two without a third go together once the wait is over; another payload type only gets renumbered.
        for n in (8, 9):
            self.srv_media.sendto(packet(18, n, 160 * n, server_frame[n]), to_server)
        self.srv_media.sendto(packet(101, 10, 1600, b"\x02\x0a\x00\xa0"), to_server)
        got = [p for p, _ in receive_all(phone.media)]
        self.assertEqual(sorted((fields(p), p[12:]) for p in got),
                         sorted([((101, 102, 1600), b"\x02\x0a\x00\xa0"),
                                 ((18, 103, 1280), server_frame[8] + server_frame[9])]), self.log())


RING_FILES = {0: ("ringback.ulaw", 160), 18: ("ringback.g729", 20), 3: ("ringback.gsm", 33)}


class Ringback(MediaCall):
    """A phone of a device with defect 'Q' (ringing after early media) calls through a full domain: the
    server's 180 after its 183 makes the relay play the ring tone in place of the server's media until the
    200."""

    def ring_frames(self, codec):
        name, size = RING_FILES[codec]
        with open(os.path.join(os.environ["OSTREL_SOURCE_DIR"], "etc", "ring", name), "rb") as f:
            data = f.read()
        return [data[i:i + size] for i in range(0, len(data) - size + 1, size)]

    def test_ringing_phone_hears_the_ring_files_in_its_codec_every_twenty_ms_until_the_answer(self):
        self.start_media(["broken = Q QPhone"], domain="smtr full")
        for codec, name, size in ((0, "PCMU/8000", 172), (18, "G729/8000", 32), (3, "GSM/8000", 45)):
            with self.subTest(codec=codec):
                self.check_ringback(codec, name, size)

    def check_ringback(self, codec, name, size):
        phone = self.phone()
        callid = "ring-%d" % codec
        invite = self.start_call(phone, self.server, callid, extra=["User-Agent: QPhone 1.0"],
                                 body=offer(phone, [(codec, name), (101, "telephone-event/8000")]))
        srv_port = media_of(invite)[1]
        self.server.answer(invite, 183, "Session Progress", body=offer(self.server, [(codec, name)]))
        early = phone.receive_status(183)
        self.assertIsNotNone(early, self.log())
        cln_port = media_of(early)[1]
        # The phone's first packet shows the relay where it listens.
        phone.media.sendto(packet(codec, 1, 0, b"\x00" * (size - 12)), (self.d.address, cln_port))
        self.assertEqual(len(receive_all(self.srv_media)), 1)

        self.server.answer(invite, 180, "Ringing")
        self.assertIsNotNone(phone.receive_status(180), self.log())
        started = time.monotonic()
        got = []
        phone.media.settimeout(2)
        while len(got) < 15:
            got.append(phone.media.recvfrom(2048)[0])
        elapsed = time.monotonic() - started
        self.assertGreater(elapsed, 0.2, "fifteen packets take about 300 ms")
        self.assertEqual({len(p) for p in got}, {size})
        self.assertEqual({p[1] for p in got}, {codec})
        frames = self.ring_frames(codec)
        first = frames.index(got[0][12:])
        for k in range(1, len(got)):
            pt, seq, ts = fields(got[k])
            _, seq0, ts0 = fields(got[k - 1])
            self.assertEqual(((seq - seq0) & 0xFFFF, (ts - ts0) & 0xFFFFFFFF), (1, 160))
            self.assertEqual(got[k][12:], frames[(first + k) % len(frames)], "frame %d" % k)
        # The server's media is not relayed meanwhile.
        self.srv_media.sendto(packet(codec, 500, 0, b"\x11" * (size - 12)), (self.d.address, srv_port))

        self.answer_call(phone, self.server, invite, offer(self.server, [(codec, name)]))
        self.assertTrue(self.wait_log("Ring Thread stoped"), self.log())
        time.sleep(0.1)
        receive_all(phone.media, 0.2)
        self.srv_media.sendto(packet(codec, 501, 160, b"\x22" * (size - 12)), (self.d.address, srv_port))
        after = [p for p, _ in receive_all(phone.media)]
        self.assertEqual([p[12:] for p in after], [b"\x22" * (size - 12)], "the answer brings the relay back")
        self.assertIn("Defect 'Q' - Start RING (Full)", self.log())
        self.hang_up(phone, self.server)
        self.since = len(self.d.log())


if __name__ == "__main__":
    unittest.main()
