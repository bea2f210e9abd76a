"""How long a call stays in the relay, seen as an operator sees it in the SIGUSR1 status dump: an answered
call is listed, a completed one stays listed 40 s to catch late messages, then it is gone."""

import re
import signal
import time
import unittest

from harness import wait_until
from test_calls import SDP, ScriptedCall

DUMP_END = "========================================================================\n\n"
CALLS_HEAD = "========================= Active Calls"
TRANSACTIONS_HEAD = "========================= Active Non-Invite Transactions"


class CallInStatusDump(ScriptedCall):
    def calls_dump(self):
        """The calls section of a fresh status dump."""
        before = self.d.log().count(DUMP_END)
        self.d.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: self.d.log().count(DUMP_END) > before), self.d.log())
        text = self.d.log()
        start = text.rindex(CALLS_HEAD)
        return text[start:text.index(TRANSACTIONS_HEAD, start)]

    def test_completed_call_is_listed_for_40_seconds_then_gone(self):
        invite = self.start_call("lifetime-1")
        self.server.answer(invite, 200, "OK", body=SDP.format(ip=self.server_ip, extra=""))
        ok = self.phone.receive_status(200)
        self.assertIsNotNone(ok, self.d.log())
        self.phone.send(self.phone.in_dialog("ACK", self.phone.invite_text, "srv1", 1, "z9hG4bK-ack-lifetime"))
        self.assertIsNotNone(self.server.receive_request("ACK"), self.d.log())

        talking = self.calls_dump()
        self.assertIn("C&lifetime-1&srv1", talking)
        self.assertIn("Total: 1\n", talking)
        self.assertNotIn("(COMPLETE)", talking)

        self.phone.send(self.phone.in_dialog("BYE", self.phone.invite_text, "srv1", 2, "z9hG4bK-bye-lifetime"))
        bye = self.server.receive_request("BYE")
        self.assertIsNotNone(bye, self.d.log())
        self.server.answer(bye, 200, "OK")
        self.assertIsNotNone(self.phone.receive_status(200), self.d.log())
        self.assertTrue(self.d.wait_log("Set timer 'COMPLETE' to 40 sec."), self.d.log())
        completed = time.monotonic()

        ended = self.calls_dump()
        self.assertIn("C&lifetime-1&srv1", ended, "kept for late messages")
        self.assertIn("(COMPLETE)", ended)
        self.assertIn("Total: 1\n", ended)

        time.sleep(max(0.0, completed + 35 - time.monotonic()))
        self.assertIn("C&lifetime-1&srv1", self.calls_dump(), "still there 35 s after the BYE")
        self.assertTrue(wait_until(lambda: "End of Dialog  C&lifetime-1" in self.d.log(), 10, 0.2), self.d.log())
        self.assertGreater(time.monotonic() - completed, 38)
        gone = self.calls_dump()
        self.assertNotIn("lifetime-1", gone)
        self.assertRegex(gone, re.compile(r"Total: 0\n"))


if __name__ == "__main__":
    unittest.main()
