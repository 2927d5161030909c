#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/profile/disk_interface_posix.h"

namespace quillpost {

/// Returns true when the caller may follow a symbolic link owned by
/// |link_owner| that sits in the directory whose status is |dir|: the rule
/// of the kernel's link protection (fs.protected_symlinks = 1), applied
/// whatever the machine's setting. In a sticky directory that others can
/// write, only a link of the caller or of the directory's owner is followed.
bool MayFollowLink(uid_t link_owner, const struct stat& dir);

/// The line that says a link was not followed, naming it.
std::string LinkRefusal(const std::string& link);

/// A path resolved by us, one component at a time, under MayFollowLink,
/// and the directory that holds its last component opened and held.
/// Everything done through path() then happens in that directory, so
/// nothing swapped in on the way to it between the check and the use
/// counts. The rules: docs/profile-format.md, "Directories others can write".
class SafePath {
 public:
  enum class Result {
    kResolved,  ///< path() names the last component, not a link (or missing)
    kRefused,   ///< a link the rule does not follow: refused_link() names it
    kFailed,    ///< the disk failed; errno says why
  };

  explicit SafePath(DiskInterface& disk) : disk_(disk) {}
  ~SafePath() { Release(); }
  SafePath(const SafePath&) = delete;
  SafePath& operator=(const SafePath&) = delete;

  /// Resolves |path|, letting go of what an earlier call held. A missing
  /// component ends the resolution: the rest is named as it stands (held
  /// directory none), for the caller to create or to find missing.
  Result Resolve(const char* path);

  /// The last component through the held directory
  /// ("/proc/self/fd/<n>/Mapisvc.inf"), or by name where /proc is absent.
  const std::string& path() const { return path_; }
  /// The same file by name, every link resolved.
  const std::string& canonical() const { return canonical_; }
  const std::string& refused_link() const { return refused_; }
  /// The held directory's descriptor (-1 when none) and status.
  int directory() const { return dir_fd_; }
  const struct stat& directory_status() const { return dir_st_; }

  /// Closes the held directory.
  void Release();

 private:
  DiskInterface& disk_;
  std::string path_, canonical_, refused_;
  int dir_fd_ = -1;
  struct stat dir_st_ = {};
};

}  // namespace quillpost
