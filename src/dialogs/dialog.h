// Dialog_t: the state kept for one SIP dialog or stand-alone transaction between a client and the server.
// A dialog is worked on only by the thread holding its lock; timers find it again by its number.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/inet_addr.h"
#include "foundation/locks.h"
#include "foundation/reactor.h"

class DialogTable;
class Register_t;

class Dialog_t {
 public:
  // A dialog has at most one pending timer; bits, so that CancelTimer can name several.
  enum Timer_t { T_NONE = 0, T_RETRANS = 1, T_OPTIONS = 2, T_MEDIA = 4, T_AUTH = 8, T_COMPLETE = 16, T_ZANSWER = 32, T_ANY = 255 };
  enum Direction_t { FROM_NOWHERE = 0, FROM_CLN = 1, FROM_SRV = 2 };

  // Enters the dialog in the table under key; on success the creating thread holds it locked.
  explicit Dialog_t(std::string key);
  virtual ~Dialog_t();
  Dialog_t(const Dialog_t&) = delete;
  Dialog_t& operator=(const Dialog_t&) = delete;

  void lock() { Lock_m.lock(); }
  void unlock() { Lock_m.unlock(); }
  int trylock() { return Lock_m.trylock(); }

  const std::string& Key() const { return key_m; }
  unsigned UniqNo() const { return UniqNo_m; }
  const std::string& UniqStr() const { return UniqStr_m; }
  // False when the key was taken already: the creator deletes the object without using it.
  bool Entered() const { return UniqNo_m != 0; }

  // The key manager's effects, applied with the dialog locked.
  void ClnSipAddr(const InetAddr& a) { ClnSipAddr_m = a; }
  const InetAddr& ClnSipAddr() const { return ClnSipAddr_m; }
  virtual void Register(Register_t* reg) {}

  // A timer's data carries the dialog number and a generation; a callback from a replaced timer is stale.
  static const void* TimerCookie(unsigned no, uint32_t generation) {
    return reinterpret_cast<const void*>((uint64_t{generation} << 32) | no);
  }
  static unsigned CookieNumber(const void* cookie) {
    return static_cast<unsigned>(reinterpret_cast<uint64_t>(cookie) & 0xFFFFFFFFu);
  }
  static uint32_t CookieGeneration(const void* cookie) {
    return static_cast<uint32_t>(reinterpret_cast<uint64_t>(cookie) >> 32);
  }
  // The lock is held. Sets the one pending timer, replacing any earlier one.
  void ScheduleTimer(int type, TimerCB* cb, int ms);
  void CancelTimer(int mask);
  bool TimerIsCurrent(const void* cookie) const { return CookieGeneration(cookie) == TimerGen_m; }
  int TimerType() const { return TimerType_m; }

 protected:
  friend class DialogTable;

  std::string key_m;
  std::string UniqStr_m;
  InetAddr ClnSipAddr_m;
  unsigned UniqNo_m = 0;
  uint64_t TimerID_m = PollReactor::kNoTimer;
  int TimerType_m = 0;
  uint32_t TimerGen_m = 0;
  time_t DlgUpdate_m = 0;
  int LogLevel_m = 0;
  Mutex Lock_m;
  DialogTable* table_m;

  // Entries posted for this dialog besides its key and number; changed only under the table's write lock.
  std::vector<std::string> ExtraKeys_m;
  std::vector<unsigned> ExtraNums_m;
};
