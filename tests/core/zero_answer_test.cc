// The core's zero-answer timer: only the call's current T_ZANSWER timer acts, and a call whose zero-media
// exchange is done goes back to plain relaying.
#include <gtest/gtest.h>

#include "core/core.h"
#include "dialogs/call.h"

namespace {

TEST(ZeroAnswerTimer, OnlyTheCurrentTimerMovesADoneCallToPass) {
  auto* call = new Call_t("C&zero-1&t", "");
  ASSERT_TRUE(call->Entered());
  const unsigned no = call->UniqNo();
  call->State(Dialog_t::Z_DONE);
  call->ScheduleTimer(Dialog_t::T_ZANSWER, &Core, 60000);
  const void* current = Dialog_t::TimerCookie(no, 1);
  ASSERT_TRUE(call->TimerIsCurrent(current));
  call->unlock();

  Core.timer_cb(Dialog_t::TimerCookie(no, 0));  // a replaced timer
  Core.timer_cb(Dialog_t::TimerCookie(no + 1000, 1));  // no such dialog
  {
    TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(no));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->State(), Dialog_t::Z_DONE);
  }
  Core.timer_cb(current);
  {
    TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(no));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->State(), Dialog_t::PASS);
    EXPECT_EQ(d->TimerID(), PollReactor::kNoTimer);
  }
  Core.timer_cb(current);  // once only: the timer is gone
  Core.Destroy(no);
}

TEST(ZeroAnswerTimer, OtherTimerTypesAreLeftAlone) {
  auto* call = new Call_t("C&zero-2&t", "");
  ASSERT_TRUE(call->Entered());
  const unsigned no = call->UniqNo();
  call->State(Dialog_t::Z_DONE);
  call->ScheduleTimer(Dialog_t::T_MEDIA, &Core, 60000);
  call->unlock();
  Core.timer_cb(Dialog_t::TimerCookie(no, 1));
  {
    TGuard<Dialog_t> d = Core.GetDialog(static_cast<int>(no));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->State(), Dialog_t::Z_DONE);
    d->CancelTimer(Dialog_t::T_ANY);
  }
  Core.Destroy(no);
}

}  // namespace
