"""Datagrams reach the daemon's ports and are read, parsed and logged, in both threading modes."""

import time
import unittest

from harness import DaemonTestCase, wait_until

OPTIONS = ("OPTIONS sip:someone@example.com SIP/2.0\r\n"
           "Via: SIP/2.0/UDP {addr}:{port};branch=z9hG4bK-{n}\r\n"
           "Max-Forwards: 70\r\n"
           "From: <sip:probe@example.com>;tag=t{n}\r\n"
           "To: <sip:someone@example.com>\r\n"
           "Call-ID: transport-{n}@{addr}\r\n"
           "CSeq: 1 OPTIONS\r\n"
           "Content-Length: 0\r\n\r\n")


class Reading(DaemonTestCase):
    def check_mode(self, listeners):
        d = self.daemon(config_lines=["log_level = full+error", "num_listeners = %d" % listeners]).start()
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
        self.assertEqual(d.stop(), 0)
        # "full" drops the short form: one line for the OPTIONS, one for the bad datagram, none for keep-alives.
        self.assertEqual(d.log().count("<==C== "), 2, d.log())

    def test_single_thread_mode(self):
        self.check_mode(1)

    def test_multi_thread_mode(self):
        self.check_mode(4)


if __name__ == "__main__":
    unittest.main()
