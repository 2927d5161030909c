#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace quillpost::test {

/// What a test runs as another user, copied into a private directory of
/// that user's, so that the run never depends on who may enter the folders
/// above the build tree (a clone inside a 0700 directory included).
class OtherUserCopies {
 public:
  /// Copies each of |files| (programs, and libraries they load) into a new
  /// directory that only |uid| may enter, under the first temporary
  /// directory that |uid| can reach, and checks that |uid| can run them.
  OtherUserCopies(uid_t uid, gid_t gid, const std::vector<std::string>& files);
  ~OtherUserCopies();
  OtherUserCopies(const OtherUserCopies&) = delete;
  OtherUserCopies& operator=(const OtherUserCopies&) = delete;

  /// "" when the copies are ready; else why this machine cannot run them as
  /// that user, for the skip to print.
  const std::string& why_not() const { return why_not_; }
  const std::string& dir() const { return dir_; }
  /// The copy of |file|, one of those given, by its file name.
  std::string CopyOf(const std::string& file) const;
  /// Makes |launch| run the copy of its program as the user, from the
  /// copies' directory.
  void Prepare(LaunchOptions* launch) const;

 private:
  uid_t uid_;
  gid_t gid_;
  std::string dir_;
  std::string why_not_;
};

}  // namespace quillpost::test
