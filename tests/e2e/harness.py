"""Process-level test harness: runs the real ostrel binary on its own loopback address with a generated
configuration, waits until its ports are bound, sends signals, reads its log and always stops it by pid.

Tests run inside a private network namespace (see CMakeLists.txt), so only loopback exists there."""

import itertools
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

OSTREL_BIN = os.environ.get("OSTREL_BIN", "ostrel")
SOURCE_DIR = os.environ.get("OSTREL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
PRIVATE_CONTACT = "sip:alice@192.168.1.20:5062"
DUMP_END = "=" * 72 + "\n\n"
SDP = "v=0\r\no=alice 1 1 IN IP4 {ip}\r\ns=-\r\nc=IN IP4 {ip}\r\nt=0 0\r\nm=audio 40000 RTP/AVP 0 8 101\r\n" \
      "a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n{extra}"
MEDIA_SDP = "v=0\r\no={user} 1 1 IN IP4 {ip}\r\ns=-\r\nc=IN IP4 {ip}\r\nt=0 0\r\nm=audio {port} RTP/AVP 0 101\r\n" \
            "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n{extra}"
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


def read(path):
    """A text file's content, "" when it is not there (yet)."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


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
                 write_config=True, asan_options=""):
        self.workdir = workdir
        self.address = address or next_address()
        self.port = port
        self.second_port = second_port or port + 10
        self.log_path = os.path.join(workdir, "ostrel.log")
        self.cfg_path = os.path.join(workdir, "ostrel.cfg")
        self.asan_prefix = os.path.join(workdir, "asan")
        self.extra_args = list(args)
        self.asan_options = asan_options  # e.g. a smaller quarantine where resident memory is measured
        self.inner_address = self.address  # the server-side face: server_ipaddr when configured
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
        for line in lines:
            key, _, value = line.partition("=")
            if key.strip() == "server_ipaddr":
                self.inner_address = value.strip()
        with open(self.cfg_path, "w") as f:
            f.write("\n".join(self.base_config() + lines) + "\n")

    def command(self):
        return [OSTREL_BIN, "-c", self.cfg_path, "-l", self.log_path, "-i", self.address,
                "-p", str(self.port), "-o", str(self.second_port)] + self.extra_args

    def start(self, wait=True):
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, ["log_path=%s:detect_leaks=1" % self.asan_prefix,
                                                      self.asan_options]))
        self.proc = subprocess.Popen(self.command(), cwd=self.workdir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if wait and not self.wait_bound():
            raise AssertionError("daemon did not bind %s:%d; log:\n%s" % (self.address, self.port, self.log()))
        return self

    def wait_bound(self, timeout=10.0):
        # The banner is written before the ports are bound and the signals registered: wait for the port.
        internal = (self.inner_address, (self.second_port + 3) & 0xFFFF)
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
        return read(self.log_path)

    def wait_log(self, text, timeout=10.0, since=0):
        """Whether text shows in the log (after its first since characters) within timeout."""
        return wait_until(lambda: text in self.log()[since:], timeout)

    def status_dump(self):
        """A fresh status dump (SIGUSR1), from its first banner to its closing line."""
        before = self.log().count(DUMP_END)
        self.signal(signal.SIGUSR1)
        if not wait_until(lambda: self.log().count(DUMP_END) > before):
            raise AssertionError("no status dump:\n" + self.log())
        text = self.log()
        end = text.rindex(DUMP_END) + len(DUMP_END)
        return text[text.rindex("\n" + "=" * 25 + " Active Registrations", 0, end):end]

    def sanitizer_reports(self):
        return [read(os.path.join(self.workdir, n)) for n in os.listdir(self.workdir) if n.startswith("asan.")]


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

    since = 0

    def logs(self):
        """Every daemon's log, to show when an assertion fails."""
        return "\n".join(d.log() for d in self.daemons)

    def log(self):
        """The log of the test's daemon (self.d) since the test began."""
        return self.d.log()[self.since:]

    def wait_log(self, text, timeout=10.0):
        return self.d.wait_log(text, timeout, self.since)

    def got(self, value, what=""):
        """value, which must not be None (a message that came); the logs tell why when it is."""
        self.assertIsNotNone(value, (what + "\n" if what else "") + self.logs())
        return value

    def sipp(self, scenario, **kwargs):
        """A SIPp peer stopped (by pid) when the test ends."""
        peer = Sipp(self.workdir, os.path.join(SCENARIOS, scenario), **kwargs)
        self.addCleanup(peer.stop)
        return peer

    def sipp_pair(self, d, client, server, server_ip=None, server_port=5080, extra=(), client_extra=(),
                  server_extra=()):
        """A SIPp server, then a SIPp phone sending through d to it; both must reach their scenario's end."""
        srv = self.sipp(server, address=server_ip, port=server_port, name="server",
                        extra=list(extra) + list(server_extra)).start()
        cln = self.sipp(client, port=5062, name="client", remote="%s:%d" % (d.address, d.port),
                        extra=list(extra) + ["-key", "server_addr", "%s:%d" % (srv.address, server_port)] +
                        list(client_extra)).start()
        for peer in (cln, srv):
            self.assertEqual(peer.wait(), 0, peer.output + peer.errors() + d.log())
        return cln, srv

    def daemon(self, workdir=None, **kwargs):
        """A daemon of the test, in a folder of its own when it is not the first."""
        if self.daemons and not workdir:
            workdir = os.path.join(self.workdir, "d%d" % len(self.daemons))
        if workdir:
            os.makedirs(workdir, exist_ok=True)
        d = Daemon(workdir or self.workdir, **kwargs)
        self.daemons.append(d)
        return d

    def start_daemon(self, lines=(), **kwargs):
        """A daemon started with these configuration lines; the test's daemon (self.d) from then on."""
        self.d = self.daemon(config_lines=lines, **kwargs).start()
        return self.d

    def udp_socket(self, address=None, port=0, timeout=2.0):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address or next_address(), port))
        s.settimeout(timeout)
        self.addCleanup(s.close)
        return s

    def peer(self, address=None, port=0, relay=None, kind=None):
        """A scripted peer on a socket of its own; relay is where it sends (the daemon's client port)."""
        if relay is None and getattr(self, "d", None):
            relay = (self.d.address, self.d.port)
        return (kind or Peer)(self.udp_socket(address, port), relay)

    def rtp_socket(self, address):
        """An RTP socket on an even port with its RTCP port bound as well."""
        for port in range(30000, 31000, 2):
            pair = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
            try:
                pair[0].bind((address, port))
                pair[1].bind((address, port + 1))
            except OSError:
                for s in pair:
                    s.close()
                continue
            for s in pair:
                s.settimeout(1.0)
                self.addCleanup(s.close)
            return pair[0]
        raise AssertionError("no RTP port free on %s" % address)

    def media_peer(self, address=None, port=0):
        """A peer with an RTP socket of its own (peer.media) on its address."""
        p = self.peer(address, port)
        p.media = self.rtp_socket(p.address)
        return p

    def anchored_call(self, phone, server, callid, sdp_ip=None, sdp_port=None, **invite_args):
        """A call between media peers, answered and acknowledged; returns (INVITE at the server, 200 at the
        phone)."""
        invite = self.start_call(phone, server, callid, body=media_offer(phone, sdp_ip, sdp_port), **invite_args)
        return invite, self.answer_call(phone, server, invite, media_offer(server, user="bob"))

    def start_call(self, phone, server, callid, trying=False, **invite_args):
        """phone's INVITE through the relay; returns it as the server got it."""
        phone.invite("%s:%d" % (server.address, server.port), callid, **invite_args)
        if trying:
            self.assertEqual(status_line(phone.receive()), "SIP/2.0 100 Trying", self.logs())
        invite = server.receive_request("INVITE")
        self.assertIsNotNone(invite, self.logs())
        return invite

    def answer_call(self, phone, server, invite, body=None, ack_branch=None):
        """The server's 200 to invite and the phone's ACK; returns the 200 as the phone got it."""
        server.answer(invite, 200, "OK", body=body or SDP.format(ip=server.address, extra=""))
        ok = phone.receive_status(200)
        self.assertIsNotNone(ok, self.logs())
        phone.send(phone.in_dialog("ACK", "srv1", 1, ack_branch or "z9hG4bK-ack-" + header(phone.invite_text, "Call-ID")))
        self.assertIsNotNone(server.receive_request("ACK"), self.logs())
        return ok

    def hang_up(self, phone, server, branch=None):
        """The phone's BYE in the call it made, answered by the server."""
        phone.send(phone.in_dialog("BYE", "srv1", 2, branch or "z9hG4bK-bye-" + header(phone.invite_text, "Call-ID")))
        bye = server.receive_request("BYE")
        self.assertIsNotNone(bye, self.logs())
        server.answer(bye, 200, "OK")
        self.assertIsNotNone(phone.receive_status(200), self.logs())


class SharedDaemonCase(DaemonTestCase):
    """The tests of a class share one daemon, started once with config() (a class method, so it may name
    cls.server_ip); each test brings peers of its own and reads the log from where it began."""

    @classmethod
    def config(cls):
        return []

    @classmethod
    def setUpClass(cls):
        cls.server_ip = next_address()
        cls.ports = itertools.count(5080)
        cls.shared_dir = tempfile.mkdtemp(prefix="ostrel-e2e-")
        cls.shared = Daemon(cls.shared_dir, config_lines=cls.config()).start()

    @classmethod
    def tearDownClass(cls):
        cls.shared.stop()
        reports = cls.shared.sanitizer_reports()
        if reports:
            raise AssertionError("sanitizer reports from the daemon:\n" + "\n".join(reports))
        shutil.rmtree(cls.shared_dir, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.d = self.shared
        self.since = len(self.d.log())

    def logs(self):
        return self.d.log()

    def server_peer(self, port=None):
        """A scripted server of this test on the class's server address."""
        return self.peer(self.server_ip, port or next(self.ports))


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
        # The call scenarios may stream the ring file: SIPp reads it when it loads the scenario.
        ring = os.path.join(self.workdir, "ringback.ulaw")
        if not os.path.exists(ring):
            os.symlink(os.path.join(SOURCE_DIR, "etc", "ring", "ringback.ulaw"), ring)
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
        return read(os.path.join(self.workdir, self.name + "_messages.log"))

    def errors(self):
        return read(os.path.join(self.workdir, self.name + "_errors.log"))


class Peer:
    """A scripted SIP peer (phone, server, registrar, collector) on one UDP socket: builds requests, keeps
    everything it receives, picks messages by kind and answers whoever sent the last one."""

    _counter = itertools.count(1)

    def __init__(self, sock, relay=None):
        self.sock = sock
        self.relay = relay
        self.address, self.port = sock.getsockname()
        self.last_from = None
        self.seen = []

    def request(self, method, uri, headers=(), body="", to_tag=None, from_user="alice", domain="example.com",
                via_branch=None, extra_vias=(), cseq=1, callid=None, from_tag=None, to=None, contact=None):
        n = next(self._counter)
        lines = ["%s %s SIP/2.0" % (method, uri),
                 "Via: SIP/2.0/UDP %s:%d;branch=%s" % (self.address, self.port, via_branch or "z9hG4bK-c%d" % n)]
        lines += ["Via: %s" % v for v in extra_vias]
        lines += ["Max-Forwards: 70",
                  "From: <sip:%s@%s>;tag=%s" % (from_user, domain, from_tag or "f%d" % n),
                  "To: %s%s" % (to or "<%s>" % uri, ";tag=%s" % to_tag if to_tag else ""),
                  "Call-ID: %s" % (callid or "c%d-%d@%s" % (n, os.getpid(), self.address)),
                  "CSeq: %d %s" % (cseq, method)]
        if contact is not False:
            lines.append("Contact: %s" % (contact or "<sip:%s@%s:%d>" % (from_user, self.address, self.port)))
        lines += list(headers)
        lines.append("Content-Length: %d" % len(body))
        return "\r\n".join(lines) + "\r\n\r\n" + body

    def send(self, text, to=None):
        self.sock.sendto(text.encode() if isinstance(text, str) else text, to or self.relay)

    def reply(self, text):
        self.send(text, self.last_from)

    def receive(self, timeout=2.0):
        """The next datagram as text, or None when nothing came."""
        self.sock.settimeout(timeout)
        try:
            data, self.last_from = self.sock.recvfrom(65535)
        except OSError:
            return None
        text = data.decode(errors="replace")
        self.seen.append(text)
        return text

    def ask(self, text, timeout=2.0):
        self.send(text)
        return self.receive(timeout)

    def receive_where(self, accept, timeout=3.0):
        """The next message accept() takes, skipping others (retransmissions and the like)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.receive(max(0.05, deadline - time.monotonic()))
            if text and accept(text):
                return text
        return None

    def receive_request(self, method, timeout=3.0):
        return self.receive_where(lambda t: t.startswith(method + " "), timeout)

    def receive_status(self, code, timeout=3.0):
        return self.receive_where(lambda t: t.startswith("SIP/2.0 %d " % code), timeout)

    def answer(self, request, code, reason, tag="srv1", extra=(), body="", contact=None):
        """Answers the last sender; a 1xx (other than 100) or 2xx names this peer as Contact unless told."""
        if contact is None and 100 < code < 300:
            contact = "<sip:bob@%s:%d>" % (self.address, self.port)
        self.reply(response(request, code, reason, tag, (["Contact: " + contact] if contact else []) + list(extra),
                            body))

    def grant(self, request, seconds=3600):
        """A registrar's 200: the binding it got, for that long."""
        self.answer(request, 200, "OK", contact="%s;expires=%d" % (header(request, "Contact"), seconds))

    def invite(self, server_addr, callid, cseq=1, extra=(), body=None, branch=None, **kwargs):
        """An INVITE to bob at server_addr, kept for the CANCEL, ACK and BYE that may follow."""
        self.branch = branch or "z9hG4bK-inv-%s-%d" % (callid, cseq)
        self.uri = "sip:bob@" + server_addr
        self.invite_text = self.request("INVITE", self.uri, list(extra) + ["Content-Type: application/sdp"],
                                        body=SDP.format(ip=self.address, extra="") if body is None else body,
                                        via_branch=self.branch, cseq=cseq, callid=callid, **kwargs)
        self.send(self.invite_text)
        return self.invite_text

    def in_dialog(self, method, to_tag, cseq, branch, extra=(), body="", invite=None):
        """A request of the INVITE's transaction or dialog, with the INVITE's From."""
        invite = invite or self.invite_text
        lines = ["%s %s SIP/2.0" % (method, invite.split(" ")[1]),
                 "Via: SIP/2.0/UDP %s:%d;branch=%s" % (self.address, self.port, branch),
                 "Max-Forwards: 70", "From: %s" % header(invite, "From"),
                 "To: %s%s" % (header(invite, "To"), ";tag=" + to_tag if to_tag else ""),
                 "Call-ID: %s" % header(invite, "Call-ID"), "CSeq: %d %s" % (cseq, method),
                 "Contact: <sip:alice@%s:%d>" % (self.address, self.port)] + list(extra)
        if body:
            lines.append("Content-Type: application/sdp")
        lines.append("Content-Length: %d" % len(body))
        return "\r\n".join(lines) + "\r\n\r\n" + body


class Collector(Peer):
    """The events collector: keeps every datagram, finds them by event name."""

    def named(self, name):
        return [e for e in self.seen if e.startswith("Event: %s\n" % name)]

    def wait(self, name, timeout=5.0, count=1):
        deadline = time.monotonic() + timeout
        while len(self.named(name)) < count and time.monotonic() < deadline:
            self.receive(max(0.01, deadline - time.monotonic()))
        found = self.named(name)
        return found[count - 1] if len(found) >= count else None

    def drain(self, timeout=0.5):
        while self.receive(timeout) is not None:
            pass


def call_keys(hangup="client", media="none"):
    """The globals of the SIPp call scenarios: who hangs up, and whether the phone streams its ring file."""
    return ["-set", "hangup", hangup, "-set", "media", media]


def status_line(answer):
    return answer.split("\r\n", 1)[0] if answer else None


def headers(text, name):
    """Every value of a header (long name, any case), in order."""
    out = []
    for line in text.split("\r\n")[1:]:
        if not line:
            break
        key, _, value = line.partition(":")
        if key.strip().lower() == name.lower():
            out.append(value.strip())
    return out


def header(text, name):
    """The first value of a header (long name, any case), or None."""
    found = headers(text, name)
    return found[0] if found else None


def response(request, code, reason, tag="srv1", extra=(), body=""):
    """A response to request: its Vias, its Record-Routes (in a 1xx or 2xx), From, To (tagged unless it is
    already or the answer is a 100), Call-ID and CSeq, then extra."""
    lines = ["SIP/2.0 %d %s" % (code, reason)] + ["Via: %s" % v for v in headers(request, "Via")]
    if 100 < code < 300:
        lines += ["Record-Route: %s" % r for r in headers(request, "Record-Route")]
    to = header(request, "To")
    if tag and code != 100 and ";tag=" not in to:
        to += ";tag=" + tag
    lines += ["From: %s" % header(request, "From"), "To: %s" % to, "Call-ID: %s" % header(request, "Call-ID"),
              "CSeq: %s" % header(request, "CSeq")] + list(extra)
    if body:
        lines.append("Content-Type: application/sdp")
    lines.append("Content-Length: %d" % len(body))
    return "\r\n".join(lines) + "\r\n\r\n" + body


def sdp_of(text):
    """The body of a message as sent, or as SIPp logs it (lines ending in LF)."""
    for blank in ("\r\n\r\n", "\n\n"):
        if text and blank in text:
            return text.split(blank, 1)[1]
    return ""


def media_of(text):
    """(connection address, audio port) of a message's SDP."""
    body = sdp_of(text)
    conn = re.search(r"^c=IN IP4 ([\d.]+)", body, re.M)
    port = re.search(r"^m=audio (\d+) ", body, re.M)
    return (conn.group(1) if conn else None, int(port.group(1)) if port else None)


def media_offer(peer, ip=None, port=None, user="alice"):
    """An SDP offering the peer's RTP socket (or ip and port)."""
    return MEDIA_SDP.format(user=user, ip=ip or peer.address, port=port or peer.media.getsockname()[1], extra="")


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
