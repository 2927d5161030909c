#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace quillpost::test {

/// The system directory a black-box test runs the programs against. On
/// POSIX a fresh directory named to them by QUILLPOST_SYSTEM_DIR; on Windows
/// the real one (of the build tree's Wine prefix), whose Mapisvc.inf is set
/// aside for the test and put back afterwards.
class TestSystemDir {
 public:
  TestSystemDir();
  ~TestSystemDir();
  TestSystemDir(const TestSystemDir&) = delete;
  TestSystemDir& operator=(const TestSystemDir&) = delete;

  const std::string& path() const { return path_; }
  /// The service configuration file in it.
  const std::string& file() const { return file_; }
  /// The environment a child process needs to use it.
  std::vector<std::pair<std::string, std::string>> Environment() const;

 private:
  std::unique_ptr<TempDir> owned_;  // the directory itself, on POSIX
  std::string path_;
  std::string file_;
  std::string saved_;  // the file's content before the test (Windows)
  bool had_file_ = false;
};

/// Returns true when the programs' edits of Mapisvc.inf keep every byte they
/// do not change (our own engine); false where the platform's profile
/// functions rewrite the whole file in their own layout.
bool ProgramsKeepFileLayout();

}  // namespace quillpost::test
