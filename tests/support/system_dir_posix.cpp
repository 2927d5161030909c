#include "tests/support/system_dir.h"

namespace quillpost::test {

TestSystemDir::TestSystemDir()
    : owned_(std::make_unique<TempDir>()),
      path_(owned_->path()),
      file_(owned_->Join("Mapisvc.inf")) {}

TestSystemDir::~TestSystemDir() = default;

std::vector<std::pair<std::string, std::string>> TestSystemDir::Environment() const {
  return {{"QUILLPOST_SYSTEM_DIR", path_}};
}

bool ProgramsKeepFileLayout() { return true; }

}  // namespace quillpost::test
