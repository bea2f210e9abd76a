"""Failover of an HA pair: each relay in a network namespace of its own, joined to the test's by a veth pair
and a bridge. Clients and the server reach the pair at one service address, which the test moves from A to B
once A has stopped, as an operator's failover would. B answers the phone's refresh from the registration A
replicated to it, and the server's request to the phone's rewritten Contact reaches the phone through B.

Private addresses exist only inside the namespaces this test makes (the whole test runs in its own)."""

import os
import subprocess
import unittest

from harness import PRIVATE_CONTACT, Daemon, DaemonTestCase, header, status_line, wait_until

NET = "10.213.0."
SERVICE = NET + "100"
A_IP, B_IP, PHONE_IP, SERVER_IP = NET + "1", NET + "2", NET + "10", NET + "20"


def run(*cmd):
    subprocess.check_call(list(cmd))


def udp_bound_in(pid):
    """(address, port) pairs bound in the network namespace of process pid."""
    bound = set()
    try:
        with open("/proc/%d/net/udp" % pid) as f:
            next(f)
            for line in f:
                hexip, hexport = line.split()[1].split(":")
                ip = ".".join(str(b) for b in bytes.fromhex(hexip)[::-1])
                bound.add((ip, int(hexport, 16)))
    except OSError:
        pass
    return bound


class NamespacedRelay(Daemon):
    """A relay started in a fresh network namespace; it waits for its network before the daemon runs."""

    def __init__(self, workdir, name, **kwargs):
        self.ready_flag = os.path.join(workdir, name + ".net-ready")
        self.name = name
        super().__init__(workdir, **kwargs)

    def command(self):
        wait = 'while [ ! -e "%s" ]; do sleep 0.02; done; exec "$0" "$@"' % self.ready_flag
        return ["unshare", "-n", "sh", "-c", wait] + super().command()

    def start_with_network(self, address, extra_setup=()):
        self.start(wait=False)
        pid = self.proc.pid
        # unshare enters the new namespace before exec: wait until this pid no longer shares ours.
        own = os.readlink("/proc/self/ns/net")
        assert wait_until(lambda: os.readlink("/proc/%d/ns/net" % pid) != own, 5)
        outer, inner = "v%s-br" % self.name, "v%s" % self.name
        run("ip", "link", "add", outer, "type", "veth", "peer", "name", inner)
        run("ip", "link", "set", outer, "master", "br0", "up")
        run("ip", "link", "set", inner, "netns", str(pid))
        inside = ["nsenter", "-t", str(pid), "-n"]
        run(*inside, "ip", "link", "set", "lo", "up")
        run(*inside, "ip", "addr", "add", address + "/24", "dev", inner)
        run(*inside, "ip", "link", "set", inner, "up")
        for cmd in extra_setup:
            run(*inside, *cmd)
        open(self.ready_flag, "w").close()
        internal = (SERVICE, (self.second_port + 3) & 0xFFFF)
        if not wait_until(lambda: internal in udp_bound_in(pid), 10):
            raise AssertionError("relay %s did not bind; log:\n%s" % (self.name, self.log()))
        return self

    def inside(self, *cmd):
        run("nsenter", "-t", str(self.proc.pid), "-n", *cmd)


class Failover(DaemonTestCase):
    def setUp(self):
        super().setUp()
        run("ip", "link", "add", "br0", "type", "bridge")
        run("ip", "link", "set", "br0", "up")
        run("ip", "addr", "add", PHONE_IP + "/24", "dev", "br0")
        run("ip", "addr", "add", SERVER_IP + "/24", "dev", "br0")

    def relay(self, name, own_ip, peer_ip):
        workdir = os.path.join(self.workdir, name)
        os.makedirs(workdir)
        # The server is listed: the survivor has never sent it anything, yet must take its requests.
        lines = ["ha_peer = %s" % peer_ip, "register_timeout = 45", "log_level = debug+short+reg_regul+reg_cache",
                 "server = * 0 %s:5080" % SERVER_IP]
        d = NamespacedRelay(workdir, name, address=SERVICE, config_lines=lines)
        self.daemons.append(d)
        return d

    def register(self, phone, cseq):
        return phone.request("REGISTER", "sip:%s:5080" % SERVER_IP, ["Expires: 3600"], callid="fo-reg-1",
                             domain=SERVER_IP, cseq=cseq, contact="<%s>" % PRIVATE_CONTACT,
                             to="<sip:alice@%s>" % SERVER_IP)

    def test_refresh_and_server_request_served_by_the_survivor(self):
        b = self.relay("b", B_IP, A_IP)
        b.start_with_network(B_IP, [("sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_nonlocal_bind")])
        a = self.relay("a", A_IP, B_IP)
        # The service address after A's own, so that records to B leave from A's address.
        a.start_with_network(A_IP, [("ip", "addr", "add", SERVICE + "/24", "dev", "va")])

        server = self.peer(SERVER_IP, 5080)
        phone = self.peer(PHONE_IP, 5062, relay=(SERVICE, 5060))
        phone.send(self.register(phone, 1))
        relayed = self.got(server.receive())
        server.grant(relayed)
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK", a.log())
        contact = header(relayed, "Contact").strip("<>")
        self.assertTrue(wait_until(lambda: contact in b.status_dump(), 5), b.log())

        # A fails; the service address moves to B. A's namespace is torn down in the background: its link goes
        # first, so nothing answers for the service address from there.
        a.stop()
        subprocess.call(["ip", "link", "del", "va-br"], stderr=subprocess.DEVNULL)
        gone = lambda: subprocess.call(["ip", "link", "show", "va-br"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL) != 0
        self.assertTrue(wait_until(gone, 5))
        b.inside("ip", "addr", "add", SERVICE + "/24", "dev", "vb")
        run("ip", "neigh", "flush", "dev", "br0")

        phone.send(self.register(phone, 2))
        answer = phone.receive()
        self.assertEqual(status_line(answer), "SIP/2.0 200 OK", b.log())
        self.assertIsNone(server.receive(0.5), "the refresh was answered from B's replicated cache")
        self.assertIn("Don't bother Server", b.log())

        server.send(server.request("OPTIONS", contact, from_user="server", domain=SERVER_IP, contact=False),
                    (SERVICE, 5073))
        got = self.got(phone.receive())
        self.assertEqual(got.split("\r\n")[0], "OPTIONS %s SIP/2.0" % PRIVATE_CONTACT)


if __name__ == "__main__":
    unittest.main()
