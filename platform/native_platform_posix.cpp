#include <cstdlib>
#include <cstring>

#include "platform/disk_interface_posix.h"
#include "platform/platform.h"
#include "platform/profile_file_posix.h"

namespace quillpost {
namespace {

/// Where Windows is absent, the system directory is named by this variable.
constexpr char kSystemDirVariable[] = "QUILLPOST_SYSTEM_DIR";

class PosixPlatform : public Platform {
 public:
  unsigned SystemDirectory(char* buffer, unsigned capacity) override {
    const char* dir = std::getenv(kSystemDirVariable);
    if (dir == nullptr || dir[0] == '\0') return 0;
    const size_t length = std::strlen(dir);
    // Like the platform's query: a directory that does not fit reports the
    // size it would need, terminating null included, and stores nothing.
    if (length >= capacity) return static_cast<unsigned>(length + 1);
    std::memcpy(buffer, dir, length + 1);
    return static_cast<unsigned>(length);
  }

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override {
    return profile_.Write(file, section, key, value);
  }

  bool DeleteKey(const char* section, const char* key, const char* file) override {
    return profile_.Delete(file, section, key);
  }

  unsigned ReadString(const char* section, const char* key, const char* default_value, char* buffer,
                      unsigned capacity, const char* file) override {
    return profile_.Read(file, section, key, default_value, buffer, capacity);
  }

 private:
  RealDiskInterface disk_;
  ProfileFile profile_{disk_};
};

}  // namespace

Platform& NativePlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace quillpost
