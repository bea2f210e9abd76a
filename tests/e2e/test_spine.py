"""The daemon's life seen from outside: start-up, port binding, reading, parsing and logging datagrams in
both threading modes, signals and orderly shutdown."""

import os
import signal
import socket
import subprocess
import time
import unittest

from harness import OSTREL_BIN, SOURCE_DIR, DaemonTestCase, next_address, udp_ports_bound, wait_until

OPTIONS = ("OPTIONS sip:someone@example.com SIP/2.0\r\n"
           "Via: SIP/2.0/UDP {addr}:{port};branch=z9hG4bK-{n}\r\n"
           "Max-Forwards: 70\r\n"
           "From: <sip:probe@example.com>;tag=t{n}\r\n"
           "To: <sip:someone@example.com>\r\n"
           "Call-ID: transport-{n}@{addr}\r\n"
           "CSeq: 1 OPTIONS\r\n"
           "Content-Length: 0\r\n\r\n")


class Running(DaemonTestCase):
    def start_reading(self, lines, **kwargs):
        """A daemon whose internal port takes requests from self.server_ip, a trusted address."""
        self.server_ip = next_address()
        return self.start_daemon(lines + ["trusted = %s" % self.server_ip], **kwargs)

    def reads_both_ports(self, d):
        """What a phone and a server send is read, parsed and logged; "full" drops the short form."""
        client = self.udp_socket()
        addr, port = client.getsockname()
        client.sendto(OPTIONS.format(addr=addr, port=port, n=1).encode(), (d.address, d.port))
        client.sendto(b"\r\n\r\n", (d.address, d.port))  # keep-alive: ignored
        client.sendto(b"this is not SIP\r\n\r\n", (d.address, d.port))
        self.assertTrue(d.wait_log("<==C== %s:%d\nOPTIONS sip:someone@example.com SIP/2.0" % (addr, port)), d.log())
        self.assertTrue(d.wait_log("<==C== %s:%d\tBAD Parse\nthis is not SIP" % (addr, port)), d.log())
        server = self.udp_socket(self.server_ip)
        saddr, sport = server.getsockname()
        server.sendto(OPTIONS.format(addr=saddr, port=sport, n=2).encode(), (d.address, d.second_port + 3))
        self.assertTrue(d.wait_log("<==S== %s:%d\nOPTIONS" % (saddr, sport)), d.log())

    def test_single_thread_mode_binds_reads_and_keeps_its_ports_from_a_second_instance(self):
        d = self.start_reading(["log_level = full+error", "num_listeners = 1"], port=5070, second_port=5080)
        bound = udp_ports_bound()
        self.assertIn((d.address, 5070), bound)
        self.assertIn((d.address, 5083), bound)  # internal: second + 3
        self.assertIn(("0.0.0.0", 5080), bound)  # alternate: any address
        second = self.daemon(address=d.address, port=d.port, second_port=d.second_port + 100)
        second.start(wait=False)
        self.assertEqual(second.wait_exit(10.0), 5)
        self.assertIn("Can't open Main port %s:%d" % (d.address, d.port), second.log())
        self.assertIsNone(d.proc.poll(), "the first instance must keep running")
        self.reads_both_ports(d)
        self.assertEqual(d.stop(), 0)
        # One line for the OPTIONS, one for the bad datagram, none for keep-alives.
        self.assertEqual(d.log().count("<==C== "), 2, d.log())

    def test_multi_thread_mode_reads_and_starts_and_stops_its_threads(self):
        d = self.start_reading(["log_level = full+error", "num_listeners = 4"])
        self.assertTrue(d.wait_log("Start Key Manager Loop"))
        self.assertTrue(wait_until(lambda: d.log().count("Start Queue processing Loop") == 4))
        # Its readers share the ports among sockets of its own; another daemon still cannot join them.
        second = self.daemon(address=d.address, port=d.port, second_port=d.second_port + 100,
                             config_lines=["num_listeners = 4"])
        second.start(wait=False)
        self.assertEqual(second.wait_exit(10.0), 5)
        self.assertIn("Can't open Main port %s:%d" % (d.address, d.port), second.log())
        self.reads_both_ports(d)
        self.assertEqual(d.stop(), 0)
        log = d.log()
        self.assertEqual(log.count("<==C== "), 2, log)
        self.assertEqual(log.count("Stop Queue processing Loop"), 4, log)
        self.assertIn("Stop Key Manager Loop", log)

    def test_signals_hup_recreates_a_rotated_log_others_keep_it_running_term_stops_it_within_a_second(self):
        d = self.start_daemon()
        self.assertIn("Build 25.07.10", d.log())
        os.rename(d.log_path, d.log_path + ".1")
        for signo in (signal.SIGCHLD, signal.SIGUSR1, signal.SIGUSR2, signal.SIGCONT, signal.SIGHUP):
            d.signal(signo)
        self.assertTrue(wait_until(lambda: os.path.exists(d.log_path)), "HUP did not re-open the log file")
        time.sleep(0.3)
        self.assertIsNone(d.proc.poll())
        began = time.monotonic()
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(5.0), 0)
        self.assertLess(time.monotonic() - began, 1.0)
        self.assertIn("!!! Stopped by signal TERM !!!", d.log())

    def test_missing_configuration_file_is_refused(self):
        d = self.daemon(write_config=False)
        d.start(wait=False)
        self.assertNotEqual(d.wait_exit(10.0), 0)


class ConfigurationCheck(DaemonTestCase):
    """-t reads the file as start-up would and binds nothing: every faulty line is named, the status says it."""

    def check(self, *args):
        run = subprocess.run([OSTREL_BIN, "-t"] + list(args), cwd=SOURCE_DIR, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=30)
        return run.returncode, run.stderr + run.stdout

    def test_the_bundled_file_is_clean_and_a_broken_one_is_refused_with_every_faulty_line(self):
        before = udp_ports_bound()
        status, out = self.check("-c", "etc/ostrel.cfg")
        self.assertEqual((status, out.splitlines()[-1]), (0, "Config file etc/ostrel.cfg: OK"), out)
        broken = os.path.join(self.workdir, "broken.cfg")
        with open(broken, "w") as f:
            f.write("# a comment\nport = 5060\nthis line has no equals sign\nrange = abc\nfrobnicate = 1\n"
                    "ring_ulaw = /nonexistent.ulaw\n")
        status, out = self.check("-c", broken, "-i", "127.0.0.1")
        self.assertEqual(status, 9, out)
        for line in (3, 4):
            self.assertIn("Config file %s. Error in line %d:" % (broken, line), out)
        self.assertIn("Unknown parameter in line 5:", out)
        self.assertIn("Can't open ring file /nonexistent.ulaw", out)
        self.assertIn("Config file %s: has errors" % broken, out)
        status, out = self.check("-c", os.path.join(self.workdir, "missing.cfg"))
        self.assertEqual(status, 9, out)
        self.assertEqual(udp_ports_bound(), before, "a check binds nothing")


class ServiceNotifications(DaemonTestCase):
    """Under systemd (Type=notify) the daemon says when it is ready, re-reading, alive and stopping."""

    def notifications(self, sock, timeout=5.0):
        sock.settimeout(timeout)
        try:
            return sock.recv(4096).decode()
        except OSError:
            return None

    def test_ready_reload_taken_or_kept_watchdog_and_stopping_reach_the_supervisor(self):
        path = os.path.join(self.workdir, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(path)
        self.addCleanup(sock.close)
        for key, value in (("NOTIFY_SOCKET", path), ("WATCHDOG_USEC", "400000")):
            os.environ[key] = value
            self.addCleanup(os.environ.pop, key)
        d = self.start_daemon()
        self.assertEqual(self.notifications(sock), "READY=1\nSTATUS=Relaying")
        watchdog = [self.notifications(sock) for _ in range(3)]
        self.assertEqual(watchdog, ["WATCHDOG=1"] * 3, "the reactor says it is alive every 200 ms")

        def reload():
            d.signal(signal.SIGHUP)
            seen = [self.notifications(sock) for _ in range(4)]
            seen = [n for n in seen if n != "WATCHDOG=1"]
            self.assertTrue(seen and seen[0].startswith("RELOADING=1"), seen)
            return seen[1]

        os.utime(d.cfg_path, (time.time() + 5, time.time() + 5))
        self.assertIn("configuration re-read and taken", reload())
        with open(d.cfg_path, "a") as f:
            f.write("no equals sign here\n")
        os.utime(d.cfg_path, (time.time() + 10, time.time() + 10))
        self.assertIn("the one in force is kept", reload())
        self.assertEqual(d.stop(), 0)
        left = []
        while (n := self.notifications(sock, 0.5)) is not None:
            left.append(n)
        self.assertIn("STOPPING=1\nSTATUS=Stopping", left)


class RunCommand(DaemonTestCase):
    """The README's run command on the bundled configuration: starts, binds, stops on TERM with status 0."""

    def test_run_script_starts_on_bundled_configuration(self):
        build_dir = os.environ.get("OSTREL_BUILD_DIR")
        env = dict(os.environ, OSTREL_BUILD_DIR=build_dir)
        log = os.path.join(SOURCE_DIR, "ostrel.log")
        proc = subprocess.Popen(["bash", "scripts/run.sh"], cwd=SOURCE_DIR, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            self.assertTrue(wait_until(lambda: ("127.0.0.1", 5064) in udp_ports_bound(), 120.0),
                            "the bundled configuration did not bind its ports")
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(10), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
            if os.path.exists(log):
                os.remove(log)


if __name__ == "__main__":
    unittest.main()
