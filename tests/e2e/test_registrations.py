"""Registrations end to end: a phone behind NAT (its Contact names a private address) registers through the
daemon with a registrar; the relay regulates the expiry, answers refreshes from its cache, routes the
server's requests back to the phone, and unregisters the phone itself when its record runs out."""

import os
import re
import signal
import time
import unittest

from harness import DaemonTestCase, SipClient, header, next_address, status_line

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
PRIVATE_CONTACT = "sip:alice@192.168.1.20:5062"


def headers(text, name):
    """Every value of a header (long name) in a message."""
    out = []
    for line in text.split("\r\n")[1:]:
        if not line:
            break
        key, _, value = line.partition(":")
        if key.strip().lower() == name.lower():
            out.append(value.strip())
    return out


def answer(request, code, reason, extra=(), to_tag="srv1"):
    """A registrar's response to a request it received: its Vias, From, To (tagged), Call-ID and CSeq."""
    lines = ["SIP/2.0 %d %s" % (code, reason)]
    lines += ["Via: %s" % v for v in headers(request, "Via")]
    lines.append("From: %s" % header(request, "From"))
    to = header(request, "To")
    lines.append("To: %s" % (to if ";tag=" in to else "%s;tag=%s" % (to, to_tag)))
    lines.append("Call-ID: %s" % header(request, "Call-ID"))
    lines.append("CSeq: %s" % header(request, "CSeq"))
    lines += list(extra)
    lines.append("Content-Length: 0")
    return "\r\n".join(lines) + "\r\n\r\n"


class Registrar:
    """A scripted registrar on its own socket, answering through the relay's internal port."""

    def __init__(self, sock):
        self.sock = sock
        self.address, self.port = sock.getsockname()
        self.last_source = None

    def receive(self, timeout=2.0):
        self.sock.settimeout(timeout)
        try:
            data, self.last_source = self.sock.recvfrom(65535)
            return data.decode(errors="replace")
        except OSError:
            return None

    def reply(self, text):
        self.sock.sendto(text.encode(), self.last_source)

    def grant(self, request, seconds=3600, extra=()):
        contact = header(request, "Contact")
        self.reply(answer(request, 200, "OK", ["Contact: %s;expires=%d" % (contact, seconds)] + list(extra)))


class RegistrationCase(DaemonTestCase):
    def start(self, lines=(), domain_options=""):
        self.server = Registrar(self.udp_socket(next_address(), 5080))
        self.server_addr = "%s:5080" % self.server.address
        config = ["register_timeout = 45", "log_level = debug+short+reg_regul+reg_cache"] + list(lines)
        if domain_options:
            config.append("domain = %s %s" % (self.server.address, domain_options))
        self.d = self.daemon(config_lines=config).start()
        self.internal = "%s:%d" % (self.d.address, self.d.second_port + 3)
        self.phone = SipClient(self.udp_socket(), (self.d.address, self.d.port))
        return self.d

    def register(self, callid, cseq=1, extra=(), contact=PRIVATE_CONTACT, contact_params=""):
        text = self.phone.request("REGISTER", "sip:" + self.server_addr, list(extra), callid=callid, cseq=cseq,
                                  domain=self.server.address)
        own = "Contact: <sip:alice@%s:%d>" % (self.phone.address, self.phone.port)
        replacement = "Contact: *" if contact == "*" else "Contact: <%s>%s" % (contact, contact_params)
        to = "To: <sip:%s>" % self.server_addr
        return text.replace(own, replacement).replace(to, "To: <sip:alice@%s>" % self.server.address)

    def registered(self, callid="reg-1"):
        """A first registration granted an hour; returns the Contact the server saw and the phone's 200."""
        self.phone.send(self.register(callid, extra=["Expires: 3600"]))
        relayed = self.server.receive()
        self.assertIsNotNone(relayed, self.d.log())
        self.server.grant(relayed)
        ok = self.phone.receive()
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK", self.d.log())
        return header(relayed, "Contact").strip("<>"), ok

    def server_request(self, method, contact):
        """A request of the server to a registered Contact, sent to the relay's internal port."""
        n = int(time.monotonic() * 1000) % 100000
        text = "\r\n".join([
            "%s %s SIP/2.0" % (method, contact),
            "Via: SIP/2.0/UDP %s;branch=z9hG4bK-s%d" % (self.server_addr, n),
            "Max-Forwards: 70",
            "From: <sip:server@%s>;tag=s%d" % (self.server.address, n),
            "To: <%s>" % contact,
            "Call-ID: srv-%d@%s" % (n, self.server.address),
            "CSeq: 1 %s" % method,
            "Content-Length: 0", "", ""])
        host, port = self.internal.split(":")
        self.server.sock.sendto(text.encode(), (host, int(port)))


class FirstRegistrationCacheAndRemoval(DaemonTestCase):
    """SIPp on both sides: the phone registers, refreshes (answered by the relay) and unregisters."""

    def test_sipp_phone_and_registrar(self):
        d = self.daemon(config_lines=["register_timeout = 45", "log_level = debug+short+reg_regul+reg_cache"]).start()
        server_ip, phone_ip = next_address(), next_address()
        internal = "%s:%d" % (d.address, d.second_port + 3)
        registrar = self.sipp(os.path.join(SCENARIOS, "reg_registrar.xml"), address=server_ip, port=5080,
                              name="registrar").start()
        phone = self.sipp(os.path.join(SCENARIOS, "reg_phone.xml"), address=phone_ip, port=5062, name="phone",
                          remote="%s:%d" % (d.address, d.port),
                          extra=["-key", "server_addr", "%s:5080" % server_ip, "-key", "server_host", server_ip]).start()
        self.assertEqual(phone.wait(), 0, phone.output + phone.errors() + d.log())
        self.assertEqual(registrar.wait(), 0, registrar.output + registrar.errors())

        seen = registrar.messages()
        self.assertEqual(seen.count("REGISTER sip:"), 2, "the cached refresh never reaches the registrar\n" + seen)
        first, removal = seen.split("REGISTER sip:")[1:3]
        self.assertRegex(first, r"Contact: <sip:alice\*%s-%s\+5062@%s>" % (re.escape(server_ip), re.escape(phone_ip),
                                                                             re.escape(internal)))
        self.assertRegex(first, r"Expires: 3600\b", "30 s is below rgstr_limit: the server is asked for rgstr_force")
        self.assertRegex(first, r"Via: SIP/2.0/UDP %s;branch=z9hG4bK-ostrel-\d+-1\.0" % re.escape(internal))
        self.assertRegex(removal, r"Expires: 0\b")

        answers = phone.messages().split("SIP/2.0 200 OK")[1:]
        self.assertEqual(len(answers), 3)
        granted, cached = answers[0], answers[1]
        self.assertIn("Contact: <sip:alice@192.168.1.20:5062>", granted, "the phone gets its own Contact back")
        self.assertRegex(granted, r"Expires: 45\b", "the phone refreshes every registration interval")
        self.assertRegex(cached, r"Server: Ostrel")
        self.assertRegex(cached, r"Expires: 45\b")
        self.assertRegex(cached, r"To: <sip:alice@%s>;tag=\d+-1" % re.escape(server_ip))
        self.assertIn("Don't bother Server, Send OK back to the client", d.log())
        self.assertIn("Remove registration: sip:alice*", d.log())


class ServerRequestsAndRemovals(RegistrationCase):
    def test_server_requests_reach_the_phone_until_it_unregisters(self):
        self.start()
        contact, _ = self.registered()
        for method in ("OPTIONS", "MESSAGE", "NOTIFY"):
            self.server_request(method, contact)
            got = self.phone.receive()
            self.assertIsNotNone(got, "%s did not reach the phone\n%s" % (method, self.d.log()))
            self.assertEqual(got.split("\r\n")[0], "%s %s SIP/2.0" % (method, PRIVATE_CONTACT))
        # Removal by the Contact's own parameter.
        self.phone.send(self.register("reg-1", cseq=2, contact_params=";expires=0"))
        relayed = self.server.receive()
        self.assertEqual(header(relayed, "Expires"), "0")
        self.server.reply(answer(relayed, 200, "OK"))
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
        self.server_request("OPTIONS", contact)
        self.assertEqual(status_line(self.server.receive()), "SIP/2.0 404 Not Found")

    def test_removal_by_header_and_by_star_reach_the_server(self):
        self.start()
        for n, (contact, extra) in enumerate([(PRIVATE_CONTACT, ["Expires: 0"]), ("*", ["Expires: 0"])]):
            registered, _ = self.registered("reg-%d" % n)
            self.phone.send(self.register("reg-%d" % n, cseq=2, extra=extra, contact=contact))
            relayed = self.server.receive()
            self.assertIsNotNone(relayed, "a removal is never answered from the cache\n" + self.d.log())
            self.assertEqual(header(relayed, "Expires"), "0")
            self.server.reply(answer(relayed, 200, "OK"))
            self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
            self.server_request("OPTIONS", registered)
            self.assertEqual(status_line(self.server.receive()), "SIP/2.0 404 Not Found", contact)

    def test_star_without_expires_zero_is_refused(self):
        self.start()
        got = self.phone.ask(self.register("reg-9", extra=["Expires: 60"], contact="*"))
        self.assertEqual(status_line(got), "SIP/2.0 400 Expires is not 0")
        self.assertIsNone(self.server.receive(0.5))

    def test_a_refusal_passes_without_its_reason_and_keeps_no_record(self):
        self.start()
        self.phone.send(self.register("reg-403", extra=["Expires: 3600"]))
        relayed = self.server.receive()
        contact = header(relayed, "Contact").strip("<>")
        self.server.reply(answer(relayed, 403, "Forbidden", ["X-Reason: account closed"]))
        got = self.phone.receive()
        self.assertEqual(status_line(got), "SIP/2.0 403 Forbidden")
        self.assertIsNone(header(got, "X-Reason"))
        self.server_request("OPTIONS", contact)
        self.assertEqual(status_line(self.server.receive()), "SIP/2.0 404 Not Found")


class Throttling(RegistrationCase):
    def test_third_new_register_within_a_second_is_dropped(self):
        self.start(["throttling = 2"])
        time.sleep(1.02 - time.time() % 1.0)  # all three inside one second of the daemon's clock
        for n in range(3):
            self.phone.send(self.register("thr-%d" % n, extra=["Expires: 3600"]))
        reached = [self.server.receive(1.0) for _ in range(3)]
        self.assertEqual(len([r for r in reached if r]), 2, self.d.log())
        self.assertNotIn("thr-2", "".join(r for r in reached if r))
        self.assertIsNone(self.phone.receive(0.3), "the dropped REGISTER gets no answer")


class Signals(RegistrationCase):
    def test_usr1_dumps_the_registrations_and_cont_sends_refreshes_to_the_server(self):
        self.start()
        contact, _ = self.registered()
        self.d.signal(signal.SIGUSR1)
        self.assertTrue(self.d.wait_log("Total: 1"), self.d.log())
        log = self.d.log()
        self.assertIn("========================= Active Registrations =========================", log)
        self.assertIn("%s  ==> %s\t(" % (contact, PRIVATE_CONTACT), log)

        # Within the cache window the refresh stays with the relay ...
        self.phone.send(self.register("reg-1", cseq=2, extra=["Expires: 3600"]))
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
        self.assertIsNone(self.server.receive(0.3))
        # ... after the clean-up it goes to the server again.
        self.d.signal(signal.SIGCONT)
        self.assertTrue(self.d.wait_log("CleanUp ALL Registrations ..."))
        self.phone.send(self.register("reg-1", cseq=3, extra=["Expires: 3600"]))
        self.assertIsNotNone(self.server.receive(), self.d.log())


class Expiry(RegistrationCase):
    def test_an_expired_presence_record_is_unregistered_by_the_relay(self):
        # A presence domain keeps the record on the relay's own timer (twice the 10 s interval); with xunr
        # the relay removes the binding at the server when the phone stops refreshing.
        self.start(["register_timeout = 10"], domain_options="prsn xunr")
        contact, ok = self.registered()
        self.assertRegex(header(ok, "To"), r";tag=regs-\d+$")
        started = time.monotonic()
        unreg = self.server.receive(timeout=30.0)
        self.assertIsNotNone(unreg, self.d.log())
        self.assertGreaterEqual(time.monotonic() - started, 15.0)
        self.assertRegex(status_line(unreg), r"^REGISTER sip:%s SIP/2.0$" % re.escape(self.server.address))
        self.assertRegex(header(unreg, "Via"), r"branch=z9hG4bK-reg-ostrel-\d+$")
        self.assertEqual(header(unreg, "Contact"), "<%s>" % contact)
        self.assertEqual(header(unreg, "Expires"), "0")
        self.assertEqual(header(unreg, "To"), "<sip:alice@%s>;tag=srv1" % self.server.address)
        self.assertGreater(int(header(unreg, "X-TimeLeft")), 5)
        self.server_request("OPTIONS", contact)
        self.assertEqual(status_line(self.server.receive()), "SIP/2.0 404 Not Found")


if __name__ == "__main__":
    unittest.main()
