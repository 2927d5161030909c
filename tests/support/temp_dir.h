#pragma once

#include <string>

namespace quillpost::test {

/// The directory that temporary directories go in: the system's, unless
/// (POSIX) other users could not reach into it, for the rows that run a
/// program as another user; then /tmp.
std::string TemporaryBase();

/// A fresh directory under TemporaryBase(), removed with everything in it
/// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// Returns |name| inside the directory.
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

/// Returns the whole content of |path|, or "<missing>" when it cannot be read.
std::string ReadFileBytes(const std::string& path);

/// Replaces the content of |path| with |bytes|.
void WriteFileBytes(const std::string& path, const std::string& bytes);

/// Returns the names in |dir| (without "." and ".."), sorted.
std::string ListDirectory(const std::string& dir);

}  // namespace quillpost::test
