// The core's zero-answer timer: only the call's current T_ZANSWER timer acts, and a call whose zero-media
// exchange is done goes back to plain relaying.
#include <gtest/gtest.h>

#include "core/core.h"
#include "dialogs/call.h"

namespace {

TEST(ZeroAnswerTimer, OnlyTheCurrentTimerMovesADoneCallToPass) {
  auto* call = new Call("C&zero-1&t", "");
  ASSERT_TRUE(call->Entered());
  const unsigned no = call->Number();
  call->State(Dialog::Z_DONE);
  call->ScheduleTimer(Dialog::T_ZANSWER, &g_core, 60000);
  const void* current = Dialog::TimerCookie(no, 1);
  ASSERT_TRUE(call->TimerIsCurrent(current));
  call->unlock();

  g_core.OnTimer(Dialog::TimerCookie(no, 0));  // a replaced timer
  g_core.OnTimer(Dialog::TimerCookie(no + 1000, 1));  // no such dialog
  {
    ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->State(), Dialog::Z_DONE);
  }
  g_core.OnTimer(current);
  {
    ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->State(), Dialog::PASS);
    EXPECT_EQ(d->TimerID(), PollReactor::kNoTimer);
  }
  g_core.OnTimer(current);  // once only: the timer is gone
  g_core.Destroy(no);
}

TEST(ZeroAnswerTimer, OtherTimerTypesAreLeftAlone) {
  auto* call = new Call("C&zero-2&t", "");
  ASSERT_TRUE(call->Entered());
  const unsigned no = call->Number();
  call->State(Dialog::Z_DONE);
  call->ScheduleTimer(Dialog::T_MEDIA, &g_core, 60000);
  call->unlock();
  g_core.OnTimer(Dialog::TimerCookie(no, 1));
  {
    ObjectGuard<Dialog> d = g_core.GetDialog(static_cast<int>(no));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->State(), Dialog::Z_DONE);
    d->CancelTimer(Dialog::T_ANY);
  }
  g_core.Destroy(no);
}

}  // namespace
