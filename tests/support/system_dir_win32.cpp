#include <windows.h>

#include <filesystem>

#include "tests/support/system_dir.h"

namespace quillpost::test {

TestSystemDir::TestSystemDir() {
  char dir[MAX_PATH];
  GetSystemDirectoryA(dir, MAX_PATH);
  path_ = dir;
  file_ = path_ + "\\Mapisvc.inf";
  saved_ = ReadFileBytes(file_);
  had_file_ = saved_ != "<missing>";
  std::error_code ignored;
  std::filesystem::remove_all(file_, ignored);
}

TestSystemDir::~TestSystemDir() {
  std::error_code ignored;
  std::filesystem::remove_all(file_, ignored);
  std::filesystem::remove(file_ + ".moved", ignored);
  if (had_file_) WriteFileBytes(file_, saved_);
}

std::vector<std::pair<std::string, std::string>> TestSystemDir::Environment() const { return {}; }

bool ProgramsKeepFileLayout() { return false; }

}  // namespace quillpost::test
