#include <filesystem>
#include <random>

#include "tests/support/system_dir.h"

namespace quillpost::test {

TestSystemDir::TestSystemDir() {
  std::random_device seed;
  for (;;) {
    const auto candidate = std::filesystem::temp_directory_path() /
                           ("quillpost-sys-" + std::to_string(std::mt19937_64(seed())()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.string();
      break;
    }
  }
  file_ = path_ + "/Mapisvc.inf";
}

TestSystemDir::~TestSystemDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::pair<std::string, std::string>> TestSystemDir::Environment() const {
  return {{"QUILLPOST_SYSTEM_DIR", path_}};
}

}  // namespace quillpost::test
