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
  std::string working_dir;                               // empty: the test's own
  int uid = -1;  // POSIX: run as this user and group, with no other groups
  int gid = -1;  // (the test must be root); -1: as the test itself
};

/// Returns |text| as a program's console output shows it: each line feed
/// written as the platform's line end (CR LF on Windows).
std::string ConsoleText(const std::string& text);

/// How long a test lets a program run before it calls it hung: |seconds|
/// scaled by QUILLPOST_TEST_TIME_SCALE (sanitizer, valgrind and Wine builds
/// run slower, and set it), so that the deadline itself never flakes.
int ScaledSeconds(int seconds);

/// Fails the running test: |program| ran past its deadline of |seconds|.
void ReportHang(const std::string& program, int seconds);

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

  /// Sends |signal| to the child.
  void Kill(int signal);
  /// Waits for the child's end (its exit, and the close of its standard
  /// output by every process that holds it). A child still running after
  /// ScaledSeconds(|deadline_seconds|) is killed and reported as hung: the
  /// test fails with the program's name. Returns its status and output.
  ProcessResult Wait(int deadline_seconds = kDefaultDeadlineSeconds);

 private:
  std::string program_;
  int pid_ = -1;
  int output_fd_ = -1;       // POSIX
  void* process_ = nullptr;  // Windows
  void* output_ = nullptr;   // Windows
  bool waited_ = false;
};

}  // namespace quillpost::test
