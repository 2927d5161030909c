#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace quillpost::test {
namespace {

/// Writes |input| into the child's standard input. The input is small (it
/// fits in the pipe, so this cannot block), but the child may have closed
/// its end already, or ended: that must not end the test process by
/// SIGPIPE. The signal is blocked around the write, and one it raised is
/// taken off the pending set before it is unblocked.
void WriteInput(int fd, const std::string& input) {
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  const char* data = input.data();
  size_t left = input.size();
  bool broken = false;
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = errno == EPIPE;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (broken && !sigismember(&previous, SIGPIPE)) {
    const struct timespec now = {0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

/// Returns a descriptor that becomes readable when the process |pid| ends,
/// or -1 where the kernel has none to give.
int ExitDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

Child::Child(const LaunchOptions& launch) {
  program_ = launch.argv.empty() ? "" : launch.argv[0];
  // Close-on-exec: a child started later must not hold this one's pipes.
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    // Tests crash programs on purpose: no core files. The program meets
    // every signal as it would in use: default actions, nothing blocked.
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(out[1], 1);
    if (launch.close_input) {
      close(0);
    } else {
      dup2(in[0], 0);
    }
    for (const auto& [name, value] : launch.env) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (!launch.working_dir.empty() && chdir(launch.working_dir.c_str()) != 0) _exit(126);
    if (launch.gid >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(launch.gid)) != 0))
      _exit(125);
    if (launch.uid >= 0 && setuid(static_cast<uid_t>(launch.uid)) != 0) _exit(125);
    std::vector<char*> args;
    for (const std::string& a : launch.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  output_fd_ = out[0];
  if (launch.hold_input && pid_ > 0) {
    input_fd_ = in[1];
    unread_fd_ = in[0];
  } else {
    close(in[0]);
    if (pid_ > 0) WriteInput(in[1], launch.input);
    close(in[1]);
  }
}

Child::~Child() {
  if (!waited_ && pid_ > 0) {
    Kill(SIGKILL);
    Wait();
  }
  if (unread_fd_ >= 0) close(unread_fd_);
}

void Child::Kill(int signal) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

bool Child::Reap(bool block) {
  if (reaped_ || pid_ <= 0) return reaped_;
  int status = 0;
  pid_t got;
  while ((got = waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got != pid_) return false;
  reaped_ = true;
  if (WIFEXITED(status)) status_.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) status_.signal = WTERMSIG(status);
  return true;
}

Child::Outcome Child::ReadOutput(Until until, const std::string& text, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  const int exit_fd = until == Until::kExit && !reaped_ ? ExitDescriptor(pid_) : -1;
  Outcome outcome = Outcome::kDeadline;
  char buffer[4096];
  for (;;) {
    if ((until == Until::kText && output_.find(text) != std::string::npos) ||
        (until == Until::kExit && Reap(false))) {
      outcome = Outcome::kMet;
      break;
    }
    if (output_fd_ < 0 && until != Until::kExit) {
      outcome = until == Until::kOutputClosed ? Outcome::kMet : Outcome::kOutputClosed;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    // Without an exit descriptor the end of the process is looked for
    // every few milliseconds.
    const bool look_often = until == Until::kExit && exit_fd < 0;
    struct pollfd ready[2] = {{output_fd_, POLLIN, 0}, {exit_fd, POLLIN, 0}};
    const int timeout =
        static_cast<int>(look_often ? std::min<std::int64_t>(left.count(), 5) : left.count());
    if (poll(ready, 2, timeout) < 0) continue;  // EINTR
    if (ready[0].revents == 0) continue;
    const ssize_t n = read(output_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      output_.append(buffer, static_cast<size_t>(n));
    } else {
      close(output_fd_);
      output_fd_ = -1;
    }
  }
  if (exit_fd >= 0) close(exit_fd);
  return outcome;
}

bool Child::WaitForOutput(const std::string& text, int deadline_seconds) {
  if (pid_ <= 0) return false;
  const int seconds = ScaledSeconds(deadline_seconds);
  const Outcome outcome = ReadOutput(Until::kText, text, seconds);
  if (outcome == Outcome::kDeadline) ReportHang(program_, seconds, "\"" + text + "\"");
  return outcome == Outcome::kMet;
}

void Child::Send(const std::string& text) {
  if (input_fd_ >= 0) WriteInput(input_fd_, text);
}

size_t Child::UnreadInput() {
  int unread = 0;
  if (unread_fd_ < 0 || ioctl(unread_fd_, FIONREAD, &unread) != 0) return 0;
  return static_cast<size_t>(unread);
}

ProcessResult Child::WaitForExit(int deadline_seconds) {
  if (pid_ <= 0) return ProcessResult();
  const int seconds = ScaledSeconds(deadline_seconds);
  if (ReadOutput(Until::kExit, "", seconds) == Outcome::kDeadline) {
    Kill(SIGKILL);
    Reap(true);
    status_.hung = true;
    ReportHang(program_, seconds);
  }
  ProcessResult result = status_;
  result.output = output_;
  return result;
}

ProcessResult Child::Wait(int deadline_seconds) {
  waited_ = true;
  if (pid_ <= 0) return ProcessResult();
  const int seconds = ScaledSeconds(deadline_seconds);
  if (ReadOutput(Until::kOutputClosed, "", seconds) == Outcome::kDeadline) {
    // Past the deadline: the child, or a process that inherited its
    // output, is hung. Kill the child and stop reading.
    status_.hung = true;
    Kill(SIGKILL);
    ReportHang(program_, seconds);
  }
  if (output_fd_ >= 0) close(output_fd_);
  output_fd_ = -1;
  Reap(true);
  if (input_fd_ >= 0) close(input_fd_);
  input_fd_ = -1;
  ProcessResult result = status_;
  result.output = output_;
  return result;
}

std::string ConsoleText(const std::string& text) { return text; }

ProcessResult RunProcess(const LaunchOptions& launch) { return Child(launch).Wait(); }

}  // namespace quillpost::test
