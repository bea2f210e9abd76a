// The lookup of the call a Replaces names, from inside another call: the named call's lock is only tried,
// so two calls naming each other never wait for each other; a call busy on another thread counts as not
// found, and a Replaces naming the call that carries it is left alone (that call is never locked twice).
#include <gmock/gmock.h>

#include "dialogs/call.h"
#include "dialogs/relay_fixture.h"

namespace relaytest {
namespace {

class ReplacesLookupTest : public CallTest {
 protected:
  // A public client with defect 'T' calls; the server answers with tag at once: the call is in zero-media
  // mode and the client knows the server's side by the tag returned.
  Call* ZeroCall(const std::string& callid, const std::string& tag, std::string& ztag) {
    Call* c = Invite("T", "Content-Type: application/sdp\r\n", kServerSdp, callid);
    ServerSays(c, 200, "OK", tag, kServerSdp);
    ztag = ToTag(client_.Receive());
    const std::string ack =
        Sub(Sub(Message("ACK", 1), "call-ACK@127.0.0.10", callid), "z9hG4bK-c1", "z9hG4bK-a1");
    Client(c, Parse(Tagged(ack, ztag)));
    EXPECT_FALSE(server_.Receive().empty()) << "the ACK reaches the server";
    return c;
  }
  // The client's REFER in call c (callid, ztag) carrying replaces; the Replaces the server got.
  std::string Refer(Call* c, const std::string& callid, const std::string& ztag,
                    const std::string& replaces) {
    ++cseq_;
    std::string refer =
        Message("REFER", cseq_, "Refer-To: <sip:carol@example.com?Replaces=" + replaces + ">\r\n");
    refer =
        Sub(Sub(refer, "call-REFER@127.0.0.10", callid), "z9hG4bK-c1", "z9hG4bK-r" + std::to_string(cseq_));
    Client(c, Parse(Tagged(refer, ztag)), DialogEvent::REFER_RECV);
    const std::string to = Values(server_.Receive(), "Refer-To").at(0);
    const size_t at = to.find("Replaces=");
    return at == std::string::npos ? "" : to.substr(at + 9, to.find('>') - at - 9);
  }
  int cseq_ = 1;
};

TEST_F(ReplacesLookupTest, BusyCallIsNotFoundAndOwnCallIsNeverLocked) {
  std::string z1, z2;
  Call* first = ZeroCall("first", "srv1", z1);
  Call* second = ZeroCall("second", "srv2", z2);
  ASSERT_NE(z1, "srv1");
  const std::string names_first = "first%3Bto-tag%3D" + z1 + "%3Bfrom-tag%3Dfa%3Bearly-only";

  first->lock();  // another worker holds the named call
  EXPECT_EQ(Refer(second, "second", z2, names_first), names_first) << "not waited for: left as it came";
  first->unlock();
  EXPECT_EQ(Refer(second, "second", z2, names_first), "first%3Bto-tag%3Dsrv1%3Bfrom-tag%3Dfa%3Bearly-only");

  // The call carrying the REFER is locked by this thread: naming it must not lock it again.
  const std::string names_second = "second%3Bto-tag%3D" + z2 + "%3Bfrom-tag%3Dfa";
  EXPECT_EQ(Refer(second, "second", z2, names_second), names_second);
}

}  // namespace
}  // namespace relaytest
