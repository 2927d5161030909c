#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillpost::test {

/// What a finished child process left.
struct ProcessResult {
  int exit_status = -1;  // -1 when it ended by a signal; on Windows the exit code
  int signal = 0;        // the signal that ended it, else 0
  std::string output;    // everything it wrote to standard output
  bool hung = false;     // killed at its deadline (the test has failed then)
};

/// How to start a child process.
struct LaunchOptions {
  std::vector<std::string> argv;                         // argv[0] is the program
  std::vector<std::pair<std::string, std::string>> env;  // set (empty value: unset)
  std::string input;                                     // its whole standard input
  bool close_input = false;                              // start with stdin closed
  bool hold_input = false;  // stdin stays open and empty until Child::Send; |input| unused
  std::string working_dir;  // empty: the test's own
  int uid = -1;             // POSIX: run as this user and group, with no other groups
  int gid = -1;             // (the test must be root); -1: as the test itself
  bool utf8_argv = false;   // Windows: argv is UTF-8, given as a wide command line
};

/// Returns |text| as a program's console output shows it: each line feed
/// written as the platform's line end (CR LF on Windows).
std::string ConsoleText(const std::string& text);

/// How long a test lets a program run before it calls it hung: |seconds|
/// scaled by QUILLPOST_TEST_TIME_SCALE (sanitizer, valgrind and Wine builds
/// run slower, and set it), so that the deadline itself never flakes.
int ScaledSeconds(int seconds);

/// Fails the running test: |program| ran past its deadline of |seconds|
/// (while the test waited for |what|, when given).
void ReportHang(const std::string& program, int seconds, const std::string& what = "");

/// The deadline of a program that should end by itself, unscaled.
constexpr int kDefaultDeadlineSeconds = 60;

/// Runs |launch| to its end. Returns its status and output.
ProcessResult RunProcess(const LaunchOptions& launch);

/// A child process started in the background.
class Child {
 public:
  explicit Child(const LaunchOptions& launch);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// Sends |signal| to the child (nothing once it has been waited for).
  void Kill(int signal);
  /// Reads the child's standard output until it holds |text|. Returns true
  /// then; false when the output closed without it, or when the deadline
  /// (scaled as Wait's) passed first, which is reported as a hang.
  bool WaitForOutput(const std::string& text, int deadline_seconds = kDefaultDeadlineSeconds);
  /// Writes |text| to the standard input held open by hold_input.
  void Send(const std::string& text);
  /// Returns the number of bytes sent with Send that the child has not read.
  size_t UnreadInput();
  /// Waits for the exit of the child process itself, not for its standard
  /// output to close (a process it started may hold that open). Hang
  /// handling as Wait's. Returns its status and the output read so far.
  ProcessResult WaitForExit(int deadline_seconds = kDefaultDeadlineSeconds);
  /// Waits for the child's end (its exit, and the close of its standard
  /// output by every process that holds it). A child still running after
  /// ScaledSeconds(|deadline_seconds|) is killed and reported as hung: the
  /// test fails with the program's name. Returns its status and output.
  ProcessResult Wait(int deadline_seconds = kDefaultDeadlineSeconds);

 private:
  enum class Until { kText, kExit, kOutputClosed };
  enum class Outcome { kMet, kOutputClosed, kDeadline };
  /// Reads output until |until| holds, the output closes or |seconds| pass.
  Outcome ReadOutput(Until until, const std::string& text, int seconds);
  /// Collects the child's status; without |block|, only when it has ended.
  /// Returns true once it has been collected.
  bool Reap(bool block);

  std::string program_;
  std::string output_;  // read so far
  ProcessResult status_;
  bool reaped_ = false;
  bool waited_ = false;
  int pid_ = -1;
  int output_fd_ = -1;       // POSIX
  int input_fd_ = -1;        // POSIX, with hold_input: the writing end
  int unread_fd_ = -1;       // POSIX, with hold_input: a reading end, to count what is unread
  void* process_ = nullptr;  // Windows
  void* output_pipe_ = nullptr;
  void* input_pipe_ = nullptr;   // Windows, with hold_input: the writing end
  void* unread_pipe_ = nullptr;  // Windows, with hold_input: a reading end
};

}  // namespace quillpost::test
