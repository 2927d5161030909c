// Preloaded into a program by a test: every fork fails, as it does when the
// process limit is reached.

#include <errno.h>
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) pid_t fork() noexcept {
  errno = EAGAIN;
  return -1;
}

extern "C" __attribute__((visibility("default"))) pid_t _Fork() noexcept {
  errno = EAGAIN;
  return -1;
}
