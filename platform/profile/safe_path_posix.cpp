#include "platform/profile/safe_path_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace quillpost {
namespace {

// Links followed before the path is given up as a loop, as the kernel does.
constexpr int kMaxLinks = 40;

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir == "/" ? "/" + name : dir + "/" + name;
}

/// Puts the components of |path| on |pending|, the first one last, so that
/// they come off it in order; "" and "." are left out.
void PushComponents(const std::string& path, std::vector<std::string>* pending) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(begin, end - begin);
    if (!part.empty() && part != ".") parts.push_back(part);
    begin = end + 1;
  }
  pending->insert(pending->end(), parts.rbegin(), parts.rend());
}

/// Whether /proc can name a held directory; when not, a path is used by
/// name, links still resolved by us.
bool ProcNamesDescriptors() {
  static const bool present = ::access("/proc/self/fd", X_OK) == 0;
  return present;
}

}  // namespace

bool MayFollowLink(uid_t link_owner, const struct stat& dir) {
  if (link_owner == geteuid()) return true;
  if ((dir.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return link_owner == dir.st_uid;
}

std::string LinkRefusal(const std::string& link) {
  return "\"" + link +
         "\" is another user's symbolic link in a sticky directory that others can write; "
         "it is not followed";
}

void SafePath::Release() {
  if (dir_fd_ >= 0) disk_.Close(dir_fd_);
  dir_fd_ = -1;
}

SafePath::Result SafePath::Resolve(const char* path) {
  Release();
  path_.clear();
  canonical_.clear();
  refused_.clear();
  if (path[0] == '\0') {
    errno = ENOENT;
    return Result::kFailed;
  }
  // |resolved| is the directory reached so far, free of links: "/" or ""
  // (the current directory) to start with.
  std::string resolved = path[0] == '/' ? "/" : "";
  std::string last;  // the last component, once reached
  bool dir_known = false;
  std::vector<std::string> pending;
  PushComponents(path, &pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string part = pending.back();
    pending.pop_back();
    if (part == "..") {
      // |resolved| holds no link, so its parent is its parent by name.
      const size_t slash = resolved.rfind('/');
      const std::string tail = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
      if (resolved.empty() || tail == "..") {
        resolved = Join(resolved, "..");
      } else if (resolved != "/") {
        resolved = slash == std::string::npos ? "" : slash == 0 ? "/" : resolved.substr(0, slash);
      }
      dir_known = false;
      continue;
    }
    const std::string next = Join(resolved, part);
    struct stat st;
    if (disk_.Lstat(next.c_str(), &st) != 0) {
      if (errno != ENOENT) return Result::kFailed;
      if (pending.empty()) {
        last = part;
        break;
      }
      // A missing directory: nothing is held, and whatever is done through
      // the name finds it missing.
      path_ = next;
      while (!pending.empty()) {
        path_ = Join(path_, pending.back());
        pending.pop_back();
      }
      canonical_ = path_;
      return Result::kResolved;
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return Result::kFailed;
      }
      if (!dir_known) {
        if (disk_.Lstat(resolved.empty() ? "." : resolved.c_str(), &dir_st_) != 0) {
          return Result::kFailed;
        }
        dir_known = true;
      }
      if (!MayFollowLink(st.st_uid, dir_st_)) {
        refused_ = next;
        errno = EACCES;
        return Result::kRefused;
      }
      std::string target;
      if (disk_.ReadLink(next.c_str(), &target) != 0) return Result::kFailed;
      if (!target.empty() && target[0] == '/') {
        resolved = "/";
        dir_known = false;
      }
      PushComponents(target, &pending);
      continue;
    }
    if (pending.empty()) {
      last = part;
      break;
    }
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return Result::kFailed;
    }
    resolved = next;
    dir_st_ = st;
    dir_known = true;
  }
  if (last.empty()) {
    // The path ends in a directory ("/", ".."): named as it is, which no
    // regular file is.
    path_ = canonical_ = resolved.empty() ? "." : resolved;
    return Result::kResolved;
  }
  canonical_ = Join(resolved, last);

  // The directory is held from here on: should a directory on the way to
  // it be swapped after it was looked at, the one held is still the one
  // checked, or the resolution fails.
  const std::string dir = resolved.empty() ? "." : resolved;
  const int fd = disk_.Open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW, 0);
  if (fd < 0) return Result::kFailed;
  struct stat held;
  const bool stat_failed = disk_.Fstat(fd, &held) != 0;
  if (stat_failed ||
      (dir_known && (held.st_dev != dir_st_.st_dev || held.st_ino != dir_st_.st_ino))) {
    const int saved = stat_failed ? errno : ESTALE;
    disk_.Close(fd);
    errno = saved;
    return Result::kFailed;
  }
  dir_fd_ = fd;
  dir_st_ = held;
  path_ = ProcNamesDescriptors() ? "/proc/self/fd/" + std::to_string(fd) + "/" + last : canonical_;
  return Result::kResolved;
}

}  // namespace quillpost
