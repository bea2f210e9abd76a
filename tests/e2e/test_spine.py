"""The daemon's life: start-up, port binding, signals and orderly shutdown, seen from outside."""

import os
import signal
import subprocess
import time
import unittest

from harness import DaemonTestCase, SOURCE_DIR, udp_ports_bound, wait_until


class StartAndStop(DaemonTestCase):
    def test_term_logs_and_exits_zero_within_a_second(self):
        d = self.daemon().start()
        self.assertIn("Build 25.07.10", d.log())
        began = time.monotonic()
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(5.0), 0)
        self.assertLess(time.monotonic() - began, 1.0)
        self.assertIn("!!! Stopped by signal TERM !!!", d.log())

    def test_multi_thread_mode_starts_and_stops_its_threads(self):
        d = self.daemon(config_lines=["num_listeners = 4"]).start()
        self.assertTrue(d.wait_log("Start Key Manager Loop"))
        self.assertTrue(wait_until(lambda: d.log().count("Start Queue processing Loop") == 4))
        self.assertEqual(d.stop(), 0)
        log = d.log()
        self.assertEqual(log.count("Stop Queue processing Loop"), 4, log)
        self.assertIn("Stop Key Manager Loop", log)

    def test_ports_follow_the_second_port(self):
        d = self.daemon(port=5070, second_port=5080).start()
        bound = udp_ports_bound()
        self.assertIn((d.address, 5070), bound)
        self.assertIn((d.address, 5083), bound)  # internal: second + 3
        self.assertIn(("0.0.0.0", 5080), bound)  # alternate: any address

    def test_second_instance_on_same_ports_exits_5(self):
        first = self.daemon().start()
        second = self.daemon(address=first.address, port=first.port, second_port=first.second_port + 100)
        second.log_path = os.path.join(self.workdir, "second.log")
        second.start(wait=False)
        self.assertEqual(second.wait_exit(10.0), 5)
        self.assertIn("Can't open Main port %s:%d" % (first.address, first.port), second.log())
        self.assertIsNone(first.proc.poll(), "the first instance must keep running")

    def test_missing_configuration_file_is_refused(self):
        d = self.daemon(write_config=False)
        d.start(wait=False)
        self.assertNotEqual(d.wait_exit(10.0), 0)


class Signals(DaemonTestCase):
    def test_hup_recreates_a_rotated_log(self):
        d = self.daemon().start()
        rotated = d.log_path + ".1"
        os.rename(d.log_path, rotated)
        d.signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: os.path.exists(d.log_path)), "HUP did not re-open the log file")
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait_exit(5.0), 0)
        self.assertIn("!!! Stopped by signal TERM !!!", d.log())

    def test_unhandled_and_repeated_signals_keep_it_running(self):
        d = self.daemon().start()
        for signo in (signal.SIGCHLD, signal.SIGUSR1, signal.SIGUSR2, signal.SIGCONT, signal.SIGHUP):
            d.signal(signo)
        time.sleep(0.3)
        self.assertIsNone(d.proc.poll())
        self.assertEqual(d.stop(), 0)


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
