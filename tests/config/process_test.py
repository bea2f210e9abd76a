"""Process tests of the configuration: start-up exit statuses and messages and the shipped sample, run
through the daemon itself; re-reads on SIGHUP and on the periodic timer, run through config_probe (the
daemon's configuration steps alone, which logs the settings in force on USR1). Every process is stopped by
its pid; the test runs in a private network namespace."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

PROBE = os.environ["OSTREL_CONFIG_PROBE"]
DAEMON = os.environ["OSTREL_BIN"]
SOURCE_DIR = os.environ["OSTREL_SOURCE_DIR"]
RING_LINES = [
    "ring_ulaw = %s/etc/ring/ringback.ulaw" % SOURCE_DIR,
    "ring_gsm = %s/etc/ring/ringback.gsm" % SOURCE_DIR,
    "ring_g729 = %s/etc/ring/ringback.g729" % SOURCE_DIR,
]


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class ProbeCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrel-cfg-proc-")
        self.cfg = os.path.join(self.dir, "ostrel.cfg")
        self.log_path = os.path.join(self.dir, "ostrel.log")
        self.mtime = 1700000000
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def write_config(self, lines):
        with open(self.cfg, "w") as f:
            f.write("\n".join(lines) + "\n")
        # A time of its own for every version, so a rewrite within one clock tick is still a change.
        self.mtime += 1
        os.utime(self.cfg, (self.mtime, self.mtime))

    program = PROBE

    def start(self, args, cwd=None, env_extra=None):
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = "log_path=%s/asan:detect_leaks=1" % self.dir
        env.update(env_extra or {})
        p = subprocess.Popen([self.program] + args, cwd=cwd or self.dir, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        return p

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def dump(self, p):
        """The settings in force, as the probe logs them on USR1."""
        before = self.log().count("probe: port=")
        p.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: self.log().count("probe: port=") > before), self.log())
        return self.log().split("probe: port=")[-1].split("\n")[0]

    def stop(self, p):
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(10), 0)
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("asan.")], [])


def udp_bound(address, port):
    needle = ":%04X" % port
    with open("/proc/net/udp") as f:
        return any(line.split()[1].endswith(needle) for line in list(f)[1:])


class StartUp(ProbeCase):
    program = DAEMON

    def test_configuration_errors_stop_start_up_with_their_status_and_line(self):
        # configuration lines, exit status, what the log says
        cases = [
            (["ipaddr = 127.0.0.1", "port = 5070", "range = 1000 2000"] + RING_LINES, 9,
             ["Wrong range of Ports\n", "Config file {cfg}. Error in line 3:\n\trange = 1000 2000\n"]),
            (["ipaddr = 127.0.0.1", "Port = 5070"] + RING_LINES, 9,
             ["Config file {cfg}. Unknown parameter in line 2:\n\tPort = 5070\n"]),
            (["ipaddr = 127.0.0.1"] + RING_LINES[:2], 8, ["Missing config 'ring_g729'\n"]),
            (["ipaddr = localhost"] + RING_LINES, 5, ["Incorrect IP Address\n"]),
        ]
        for lines, status, texts in cases:
            with self.subTest(lines=lines):
                if os.path.exists(self.log_path):
                    os.remove(self.log_path)
                self.write_config(lines)
                self.assertEqual(self.start(["-c", self.cfg, "-l", self.log_path]).wait(10), status)
                for text in texts:
                    self.assertIn(text.format(cfg=self.cfg), self.log())

    def test_usage_exits_1(self):
        p = subprocess.run([DAEMON, "-z"], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
        self.assertEqual(p.returncode, 1)
        self.assertIn("Usage:\n\t%s [options]\n\nOptions:\n\t-c config_file\n" % DAEMON, p.stderr)

    def test_shipped_sample_starts_cleanly(self):
        p = self.start(["-c", "etc/ostrel.cfg", "-l", self.log_path], cwd=SOURCE_DIR)
        self.assertTrue(wait_until(lambda: udp_bound("127.0.0.1", 5064) or p.poll() is not None), self.log())
        self.assertIsNone(p.poll(), self.log())
        self.assertTrue(udp_bound("127.0.0.1", 5060))
        log = self.log()
        self.assertNotIn("Error in line", log)
        self.assertNotIn("Unknown parameter", log)
        self.assertIn("Build 25.07.10\n", log)
        self.stop(p)


class Reread(ProbeCase):
    BASE = ["ipaddr = 127.0.0.1", "port = 5070"] + RING_LINES

    def start_probe(self, lines, env_extra=None):
        self.write_config(self.BASE + lines)
        p = self.start(["-c", self.cfg, "-l", self.log_path], env_extra=env_extra)
        self.assertTrue(wait_until(lambda: "probe: ready" in self.log() or p.poll() is not None), self.log())
        self.assertIsNone(p.poll(), self.log())
        return p

    def hup_and_wait(self, p):
        before = self.log().count("Rereading config file ...")
        p.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: self.log().count("Rereading config file ...") > before), self.log())

    def test_hup_picks_up_the_changed_file_and_a_broken_one_keeps_the_policy_in_force(self):
        p = self.start_probe(["domain = a.example", "quiet_mode = no"])
        self.assertIn("quiet=0", self.dump(p))
        self.write_config(["ipaddr = 127.0.0.1", "port = 5080"] + RING_LINES +
                          ["domain = b.example full", "quiet_mode = yes", "idle_timeout = 60"])
        self.hup_and_wait(p)
        state = self.dump(p)
        self.assertIn("quiet=1", state)
        self.assertIn("idle=60000", state)
        self.assertIn("domains=[b.example/full ]", state)
        self.assertIn("5070", state, "a port change waits for a restart")
        self.assertNotIn("Error in line", self.log())

        self.write_config(self.BASE + ["domain = corp.example fulll", "quiet_mode = no"])
        self.hup_and_wait(p)
        self.assertTrue(wait_until(lambda: "the configuration in force is kept" in self.log()), self.log())
        self.assertIn("Error in line %d:\n\tdomain = corp.example fulll\n" % (len(self.BASE) + 1), self.log())
        state = self.dump(p)
        self.assertIn("domains=[b.example/full ]", state)
        self.assertIn("quiet=1", state)
        # Fixed, the file is taken on the next HUP.
        self.write_config(self.BASE + ["domain = corp.example full", "quiet_mode = no"])
        self.hup_and_wait(p)
        self.assertIn("domains=[corp.example/full ]", self.dump(p))
        self.stop(p)

    def test_timer_rereads_after_housekeeping(self):
        p = self.start_probe(["quiet_mode = no"], env_extra={"OSTREL_PROBE_IDLE_MS": "200"})
        self.write_config(self.BASE + ["quiet_mode = yes"])
        self.assertTrue(wait_until(lambda: "Rereading config file ..." in self.log()), self.log())
        log = self.log()
        self.assertLess(log.index("probe: housekeeping"), log.index("Rereading config file ..."))
        self.assertIn("quiet=1", self.dump(p))
        self.stop(p)


if __name__ == "__main__":
    unittest.main()
