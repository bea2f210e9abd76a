"""Events end to end: a UDP listener of the test's own is the events collector and checks the exact lines the
relay sends for registrations, calls, floods, housekeeping, statistics and its stop; the statistics log is
written with or without a collector."""

import os
import re
import signal
import socket
import time
import unittest

from harness import Daemon, DaemonTestCase, SipClient, next_address, status_line, wait_until
from test_calls import Phone, ScriptedServer
from test_media import SDP as MEDIA_SDP, MediaCall, media_of, rtp
from test_registrations import PRIVATE_CONTACT, Registrar

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")


class Collector:
    """The events collector: keeps every datagram, finds them by event name."""

    def __init__(self, sock):
        self.sock = sock
        self.address, self.port = sock.getsockname()
        self.seen = []

    def drain(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data, _ = self.sock.recvfrom(65535)
            self.seen.append(data.decode(errors="replace"))
            return True
        except socket.timeout:
            return False

    def named(self, name):
        return [e for e in self.seen if e.startswith("Event: %s\n" % name)]

    def wait(self, name, timeout=5.0, count=1):
        deadline = time.monotonic() + timeout
        while len(self.named(name)) < count and time.monotonic() < deadline:
            self.drain(max(0.01, deadline - time.monotonic()))
        found = self.named(name)
        return found[count - 1] if len(found) >= count else None


class EventsCase(DaemonTestCase):
    def start(self, lines=(), args=()):
        self.collector = Collector(self.udp_socket(next_address(), 9999))
        self.server = Registrar(self.udp_socket(next_address(), 5080))
        self.server_addr = "%s:5080" % self.server.address
        config = ["events_collector = %s:%d" % (self.collector.address, self.collector.port),
                  "register_timeout = 45", "log_level = debug+short"] + list(lines)
        self.d = self.daemon(config_lines=config, args=list(args)).start()
        self.self_line = "Self: %s:%d\n" % (self.d.address, self.d.port)
        self.phone = SipClient(self.udp_socket(), (self.d.address, self.d.port))
        return self.d

    def register(self, callid, expires):
        text = self.phone.request("REGISTER", "sip:" + self.server_addr, ["Expires: %d" % expires,
                                  "User-Agent: TestPhone/1.0"], callid=callid, domain=self.server.address)
        own = "Contact: <sip:alice@%s:%d>" % (self.phone.address, self.phone.port)
        text = text.replace(own, "Contact: <%s>" % PRIVATE_CONTACT)
        return text.replace("To: <sip:%s>" % self.server_addr, "To: <sip:alice@%s>" % self.server.address)

    def registered(self, callid="reg-1", expires=3600):
        self.phone.send(self.register(callid, expires))
        relayed = self.server.receive()
        self.assertIsNotNone(relayed, self.d.log())
        if expires:
            self.server.grant(relayed, expires)
        else:
            from test_registrations import answer
            self.server.reply(answer(relayed, 200, "OK", ["Expires: 0"]))
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK", self.d.log())
        from harness import header
        return header(relayed, "Contact").strip("<>")


class RegistrationEvents(EventsCase):
    def test_reg_unreg_stat_and_stop(self):
        d = self.start()
        ncont = self.registered()
        reg = self.collector.wait("REG")
        self.assertEqual(reg, "Event: REG\nDomain: %s\nLine: alice\nAOR: %s\nCallID: reg-1\nAgent: TestPhone/1.0\n"
                              "IntIP: 192.168.1.20:5062\nExtIP: %s:%d\n%s"
                         % (self.server.address, ncont, self.phone.address, self.phone.port, self.self_line), d.log())

        # The first message processed in a 16-second slot reports the counts of the last one.
        stat = self.collector.wait("STAT")
        self.assertRegex(stat, r"^Event: STAT\nMaxQueueSize: \d+,\d+\nExtProc: \d+,\d+\nIntProc: \d+,\d+\n")
        self.assertTrue(stat.endswith(self.self_line), stat)

        self.registered(expires=0)
        unreg = self.collector.wait("UNREG")
        self.assertEqual(unreg, "Event: UNREG\nDomain: %s\nLine: alice\nAOR: %s\nIntIP: 192.168.1.20:5062\n"
                                "ExtIP: %s\n%s" % (self.server.address, ncont, self.phone.address, self.self_line),
                         d.log())

        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(), 0)
        self.assertEqual(self.collector.wait("STOP"), "Event: STOP\n" + self.self_line)

    def test_refused_registration(self):
        d = self.start()
        self.phone.send(self.register("reg-refused", 3600))
        relayed = self.server.receive()
        self.assertIsNotNone(relayed, d.log())
        from test_registrations import answer
        self.server.reply(answer(relayed, 403, "Forbidden", ["X-Reason: Account disabled"]))
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 403 Forbidden", d.log())
        failed = self.collector.wait("FAILD")
        self.assertEqual(failed, "Event: FAILD\nDomain: %s\nLine: alice\nCallID: reg-refused\nAgent: TestPhone/1.0\n"
                                 "IntIP: 192.168.1.20:5062\nExtIP: %s:%d\nReason: Account disabled\n%s"
                         % (self.server.address, self.phone.address, self.phone.port, self.self_line), d.log())

    def test_statistics_slots_while_messages_flow(self):
        d = self.start()
        uri = "sip:bob@%s" % self.server_addr
        # Messages every half second for up to two slots: a new slot's first message reports the last one.
        deadline = time.monotonic() + 36
        while len(self.collector.named("STAT")) < 2 and time.monotonic() < deadline:
            self.phone.send(self.phone.request("MESSAGE", uri, domain=self.server.address))
            self.collector.drain(0.5)
        stats = self.collector.named("STAT")
        self.assertGreaterEqual(len(stats), 2, d.log())
        self.assertRegex(stats[1], r"ExtProc: [1-9]\d*,\d+\n")


class StatusDump(EventsCase):
    def test_nothing_active_gives_four_banners_and_three_zero_totals(self):
        d = self.start()
        d.signal(signal.SIGUSR1)
        self.assertTrue(d.wait_log("=" * 72 + "\n\n"), d.log())
        text = d.log()
        start = text.index("\n=" + "=" * 24 + " Active Registrations")
        end = text.index("=" * 72 + "\n\n", start) + 74
        # Other threads may log while the dump is written (the key manager starts asynchronously): only the
        # dump itself is compared.
        dump = text[start:end]
        self.assertEqual(dump, "\n========================= Active Registrations =========================\n"
                               "Total: 0\n"
                               "========================= Active Calls =================================\n"
                               "Total: 0\n"
                               "========================= Active Non-Invite Transactions ===============\n"
                               "Total: 0\n"
                               "========================================================================\n\n")


class FloodEvents(EventsCase):
    def test_block_and_unblock(self):
        d = self.start(["dos_level = local", "dos_max_mps = 5 2"])
        flooder = SipClient(self.udp_socket(), (d.address, d.port))
        uri = "sip:%s:%d" % (d.address, d.port)
        for _ in range(20):
            flooder.send(flooder.request("OPTIONS", uri))
        block = self.collector.wait("BLOCK")
        self.assertIsNotNone(block, d.log())
        self.assertRegex(block, r"^Event: BLOCK\nIP: %s\n(Port: %d\n)?%s$"
                         % (re.escape(flooder.address), flooder.port, re.escape(self.self_line)))
        unblock = self.collector.wait("UNBLOCK", timeout=6)
        self.assertIsNotNone(unblock, d.log())
        self.assertRegex(unblock, r"^Event: UNBLOCK\nIP: %s\n" % re.escape(flooder.address))


class CallEvents(EventsCase):
    def test_invite_talk_bye(self):
        server_ip, client_ip = next_address(), next_address()
        d = self.start(["domain = %s smtr" % server_ip])
        outer = "%s:%d" % (d.address, d.port)
        keys = ["-set", "hangup", "client"]
        server = self.sipp(os.path.join(SCENARIOS, "uas_call.xml"), address=server_ip, port=5080, name="server",
                           extra=keys).start()
        client = self.sipp(os.path.join(SCENARIOS, "uac_call.xml"), address=client_ip, port=5062, name="client",
                           remote=outer, extra=keys + ["-key", "server_addr", "%s:5080" % server_ip]).start()
        self.assertEqual(client.wait(), 0, client.output + client.errors() + d.log())
        self.assertEqual(server.wait(), 0, server.output + server.errors() + d.log())
        invite = self.collector.wait("INVITE")
        self.assertIsNotNone(invite, d.log())
        m = re.match(r"Event: INVITE\nUniqNo: (\d+)\n", invite)
        self.assertIsNotNone(m, invite)
        no = m.group(1)
        head = "UniqNo: %s\nDomain: %s\n" % (no, server_ip)
        self.assertEqual(invite, "Event: INVITE\n" + head + "Direction: CLN\nFrom: alice\nTo: bob\n" + self.self_line)
        self.assertRegex(self.collector.wait("TALK"), r"^Event: TALK\n%sFMode: .\n%s$"
                         % (re.escape(head), re.escape(self.self_line)))
        bye = self.collector.wait("BYE")
        self.assertIsNotNone(bye, d.log())
        self.assertRegex(bye, r"^Event: BYE\n%s(Direction: \w+|Extra: Timeout)\n%s$"
                         % (re.escape(head), re.escape(self.self_line)))


class MediaEvents(EventsCase):
    """Anchored calls (-f): the relay reports each stream's source once media flows."""

    def media_call(self, lines=()):
        self.server_ip = next_address()
        d = self.start(["range = 40000 40010", "domain = %s smtr" % self.server_ip] + list(lines), args=["-f"])
        self.sip_server = ScriptedServer(self.udp_socket(self.server_ip, 5080))
        self.srv_media = MediaCall.rtp_socket(self, self.server_ip)
        self.caller = Phone(self.udp_socket(), (d.address, d.port))
        self.caller.media = MediaCall.rtp_socket(self, self.caller.address)
        callid = "media-ev"
        body = MEDIA_SDP.format(user="alice", ip=self.caller.address, port=self.caller.media.getsockname()[1], extra="")
        self.caller.invite_text = self.caller.request(
            "INVITE", "sip:bob@%s:5080" % self.server_ip, ["Content-Type: application/sdp"], body=body,
            via_branch="z9hG4bK-inv-" + callid, callid=callid)
        self.caller.send(self.caller.invite_text)
        invite = self.sip_server.receive_request("INVITE", timeout=3.0)
        self.assertIsNotNone(invite, d.log())
        self.sip_server.answer(invite, 200, "OK", body=MEDIA_SDP.format(
            user="bob", ip=self.server_ip, port=self.srv_media.getsockname()[1], extra=""))
        ok = self.caller.receive_status(200)
        self.assertIsNotNone(ok, d.log())
        self.caller.send(self.caller.in_dialog("ACK", self.caller.invite_text, "srv1", 1, "z9hG4bK-ack-" + callid))
        self.assertIsNotNone(self.sip_server.receive_request("ACK"), d.log())
        self.cln_port = media_of(ok)[1]
        self.srv_port = media_of(invite)[1]
        return d

    def exchange(self, count=5):
        for i in range(count):
            self.caller.media.sendto(rtp(i), (self.d.address, self.cln_port))
            self.srv_media.sendto(rtp(i, ssrc=0x9999), (self.d.address, self.srv_port))
            time.sleep(0.02)

    def test_client_and_server_audio_sources(self):
        d = self.media_call()
        self.exchange()
        head = r"UniqNo: \d+\nDomain: %s\n" % re.escape(self.server_ip)
        cln = self.collector.wait("CLN_AUDIO")
        self.assertIsNotNone(cln, d.log())
        self.assertRegex(cln, r"^Event: CLN_AUDIO\n%sFrom: .*%s.*\n%s$"
                         % (head, re.escape(self.caller.address), re.escape(self.self_line)))
        srv = self.collector.wait("SRV_AUDIO")
        self.assertIsNotNone(srv, d.log())
        self.assertRegex(srv, r"^Event: SRV_AUDIO\n%sFrom: .*%s.*\n%s$"
                         % (head, re.escape(self.server_ip), re.escape(self.self_line)))

    def test_housekeeping_counts_removes_a_silent_call_with_a_bye_and_a_stale_transaction(self):
        stat_log = os.path.join(self.workdir, "with.stat")
        d = self.media_call(["idle_timeout = 30", "stat_log = %s" % stat_log])
        self.assertIn("-f", d.extra_args)
        self.exchange()
        # A MESSAGE the server never answers leaves a transaction behind.
        self.caller.send(self.caller.request("MESSAGE", "sip:bob@%s:5080" % self.server_ip, domain=self.server_ip))
        self.assertIsNotNone(self.sip_server.receive_request("MESSAGE"), d.log())
        lone_dir = os.path.join(self.workdir, "lone")
        os.mkdir(lone_dir)
        lone_log = os.path.join(lone_dir, "lone.stat")
        lone = Daemon(lone_dir, port=5160, config_lines=["idle_timeout = 30", "stat_log = %s" % lone_log])
        self.daemons.append(lone)
        lone.start()

        # First run: the call counts as active and relayed, its media still looked at.
        active = self.collector.wait("ACTIVE", timeout=40)
        self.assertIsNotNone(active, d.log())
        self.assertRegex(active, r"^Event: ACTIVE\nStarted: \d+\nRegs: 0\nDialogs: \d+\nCalls: 1\nFull: 1\n"
                                 r"Extra: R:0,C:1\n%s$" % re.escape(self.self_line))
        self.assertRegex(d.log(), r"Calls: \d+/1  R:0,C:1\n")
        with open(stat_log) as f:
            self.assertRegex(f.read(), r"^\d\d:\d\d:\d\d Regs: 0\tCalls: 1\n$")
        self.assertTrue(wait_until(lambda: os.path.exists(lone_log) and os.path.getsize(lone_log) > 0, 5))
        with open(lone_log) as f:
            self.assertRegex(f.read(), r"^\d\d:\d\d:\d\d Regs: 0\tCalls: 0\n$")

        # Next run: no RTP since the last one, from either side: removed, the server told with a BYE.
        bye = self.sip_server.receive_request("BYE", timeout=35)
        self.assertIsNotNone(bye, d.log())
        self.assertIn("Warning: No Client RTP traffic: C&media-ev&srv1", d.log())
        self.assertIn("Send brutal BYE!!!", d.log())
        second = self.collector.wait("ACTIVE", timeout=5, count=2)
        self.assertRegex(second, r"\nCalls: 0\nFull: 0\nExtra: R:0\n")

        # The transaction is removed once idle for more than 80 seconds.
        self.assertTrue(d.wait_log("Force remove Transaction", timeout=35), d.log())
        self.assertEqual(len([e for e in self.collector.seen if "Regs: 0\nDialogs" in e and
                              e.endswith("Self: %s:%d\n" % (lone.address, lone.port))]), 0)


if __name__ == "__main__":
    unittest.main()
