"""The server-side road as the SIP server sees it: its keep-alive OPTIONS to the relay, requests for
clients the relay does not know."""

import unittest

from harness import DaemonTestCase, SipClient, header, status_line


class ServerRequests(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.d = self.daemon().start()
        self.server = SipClient(self.udp_socket(), (self.d.address, self.d.second_port + 3))
        self.client = self.udp_socket()
        self.internal = "%s:%d" % (self.d.address, self.d.second_port + 3)

    def test_keep_alive_options_to_the_relay_is_answered_whatever_max_forwards(self):
        for max_forwards in (None, "5", "70"):
            text = self.server.request("OPTIONS", "sip:" + self.internal)
            if max_forwards is None:
                text = text.replace("Max-Forwards: 70\r\n", "")
            else:
                text = text.replace("Max-Forwards: 70", "Max-Forwards: " + max_forwards)
            answer = self.server.ask(text)
            self.assertEqual(status_line(answer), "SIP/2.0 200 OKey", max_forwards)
            self.assertEqual(header(answer, "Server"), "Ostrel/25.07.10")
        self.client.settimeout(0.5)
        self.assertRaises(Exception, self.client.recv, 100)

    def test_request_for_an_unknown_rewritten_contact_is_not_found(self):
        uri = "sip:bob*example.com-%s+5062@%s" % (self.client.getsockname()[0], self.internal)
        answer = self.server.ask(self.server.request("MESSAGE", uri))
        self.assertEqual(status_line(answer), "SIP/2.0 404 Not Found")

    def test_answer_to_a_request_that_came_through_another_proxy_keeps_its_via(self):
        text = self.server.request("OPTIONS", "sip:" + self.internal,
                                   extra_vias=["SIP/2.0/UDP 127.0.0.77:5080;branch=z9hG4bK-up"])
        answer = self.server.ask(text)
        self.assertEqual(status_line(answer), "SIP/2.0 200 OKey")
        self.assertIn("127.0.0.77:5080", answer)


if __name__ == "__main__":
    unittest.main()
