"""Process-level test harness: runs the real ostrel binary on its own loopback address with a generated
configuration, waits until its ports are bound, sends signals, reads its log and always stops it by pid.

Tests run inside a private network namespace (see CMakeLists.txt), so only loopback exists there."""

import itertools
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

OSTREL_BIN = os.environ.get("OSTREL_BIN", "ostrel")
SOURCE_DIR = os.environ.get("OSTREL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
_address_counter = itertools.count(1)


def next_address():
    """A loopback address of its own for each daemon or peer of a test run."""
    n = next(_address_counter) + (os.getpid() % 200) * 256
    return "127.%d.%d.%d" % (10 + (n >> 16) % 200, (n >> 8) & 255, 1 + n % 250)


def udp_ports_bound():
    """(address, port) pairs of bound UDP sockets in this network namespace."""
    bound = set()
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            local = line.split()[1]
            hexip, hexport = local.split(":")
            ip = socket.inet_ntoa(bytes.fromhex(hexip)[::-1])
            bound.add((ip, int(hexport, 16)))
    return bound


def wait_until(predicate, timeout=10.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class Daemon:
    """One ostrel process. Use as a context manager so it is always stopped."""

    def __init__(self, workdir, address=None, port=5060, second_port=None, config_lines=(), args=(),
                 write_config=True):
        self.workdir = workdir
        self.address = address or next_address()
        self.port = port
        self.second_port = second_port or port + 10
        self.log_path = os.path.join(workdir, "ostrel.log")
        self.cfg_path = os.path.join(workdir, "ostrel.cfg")
        self.asan_prefix = os.path.join(workdir, "asan")
        self.extra_args = list(args)
        self.proc = None
        if write_config:
            self.write_config(config_lines)

    def base_config(self):
        return [
            "ipaddr = %s" % self.address,
            "port = %d" % self.port,
            "second_port = %d" % self.second_port,
            "log = %s" % self.log_path,
            "ring_ulaw = %s/etc/ring/ringback.ulaw" % SOURCE_DIR,
            "ring_gsm = %s/etc/ring/ringback.gsm" % SOURCE_DIR,
            "ring_g729 = %s/etc/ring/ringback.g729" % SOURCE_DIR,
        ]

    def write_config(self, lines):
        lines = list(lines)
        # The same suite runs in both threading modes: OSTREL_E2E_LISTENERS picks the mode a test left open.
        listeners = os.environ.get("OSTREL_E2E_LISTENERS")
        if listeners and not any(l.startswith("num_listeners") for l in lines):
            lines.append("num_listeners = %s" % listeners)
        with open(self.cfg_path, "w") as f:
            f.write("\n".join(self.base_config() + lines) + "\n")

    def command(self):
        return [OSTREL_BIN, "-c", self.cfg_path, "-l", self.log_path, "-i", self.address,
                "-p", str(self.port), "-o", str(self.second_port)] + self.extra_args

    def start(self, wait=True):
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = "log_path=%s:detect_leaks=1" % self.asan_prefix
        self.proc = subprocess.Popen(self.command(), cwd=self.workdir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if wait and not self.wait_bound():
            raise AssertionError("daemon did not bind %s:%d; log:\n%s" % (self.address, self.port, self.log()))
        return self

    def wait_bound(self, timeout=10.0):
        # The banner is written before the ports are bound and the signals registered: wait for the port.
        internal = (self.address, (self.second_port + 3) & 0xFFFF)
        return wait_until(lambda: self.proc.poll() is None and internal in udp_ports_bound(), timeout)

    def signal(self, signo):
        self.proc.send_signal(signo)

    def wait_exit(self, timeout=10.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """TERM, then KILL if it does not go; returns the exit status."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            if self.wait_exit(10.0) is None:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stderr:
            self.proc.stderr.close()
        return self.proc.returncode

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=10.0):
        return wait_until(lambda: text in self.log(), timeout)

    def sanitizer_reports(self):
        reports = []
        for name in os.listdir(self.workdir):
            if name.startswith("asan."):
                with open(os.path.join(self.workdir, name), errors="replace") as f:
                    reports.append(f.read())
        return reports

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class DaemonTestCase(unittest.TestCase):
    """Gives each test a scratch folder and checks that no daemon it started left a sanitizer report."""

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="ostrel-e2e-")
        self.daemons = []

    def tearDown(self):
        for d in self.daemons:
            d.stop()
        reports = [r for d in self.daemons for r in d.sanitizer_reports()]
        keep = os.environ.get("OSTREL_KEEP_E2E")
        if not reports and not keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
        self.assertEqual(reports, [], "sanitizer reports from the daemon:\n" + "\n".join(reports))

    def sipp(self, scenario, **kwargs):
        """A SIPp peer stopped (by pid) when the test ends."""
        peer = Sipp(self.workdir, scenario, **kwargs)
        self.addCleanup(peer.stop)
        return peer

    def daemon(self, **kwargs):
        d = Daemon(self.workdir, **kwargs)
        self.daemons.append(d)
        return d

    def udp_socket(self, address=None, port=0, timeout=2.0):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address or next_address(), port))
        s.settimeout(timeout)
        self.addCleanup(s.close)
        return s


class Sipp:
    """One SIPp peer (client or server) on its own loopback address, run in the test's folder and bounded
    from outside as well, since a SIPp waiting for a message that never comes may ignore its own time-out."""

    def __init__(self, workdir, scenario, remote=None, address=None, port=5060, calls=1, timeout=30,
                 extra=(), name="sipp"):
        self.workdir = workdir
        self.address = address or next_address()
        self.port = port
        self.scenario = scenario
        self.remote = remote
        self.calls = calls
        self.timeout = timeout
        self.extra = list(extra)
        self.name = name
        self.proc = None
        self.output = ""

    def command(self):
        cmd = ["timeout", "-k", "5", str(self.timeout), "sipp", "-nostdin", "-m", str(self.calls),
               "-i", self.address, "-p", str(self.port), "-mp", str(20000 + self.port % 1000 * 10),
               "-timeout", "%ds" % max(1, self.timeout - 2), "-trace_err", "-error_file",
               os.path.join(self.workdir, self.name + "_errors.log"), "-trace_msg", "-message_file",
               os.path.join(self.workdir, self.name + "_messages.log")]
        if self.scenario.endswith(".xml"):
            cmd += ["-sf", self.scenario]
        else:
            cmd += ["-sn", self.scenario]
        cmd += self.extra
        if self.remote:
            cmd.append(self.remote)
        return cmd

    def start(self):
        self.proc = subprocess.Popen(self.command(), cwd=self.workdir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return self

    def wait(self, timeout=None):
        try:
            out, _ = self.proc.communicate(timeout=timeout or self.timeout + 10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
        self.output = out.decode(errors="replace")
        return self.proc.returncode

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    def messages(self):
        path = os.path.join(self.workdir, self.name + "_messages.log")
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def errors(self):
        path = os.path.join(self.workdir, self.name + "_errors.log")
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""


class SipClient:
    """A scripted SIP peer on a UDP socket: sends requests built from a template and reads the answers."""

    _counter = itertools.count(1)

    def __init__(self, sock, relay):
        self.sock = sock
        self.relay = relay
        self.address, self.port = sock.getsockname()

    def request(self, method, uri, headers=(), body="", to_tag=None, from_user="alice", domain="example.com",
                via_branch=None, extra_vias=(), cseq=1, callid=None):
        n = next(self._counter)
        lines = ["%s %s SIP/2.0" % (method, uri)]
        for v in extra_vias:
            lines.append("Via: %s" % v)
        lines.insert(1, "Via: SIP/2.0/UDP %s:%d;branch=%s" % (self.address, self.port, via_branch or "z9hG4bK-c%d" % n))
        lines += ["Max-Forwards: 70",
                  "From: <sip:%s@%s>;tag=f%d" % (from_user, domain, n),
                  "To: <%s>%s" % (uri, ";tag=%s" % to_tag if to_tag else ""),
                  "Call-ID: %s" % (callid or "c%d-%d@%s" % (n, os.getpid(), self.address)),
                  "CSeq: %d %s" % (cseq, method),
                  "Contact: <sip:%s@%s:%d>" % (from_user, self.address, self.port)]
        lines += list(headers)
        lines.append("Content-Length: %d" % len(body))
        return "\r\n".join(lines) + "\r\n\r\n" + body

    def send(self, text):
        self.sock.sendto(text.encode() if isinstance(text, str) else text, self.relay)

    def receive(self, timeout=2.0):
        """The next datagram as text, or None when nothing came."""
        self.sock.settimeout(timeout)
        try:
            data, _ = self.sock.recvfrom(65535)
            return data.decode(errors="replace")
        except socket.timeout:
            return None

    def ask(self, text, timeout=2.0):
        self.send(text)
        return self.receive(timeout)


def status_line(answer):
    return answer.split("\r\n", 1)[0] if answer else None


def header(answer, name):
    """The first value of a header (long name, any case), or None."""
    for line in answer.split("\r\n")[1:]:
        if not line:
            break
        key, _, value = line.partition(":")
        if key.strip().lower() == name.lower():
            return value.strip()
    return None
