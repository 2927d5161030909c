#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

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

}  // namespace

Child::Child(const LaunchOptions& launch) {
  program_ = launch.argv.empty() ? "" : launch.argv[0];
  int out[2], in[2];
  if (pipe(out) != 0 || pipe(in) != 0) return;
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
    close(out[0]);
    close(out[1]);
    close(in[0]);
    close(in[1]);
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
  close(in[0]);
  output_fd_ = out[0];
  WriteInput(in[1], launch.input);
  close(in[1]);
}

Child::~Child() {
  if (!waited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
}

void Child::Kill(int signal) { kill(pid_, signal); }

ProcessResult Child::Wait(int deadline_seconds) {
  ProcessResult result;
  waited_ = true;
  if (pid_ <= 0) return result;
  const int seconds = ScaledSeconds(deadline_seconds);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd ready = {output_fd_, POLLIN, 0};
    const int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      // Past the deadline: the child, or a process that inherited its
      // output, is hung. Kill the child and stop reading.
      result.hung = true;
      kill(pid_, SIGKILL);
      break;
    }
    const ssize_t n = read(output_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(output_fd_);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  if (result.hung) ReportHang(program_, seconds);
  return result;
}

std::string ConsoleText(const std::string& text) { return text; }

ProcessResult RunProcess(const LaunchOptions& launch) { return Child(launch).Wait(); }

}  // namespace quillpost::test
