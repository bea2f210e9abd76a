"""Plain dialogs relayed end to end: a SIPp phone and a SIPp server on either side of the daemon, in both
threading modes, each asserting on what reaches it."""

import os
import unittest

from harness import DaemonTestCase, SipClient, header, next_address, status_line

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")


class RelayedMessage(DaemonTestCase):
    def run_message(self, listeners):
        d = self.daemon(config_lines=["num_listeners = %d" % listeners]).start()
        server_ip, client_ip = next_address(), next_address()
        internal = "%s:%d" % (d.address, d.second_port + 3)
        server = self.sipp(os.path.join(SCENARIOS, "uas_message.xml"), address=server_ip, port=5080,
                           name="server").start()
        client = self.sipp(os.path.join(SCENARIOS, "uac_message.xml"), address=client_ip, port=5062, name="client",
                           remote="%s:%d" % (d.address, d.port),
                           extra=["-key", "server_addr", "%s:5080" % server_ip]).start()
        self.assertEqual(client.wait(), 0, client.output + client.errors() + d.log())
        self.assertEqual(server.wait(), 0, server.output + server.errors())
        seen = server.messages()
        self.assertEqual(seen.count("MESSAGE sip:bob@"), 1, "one transaction reaches the server")
        vias = [l for l in seen.split("\n") if l.startswith("Via:")]
        self.assertRegex(vias[0], r"^Via: SIP/2.0/UDP %s;branch=z9hG4bK-ostrel-\d+-7\.0\s*$" % internal)
        self.assertRegex(vias[1], r"^Via: SIP/2.0/UDP %s:5062;branch=" % client_ip)
        self.assertRegex(seen, r"Contact: <sip:alice\*example.com-%s\+5062@%s>" % (client_ip, internal))
        answer = client.messages().split("SIP/2.0 200 OK")[-1]
        self.assertNotIn("ostrel", answer.split("\n\n")[0], "the relay's Via is removed from the answer")

    def test_single_thread_mode(self):
        self.run_message(1)

    def test_multi_thread_mode(self):
        self.run_message(4)


class Loops(DaemonTestCase):
    def test_request_carrying_the_dialogs_own_branch_is_a_loop(self):
        d = self.daemon().start()
        server = self.udp_socket(next_address(), 5080)
        phone = SipClient(self.udp_socket(), (d.address, d.port))
        server_addr = "%s:5080" % server.getsockname()[0]
        invite = phone.request("SUBSCRIBE", "sip:bob@" + server_addr, ["Event: presence", "Expires: 60"], callid="loop-1")
        phone.send(invite)
        data, src = server.recvfrom(65535)
        relayed = data.decode()
        top_via = header(relayed, "Via")
        self.assertIn("branch=z9hG4bK-ostrel-", top_via)
        # The server answers and the dialog stands; then a request comes back carrying the relay's branch.
        answer = relayed.replace("SUBSCRIBE sip:bob@%s SIP/2.0" % server_addr, "SIP/2.0 200 OK", 1)
        answer = answer.replace("To: <sip:bob@%s>" % server_addr, "To: <sip:bob@%s>;tag=srv1" % server_addr, 1)
        server.sendto(answer.encode(), src)
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK")
        looped = phone.request("SUBSCRIBE", "sip:bob@" + server_addr, ["Event: presence"], callid="loop-1",
                               to_tag="srv1", extra_vias=[top_via], cseq=2)
        self.assertEqual(status_line(phone.ask(looped)), "SIP/2.0 482 Loop Detected")


if __name__ == "__main__":
    unittest.main()


class Subscription(DaemonTestCase):
    """SUBSCRIBE, its 200 and the server's NOTIFY inside the dialog, with both faces of the relay's Record-Route."""

    def test_record_route_faces_and_notify_to_the_client(self):
        d = self.daemon(config_lines=["log_level = debug+short"]).start()
        server = self.udp_socket(next_address(), 5080)
        phone = SipClient(self.udp_socket(), (d.address, d.port))
        server_addr = "%s:5080" % server.getsockname()[0]
        internal = "%s:%d" % (d.address, d.second_port + 3)
        # The phone sits behind NAT (its Contact names a private address) and its own outbound proxy
        # record-routes: the relay adds its inner face on top of that.
        text = phone.request("SUBSCRIBE", "sip:bob@" + server_addr, ["Event: presence", "Expires: 60",
                             "Record-Route: <sip:127.0.0.66;lr>"], callid="sub-1")
        phone.send(text.replace("Contact: <sip:alice@%s:%d>" % (phone.address, phone.port),
                                "Contact: <sip:alice@192.168.1.20:5060>"))
        data, src = server.recvfrom(65535)
        relayed = data.decode()
        number = header(relayed, "Via").split("z9hG4bK-ostrel-")[1].split("-")[0]
        self.assertEqual(header(relayed, "Record-Route"), "<sip:%s@%s;lr>" % (number, internal))
        answer = relayed.replace("SUBSCRIBE sip:bob@%s SIP/2.0" % server_addr, "SIP/2.0 200 OK", 1)
        answer = answer.replace("To: <sip:bob@%s>" % server_addr, "To: <sip:bob@%s>;tag=srv1" % server_addr, 1)
        answer = answer.replace("Contact: <sip:alice", "X-Old: <sip:alice", 1)
        answer = answer.replace("Content-Length: 0", "Contact: <sip:bob@%s>\r\nContent-Length: 0" % server_addr, 1)
        answer = answer.replace("Expires: 60", "Expires: 60", 1)
        server.sendto(answer.encode(), src)
        ok = phone.receive()
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK")
        self.assertEqual(header(ok, "Record-Route"), "<sip:%s@%s:%d;lr>" % (number, d.address, d.port))

        # The server's NOTIFY goes to the rewritten Contact, through the relay, to the phone's real address.
        contact = header(relayed, "Contact").strip("<>")
        self.assertRegex(contact, r"^sip:alice\*example.com-%s\+%d@%s$" % (phone.address, phone.port, internal))
        notify = ("NOTIFY %s SIP/2.0\r\nVia: SIP/2.0/UDP %s;branch=z9hG4bK-n1\r\nRoute: <sip:%s@%s;lr>\r\n"
                  "From: <sip:bob@%s>;tag=srv1\r\nTo: <sip:alice@example.com>;tag=%s\r\nCall-ID: sub-1\r\n"
                  "CSeq: 1 NOTIFY\r\nEvent: presence\r\nSubscription-State: active\r\nMax-Forwards: 70\r\n"
                  "Contact: <sip:bob@%s>\r\nContent-Length: 0\r\n\r\n") % (
            contact, server_addr, number, internal, server_addr,
            header(relayed, "From").split("tag=")[1], server_addr)
        server.sendto(notify.encode(), (d.address, d.second_port + 3))
        got = phone.receive()
        self.assertIsNotNone(got, d.log())
        self.assertTrue(got.startswith("NOTIFY sip:alice@192.168.1.20:5060 SIP/2.0"), got)
        self.assertRegex(header(got, "Via"), r"^SIP/2.0/UDP %s:%d;branch=z9hG4bK-ostrel-\d+-1\.0$" % (d.address, d.port))


class Retransmissions(DaemonTestCase):
    """A phone's retransmitted MESSAGE is the same transaction at the server, and after the answer the relay
    answers further copies itself."""

    def test_message_retransmissions(self):
        d = self.daemon().start()
        server = self.udp_socket(next_address(), 5080)
        phone = SipClient(self.udp_socket(), (d.address, d.port))
        server_addr = "%s:5080" % server.getsockname()[0]
        message = phone.request("MESSAGE", "sip:bob@" + server_addr, ["Content-Type: text/plain"], body="hi",
                                callid="retr-1", via_branch="z9hG4bK-retr1")
        phone.send(message)
        first, src = server.recvfrom(65535)
        phone.send(message)  # before the server answered: relayed again on the same branch
        second, _ = server.recvfrom(65535)
        self.assertEqual(header(first.decode(), "Via"), header(second.decode(), "Via"))
        answer = first.decode().replace("MESSAGE sip:bob@%s SIP/2.0" % server_addr, "SIP/2.0 200 OK", 1)
        answer = answer.replace("To: <sip:bob@%s>" % server_addr, "To: <sip:bob@%s>;tag=s1" % server_addr, 1)
        server.sendto(answer.encode(), src)
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK")
        phone.send(message)  # after the answer: the relay repeats it, the server hears nothing
        self.assertEqual(status_line(phone.receive()), "SIP/2.0 200 OK")
        server.settimeout(0.5)
        self.assertRaises(OSError, server.recvfrom, 65535)
