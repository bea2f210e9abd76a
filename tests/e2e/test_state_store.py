"""The state store end to end, with a real redis-server started by the test on a loopback address of its own
(no persistence; stopped by pid). A restarted relay answers its phones' refreshes from what it read back and
carries its anchored call on; a standby started with a stopped relay's node name and address serves that
relay's phones; a block at one relay reaches another through the cluster's channel and ends there too; a
relay goes on without Redis and writes its whole state again when Redis is back; garbage under the cluster's
keys is skipped."""

import os
import signal
import subprocess
import time
import unittest

from harness import (DaemonTestCase, header, media_of, next_address, rtp, status_line, udp_ports_bound,
                     wait_until)

REDIS_PORT = 6390


class Redis:
    """One redis-server, without persistence, stopped by pid."""

    def __init__(self, workdir, address):
        self.workdir, self.address, self.proc = workdir, address, None

    def start(self):
        self.proc = subprocess.Popen(["redis-server", "--bind", self.address, "--port", str(REDIS_PORT), "--save", "",
                                      "--appendonly", "no", "--dir", self.workdir, "--logfile",
                                      os.path.join(self.workdir, "redis.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: self.answers(), 10):
            raise AssertionError("redis-server did not start")
        return self

    def answers(self):
        try:
            return self.cli("PING") == "PONG"
        except subprocess.CalledProcessError:
            return False

    def cli(self, *args):
        return subprocess.check_output(["redis-cli", "-h", self.address, "-p", str(REDIS_PORT)] + list(args),
                                       stderr=subprocess.DEVNULL, timeout=5).decode().strip()

    def keys(self, pattern="*"):
        return set(filter(None, self.cli("--scan", "--pattern", pattern).split("\n")))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class StoreCase(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.redis = Redis(self.workdir, next_address()).start()
        self.addCleanup(self.redis.stop)
        self.server_ip = next_address()
        self.server = self.media_peer(self.server_ip, 5080)

    def relay(self, name, node, address=None, port=5060, lines=(), args=()):
        lines = ["state_store = redis://%s:%d" % (self.redis.address, REDIS_PORT), "node_name = " + node,
                 "register_timeout = 45", "log_level = debug+short+reg_regul+reg_cache",
                 "server = * 0 %s:5080" % self.server_ip] + list(lines)
        return self.daemon(os.path.join(self.workdir, name), address=address, port=port, config_lines=lines,
                           args=args).start()

    def register(self, d, user, phone=None, cseq=1):
        """A REGISTER through d; returns the Contact the server got (None when the relay answered it alone)."""
        phone = phone or self.peer(relay=(d.address, d.port))
        phone.relay = (d.address, d.port)
        phone.send(phone.request("REGISTER", "sip:%s:5080" % self.server_ip, ["Expires: 3600"], from_user=user,
                                 callid="reg-" + user, domain=self.server_ip, cseq=cseq,
                                 contact="<sip:%s@192.168.1.20:5062>" % user, to="<sip:%s@%s>" % (user, self.server_ip)))
        relayed = self.server.receive_request("REGISTER", 1.0)
        if relayed is not None:
            self.server.grant(relayed)
        self.assertEqual(status_line(self.got(phone.receive_status(200))), "SIP/2.0 200 OK", d.log())
        return (header(relayed, "Contact").strip("<>") if relayed else None), phone

    def refreshed_from_cache(self, d, user, phone):
        contact, _ = self.register(d, user, phone, cseq=2)
        self.assertIsNone(contact, "the refresh was answered from the relay's cache:\n" + d.log())

    def server_reaches(self, d, contact, phone, user):
        self.server.send(self.server.request("OPTIONS", contact, from_user="server", domain=self.server_ip,
                                             contact=False), (d.address, (d.second_port + 3) & 0xFFFF))
        got = self.got(phone.receive_request("OPTIONS"), d.log())
        self.assertEqual(got.split("\r\n")[0], "OPTIONS sip:%s@192.168.1.20:5062 SIP/2.0" % user)

    def options(self, d, peer, timeout=1.0):
        uri = "sip:%s:%d" % (d.address, d.port)
        peer.send(peer.request("OPTIONS", uri), (d.address, d.port))
        return peer.receive_status(200, timeout)


class Resume(StoreCase):
    def test_restart_and_a_standby_with_a_stopped_relays_name(self):
        a_ip, b_ip = next_address(), next_address()
        a = self.relay("a", "relay-a", a_ip, args=["-f"], lines=["range = 40100 40110"])
        b = self.relay("b", "relay-b", b_ip, port=5160)
        contact_a, alice = self.register(a, "alice")
        contact_b, bob = self.register(b, "bob")
        phone = self.media_peer()
        phone.relay = (a.address, a.port)
        invite, ok = self.anchored_call(phone, self.server, "st-full", branch="z9hG4bK-inv-st-f")
        cln_port, srv_port = media_of(ok)[1], media_of(invite)[1]
        call_key = "ostrel:relay-a:call:C&st-full&srv1"
        wanted = {"ostrel:relay-a:reg:" + contact_a, call_key, "ostrel:relay-b:reg:" + contact_b}
        self.assertTrue(wait_until(lambda: wanted <= self.redis.keys(), 5), self.redis.keys())
        ttl = int(self.redis.cli("TTL", "ostrel:relay-a:reg:" + contact_a))
        self.assertTrue(3000 < ttl <= 3600 + 45, ttl)  # the registration's lifetime, less a jitter

        # Restart: TERM keeps the keys; the relay reads them back before it answers.
        a.stop()
        self.assertIn(call_key, self.redis.keys())
        a = self.relay("a2", "relay-a", a_ip, args=["-f"], lines=["range = 40100 40110"])
        self.assertTrue(a.wait_log("State store: read back 1 registrations, 1 calls, 0 blocks of node relay-a "
                                   "(0 skipped)", 5), a.log())
        self.refreshed_from_cache(a, "alice", alice)
        self.server_reaches(a, contact_a, alice, "alice")
        self.assertTrue(wait_until(lambda: {(a_ip, cln_port), (a_ip, srv_port)} <= udp_ports_bound(), 5), a.log())
        self.server.media.sendto(rtp(1), (a_ip, srv_port))
        self.assertEqual(phone.media.recvfrom(2048)[0][12:], rtp(1)[12:], "the resumed call's media is relayed")
        self.hang_up(phone, self.server)
        self.assertTrue(wait_until(lambda: call_key not in self.redis.keys(), 5), "the ended call's key goes")

        # N+1: B stops; a standby takes B's address and node name and serves B's phones. A's do not notice.
        b.stop()
        s = self.relay("standby", "relay-b", b_ip, port=5160)
        self.assertTrue(s.wait_log("read back 1 registrations, 0 calls", 5), s.log())
        self.refreshed_from_cache(s, "bob", bob)
        self.server_reaches(s, contact_b, bob, "bob")
        self.refreshed_from_cache(a, "alice", alice)
        self.assertNotIn("bob", a.status_dump())


class FleetBlocks(StoreCase):
    def test_a_block_at_one_relay_reaches_another_and_ends_there(self):
        dos = ["dos_level = local", "dos_max_mps = 5 4"]
        a = self.relay("a", "relay-a", lines=dos)
        c = self.relay("c", "relay-c", port=5160, lines=dos)
        for d in (a, c):  # subscribed to the channel
            self.assertTrue(d.wait_log("connected: node", 5), d.log())
        flooder = self.peer()
        source = "%s:%d" % (flooder.address, flooder.port)
        for _ in range(10):
            flooder.send(flooder.request("OPTIONS", "sip:%s:%d" % (a.address, a.port)), (a.address, a.port))
        self.assertTrue(a.wait_log("Set Block for %s for 4 sec" % source, 2), a.log())
        self.assertTrue(c.wait_log("Set Block for %s for " % source, 1), c.log())
        self.assertIn("ostrel:relay-a:block:" + source, self.redis.keys())
        while flooder.receive(0.05) is not None:
            pass
        self.assertIsNone(self.options(c, flooder, 0.5), "the flooder gets nothing from the other relay")
        honest = self.peer()
        self.assertIsNotNone(self.options(c, honest), c.log())
        # A relay that starts now takes the block in force from A's key.
        late = self.relay("late", "relay-late", port=5260, lines=dos)
        self.assertTrue(late.wait_log("; 1 blocks of other nodes", 5), late.log())
        self.assertIsNone(self.options(late, flooder, 0.5), late.log())
        # The time is up at both.
        self.assertTrue(c.wait_log("Remove Block for %s" % source, 6), c.log())
        self.assertTrue(a.wait_log("Remove Block for %s" % source, 2), a.log())
        self.assertIsNotNone(self.options(c, flooder), c.log())
        self.assertIsNotNone(self.options(a, flooder), a.log())
        self.assertTrue(wait_until(lambda: not self.redis.keys("ostrel:relay-a:block:*"), 2))

        # A lifted by hand (the flood reset): lifted at the other relay as well, before its time.
        since = len(c.log())
        for _ in range(10):
            flooder.send(flooder.request("OPTIONS", "sip:%s:%d" % (a.address, a.port)), (a.address, a.port))
        self.assertTrue(c.wait_log("Set Block for %s for " % source, 2, since), c.log())
        a.signal(signal.SIGUSR2)
        self.assertTrue(c.wait_log("Remove Block for %s" % source, 1.5, since), c.log())


class Outage(StoreCase):
    def test_relay_goes_on_without_redis_and_writes_its_state_again(self):
        a = self.relay("a", "relay-a")
        phones = {}
        for user in ("u1", "u2", "u3"):
            phones[user] = self.register(a, user)
        self.assertTrue(wait_until(lambda: len(self.redis.keys("ostrel:relay-a:reg:*")) == 3, 5))
        # Redis hangs (it takes connections and answers nothing), then dies. No answer waits for it: new
        # registrations and OPTIONS go on at the usual pace.
        self.redis.proc.send_signal(signal.SIGSTOP)
        slowest = 0.0
        for i in range(20):
            start = time.monotonic()
            if i % 4 == 0:
                phones["n%d" % i] = self.register(a, "n%d" % i)
            else:
                self.got(self.options(a, phones["u1"][1]), a.log())
            slowest = max(slowest, time.monotonic() - start)
            time.sleep(0.05)
        self.assertLess(slowest, 0.5, "an answer waited for the store")
        self.assertTrue(a.wait_log("going on from memory", 5), a.log())
        self.redis.proc.kill()
        self.redis.proc.wait(10)
        self.assertIsNotNone(self.options(a, phones["u1"][1]), a.log())
        self.assertEqual(a.log().count("going on from memory"), 1, "the loss is logged once")

        self.redis.start()
        self.assertTrue(a.wait_log("is back: writing the whole state again", 5), a.log())
        dump = a.status_dump()
        expected = {"ostrel:relay-a:reg:" + contact for contact, _ in phones.values() if contact in dump}
        self.assertEqual(len(expected), len(phones), dump)
        self.assertTrue(wait_until(lambda: self.redis.keys("ostrel:relay-a:*") == expected, 5),
                        (self.redis.keys(), expected))


class Garbage(StoreCase):
    def test_garbage_under_the_clusters_keys_is_skipped_and_the_relay_starts(self):
        self.redis.cli("SET", "ostrel:relay-g:reg:sip:x@h", "not a record")
        self.redis.cli("SET", "ostrel:relay-g:call:C&x&y", "F|C&x&y|||||bad")
        self.redis.cli("SET", "ostrel:relay-g:reg:sip:elsewhere@h",
                       "R|sip:other@h|<sip:a@b>|cid||a@b||192.0.2.1:5060|600|60|0|0||||0|0")
        self.redis.cli("HSET", "ostrel:relay-g:block:x", "f", "v")
        self.redis.cli("SET", "ostrel:relay-other:reg:sip:y@h", "not ours")
        g = self.relay("g", "relay-g")
        self.assertTrue(g.wait_log("read back 0 registrations, 0 calls, 0 blocks of node relay-g (4 skipped)", 5),
                        g.log())
        self.assertEqual(g.log().count("Warning: state store record ostrel:relay-g:"), 4, g.log())
        self.assertNotIn("relay-other", g.log())
        self.redis.cli("PUBLISH", "ostrel:blocks", "K|x|nonsense")
        self.assertTrue(g.wait_log("state store message skipped, not a block", 2), g.log())
        self.assertIsNotNone(self.options(g, self.peer()), g.log())


if __name__ == "__main__":
    unittest.main()
