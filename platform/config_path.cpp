#include "platform/config_path.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace quillpost {

const char kConfigFileName[] = "Mapisvc.inf";

namespace {

// The lines are the manual pages' DIAGNOSTICS entries: keep them in step.
const char kNoSystemDirectory[] = "Cannot get the windows system directory";

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif
}  // namespace

namespace {

// kNotGiven: the platform was asked, and its record may say why.
enum class PathResult { kFormed, kNoDirectory, kNotGiven, kTooLong };

PathResult FormPath(Platform& platform, char* buffer, unsigned size, unsigned capacity) {
  if (size == 0 || capacity > size) return PathResult::kNoDirectory;
  buffer[0] = '\0';
  const unsigned length = platform.SystemDirectory(buffer, capacity);
  if (length == 0) return PathResult::kNotGiven;
  // Separator, file name and terminating null must fit after the directory.
  const size_t needed = size_t{length} + 1 + sizeof kConfigFileName;
  if (length >= capacity || needed > size) {
    buffer[0] = '\0';
    return PathResult::kTooLong;
  }
  buffer[length] = kPathSeparator;
  std::memcpy(buffer + length + 1, kConfigFileName, sizeof kConfigFileName);
  return PathResult::kFormed;
}

}  // namespace

bool ServiceConfigPath(Platform& platform, char* buffer, unsigned size, unsigned capacity) {
  return FormPath(platform, buffer, size, capacity) == PathResult::kFormed;
}

bool ServiceConfigPathOrSay(Platform& platform, char* buffer, unsigned size, unsigned capacity) {
  switch (FormPath(platform, buffer, size, capacity)) {
    case PathResult::kFormed:
      return true;
    case PathResult::kNoDirectory:
      std::puts(kNoSystemDirectory);
      return false;
    case PathResult::kNotGiven:
      std::puts(kNoSystemDirectory);
      if (platform.LastFailure().line != nullptr) std::puts(platform.LastFailure().line);
      return false;
    case PathResult::kTooLong:
      std::printf("The system directory is too long: at most %u characters\n",
                  static_cast<unsigned>(size - 1 - sizeof kConfigFileName));
      return false;
  }
  return false;
}

}  // namespace quillpost
