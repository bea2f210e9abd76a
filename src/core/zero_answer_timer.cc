// The core's own dialog timer: the answer timer of zero-media calls. Reactor thread.
#include "core/core.h"
#include "dialogs/call.h"

void OstrelCore::OnTimer(const void* data) {
  ObjectGuard<Dialog> d = GetDialog(static_cast<int>(Dialog::CookieNumber(data)));
  if (!d || !d->TimerIsCurrent(data) || d->TimerType() != Dialog::T_ZANSWER) return;
  if (auto* call = dynamic_cast<Call*>(d.operator->())) call->ZAnswerTimeout();
}
