// Thin owners of the POSIX locks, their scoped guards, and TGuard<T> which carries an object's lock
// from a lookup to its caller. Each lock and guard may be used from any thread; a guard belongs to one scope.
#pragma once

#include <pthread.h>

#include <utility>

class Spin {
 public:
  Spin() { pthread_spin_init(&spn_m, PTHREAD_PROCESS_PRIVATE); }
  ~Spin() { pthread_spin_destroy(&spn_m); }
  Spin(const Spin&) = delete;
  Spin& operator=(const Spin&) = delete;
  int lock() { return pthread_spin_lock(&spn_m); }
  int unlock() { return pthread_spin_unlock(&spn_m); }

 private:
  pthread_spinlock_t spn_m;
};

class Mutex {
 public:
  Mutex() { pthread_mutex_init(&mtx_m, nullptr); }
  virtual ~Mutex() { pthread_mutex_destroy(&mtx_m); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  int lock() { return pthread_mutex_lock(&mtx_m); }
  int trylock() { return pthread_mutex_trylock(&mtx_m); }
  int unlock() { return pthread_mutex_unlock(&mtx_m); }

 protected:
  struct Recursive {};
  explicit Mutex(Recursive) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mtx_m, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  pthread_mutex_t mtx_m;
};

class Recursive_Mutex : public Mutex {
 public:
  Recursive_Mutex() : Mutex(Recursive{}) {}
};

class Cond_Mutex : public Mutex {
 public:
  Cond_Mutex() { pthread_cond_init(&cnd_m, nullptr); }
  ~Cond_Mutex() override { pthread_cond_destroy(&cnd_m); }
  int signal() { return pthread_cond_signal(&cnd_m); }
  int broadcast() { return pthread_cond_broadcast(&cnd_m); }
  // The caller holds this object's mutex.
  int wait() { return pthread_cond_wait(&cnd_m, &mtx_m); }
  // Waits at most until the absolute CLOCK_REALTIME time; ETIMEDOUT when it passed.
  int wait_until(const timespec& abstime) { return pthread_cond_timedwait(&cnd_m, &mtx_m, &abstime); }

 private:
  pthread_cond_t cnd_m;
};

class RW_Mutex {
 public:
  RW_Mutex() { pthread_rwlock_init(&mtx_m, nullptr); }
  ~RW_Mutex() { pthread_rwlock_destroy(&mtx_m); }
  RW_Mutex(const RW_Mutex&) = delete;
  RW_Mutex& operator=(const RW_Mutex&) = delete;
  int read_lock() { return pthread_rwlock_rdlock(&mtx_m); }
  int try_read_lock() { return pthread_rwlock_tryrdlock(&mtx_m); }
  int write_lock() { return pthread_rwlock_wrlock(&mtx_m); }
  int unlock() { return pthread_rwlock_unlock(&mtx_m); }

 private:
  pthread_rwlock_t mtx_m;
};

class Guard_Mutex {
 public:
  enum LockState { DO_LOCK = 1, DONOT_LOCK = 0, WAS_LOCKED = -1 };

  explicit Guard_Mutex(Mutex& m, LockState st = DO_LOCK) : rmtx_m(m), locked_m(st == WAS_LOCKED) {
    if (st == DO_LOCK) lock();
  }
  ~Guard_Mutex() { unlock(); }
  Guard_Mutex(const Guard_Mutex&) = delete;
  Guard_Mutex& operator=(const Guard_Mutex&) = delete;

  int lock() {
    if (locked_m) return -1;
    locked_m = true;
    return rmtx_m.lock();
  }
  int unlock() {
    if (!locked_m) return -1;
    locked_m = false;
    return rmtx_m.unlock();
  }

 private:
  Mutex& rmtx_m;
  bool locked_m;
};

class Read_Guard_Mutex {
 public:
  using LockState = Guard_Mutex::LockState;

  explicit Read_Guard_Mutex(RW_Mutex& m, LockState st = Guard_Mutex::DO_LOCK)
      : rmtx_m(m), locked_m(st == Guard_Mutex::WAS_LOCKED) {
    if (st == Guard_Mutex::DO_LOCK) read_lock();
  }
  ~Read_Guard_Mutex() { unlock(); }
  Read_Guard_Mutex(const Read_Guard_Mutex&) = delete;
  Read_Guard_Mutex& operator=(const Read_Guard_Mutex&) = delete;

  int read_lock() {
    if (locked_m) return -1;
    locked_m = true;
    return rmtx_m.read_lock();
  }
  int write_lock() {
    if (locked_m) return -1;
    locked_m = true;
    return rmtx_m.write_lock();
  }
  int unlock() {
    if (!locked_m) return -1;
    locked_m = false;
    return rmtx_m.unlock();
  }

 protected:
  struct Writer {};
  Read_Guard_Mutex(RW_Mutex& m, LockState st, Writer) : rmtx_m(m), locked_m(st == Guard_Mutex::WAS_LOCKED) {
    if (st == Guard_Mutex::DO_LOCK) write_lock();
  }

 private:
  RW_Mutex& rmtx_m;
  bool locked_m;
};

class Write_Guard_Mutex : public Read_Guard_Mutex {
 public:
  explicit Write_Guard_Mutex(RW_Mutex& m, LockState st = Guard_Mutex::DO_LOCK) : Read_Guard_Mutex(m, st, Writer{}) {}
};

// Holds T's own lock (T provides lock() and unlock()) and hands it on by move, never unlocking in between.
template <class T>
class TGuard {
 public:
  TGuard() = default;
  explicit TGuard(T* p) : pInst_m(p) {
    if (pInst_m) pInst_m->lock();
  }
  TGuard(TGuard&& o) noexcept : pInst_m(std::exchange(o.pInst_m, nullptr)) {}
  TGuard& operator=(TGuard&& o) noexcept {
    if (this != &o) {
      reset();
      pInst_m = std::exchange(o.pInst_m, nullptr);
    }
    return *this;
  }
  TGuard(const TGuard&) = delete;
  TGuard& operator=(const TGuard&) = delete;
  ~TGuard() { reset(); }

  // Adopts p whose lock the caller already holds.
  void set(T* p) { pInst_m = p; }
  void reset() {
    if (pInst_m) std::exchange(pInst_m, nullptr)->unlock();
  }
  // Gives up ownership without unlocking (the caller takes the lock over).
  T* release() { return std::exchange(pInst_m, nullptr); }

  explicit operator bool() const { return pInst_m != nullptr; }
  operator T*() const { return pInst_m; }
  T* operator->() const { return pInst_m; }

 private:
  T* pInst_m = nullptr;
};
