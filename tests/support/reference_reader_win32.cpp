#include <windows.h>

#include <vector>

#include "tests/support/reference_reader.h"

namespace quillpost::test {

// Where the platform's profile functions are there, they are the oracle.
std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& missing) {
  std::vector<char> buffer(1 << 16);
  const DWORD length =
      GetPrivateProfileStringA(section.c_str(), key.c_str(), missing.c_str(), buffer.data(),
                               static_cast<DWORD>(buffer.size()), path.c_str());
  return std::string(buffer.data(), length);
}

}  // namespace quillpost::test
