// The core's own dialog timer: the answer timer of zero-media calls. Reactor thread.
#include "core/core.h"
#include "dialogs/call.h"

void OstrelCore::timer_cb(const void* data) {
  TGuard<Dialog_t> d = GetDialog(static_cast<int>(Dialog_t::CookieNumber(data)));
  if (!d || !d->TimerIsCurrent(data) || d->TimerType() != Dialog_t::T_ZANSWER) return;
  if (auto* call = dynamic_cast<Call_t*>(d.operator->())) call->ZAnswerTimeout();
}
