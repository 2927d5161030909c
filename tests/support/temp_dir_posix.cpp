#include <sys/stat.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace quillpost::test {

std::string TemporaryBase() {
  const std::filesystem::path system = std::filesystem::temp_directory_path();
  // Every directory on the way must let others through.
  for (std::filesystem::path p = system; !p.empty(); p = p.parent_path()) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return "/tmp";
    if (p == p.root_path()) break;
  }
  return system.string();
}

}  // namespace quillpost::test
