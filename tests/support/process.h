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
};

/// How to start a child process.
struct LaunchOptions {
  std::vector<std::string> argv;                         // argv[0] is the program
  std::vector<std::pair<std::string, std::string>> env;  // set (empty value: unset)
  std::string input;                                     // its whole standard input
  bool close_input = false;                              // start with stdin closed
  std::string working_dir;                               // empty: the test's own
};

/// Returns |text| as a program's console output shows it: each line feed
/// written as the platform's line end (CR LF on Windows).
std::string ConsoleText(const std::string& text);

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
  /// Waits for the child's end. Returns its status and output.
  ProcessResult Wait();

 private:
  int pid_ = -1;
  int output_fd_ = -1;       // POSIX
  void* process_ = nullptr;  // Windows
  void* output_ = nullptr;   // Windows
  bool waited_ = false;
};

}  // namespace quillpost::test
