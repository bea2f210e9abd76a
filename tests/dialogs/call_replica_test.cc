// A call as the HA peer rebuilds it from a record, and the record it gives back: what a relay taking over
// a call must know, and the second key under which the call's client first found it.
#include <gtest/gtest.h>

#include "dialogs/call.h"
#include "dialogs/dialog_table.h"

namespace {

const char* const kDirectCall =
    "S|C&cid-1@10.0.0.5&srv1|sip:alice*example.com-10.0.0.5+5062@127.0.0.2:5073|sip:alice@10.0.0.5:5062|N|3||"
    "10.0.0.5:7078|10.0.0.5:5062|||127.0.0.20:5060|<sip:bob@127.0.0.20:5060>,<sip:127.0.0.20;lr>|srv1|0|"
    "example.com|34";

Call* FromRecord(const std::string& text) {
  auto r = ha::Parse(text);
  EXPECT_TRUE(r && r->kind == ha::Record::CALL) << text;
  auto* call = new Call(r->call.key, r->call.defects);
  EXPECT_TRUE(call->Entered());
  call->ApplyReplica(r->call, true);
  return call;  // locked by its creator
}

TEST(CallReplica, RecordGivesTheCallBackUnchanged) {
  DialogTable table;
  Call* call = FromRecord(kDirectCall);
  call->OriginalKey("C&cid-1@10.0.0.5");
  EXPECT_EQ(call->State(), DialogState::PASS);
  EXPECT_EQ(call->ClientSipAddress().Text(), "10.0.0.5:5062");
  EXPECT_EQ(call->ServerSipAddress().Text(), "127.0.0.20:5060");
  EXPECT_EQ(call->Shift(), 3);
  EXPECT_EQ(call->DeviceDefects().Letters(), "N");
  EXPECT_TRUE(call->PublicIP());
  EXPECT_EQ(ha::FormatCall(call->Replica()), kDirectCall);
  ASSERT_NE(call->ServerView(), nullptr);
  EXPECT_TRUE(call->ServerView()->IsResponse());
  call->unlock();
  table.Destroy(call->Number());
}

TEST(CallReplica, FlagsAreOnlyEverSet) {
  DialogTable table;
  auto* call = new Call("C&flags&t", Defects());
  ASSERT_TRUE(call->Entered());
  EXPECT_EQ(call->GetBitMask(), 0u);
  call->SetBitMask(0x1FF);
  EXPECT_EQ(call->GetBitMask(), 0x1FFu);
  call->SetBitMask(0);
  EXPECT_EQ(call->GetBitMask(), 0x1FFu);
  call->unlock();
  table.Destroy(call->Number());
}

TEST(CallReplica, SecondKeyEnteredAfterTheCallIsReleasedAndLeavesWithIt) {
  DialogTable table;
  Call* call = FromRecord(kDirectCall);
  const unsigned no = call->Number();
  call->unlock();
  EXPECT_TRUE(table.AddAlias(no, "C&cid-1@10.0.0.5"));
  EXPECT_TRUE(table.AddAlias(no, "C&cid-1@10.0.0.5")) << "entered once, asked twice";
  auto* other = new Dialog("other");
  other->unlock();
  EXPECT_FALSE(table.AddAlias(no, "other")) << "a key naming another dialog stays with it";
  EXPECT_FALSE(table.AddAlias(99999, "C&gone")) << "no dialog by that number";
  {
    ObjectGuard<Dialog> found = table.GetDialog("C&cid-1@10.0.0.5");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Number(), no);
  }
  table.Destroy(no);
  EXPECT_FALSE(table.GetDialog("C&cid-1@10.0.0.5"));
  EXPECT_EQ(table.DialogCount(), 1u);
  table.Destroy(other->Number());
}

}  // namespace
