"""The daemon's life seen from outside: start-up, port binding, reading, parsing and logging datagrams in
both threading modes, signals and orderly shutdown."""

import os
import signal
import subprocess
import time
import unittest

from harness import DaemonTestCase, SOURCE_DIR, udp_ports_bound, wait_until

OPTIONS = ("OPTIONS sip:someone@example.com SIP/2.0\r\n"
           "Via: SIP/2.0/UDP {addr}:{port};branch=z9hG4bK-{n}\r\n"
           "Max-Forwards: 70\r\n"
           "From: <sip:probe@example.com>;tag=t{n}\r\n"
           "To: <sip:someone@example.com>\r\n"
           "Call-ID: transport-{n}@{addr}\r\n"
           "CSeq: 1 OPTIONS\r\n"
           "Content-Length: 0\r\n\r\n")


class Running(DaemonTestCase):
    def reads_both_ports(self, d):
        """What a phone and a server send is read, parsed and logged; "full" drops the short form."""
        client = self.udp_socket()
        addr, port = client.getsockname()
        client.sendto(OPTIONS.format(addr=addr, port=port, n=1).encode(), (d.address, d.port))
        client.sendto(b"\r\n\r\n", (d.address, d.port))  # keep-alive: ignored
        client.sendto(b"this is not SIP\r\n\r\n", (d.address, d.port))
        self.assertTrue(d.wait_log("<==C== %s:%d\nOPTIONS sip:someone@example.com SIP/2.0" % (addr, port)), d.log())
        self.assertTrue(d.wait_log("<==C== %s:%d\tBAD Parse\nthis is not SIP" % (addr, port)), d.log())
        server = self.udp_socket()
        saddr, sport = server.getsockname()
        server.sendto(OPTIONS.format(addr=saddr, port=sport, n=2).encode(), (d.address, d.second_port + 3))
        self.assertTrue(d.wait_log("<==S== %s:%d\nOPTIONS" % (saddr, sport)), d.log())

    def test_single_thread_mode_binds_reads_and_keeps_its_ports_from_a_second_instance(self):
        d = self.start_daemon(["log_level = full+error", "num_listeners = 1"], port=5070, second_port=5080)
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
        d = self.start_daemon(["log_level = full+error", "num_listeners = 4"])
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
