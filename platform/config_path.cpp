#include "platform/config_path.h"

#include <cstring>

#include "platform/platform.h"

namespace quillpost {

const char kConfigFileName[] = "Mapisvc.inf";
const char kNoSystemDirectory[] = "Cannot get the windows system directory";

namespace {
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif
}  // namespace

bool ServiceConfigPath(Platform& platform, char* buffer, unsigned size, unsigned capacity) {
  if (size == 0 || capacity > size) return false;
  buffer[0] = '\0';
  const unsigned length = platform.SystemDirectory(buffer, capacity);
  // Separator, file name and terminating null must fit after the directory.
  const size_t needed = size_t{length} + 1 + sizeof kConfigFileName;
  if (length == 0 || length >= capacity || needed > size) {
    buffer[0] = '\0';
    return false;
  }
  buffer[length] = kPathSeparator;
  std::memcpy(buffer + length + 1, kConfigFileName, sizeof kConfigFileName);
  return true;
}

}  // namespace quillpost
