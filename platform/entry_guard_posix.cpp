// While the entry is held out, a guardian process forked beforehand waits
// on a pipe. A signal handler may only make async-signal-safe calls, so it
// does not rewrite the file itself (the signal may have struck inside
// malloc, or the heap may be what faulted): it asks the guardian to write the
// entry back, waits for the answer, and then lets the signal end the process
// with its usual status. Should the process die without a word (SIGKILL),
// the guardian sees the pipe close and writes the entry back all the same.

#include "platform/entry_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace quillpost {
namespace {

const int kGuardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                               SIGBUS, SIGILL,  SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof kGuardedSignals / sizeof kGuardedSignals[0];

constexpr char kRestore = 'R';
constexpr char kDisarm = 'D';

int g_request_fd = -1;  // parent -> guardian
int g_answer_fd = -1;   // guardian -> parent
pid_t g_guardian = -1;
volatile sig_atomic_t g_restore_asked = 0;
struct sigaction g_previous[kSignalCount];
// A stack of its own for the handler, so that a stack overflow in the
// wizard still reaches it.
char g_alt_stack[64 * 1024];

void OnSignal(int sig) {
  const int saved_errno = errno;
  if (!g_restore_asked) {
    g_restore_asked = 1;
    char answer;
    if (write(g_request_fd, &kRestore, 1) == 1) {
      while (read(g_answer_fd, &answer, 1) < 0 && errno == EINTR) {
      }
    }
  }
  // End as the signal would have: default action, delivered when this
  // handler returns (a fault re-executes the faulting instruction).
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved_errno;
}

/// The guardian's life: wait for a word or for the parent's end, and write
/// the entry back unless told the parent has done so.
[[noreturn]] void Guard(Platform& platform, const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file,
                        const std::string& failure_message, int request_fd, int answer_fd) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_IGN);
  char word = 0;
  ssize_t n;
  do {
    n = read(request_fd, &word, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1 && word == kDisarm) _exit(0);
  const bool ok = platform.WriteString(section.c_str(), key.c_str(), value.c_str(), file.c_str());
  if (!ok) {
    std::fputs(failure_message.c_str(), stdout);
    std::fflush(stdout);
  }
  const char answer = ok ? '1' : '0';
  if (write(answer_fd, &answer, 1) < 0) _exit(1);
  _exit(0);
}

}  // namespace

bool ArmEntryGuard(Platform& platform, const char* section, const char* key, const char* value,
                   const char* file, const char* failure_message) {
  int request[2], answer[2];
  if (pipe2(request, O_CLOEXEC) != 0) return false;
  if (pipe2(answer, O_CLOEXEC) != 0) {
    close(request[0]);
    close(request[1]);
    return false;
  }
  std::fflush(stdout);  // nothing buffered may be printed twice
  const pid_t pid = fork();
  if (pid == 0) {
    close(request[1]);
    close(answer[0]);
    Guard(platform, section, key, value, file, failure_message, request[0], answer[1]);
  }
  close(request[0]);
  close(answer[1]);
  if (pid < 0) {
    close(request[1]);
    close(answer[0]);
    return false;
  }
  g_request_fd = request[1];
  g_answer_fd = answer[0];
  g_guardian = pid;
  g_restore_asked = 0;

  stack_t stack = {};
  stack.ss_sp = g_alt_stack;
  stack.ss_size = sizeof g_alt_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int sig : kGuardedSignals) sigaddset(&action.sa_mask, sig);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kGuardedSignals[i], &action, &g_previous[i]);
  }
  return true;
}

void DisarmEntryGuard() {
  if (g_guardian < 0) return;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kGuardedSignals[i], &g_previous[i], nullptr);
  if (write(g_request_fd, &kDisarm, 1) < 0) {
    // The guardian is gone already; nothing is left to tell it.
  }
  close(g_request_fd);
  close(g_answer_fd);
  while (waitpid(g_guardian, nullptr, 0) < 0 && errno == EINTR) {
  }
  g_request_fd = g_answer_fd = -1;
  g_guardian = -1;
}

}  // namespace quillpost
