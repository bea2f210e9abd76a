// Thin owners of the POSIX locks, their scoped guards, and ObjectGuard<T> which carries an object's lock
// from a lookup to its caller. Each lock and guard may be used from any thread; a guard belongs to one scope.
#pragma once

#include <pthread.h>

#include <utility>

class Spin {
 public:
  Spin() { pthread_spin_init(&spin_, PTHREAD_PROCESS_PRIVATE); }
  ~Spin() { pthread_spin_destroy(&spin_); }
  Spin(const Spin&) = delete;
  Spin& operator=(const Spin&) = delete;
  int lock() { return pthread_spin_lock(&spin_); }
  int unlock() { return pthread_spin_unlock(&spin_); }

 private:
  pthread_spinlock_t spin_;
};

class Mutex {
 public:
  Mutex() { pthread_mutex_init(&mutex_, nullptr); }
  virtual ~Mutex() { pthread_mutex_destroy(&mutex_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  int lock() { return pthread_mutex_lock(&mutex_); }
  int trylock() { return pthread_mutex_trylock(&mutex_); }
  int unlock() { return pthread_mutex_unlock(&mutex_); }

 protected:
  struct Recursive {};
  explicit Mutex(Recursive) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  pthread_mutex_t mutex_;
};

class RecursiveMutex : public Mutex {
 public:
  RecursiveMutex() : Mutex(Recursive{}) {}
};

class ConditionMutex : public Mutex {
 public:
  ConditionMutex() { pthread_cond_init(&condition_, nullptr); }
  ~ConditionMutex() override { pthread_cond_destroy(&condition_); }
  int Signal() { return pthread_cond_signal(&condition_); }
  int Broadcast() { return pthread_cond_broadcast(&condition_); }
  // The caller holds this object's mutex.
  int wait() { return pthread_cond_wait(&condition_, &mutex_); }
  // Waits at most until the absolute CLOCK_REALTIME time; ETIMEDOUT when it passed.
  int WaitUntil(const timespec& abstime) { return pthread_cond_timedwait(&condition_, &mutex_, &abstime); }

 private:
  pthread_cond_t condition_;
};

class ReadWriteMutex {
 public:
  ReadWriteMutex() { pthread_rwlock_init(&mutex_, nullptr); }
  ~ReadWriteMutex() { pthread_rwlock_destroy(&mutex_); }
  ReadWriteMutex(const ReadWriteMutex&) = delete;
  ReadWriteMutex& operator=(const ReadWriteMutex&) = delete;
  int ReadLock() { return pthread_rwlock_rdlock(&mutex_); }
  int TryReadLock() { return pthread_rwlock_tryrdlock(&mutex_); }
  int WriteLock() { return pthread_rwlock_wrlock(&mutex_); }
  int unlock() { return pthread_rwlock_unlock(&mutex_); }

 private:
  pthread_rwlock_t mutex_;
};

class MutexGuard {
 public:
  enum LockState { DO_LOCK = 1, DONOT_LOCK = 0, WAS_LOCKED = -1 };

  explicit MutexGuard(Mutex& m, LockState st = DO_LOCK) : mutex_(m), locked_(st == WAS_LOCKED) {
    if (st == DO_LOCK) lock();
  }
  ~MutexGuard() { unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

  int lock() {
    if (locked_) return -1;
    locked_ = true;
    return mutex_.lock();
  }
  int unlock() {
    if (!locked_) return -1;
    locked_ = false;
    return mutex_.unlock();
  }

 private:
  Mutex& mutex_;
  bool locked_;
};

class ReadGuard {
 public:
  using LockState = MutexGuard::LockState;

  explicit ReadGuard(ReadWriteMutex& m, LockState st = MutexGuard::DO_LOCK)
      : mutex_(m), locked_(st == MutexGuard::WAS_LOCKED) {
    if (st == MutexGuard::DO_LOCK) ReadLock();
  }
  ~ReadGuard() { unlock(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

  int ReadLock() {
    if (locked_) return -1;
    locked_ = true;
    return mutex_.ReadLock();
  }
  int WriteLock() {
    if (locked_) return -1;
    locked_ = true;
    return mutex_.WriteLock();
  }
  int unlock() {
    if (!locked_) return -1;
    locked_ = false;
    return mutex_.unlock();
  }

 protected:
  struct Writer {};
  ReadGuard(ReadWriteMutex& m, LockState st, Writer) : mutex_(m), locked_(st == MutexGuard::WAS_LOCKED) {
    if (st == MutexGuard::DO_LOCK) WriteLock();
  }

 private:
  ReadWriteMutex& mutex_;
  bool locked_;
};

class WriteGuard : public ReadGuard {
 public:
  explicit WriteGuard(ReadWriteMutex& m, LockState st = MutexGuard::DO_LOCK) : ReadGuard(m, st, Writer{}) {}
};

// Holds T's own lock (T provides lock() and unlock()) and hands it on by move, never unlocking in between.
template <class T>
class ObjectGuard {
 public:
  ObjectGuard() = default;
  explicit ObjectGuard(T* p) : instance_(p) {
    if (instance_) instance_->lock();
  }
  ObjectGuard(ObjectGuard&& o) noexcept : instance_(std::exchange(o.instance_, nullptr)) {}
  ObjectGuard& operator=(ObjectGuard&& o) noexcept {
    if (this != &o) {
      reset();
      instance_ = std::exchange(o.instance_, nullptr);
    }
    return *this;
  }
  ObjectGuard(const ObjectGuard&) = delete;
  ObjectGuard& operator=(const ObjectGuard&) = delete;
  ~ObjectGuard() { reset(); }

  // Adopts p whose lock the caller already holds.
  void Set(T* p) { instance_ = p; }
  void reset() {
    if (instance_) std::exchange(instance_, nullptr)->unlock();
  }
  // Gives up ownership without unlocking (the caller takes the lock over).
  T* release() { return std::exchange(instance_, nullptr); }

  explicit operator bool() const { return instance_ != nullptr; }
  operator T*() const { return instance_; }
  T* operator->() const { return instance_; }

 private:
  T* instance_ = nullptr;
};
