"""The metrics endpoint as a monitoring system sees it: the Prometheus text of a relay that took registrations,
anchored calls with media and a flood agrees with what was done, parses with the Prometheus client's own
parser and names only documented families; hostile clients of the port (one that sends nothing, a 1 MB
request line, hundreds of connections) neither stop another client's scrape nor slow the SIP answers."""

import os
import re
import signal
import socket
import subprocess
import threading
import time
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from harness import (OSTREL_BIN, SOURCE_DIR, DaemonTestCase, next_address, receive_all, rtp, status_line,
                     wait_until)

METRICS_PORT = 9464
REGISTRATIONS = 3
CALLS = 2
PACKETS = 25  # per call and direction


def scrape(address, source=None, timeout=3.0):
    """The families of one GET /metrics, by name (the parser names counters without their _total)."""
    conn = socket.create_connection((address, METRICS_PORT), timeout, (source, 0) if source else None)
    try:
        conn.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
    finally:
        conn.close()
    head, _, body = data.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 "), head
    assert b"Content-Type: text/plain; version=0.0.4" in head, head
    text = body.decode()
    return text, {f.name: f for f in text_string_to_metric_families(text)}


def value(families, name, **labels):
    """The sample name (with its suffix) whose labels include labels."""
    family = families[re.sub(r"_(total|bucket|sum|count)$", "", name)]
    found = [s.value for s in family.samples if s.name == name and all(s.labels.get(k) == v for k, v in labels.items())]
    assert len(found) == 1, (name, labels, family.samples)
    return found[0]


class Metrics(DaemonTestCase):
    def start(self, extra=()):
        address = next_address()
        self.server_ip = next_address()
        self.lines = ["metrics = %s:%d" % (address, METRICS_PORT), "range = 40000 40100",
                      "domain = %s smtr" % self.server_ip] + list(extra)
        self.start_daemon(self.lines, address=address, args=["-f"])
        self.server = self.media_peer(self.server_ip, 5080)
        # The listener starts just after the SIP ports are bound.
        self.assertTrue(self.d.wait_log("Metrics on http://%s:%d/metrics" % (address, METRICS_PORT)), self.d.log())

    def register(self, user):
        phone = self.peer()
        phone.send(phone.request("REGISTER", "sip:%s:5080" % self.server_ip, ["Expires: 3600"], from_user=user,
                                 domain=self.server_ip, to="<sip:%s@%s>" % (user, self.server_ip),
                                 contact="<sip:%s@192.168.1.20:5062>" % user))
        self.server.grant(self.got(self.server.receive_request("REGISTER")))
        self.got(phone.receive_status(200))

    def test_scrape_agrees_with_registrations_calls_media_and_a_flood(self):
        self.start(["dos_level = local", "dos_max_mps = 20 60"])
        for i in range(REGISTRATIONS):
            self.register("user%d" % i)

        phones = []
        for i in range(CALLS):
            phone = self.media_peer()
            invite, ok = self.anchored_call(phone, self.server, "metrics-%d" % i)
            to_relay = (self.d.address, int(re.search(r"m=audio (\d+)", ok).group(1)))
            for seq in range(PACKETS):
                phone.media.sendto(rtp(seq), to_relay)
            self.assertEqual(len(receive_all(self.server.media)), PACKETS, self.d.log())
            phones.append(phone)

        flooder_ip = next_address()
        flooder = self.peer(flooder_ip)
        for _ in range(40):
            flooder.send(flooder.request("OPTIONS", "sip:%s:%d" % (self.d.address, self.d.port)))
        self.assertTrue(self.d.wait_log("Set Block for %s" % flooder_ip), self.d.log())

        text, during = scrape(self.d.address)
        self.assertEqual(value(during, "ostrel_registrations"), REGISTRATIONS)
        self.assertEqual(value(during, "ostrel_dialogs", kind="call"), CALLS)
        self.assertEqual(value(during, "ostrel_calls_active"), CALLS)
        self.assertEqual(value(during, "ostrel_calls_anchored"), CALLS)
        self.assertEqual(value(during, "ostrel_calls_answered_total"), CALLS)
        self.assertEqual(value(during, "ostrel_media_port_pairs_open", side="client"), CALLS)
        self.assertEqual(value(during, "ostrel_media_port_pairs_open", side="server"), CALLS)
        self.assertEqual(value(during, "ostrel_media_port_pairs_free", side="client"), 50 - CALLS)
        self.assertEqual(value(during, "ostrel_media_packets_total", **{"from": "client"}), CALLS * PACKETS)
        self.assertEqual(value(during, "ostrel_media_bytes_total", **{"from": "client"}), CALLS * PACKETS * 172)
        self.assertEqual(value(during, "ostrel_sip_requests_received_total", method="REGISTER"), REGISTRATIONS)
        self.assertEqual(value(during, "ostrel_sip_requests_received_total", method="INVITE"), CALLS)
        self.assertEqual(value(during, "ostrel_dos_sources_blocked"), 1)
        self.assertEqual(value(during, "ostrel_dos_blocks_total"), 1)
        self.assertEqual(value(during, "ostrel_ha_role", role="alone"), 1)
        received = value(during, "ostrel_sip_datagrams_received_total", port="external")
        self.assertGreaterEqual(received, REGISTRATIONS + 2 * CALLS + 20, "at least what passed the flood limit")

        for phone in phones:
            self.hang_up(phone, self.server)
        # The call's end is counted by the worker that relays the BYE's answer: it may trail the phone's 200.
        after = {}

        def ended():
            after.update(scrape(self.d.address)[1])
            return value(after, "ostrel_media_jitter_seconds_count", **{"from": "client"}) == CALLS
        self.assertTrue(wait_until(ended, 3), self.d.log())
        self.assertEqual(value(after, "ostrel_calls_active"), 0)
        self.assertEqual(value(after, "ostrel_calls_started_total"), CALLS)
        self.assertEqual(value(after, "ostrel_calls_completed_total"), CALLS)
        self.assertEqual(value(after, "ostrel_calls_failed_total", cause="rejected"), 0)
        self.assertEqual(value(after, "ostrel_media_port_pairs_open", side="client"), 0)
        self.assertEqual(value(after, "ostrel_sip_requests_received_total", method="BYE"), CALLS)
        self.assertEqual(value(after, "ostrel_sip_responses_received_total", **{"class": "2xx"}),
                         REGISTRATIONS + 2 * CALLS, "the registrar's and the server's 200s")
        # Each ended call's jitter is observed once, from each side; nothing was lost.
        self.assertEqual(value(after, "ostrel_media_jitter_seconds_bucket", le="+Inf", **{"from": "server"}), CALLS)
        self.assertEqual(value(after, "ostrel_media_packets_lost_total", **{"from": "client"}), 0)
        self.assertGreater(value(after, "process_start_time_seconds"), time.time() - 600)
        self.assertEqual([s.labels for s in after["ostrel_build_info"].samples], [{"version": self.version()}])

        # Every family is well formed, counted in base units and documented for the operator.
        with open(os.path.join(SOURCE_DIR, "docs", "metrics.md")) as f:
            documented = f.read()
        for name, family in after.items():
            self.assertTrue(name.startswith("ostrel_") or name.startswith("process_"), name)
            self.assertTrue(family.documentation, name)
            self.assertIn(family.type, ("counter", "gauge", "histogram"), name)
            self.assertIn("`%s%s`" % (name, "_total" if family.type == "counter" else ""), documented, name)
        for line in text.splitlines():
            if line.startswith("# TYPE ") and line.endswith(" counter"):
                self.assertTrue(line.split()[2].endswith("_total"), line)

    def version(self):
        with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
            return re.search(r"project\(ostrel VERSION (\S+)", f.read()).group(1)

    def test_hostile_clients_stop_neither_scraping_nor_sip(self):
        self.start()
        address = self.d.address
        for path, method in [("/", "GET"), ("/metrics/x", "GET"), ("/metrics", "POST"), ("/metrics", "DELETE")]:
            with self.subTest(path=path, method=method):
                request = urllib.request.Request("http://%s:%d%s" % (address, METRICS_PORT, path), method=method,
                                                 data=b"x" if method == "POST" else None)
                with self.assertRaises(urllib.error.HTTPError) as caught:
                    urllib.request.urlopen(request, timeout=3)
                self.assertEqual(caught.exception.code, 404)

        hostile = []
        self.addCleanup(lambda: [s.close() for s in hostile])
        silent = socket.create_connection((address, METRICS_PORT), 3)
        hostile.append(silent)
        # 200 connections at once from four addresses: the per-address bound turns most away at once.
        for source in [next_address() for _ in range(4)]:
            for _ in range(50):
                s = socket.socket()
                s.setblocking(False)
                s.bind((source, 0))
                s.connect_ex((address, METRICS_PORT))
                hostile.append(s)

        huge = socket.create_connection((address, METRICS_PORT), 5)
        hostile.append(huge)
        answer = []

        def send_huge():
            try:
                huge.sendall(b"GET /" + b"a" * (1 << 20) + b" HTTP/1.1\r\nHost: x\r\n\r\n")
            except OSError:
                pass  # the listener closed the connection before reading it all
            try:
                answer.append(huge.recv(200))
            except OSError as e:
                answer.append(e)

        sender = threading.Thread(target=send_huge)
        sender.start()

        phone = self.peer()
        uri = "sip:%s:%d" % (self.d.address, self.d.port)
        for _ in range(5):
            started = time.monotonic()
            text, families = scrape(address, source=next_address())
            self.assertIn("ostrel_calls_active", families)
            self.assertLess(time.monotonic() - started, 1.0, "a scrape beside the hostile clients")
            started = time.monotonic()
            self.assertEqual(status_line(phone.ask(phone.request("OPTIONS", uri))), "SIP/2.0 200 OK")
            self.assertLess(time.monotonic() - started, 0.5, "an OPTIONS beside the hostile clients")
        sender.join(10)
        self.assertFalse(sender.is_alive(), "the huge request line is refused, not read forever")
        self.assertTrue(answer and (isinstance(answer[0], OSError) or answer[0] == b"" or
                                    re.match(rb"HTTP/1.1 (400|413|414|431) ", answer[0])), answer)
        # The silent client is dropped after the listener's time-out.
        silent.settimeout(10)
        started = time.monotonic()
        try:
            self.assertEqual(silent.recv(100), b"")
        except ConnectionResetError:
            pass
        self.assertLess(time.monotonic() - started, 8)
        self.assertIsNone(self.d.proc.poll(), "the daemon still runs")

    def test_keyword_is_checked_and_applies_at_start_only(self):
        for wrong in ["localhost:9464", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:x"]:
            with self.subTest(wrong=wrong):
                cfg = os.path.join(self.workdir, "wrong.cfg")
                with open(cfg, "w") as f:
                    f.write("metrics = %s\n" % wrong)
                run = subprocess.run([OSTREL_BIN, "-t", "-c", cfg, "-i", "127.0.0.1"], cwd=SOURCE_DIR,
                                     stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
                self.assertEqual(run.returncode, 9, run.stderr)
                self.assertIn("Incorrect metrics address %s: address:port expected" % wrong, run.stderr)

        self.start()
        moved = "%s:%d" % (self.d.address, METRICS_PORT + 1)
        self.d.write_config(self.lines[1:] + ["metrics = " + moved])
        self.d.signal(signal.SIGHUP)
        self.assertTrue(self.d.wait_log("Warning: metrics changed to %s: it takes effect at the next start" % moved))
        self.d.write_config(self.lines + ["frobnicate = 1"])
        self.d.signal(signal.SIGHUP)
        self.assertTrue(self.d.wait_log("the configuration in force is kept"))
        _, families = scrape(self.d.address)
        self.assertEqual(value(families, "ostrel_config_rereads_total", result="taken"), 1)
        self.assertEqual(value(families, "ostrel_config_rereads_total", result="refused"), 1)


if __name__ == "__main__":
    unittest.main()
