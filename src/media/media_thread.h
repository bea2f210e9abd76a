// MediaThread: a joinable media thread (relay or transcoding) with a small stack and a wake-up descriptor
// the body keeps in its poll set. Start and Stop are called by the thread owning the call (one at a time).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>

class MediaThread {
 public:
  using Body = void* (*)(void*);
  // Media threads need little stack: one packet buffer and a log line.
  static constexpr size_t kStackSize = 64 * 1024;

  explicit MediaThread(size_t stack_size = kStackSize);
  ~MediaThread();  // stops and joins
  MediaThread(const MediaThread&) = delete;
  MediaThread& operator=(const MediaThread&) = delete;

  // false when already running, or when the descriptor or the thread could not be created (nothing is then
  // left behind).
  bool Start(Body body, void* arg);
  // Wakes the body through WakeFd and joins it; returns once the body has returned. Harmless when not
  // running.
  void Stop();
  bool Running() const { return running_; }
  pthread_t Id() const { return thread_; }

  // Readable once Stop was called; the body returns when it sees it.
  int WakeFd() const { return wake_fd_; }

 private:
  size_t stack_size_;
  int wake_fd_ = -1;
  pthread_t thread_{};
  bool running_ = false;
};
