// The core's zero-answer timer: only the call's current T_ZANSWER timer acts, and a call whose zero-media
// exchange is done goes back to plain relaying.
#include <gtest/gtest.h>

#include <optional>

#include "core/core.h"
#include "dialogs/call.h"

namespace {

std::optional<DialogState> StateOf(unsigned no) {
  ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
  if (!d) return std::nullopt;
  return d->State();
}

TEST(ZeroAnswerTimer, OnlyTheCurrentZeroAnswerTimerMovesADoneCallToPass) {
  auto* call = new Call("C&zero-1&t", Defects());
  ASSERT_TRUE(call->Entered());
  const unsigned no = call->Number();
  call->State(DialogState::Z_DONE);
  call->ScheduleTimer(Dialog::T_MEDIA, &g_core, 60000);
  call->unlock();
  g_core.OnTimer(Dialog::TimerCookie(no, 1));  // another kind of timer
  EXPECT_EQ(StateOf(no), DialogState::Z_DONE);

  {
    ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
    d->CancelTimer(Dialog::T_ANY);
    d->ScheduleTimer(Dialog::T_ZANSWER, &g_core, 60000);
  }
  const void* current = Dialog::TimerCookie(no, 3);   // set, cancelled, set again
  g_core.OnTimer(Dialog::TimerCookie(no, 1));         // the replaced T_MEDIA timer
  g_core.OnTimer(Dialog::TimerCookie(no + 1000, 3));  // no such dialog
  EXPECT_EQ(StateOf(no), DialogState::Z_DONE);
  g_core.OnTimer(current);
  EXPECT_EQ(StateOf(no), DialogState::PASS);
  EXPECT_EQ(g_core.GetDialog(static_cast<int>(no))->TimerID(), PollReactor::kNoTimer);
  g_core.OnTimer(current);  // once only: the timer is gone
  g_core.Destroy(no);
}

}  // namespace
