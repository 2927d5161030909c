#include <filesystem>

#include "tests/support/temp_dir.h"

namespace quillpost::test {

std::string TemporaryBase() { return std::filesystem::temp_directory_path().string(); }

}  // namespace quillpost::test
