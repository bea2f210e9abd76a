"""The demo: Ostrel on loopback between two baresip phones and Kamailio (registrar and proxy), inside the
private network namespace scripts/demo.sh made. The phones register, call each other once with direct media
and once anchored by the relay, and hang up; then the relay's own account of it (registrations, calls,
packets per stream, events) is printed. Everything started here is stopped here, by pid."""

import os
import re
import signal
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

from harness import Daemon, Peer, next_address, wait_until  # noqa: E402
from test_softphones import Baresip, Kamailio  # noqa: E402


class Demo:
    def __init__(self, workdir):
        self.workdir = workdir
        self.stoppers = []
        # Baresip sends its RTP from 127.0.0.1 whatever address it announces; the callee's packets reach
        # the relay's server side, which takes them only from the announced address: give bob that one.
        self.kam_ip, alice_ip, bob_ip = next_address(), next_address(), "127.0.0.1"
        collector_ip = next_address()
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((collector_ip, 9999))
        self.collector = Peer(sock)
        self.stoppers.append(sock.close)
        self.d = Daemon(workdir, config_lines=[
            "log_level = debug+short", "register_timeout = 60", "domain = %s prsn" % self.kam_ip,
            "range = 40000 40100", "events_collector = %s:9999" % collector_ip])
        self.d.start()
        self.stoppers.append(self.d.stop)
        relay = "%s:%d" % (self.d.address, self.d.port)
        self.kam = Kamailio(workdir, self.kam_ip)
        self.stoppers.append(self.kam.peer.stop)
        self.bob = Baresip(workdir, "bob", bob_ip, "bob", self.kam_ip, relay, auto_answer=True)
        self.stoppers.append(self.bob.stop)
        self.alice = Baresip(workdir, "alice", alice_ip, "alice", self.kam_ip, relay)
        self.stoppers.append(self.alice.stop)

    def stop(self):
        for stop in reversed(self.stoppers):
            try:
                stop()
            except Exception as e:  # everything else must still be stopped
                print("while stopping: %s" % e, file=sys.stderr)

    def step(self, text):
        print("-- " + text, flush=True)

    def expect(self, ok, what):
        if not ok:
            raise SystemExit("demo failed: %s\n%s" % (what, self.d.log()[-4000:]))

    def register(self):
        self.step("alice and bob register with Kamailio through the relay")
        for phone in (self.alice, self.bob):
            phone.connect()
            self.expect(phone.wait_registered(), "%s did not register" % phone.name)

    def call(self, label, seconds=3.0):
        self.step("alice calls bob (%s), talks %.0f s, hangs up" % (label, seconds))
        for phone in (self.alice, self.bob):
            phone.events.clear()
        self.alice.command("dial", "sip:bob@%s" % self.kam_ip)
        self.expect(self.alice.wait_event("CALL_ESTABLISHED"), "the %s call was not answered" % label)
        time.sleep(seconds)
        dump = self.d.status_dump()
        self.alice.command("hangup")
        self.expect(self.alice.wait_event("CALL_CLOSED") and self.bob.wait_event("CALL_CLOSED"),
                    "the %s call did not end" % label)
        return dump

    def anchor_alice(self):
        line = "fuser = alice@%s full" % self.kam_ip
        self.step("the operator anchors alice's calls: '%s' added, SIGHUP re-reads the file" % line)
        with open(self.d.cfg_path, "a") as f:
            f.write(line + "\n")
        later = time.time() + 2
        os.utime(self.d.cfg_path, (later, later))
        since = len(self.d.log())
        self.d.signal(signal.SIGHUP)
        self.expect(self.d.wait_log("Rereading config file", since=since), "the file was not re-read")

    def summary(self, direct_dump, anchored_dump):
        self.collector.sock.settimeout(0.5)
        while self.collector.receive(0.5):
            pass
        events = [e.split("\n", 1)[0][len("Event: "):] for e in self.collector.seen if e.startswith("Event: ")]
        registrations = re.search(r"= Active Registrations =+\n(?:.*\n)*?Total: (\d+)", direct_dump)
        print("\n== What the relay did")
        print("registrations in its cache: %s" % (registrations.group(1) if registrations else "none"))
        for label, dump in (("direct", direct_dump), ("anchored", anchored_dump)):
            streams = re.findall(r"CLN pkts=(\d+) lost=\d+ reord=\d+ jitter=\d+ms, SRV pkts=(\d+)", dump)
            if streams:
                cln, srv = streams[0]
                print("%s call: media through the relay: %s packets from alice, %s from bob" % (label, cln, srv))
            else:
                print("%s call: media went straight between the phones (no packet through the relay)" % label)
        counted = {}
        for e in events:
            counted[e] = counted.get(e, 0) + 1
        print("events sent to the collector: " + ", ".join("%s %d" % kv for kv in sorted(counted.items())))
        print("transcoding: not shown here (Debian's baresip has neither iLBC nor G.729); "
              "tests/e2e/test_transcoding.py shows it with scripted phones")
        return events


def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-demo-")
    print("ostrel demo in %s (logs and configurations stay there)" % workdir, flush=True)
    demo = Demo(workdir)
    try:
        demo.register()
        direct = demo.call("direct media")
        demo.anchor_alice()
        anchored = demo.call("anchored media")
        demo.summary(direct, anchored)
    finally:
        demo.stop()
    print("== Done: every process the demo started is stopped")


if __name__ == "__main__":
    main()
