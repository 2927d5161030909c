#include <filesystem>

#include "tests/support/reference_reader.h"
#include "tests/support/temp_dir.h"

namespace quillpost::test {

std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& missing) {
  // Only a regular file is read (a FIFO would wait for a writer).
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return missing;
  const std::string text = ReadFileBytes(path);
  if (text == "<missing>") return missing;
  return ReferenceValue(text, section, key).value_or(missing);
}

}  // namespace quillpost::test
