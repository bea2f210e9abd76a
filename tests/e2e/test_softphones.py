"""Real soft phones end to end: two baresip phones register through the relay with Kamailio (registrar and
record-routing proxy), one calls the other, the call is answered and hung up. The phones are public (their
Contact is their source address), so media flows directly between them; every SIP message of a phone goes
through the relay, and Kamailio talks to nobody but the relay's server-side address."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import unittest

from harness import DaemonTestCase, next_address, read, udp_ports_bound, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
KAMAILIO_MODULES = "/usr/lib/x86_64-linux-gnu/kamailio/modules/"
BARESIP_MODULES = "/usr/lib/baresip/modules"


class PeerProcess:
    """A peer program run in the test's folder, its output in a file, always stopped by its pid."""

    def __init__(self, workdir, name, command):
        self.name = name
        self.output_path = os.path.join(workdir, name + ".out")
        self.output_file = open(self.output_path, "wb")
        self.proc = subprocess.Popen(command, cwd=workdir, stdin=subprocess.DEVNULL, stdout=self.output_file,
                                     stderr=subprocess.STDOUT, start_new_session=True)

    def output(self):
        return read(self.output_path)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, grace=5.0):
        """TERM (the peer cleans up: baresip unregisters, Kamailio stops its children), then KILL by pid."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(grace)
            except subprocess.TimeoutExpired:
                # Its own process group (it was started in a session of its own): Kamailio's children too.
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.output_file.close()
        return self.proc.returncode


class Kamailio:
    """Kamailio as registrar and proxy on its own loopback address, configured from the template here."""

    def __init__(self, workdir, address):
        self.address = address
        with open(os.path.join(HERE, "kamailio_softphones.cfg.in")) as f:
            text = f.read().replace("@KAM_IP@", address).replace("@MODULES@", KAMAILIO_MODULES)
        self.cfg = os.path.join(workdir, "kamailio.cfg")
        with open(self.cfg, "w") as f:
            f.write(text)
        self.rundir = os.path.join(workdir, "kamailio-run")
        os.mkdir(self.rundir)
        self.peer = PeerProcess(workdir, "kamailio", [
            "kamailio", "-f", self.cfg, "-DD", "-E", "-Y", self.rundir, "-P", os.path.join(self.rundir, "pid"),
            "-m", "64", "-M", "8"])
        if not wait_until(lambda: not self.peer.alive() or (address, 5060) in udp_ports_bound(), 10):
            raise AssertionError("kamailio did not start:\n" + self.peer.output())
        if not self.peer.alive():
            raise AssertionError("kamailio exited:\n" + self.peer.output())

    def traffic(self):
        """(direction, what, peer) for every datagram Kamailio logged receiving or sending."""
        return re.findall(r"KAM .*?(RECV|SEND) (.*?) (?:from|to) (\d+\.\d+\.\d+\.\d+:\d+)", self.peer.output())


class Baresip:
    """One baresip phone with its own configuration folder, SIP address and control socket (ctrl_tcp):
    commands go in as netstrings of JSON, and its events (registered, ringing, established, closed) come out
    the same way."""

    def __init__(self, workdir, name, address, user, kamailio, relay, auto_answer=False, account="",
                 modules=(), regint=600):
        """account: more account parameters (";mediaenc=srtp-mand"); modules: more modules to load."""
        self.name = name
        self.address = address
        self.user = user
        self.confdir = os.path.join(workdir, name)
        os.mkdir(self.confdir)
        self.ctrl = (address, 4444)
        self.write_config(modules)
        answer = ";answermode=auto" if auto_answer else ""
        with open(os.path.join(self.confdir, "accounts"), "w") as f:
            f.write('<sip:%s@%s>;outbound="sip:%s";regint=%d;audio_codecs=PCMU%s%s\n'
                    % (user, kamailio, relay, regint, answer, account))
        with open(os.path.join(self.confdir, "contacts"), "w") as f:
            f.write("")
        self.peer = PeerProcess(workdir, name, ["baresip", "-f", self.confdir, "-s"])
        self.events = []
        self.sock = None
        self.buffer = b""

    def write_config(self, modules=()):
        # No sound card: a sine tone as the microphone, and the tone looped into a bridge as the speaker.
        # DNS goes to loopback only (nothing is ever looked up: every address is a literal).
        lines = [
            "poll_method epoll",
            "sip_listen %s:5060" % self.address,
            "call_local_timeout 30",
            "call_max_calls 2",
            "audio_source ausine,440",
            "audio_player aubridge,nil",
            "audio_alert aubridge,nil",
            "ausrc_srate 48000",
            "ausrc_channels 2",
            "auplay_srate 48000",
            "rtp_ports 31000-31999",
            "rtp_timeout 0",
            "dns_server 127.0.0.1:53",
            "net_interface %s" % self.address,
            "module_path %s" % BARESIP_MODULES,
            "module g711.so",
            "module ausine.so",
            "module aubridge.so",
            "module ctrl_tcp.so",
            "module_app account.so",
            "module_app menu.so",
            "ctrl_tcp_listen %s:%d" % self.ctrl,
        ] + ["module %s" % m for m in modules]
        with open(os.path.join(self.confdir, "config"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def connect(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.peer.alive():
                raise AssertionError("%s exited:\n%s" % (self.name, self.peer.output()))
            try:
                self.sock = socket.create_connection(self.ctrl, timeout=1.0)
                return
            except OSError:
                time.sleep(0.1)
        raise AssertionError("%s control port did not open:\n%s" % (self.name, self.peer.output()))

    def command(self, name, params=""):
        body = json.dumps({"command": name, "params": params, "token": name}).encode()
        self.sock.sendall(b"%d:%s," % (len(body), body))

    def read_messages(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return
        if not data:
            raise AssertionError("%s closed its control connection:\n%s" % (self.name, self.peer.output()))
        self.buffer += data
        while True:
            colon = self.buffer.find(b":")
            if colon < 0:
                return
            length = int(self.buffer[:colon])
            if len(self.buffer) < colon + 1 + length + 1:
                return
            message = json.loads(self.buffer[colon + 1:colon + 1 + length])
            self.buffer = self.buffer[colon + 2 + length:]
            if message.get("event"):
                self.events.append(message.get("type"))

    def wait_event(self, kind, timeout=15.0):
        deadline = time.monotonic() + timeout
        while kind not in self.events and time.monotonic() < deadline:
            self.read_messages(max(0.05, min(0.5, deadline - time.monotonic())))
        return kind in self.events

    def wait_registered(self, timeout=15.0):
        """Registration happens before the control connection opens, so its event is read from the output."""
        done = re.compile(r"%s@[\d.]+: \{0/UDP/v4\} 200 " % self.user)
        return wait_until(lambda: done.search(self.peer.output()) is not None, timeout, 0.1)

    def sip_peers(self):
        """Every address other than its own that this phone's SIP trace shows it sending to or receiving from."""
        pairs = re.findall(r"^UDP (\d+\.\d+\.\d+\.\d+:\d+) -> (\d+\.\d+\.\d+\.\d+:\d+)$",
                           self.peer.output(), re.M)
        return {a for pair in pairs for a in pair} - {"%s:5060" % self.address}

    def stop(self):
        if self.sock:
            self.sock.close()
        return self.peer.stop()


@unittest.skipUnless(shutil.which("baresip") and shutil.which("kamailio") or os.environ.get("CI") == "true",
                     "baresip and kamailio are installed by scripts/install-deps.sh")
class SoftPhoneCall(DaemonTestCase):
    def start_peer(self, peer):
        self.addCleanup(peer.stop)
        return peer

    def test_two_baresip_phones_call_through_relay_and_kamailio(self):
        kam_ip, alice_ip, bob_ip = next_address(), next_address(), next_address()
        # 'prsn': the relay puts itself in the phones' Contacts although they are public, so the server
        # reaches them through it as well.
        d = self.daemon(config_lines=["log_level = debug+short", "register_timeout = 60",
                                      "domain = %s prsn" % kam_ip]).start()
        relay = "%s:%d" % (d.address, d.port)
        internal = "%s:%d" % (d.address, d.second_port + 3)
        kam = Kamailio(self.workdir, kam_ip)
        self.addCleanup(kam.peer.stop)

        bob = self.start_peer(Baresip(self.workdir, "bob", bob_ip, "bob", kam_ip, relay, auto_answer=True))
        alice = self.start_peer(Baresip(self.workdir, "alice", alice_ip, "alice", kam_ip, relay))
        for phone in (alice, bob):
            phone.connect()
            self.assertTrue(phone.wait_registered(),
                            "%s did not register: %s\n%s\n%s" % (phone.name, phone.events, phone.peer.output(),
                                                                  d.log()))

        alice.command("dial", "sip:bob@%s" % kam_ip)
        self.assertTrue(alice.wait_event("CALL_ESTABLISHED"), alice.peer.output() + d.log() + kam.peer.output())
        self.assertTrue(bob.wait_event("CALL_ESTABLISHED"), bob.peer.output() + d.log())
        time.sleep(1.0)
        alice.command("hangup")
        self.assertTrue(alice.wait_event("CALL_CLOSED"), alice.peer.output() + d.log())
        self.assertTrue(bob.wait_event("CALL_CLOSED"), bob.peer.output() + d.log())
        self.assertTrue(d.wait_log("Set timer 'COMPLETE' to 40 sec."), d.log())

        # The BYE was answered: neither phone closed the call on a time-out or an error.
        for phone in (alice, bob):
            out = phone.peer.output()
            self.assertNotRegex(out, r"(?i)call.*(timeout|failed|error)", phone.name)

        # Kamailio received everything from the relay's server side and sent everything there.
        traffic = kam.traffic()
        self.assertTrue(any(t[0] == "RECV" and t[1].startswith("REGISTER") for t in traffic), kam.peer.output())
        self.assertTrue(any(t[0] == "RECV" and t[1].startswith("INVITE") for t in traffic), kam.peer.output())
        self.assertTrue(any(t[0] == "SEND" and t[1].startswith("INVITE") for t in traffic), kam.peer.output())
        self.assertEqual({t[2] for t in traffic}, {internal}, kam.peer.output())

        # Each phone talked SIP to the relay's client port alone.
        for phone in (alice, bob):
            self.assertEqual(phone.sip_peers(), {relay}, phone.peer.output())

        # Media went directly between the phones: the callee was offered the caller's own address, and each
        # phone received the other's RTP.
        self.assertRegex(bob.peer.output(), r"INVITE sip:bob-[^\n]*\n(?:.*\n)*?c=IN IP4 %s\r?\n" % re.escape(alice_ip))
        for phone in (alice, bob):
            self.assertIn("incoming rtp for 'audio' established", phone.peer.output(), phone.name)

        # Both legs were calls of the relay: the caller's from its client port, the callee's opened by the
        # server; the BYE completed them.
        log = d.log()
        self.assertRegex(log, r"<==C== %s:5060\s*\nINVITE sip:bob@%s " % (re.escape(alice_ip), re.escape(kam_ip)))
        self.assertRegex(log, r"--C--> %s:5060\s*\nINVITE sip:bob-" % re.escape(bob_ip))
        self.assertRegex(log, r"<==C== %s:5060\s*\nBYE " % re.escape(alice_ip))
        self.assertRegex(log, r"--C--> %s:5060\s*\nBYE " % re.escape(bob_ip))
        for phone in (alice, bob):
            self.assertTrue(phone.stop() in (0, -signal.SIGTERM), phone.peer.output())


if __name__ == "__main__":
    unittest.main()
