#include "tests/support/other_user_posix.h"

#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quillpost::test {
namespace {

namespace fs = std::filesystem;

/// Returns true when |uid| and |gid|, with no other groups, may execute
/// every one of |paths|: asked of the kernel by a child that becomes them.
bool MayRun(uid_t uid, gid_t gid, const std::vector<std::string>& paths) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    for (const std::string& path : paths) {
      if (access(path.c_str(), R_OK | X_OK) != 0) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace

OtherUserCopies::OtherUserCopies(uid_t uid, gid_t gid, const std::vector<std::string>& files)
    : uid_(uid), gid_(gid) {
  if (geteuid() != 0) {
    why_not_ = "only root may run a program as another user";
    return;
  }
  // $TMPDIR may itself sit where that user cannot go; the usual places
  // for temporaries follow it.
  std::vector<std::string> bases;
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] == '/')
    bases.push_back(tmp);
  for (const char* base : {"/tmp", "/var/tmp", "/dev/shm"}) bases.push_back(base);
  for (const std::string& base : bases) {
    std::string dir = base + "/quillpost-user-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) continue;
    std::vector<std::string> copies;
    std::error_code error;
    bool copied = chown(dir.c_str(), uid, gid) == 0 && chmod(dir.c_str(), 0700) == 0;
    for (const std::string& file : files) {
      const std::string copy = dir + "/" + fs::path(file).filename().string();
      copied = copied && fs::copy_file(file, copy, error) && chown(copy.c_str(), uid, gid) == 0 &&
               chmod(copy.c_str(), 0755) == 0;
      copies.push_back(copy);
    }
    if (copied && MayRun(uid, gid, copies)) {
      dir_ = dir;
      return;
    }
    fs::remove_all(dir, error);
  }
  why_not_ = "uid " + std::to_string(uid) + " can reach no temporary directory to run a copy from";
}

OtherUserCopies::~OtherUserCopies() {
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

std::string OtherUserCopies::CopyOf(const std::string& file) const {
  return dir_ + "/" + fs::path(file).filename().string();
}

void OtherUserCopies::Prepare(LaunchOptions* launch) const {
  launch->argv[0] = CopyOf(launch->argv[0]);
  launch->working_dir = dir_;
  launch->uid = static_cast<int>(uid_);
  launch->gid = static_cast<int>(gid_);
}

}  // namespace quillpost::test
