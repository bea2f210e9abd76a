"""What one source address may hold, attack and honest case side by side: unanswered calls and anchored
calls per address, an INVITE left provisional (Timer C), and dialogs per address with the unanswered
MESSAGE that ends after 32 s (Timer F)."""

import re
import time
import unittest

from harness import (DaemonTestCase, header, media_of, media_offer, next_address, status_line, udp_ports_bound,
                     wait_until)

RETRY_AFTER = "30"


class LimitCase(DaemonTestCase):
    def start(self, lines, args=()):
        self.server_ip = next_address()
        self.start_daemon(["log_level = debug+short"] + list(lines), args=list(args))
        self.server = self.media_peer(self.server_ip, 5080)

    def refused(self, peer, what):
        """The 503 the peer got, with the time to wait."""
        answer = self.got(peer.receive_status(503), what)
        self.assertEqual(status_line(answer), "SIP/2.0 503 Service Unavailable")
        self.assertEqual(header(answer, "Retry-After"), RETRY_AFTER)
        return answer


class UnansweredCalls(LimitCase):
    def test_a_flood_of_ringing_calls_from_one_address_stops_at_the_limit_while_another_phone_calls(self):
        self.start(["unanswered_calls_per_ip = 3"])
        flooder = self.peer()
        for n in range(3):
            invite = self.start_call(flooder, self.server, "flood-%d" % n)
            self.server.answer(invite, 180, "Ringing")
            self.got(flooder.receive_status(180))
        for n in range(3, 5):
            flooder.invite("%s:5080" % self.server_ip, "flood-%d" % n)
            self.refused(flooder, "INVITE %d over the limit" % n)
        self.assertIsNone(self.server.receive_request("INVITE", timeout=0.5), "the server never sees them")
        self.assertIn("Limit unanswered_calls_per_ip = 3 reached (last by %s:" % flooder.address, self.log())

        phone = self.peer()
        invite = self.start_call(phone, self.server, "honest")
        self.server.answer(invite, 180, "Ringing")
        self.answer_call(phone, self.server, invite)
        self.hang_up(phone, self.server)


class AnchoredCalls(LimitCase):
    def test_one_address_holds_its_anchored_calls_only_and_the_range_stays_for_others(self):
        self.start(["anchored_calls_per_ip = 1", "range = 40000 40010"], args=["-f"])
        heavy = self.media_peer()
        self.anchored_call(heavy, self.server, "anchored-1")
        first = heavy.invite_text
        heavy.invite("%s:5080" % self.server_ip, "anchored-2", body=media_offer(heavy))
        self.refused(heavy, "a second anchored call from the same address")
        self.assertIsNone(self.server.receive_request("INVITE", timeout=0.5), "the server never sees it")
        self.assertIn("Call event REJECT: Too Many Anchored Calls", self.log())

        other = self.media_peer()
        invite, ok = self.anchored_call(other, self.server, "other")
        self.assertEqual(media_of(ok)[0], self.d.address, "the other address is anchored")
        self.hang_up(other, self.server)

        heavy.invite_text = first
        self.hang_up(heavy, self.server)
        self.anchored_call(heavy, self.server, "anchored-3")  # its count went down with the hang-up


class InviteTimeout(LimitCase):
    def test_an_invite_left_ringing_is_cancelled_and_its_ports_serve_the_next_call(self):
        self.start(["invite_timeout = 2", "range = 40000 40004"], args=["-f"])
        phone = self.media_peer()
        invite = self.start_call(phone, self.server, "ringing", body=media_offer(phone))
        relay_port = media_of(invite)[1]
        self.assertIn((self.d.address, relay_port), udp_ports_bound())
        started = time.monotonic()
        self.server.answer(invite, 180, "Ringing")
        self.got(phone.receive_status(180))
        cancel = self.got(self.server.receive_request("CANCEL", timeout=4.0), "Timer C")
        self.assertGreaterEqual(time.monotonic() - started, 1.8)
        self.assertEqual(header(cancel, "Via"), header(invite, "Via"), "the INVITE's own transaction")
        timeout = self.got(phone.receive_status(408))
        self.assertEqual(status_line(timeout), "SIP/2.0 408 Request Timeout")
        self.assertTrue(wait_until(lambda: (self.d.address, relay_port) not in udp_ports_bound()))
        self.server.answer(cancel, 200, "OK")
        self.server.answer(invite, 487, "Request Terminated")

        # The two pairs of the range are free again: the next call is anchored, not refused 500.
        self.anchored_call(self.media_peer(), self.server, "next")


class DialogsPerAddress(LimitCase):
    def transactions(self):
        """The dialogs of the status dump that are not calls."""
        section = self.d.status_dump().split("Active Non-Invite Transactions")[1]
        return int(re.search(r"^Total: (\d+)$", section, re.M).group(1))

    def test_new_call_ids_from_one_address_stop_at_the_limit_and_unanswered_ones_end_at_32_s(self):
        self.start(["dialogs_per_ip = 5"])
        flooder, neighbour = self.peer(), self.peer()
        target = "sip:bob@%s:5080" % self.server_ip
        for n in range(25):
            flooder.send(flooder.request("MESSAGE", target, callid="msg-%d" % n))
        for n in range(5):
            self.got(self.server.receive_request("MESSAGE"), "MESSAGE %d" % n)  # never answered
        for n in range(20):
            self.refused(flooder, "MESSAGE over the limit")
        self.assertIsNone(self.server.receive_request("MESSAGE", timeout=0.3))
        lines = re.findall(r"Limit dialogs_per_ip = 5 reached \(last by [\d.:]+\): (\d+) requests refused",
                           self.log())
        self.assertIn(len(lines), (1, 2), "at most one line a second")  # two when a second ends amid them

        neighbour.send(neighbour.request("OPTIONS", target))
        self.server.answer(self.got(self.server.receive_request("OPTIONS")), 200, "OK")
        self.assertEqual(status_line(self.got(neighbour.receive_status(200))), "SIP/2.0 200 OK")
        self.assertEqual(self.transactions(), 6)

        # Unanswered, each MESSAGE's dialog ends 32 s after it was relayed; the answered OPTIONS lingers
        # as long to absorb retransmissions.
        self.assertTrue(wait_until(lambda: self.log().count("Transaction Timeout - no final answer: C&msg-") == 5,
                                   timeout=36, interval=0.5), self.log())
        self.assertTrue(wait_until(lambda: self.transactions() == 0, timeout=3, interval=0.5), self.log())
        flooder.send(flooder.request("MESSAGE", target, callid="msg-after"))
        self.got(self.server.receive_request("MESSAGE"), "the address may open dialogs again")


if __name__ == "__main__":
    unittest.main()
