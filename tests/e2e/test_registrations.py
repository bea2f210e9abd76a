"""Registrations end to end: a phone behind NAT (its Contact names a private address) registers through the
daemon with a registrar; the relay regulates the expiry, answers refreshes from its cache, routes the
server's requests back to the phone, and unregisters the phone itself when its record runs out."""

import re
import signal
import threading
import time
import unittest

from harness import PRIVATE_CONTACT, DaemonTestCase, SharedDaemonCase, header, next_address, status_line

CONFIG = ["register_timeout = 45", "log_level = debug+short+reg_regul+reg_cache"]


class Registering:
    """A phone and a registrar of the test's own around the daemon self.d."""

    def peers(self, server):
        self.server = server
        self.server_addr = "%s:%d" % (server.address, server.port)
        self.internal = (self.d.address, self.d.second_port + 3)
        self.phone = self.peer()

    def register(self, callid, cseq=1, extra=(), contact=PRIVATE_CONTACT, contact_params=""):
        return self.phone.request("REGISTER", "sip:" + self.server_addr, list(extra), callid=callid, cseq=cseq,
                                  domain=self.server.address, to="<sip:alice@%s>" % self.server.address,
                                  contact="*" if contact == "*" else "<%s>%s" % (contact, contact_params))

    def registered(self, callid="reg-1"):
        """A first registration granted an hour; returns the Contact the server saw and the phone's 200."""
        self.phone.send(self.register(callid, extra=["Expires: 3600"]))
        relayed = self.got(self.server.receive())
        self.server.grant(relayed)
        ok = self.phone.receive()
        self.assertEqual(status_line(ok), "SIP/2.0 200 OK", self.d.log())
        return header(relayed, "Contact").strip("<>"), ok

    def removed(self, callid, extra=(), contact=PRIVATE_CONTACT, contact_params=""):
        """A removal the server gets and grants."""
        self.phone.send(self.register(callid, cseq=2, extra=extra, contact=contact, contact_params=contact_params))
        relayed = self.got(self.server.receive(), "a removal is never answered from the cache")
        self.assertEqual(header(relayed, "Expires"), "0")
        self.server.answer(relayed, 200, "OK", contact="")
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")

    def server_request(self, method, contact):
        """A request of the server to a registered Contact, sent to the relay's internal port; its answer."""
        self.server.send(self.server.request(method, contact, from_user="server", domain=self.server.address,
                                             via_branch="z9hG4bK-s%d" % time.monotonic_ns(), contact=False),
                         self.internal)

    def not_found(self, contact):
        self.server_request("OPTIONS", contact)
        self.assertEqual(status_line(self.server.receive()), "SIP/2.0 404 Not Found", contact)


class Registrations(Registering, SharedDaemonCase):
    @classmethod
    def config(cls):
        return CONFIG

    def setUp(self):
        super().setUp()
        self.peers(self.server_peer())

    def test_sipp_phone_registers_refreshes_from_the_cache_and_unregisters(self):
        server_ip = next_address()
        internal = "%s:%d" % self.internal
        phone, registrar = self.sipp_pair(self.d, "reg_phone.xml", "reg_registrar.xml", server_ip,
                                          client_extra=["-key", "server_host", server_ip])
        seen = registrar.messages()
        self.assertEqual(seen.count("REGISTER sip:"), 2, "the cached refresh never reaches the registrar\n" + seen)
        first, removal = seen.split("REGISTER sip:")[1:3]
        self.assertRegex(first, r"Contact: <sip:alice\*%s-%s\+5062@%s>" % (re.escape(server_ip),
                                                                             re.escape(phone.address),
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
        self.assertIn("Don't bother Server, Send OK back to the client", self.log())
        self.assertIn("Remove registration: sip:alice*", self.log())

    def test_server_requests_reach_the_phone_until_it_unregisters(self):
        contact, _ = self.registered()
        for method in ("OPTIONS", "MESSAGE", "NOTIFY"):
            self.server_request(method, contact)
            got = self.got(self.phone.receive(), "%s did not reach the phone" % method)
            self.assertEqual(got.split("\r\n")[0], "%s %s SIP/2.0" % (method, PRIVATE_CONTACT))
        self.removed("reg-1", contact_params=";expires=0")  # by the Contact's own parameter
        self.not_found(contact)

    def test_removal_by_header_and_by_star_reach_the_server(self):
        for n, contact in enumerate([PRIVATE_CONTACT, "*"]):
            registered, _ = self.registered("reg-%d" % n)
            self.removed("reg-%d" % n, extra=["Expires: 0"], contact=contact)
            self.not_found(registered)

    def test_star_without_expires_zero_is_refused(self):
        got = self.phone.ask(self.register("reg-9", extra=["Expires: 60"], contact="*"))
        self.assertEqual(status_line(got), "SIP/2.0 400 Expires is not 0")
        self.assertIsNone(self.server.receive(0.5))

    def test_a_refusal_passes_without_its_reason_and_keeps_no_record(self):
        self.phone.send(self.register("reg-403", extra=["Expires: 3600"]))
        relayed = self.server.receive()
        self.server.answer(relayed, 403, "Forbidden", extra=["X-Reason: account closed"])
        got = self.phone.receive()
        self.assertEqual(status_line(got), "SIP/2.0 403 Forbidden")
        self.assertIsNone(header(got, "X-Reason"))
        self.not_found(header(relayed, "Contact").strip("<>"))

    def test_usr1_dumps_the_registrations_and_cont_sends_refreshes_to_the_server(self):
        contact, _ = self.registered()
        dump = self.d.status_dump()
        self.assertIn("========================= Active Registrations =========================", dump)
        self.assertIn("%s  ==> %s\t(" % (contact, PRIVATE_CONTACT), dump)

        # Within the cache window the refresh stays with the relay ...
        self.phone.send(self.register("reg-1", cseq=2, extra=["Expires: 3600"]))
        self.assertEqual(status_line(self.phone.receive()), "SIP/2.0 200 OK")
        self.assertIsNone(self.server.receive(0.3))
        # ... after the clean-up it goes to the server again.
        self.d.signal(signal.SIGCONT)
        self.assertTrue(self.wait_log("CleanUp ALL Registrations ..."))
        self.phone.send(self.register("reg-1", cseq=3, extra=["Expires: 3600"]))
        self.got(self.server.receive())


class OwnDaemon(Registering, DaemonTestCase):
    def start(self, lines=(), domain_options=""):
        server_ip = next_address()
        self.start_daemon(CONFIG + list(lines) + (["domain = %s %s" % (server_ip, domain_options)] if domain_options else []))
        self.peers(self.peer(server_ip, 5080))

    def test_third_new_register_within_a_second_is_dropped(self):
        self.start(["throttling = 2"])
        time.sleep(1.02 - time.time() % 1.0)  # all three inside one second of the daemon's clock
        for n in range(3):
            self.phone.send(self.register("thr-%d" % n, extra=["Expires: 3600"]))
        reached = [self.server.receive(1.0) for _ in range(3)]
        self.assertEqual(len([r for r in reached if r]), 2, self.d.log())
        self.assertNotIn("thr-2", "".join(r for r in reached if r))
        self.assertIsNone(self.phone.receive(0.3), "the dropped REGISTER gets no answer")

    def test_an_expired_presence_record_is_unregistered_by_the_relay(self):
        # A presence domain keeps the record on the relay's own timer (twice the 10 s interval); with xunr
        # the relay removes the binding at the server when the phone stops refreshing.
        self.start(["register_timeout = 10"], domain_options="prsn xunr")
        contact, ok = self.registered()
        self.assertRegex(header(ok, "To"), r";tag=regs-\d+$")
        started = time.monotonic()
        unreg = self.got(self.server.receive(timeout=30.0))
        self.assertGreaterEqual(time.monotonic() - started, 15.0)
        self.assertRegex(status_line(unreg), r"^REGISTER sip:%s SIP/2.0$" % re.escape(self.server.address))
        self.assertRegex(header(unreg, "Via"), r"branch=z9hG4bK-reg-ostrel-\d+$")
        self.assertEqual(header(unreg, "Contact"), "<%s>" % contact)
        self.assertEqual(header(unreg, "Expires"), "0")
        self.assertEqual(header(unreg, "To"), "<sip:alice@%s>;tag=srv1" % self.server.address)
        self.assertGreater(int(header(unreg, "X-TimeLeft")), 5)
        self.not_found(contact)

    def test_register_storm_above_throttling_sheds_new_clients_while_a_registered_phone_is_served(self):
        # The flood protection is off so that every REGISTER of the storm reaches the throttle.
        self.start(["throttling = 5", "slow_start = yes", "dos_level = off"])
        contact, _ = self.registered()
        storm_registrar = self.peer(next_address(), 5080)
        storm = [self.peer(next_address()) for _ in range(20)]
        stop = threading.Event()

        def flood():
            n = 0
            while not stop.is_set():
                for p in storm:  # new clients, each with a Contact of its own: 200 REGISTERs a second
                    n += 1
                    p.send(p.request("REGISTER", "sip:%s:5080" % storm_registrar.address, ["Expires: 3600"],
                                     callid="storm-%d" % n, domain=storm_registrar.address))
                time.sleep(0.1)

        flooder = threading.Thread(target=flood)
        flooder.start()
        try:
            self.assertTrue(self.d.wait_log("Throttle DOWN! (Slow)"), self.d.log())
            self.assertTrue(self.d.wait_log("Slow start: requests of unregistered clients are dropped"))
            newcomer = self.peer(next_address())
            for n in range(3):
                # The registered phone: its refresh is answered and its call goes through, again and again.
                self.phone.send(self.register("reg-1", cseq=2 + n, extra=["Expires: 3600"]))
                self.assertEqual(status_line(self.phone.receive_status(200)), "SIP/2.0 200 OK", self.d.log())
                invite = self.start_call(self.phone, self.server, "storm-call-%d" % n,
                                         contact="<%s>" % PRIVATE_CONTACT, domain=self.server.address)
                self.answer_call(self.phone, self.server, invite)
                self.hang_up(self.phone, self.server)
                # A client without a registration is shed: its INVITE goes nowhere and gets no answer.
                newcomer.invite("%s:%d" % (self.server.address, self.server.port), "shed-%d" % n)
                self.assertIsNone(self.server.receive_request("INVITE", 0.5), "the newcomer's INVITE is dropped")
                self.assertIsNone(newcomer.receive(0.1))
            self.assertIn("Not Registered - Throttled! (Slow)", self.d.log())
            self.assertNotIn("Slow start ended", self.d.log(), "the storm goes on")
        finally:
            stop.set()
            flooder.join()
        time.sleep(2.1)  # a whole second without excess
        newcomer.invite("%s:%d" % (self.server.address, self.server.port), "served-after-storm")
        self.assertIsNotNone(self.server.receive_request("INVITE"), "after the storm a newcomer is served")
        self.assertIn("Slow start ended: a second without REGISTERs over the throttle", self.d.log())


if __name__ == "__main__":
    unittest.main()
