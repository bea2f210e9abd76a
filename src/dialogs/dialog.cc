#include "dialogs/dialog.h"

#include "dialogs/dialog_table.h"
#include "foundation/log.h"

Dialog_t::Dialog_t(std::string key) : key_m(std::move(key)), DlgUpdate_m(time(nullptr)), table_m(DialogTable::Instance()) {
  Write_Guard_Mutex guard(table_m->DlgLock);
  if (!table_m->EnterDialog(this)) {
    Log("ostrel", LOG_ERROR, "Warning: Duplicated Key: %s\n", key_m.c_str());
    return;
  }
  lock();
  UniqStr_m = std::to_string(UniqNo_m);
}

// The caller holds the table's write lock (Destroy), or the dialog never entered the table.
Dialog_t::~Dialog_t() {
  if (UniqNo_m == 0) return;
  CancelTimer(~0);
  Log(UniqStr_m.c_str(), LOG_TRACE, "~Dialog_t Before (%zd,%zd) %s ....\n", table_m->PDialogs.size(),
      table_m->Dialogs.size(), key_m.c_str());
  table_m->EraseDialog(this);
  Log(UniqStr_m.c_str(), LOG_TRACE, "~Dialog_t After  (%zd,%zd) ....\n", table_m->PDialogs.size(),
      table_m->Dialogs.size());
  Log(UniqStr_m.c_str(), LOG_DEBUG, "End of Dialog  %s ....\n", key_m.c_str());
}

void Dialog_t::ScheduleTimer(int type, TimerCB* cb, int ms) {
  if (TimerID_m != PollReactor::kNoTimer) {
    Log(UniqStr_m.c_str(), LOG_ERROR, "Error: Timer is set already - Cancel it\n");
    CancelTimer(~0);
  }
  ++TimerGen_m;
  TimerID_m = PollReactor::instance()->timer_set(cb, ms, TimerCookie(UniqNo_m, TimerGen_m));
  TimerType_m = type;
}

void Dialog_t::CancelTimer(int mask) {
  if (TimerID_m == PollReactor::kNoTimer) return;
  if ((TimerType_m & mask) == 0)
    Log(UniqStr_m.c_str(), LOG_ERROR, "Error: Canceling wrong timer %X %X\n", TimerType_m, mask);
  if (PollReactor* r = PollReactor::instance()) r->timer_cancel(TimerID_m);
  TimerID_m = PollReactor::kNoTimer;
  TimerType_m = 0;
  // A callback already on its way carries the old generation and is ignored.
  ++TimerGen_m;
}
