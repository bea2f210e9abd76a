"""Events end to end: a UDP listener of the test's own is the events collector and checks the exact lines the
relay sends for registrations, calls, floods, housekeeping, statistics and its stop; the statistics log is
written with or without a collector."""

import os
import re
import signal
import time
import unittest

from harness import (PRIVATE_CONTACT, Collector, DaemonTestCase, call_keys, header, next_address, rtp, media_of,
                     status_line, wait_until)


class EventsCase(DaemonTestCase):
    def start(self, lines=(), args=()):
        self.collector = self.peer(next_address(), 9999, kind=Collector)
        self.server = self.peer(next_address(), 5080)
        self.server_addr = "%s:5080" % self.server.address
        d = self.start_daemon(["events_collector = %s:%d" % (self.collector.address, self.collector.port),
                               "register_timeout = 45", "log_level = debug+short"] + list(lines), args=list(args))
        self.self_line = "Self: %s:%d\n" % (d.address, d.port)
        self.phone = self.peer()
        return d

    def register(self, callid, expires, code=200):
        self.phone.send(self.phone.request("REGISTER", "sip:" + self.server_addr, ["Expires: %d" % expires,
                                           "User-Agent: TestPhone/1.0"], callid=callid, domain=self.server.address,
                                           contact="<%s>" % PRIVATE_CONTACT, to="<sip:alice@%s>" % self.server.address))
        relayed = self.got(self.server.receive_request("REGISTER"))
        if code != 200:
            self.server.answer(relayed, 403, "Forbidden", extra=["X-Reason: Account disabled"])
        elif expires:
            self.server.grant(relayed, expires)
        else:
            self.server.answer(relayed, 200, "OK", extra=["Expires: 0"], contact="")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 %d %s" % (code, "OK" if code == 200 else "Forbidden"),
                         self.d.log())
        return header(relayed, "Contact").strip("<>")


class Events(EventsCase):
    def test_dump_registrations_statistics_and_stop(self):
        d = self.start(["subscribe_event = presence"])
        # Nothing active yet: the banners, three zero totals and the idle media threads. Other threads may log while the dump is
        # written (the key manager starts asynchronously): only the dump itself is compared.
        self.assertEqual(d.status_dump(), "\n========================= Active Registrations =========================\n"
                                          "Total: 0\n"
                                          "========================= Active Calls =================================\n"
                                          "Total: 0\n"
                                          "========================= Media Threads ================================\n"
                                          + "".join("Media thread %d: 0 calls\n" % i for i in range(os.cpu_count())) +
                                          "========================= Active Non-Invite Transactions ===============\n"
                                          "Total: 0\n"
                                          "========================================================================\n\n")

        self.register("reg-refused", 3600, code=403)
        self.assertEqual(self.collector.wait("FAILD"),
                         "Event: FAILD\nDomain: %s\nLine: alice\nCallID: reg-refused\nAgent: TestPhone/1.0\n"
                         "IntIP: 192.168.1.20:5062\nExtIP: %s:%d\nReason: Account disabled\n%s"
                         % (self.server.address, self.phone.address, self.phone.port, self.self_line), d.log())

        ncont = self.register("reg-1", 3600)
        self.assertEqual(self.collector.wait("REG"),
                         "Event: REG\nDomain: %s\nLine: alice\nAOR: %s\nCallID: reg-1\nAgent: TestPhone/1.0\n"
                         "IntIP: 192.168.1.20:5062\nExtIP: %s:%d\n%s"
                         % (self.server.address, ncont, self.phone.address, self.phone.port, self.self_line), d.log())

        # The first message processed in a 16-second slot reports the counts of the last one.
        stat = self.collector.wait("STAT")
        self.assertRegex(stat, r"^Event: STAT\nMaxQueueSize: \d+,\d+\nExtProc: \d+,\d+\nIntProc: \d+,\d+\n")
        self.assertTrue(stat.endswith(self.self_line), stat)
        # SUBSCRIBEs naming forty unknown events (only "presence" is listed): the report counts sixteen names
        # apiece and the rest together, so strangers' names cannot grow it.
        stranger = self.peer()
        for i in range(40):
            stranger.send(stranger.request("SUBSCRIBE", "sip:bob@%s" % self.server_addr, ["Event: junk%02d" % i],
                                           domain=self.server.address))
        # Messages every half second for up to two slots: a new slot's first message reports the last one.
        deadline = time.monotonic() + 36
        while len(self.collector.named("STAT")) < 2 and time.monotonic() < deadline:
            self.phone.send(self.phone.request("MESSAGE", "sip:bob@%s" % self.server_addr, domain=self.server.address))
            self.collector.receive(0.5)
        stats = self.collector.named("STAT")
        self.assertGreaterEqual(len(stats), 2, d.log())
        self.assertRegex(stats[1], r"ExtProc: [1-9]\d*,\d+\n")
        bad = re.search(r"\nBadEvent: (.*)\n", "".join(stats))
        self.assertIsNotNone(bad, stats)
        counts = dict(item.rsplit(":", 1) for item in bad.group(1).split(","))
        self.assertEqual(len(counts), 17, counts)
        self.assertEqual(sum(int(v) for v in counts.values()), 40)
        self.assertEqual(counts["(other)"], "24")

        self.register("reg-1", 0)
        self.assertEqual(self.collector.wait("UNREG"),
                         "Event: UNREG\nDomain: %s\nLine: alice\nAOR: %s\nIntIP: 192.168.1.20:5062\nExtIP: %s\n%s"
                         % (self.server.address, ncont, self.phone.address, self.self_line), d.log())

        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(), 0)
        self.assertEqual(self.collector.wait("STOP"), "Event: STOP\n" + self.self_line)

    def test_invite_talk_bye(self):
        call_server = next_address()
        d = self.start(["domain = %s smtr" % call_server])
        self.sipp_pair(d, "uac_call.xml", "uas_call.xml", call_server, extra=call_keys())
        invite = self.got(self.collector.wait("INVITE"))
        m = re.match(r"Event: INVITE\nUniqNo: (\d+)\n", invite)
        self.assertIsNotNone(m, invite)
        head = "UniqNo: %s\nDomain: %s\n" % (m.group(1), call_server)
        self.assertEqual(invite, "Event: INVITE\n" + head + "Direction: CLN\nFrom: alice\nTo: bob\n" + self.self_line)
        self.assertRegex(self.collector.wait("TALK"), r"^Event: TALK\n%sFMode: .\n%s$"
                         % (re.escape(head), re.escape(self.self_line)))
        bye = self.got(self.collector.wait("BYE"))
        self.assertRegex(bye, r"^Event: BYE\n%s(Direction: \w+|Extra: Timeout)\n%s$"
                         % (re.escape(head), re.escape(self.self_line)))

    def test_flood_block_and_unblock(self):
        d = self.start(["dos_level = local", "dos_max_mps = 5 2"])
        flooder = self.peer()
        uri = "sip:%s:%d" % (d.address, d.port)
        for _ in range(20):
            flooder.send(flooder.request("OPTIONS", uri))
        block = self.got(self.collector.wait("BLOCK"))
        self.assertRegex(block, r"^Event: BLOCK\nIP: %s\n(Port: %d\n)?%s$"
                         % (re.escape(flooder.address), flooder.port, re.escape(self.self_line)))
        unblock = self.got(self.collector.wait("UNBLOCK", timeout=6))
        self.assertRegex(unblock, r"^Event: UNBLOCK\nIP: %s\n" % re.escape(flooder.address))


class MediaEvents(EventsCase):
    """An anchored call (-f): the relay reports each stream's source once media flows; housekeeping counts
    the call, removes it once silent and a stale transaction once idle."""

    def test_audio_sources_and_housekeeping(self):
        stat_log = os.path.join(self.workdir, "with.stat")
        server_ip = next_address()
        d = self.start(["range = 40000 40010", "domain = %s smtr" % server_ip, "idle_timeout = 30",
                        "stat_log = %s" % stat_log], args=["-f"])
        sip_server, caller = self.media_peer(server_ip, 5080), self.media_peer()
        invite, ok = self.anchored_call(caller, sip_server, "media-ev", branch="z9hG4bK-inv-media-ev")
        for i in range(5):
            caller.media.sendto(rtp(i), (d.address, media_of(ok)[1]))
            sip_server.media.sendto(rtp(i, ssrc=0x9999), (d.address, media_of(invite)[1]))
            time.sleep(0.02)
        head = r"UniqNo: \d+\nDomain: %s\n" % re.escape(server_ip)
        for name, source in (("CLN_AUDIO", caller.address), ("SRV_AUDIO", server_ip)):
            event = self.got(self.collector.wait(name))
            self.assertRegex(event, r"^Event: %s\n%sFrom: .*%s.*\n%s$"
                             % (name, head, re.escape(source), re.escape(self.self_line)))

        # A MESSAGE the server never answers leaves a transaction behind for a while.
        caller.send(caller.request("MESSAGE", "sip:bob@%s:5080" % server_ip, domain=server_ip))
        self.got(sip_server.receive_request("MESSAGE"))
        lone_log = os.path.join(self.workdir, "lone", "lone.stat")
        lone = self.daemon(os.path.join(self.workdir, "lone"), port=5160,
                           config_lines=["idle_timeout = 30", "stat_log = %s" % lone_log]).start()

        # First run: the call counts as active and relayed, its media still looked at.
        active = self.got(self.collector.wait("ACTIVE", timeout=40))
        self.assertRegex(active, r"^Event: ACTIVE\nStarted: \d+\nRegs: 0\nDialogs: \d+\nCalls: 1\nFull: 1\n"
                                 r"Extra: R:0,C:1\n%s$" % re.escape(self.self_line))
        self.assertRegex(d.log(), r"Calls: \d+/1  R:0,C:1\n")
        with open(stat_log) as f:
            self.assertRegex(f.read(), r"^\d\d:\d\d:\d\d Regs: 0\tCalls: 1\n$")
        self.assertTrue(wait_until(lambda: os.path.exists(lone_log) and os.path.getsize(lone_log) > 0, 5))
        with open(lone_log) as f:
            self.assertRegex(f.read(), r"^\d\d:\d\d:\d\d Regs: 0\tCalls: 0\n$")

        # Next run: no RTP since the last one, from either side: removed, the server told with a BYE.
        self.got(sip_server.receive_request("BYE", timeout=35))
        self.assertIn("Warning: No Client RTP traffic: C&media-ev&srv1", d.log())
        self.assertIn("Send brutal BYE!!!", d.log())
        second = self.collector.wait("ACTIVE", timeout=5, count=2)
        self.assertRegex(second, r"\nCalls: 0\nFull: 0\nExtra: R:0\n")

        # The unanswered transaction ended 32 s after its request, before housekeeping had to remove it.
        self.assertTrue(d.wait_log("Transaction Timeout - no final answer", timeout=5), d.log())
        self.assertNotIn("Force remove Transaction", d.log())
        self.assertEqual(len([e for e in self.collector.seen if "Regs: 0\nDialogs" in e and
                              e.endswith("Self: %s:%d\n" % (lone.address, lone.port))]), 0)


if __name__ == "__main__":
    unittest.main()
