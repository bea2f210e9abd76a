#include "media/media_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace {

// Sanitizer run-times keep redzones and fake frames on the thread's stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kSanitizerStack = 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kSanitizerStack = 1024 * 1024;
#else
constexpr size_t kSanitizerStack = 0;
#endif
#else
constexpr size_t kSanitizerStack = 0;
#endif

}  // namespace

MediaThread::MediaThread(size_t stack_size)
    : stack_size_(stack_size < kSanitizerStack ? kSanitizerStack : stack_size) {}

MediaThread::~MediaThread() { Stop(); }

bool MediaThread::Start(Body body, void* arg) {
  if (running_) return false;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  bool ok =
      pthread_attr_setstacksize(&attr, stack_size_) == 0 && pthread_create(&thread_, &attr, body, arg) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) {
    ::close(wake_fd_);
    wake_fd_ = -1;
    return false;
  }
  running_ = true;
  return true;
}

void MediaThread::Stop() {
  if (!running_) return;
  uint64_t one = 1;
  ssize_t rc = ::write(wake_fd_, &one, sizeof one);
  (void)rc;  // an eventfd write only fails on counter overflow, and then it is readable anyway
  pthread_join(thread_, nullptr);
  running_ = false;
  ::close(wake_fd_);
  wake_fd_ = -1;
}
