// The stand-in's POSIX actions:
//   _exit:N      call _exit(N)
//   raise:N      send signal N to the process
//   group:N      send signal N to the whole process group
//   child:term   fork a child (no exec) that gets SIGTERM, and wait for it
//   child:exit   fork a child (no exec) that calls exit(0), and wait for it
//   child:return fork a child (no exec) that returns from the wizard at
//                once, and wait for it
//   linger       fork a child (no exec) that lives on, apart from the
//                caller's output; its pid is recorded as "linger"
//   close-fds    close every descriptor above standard error
//   chdir:DIR    change the current directory to DIR
//   kill-guardian  SIGKILL every other child of the process
//   forge        queue every other child the requests an old guardian took
//                (restore 1, disarm 2) from this very process, as int and
//                as pointer values
//   lock-file    take a shared lock on the service configuration file, as a
//                reader of it does, and keep it
//   use-fds      open descriptors until none is left, and keep them
//   fsize:N      lower the file-size limit to N bytes
//   setuid:N     become user and group N
//   sigchld-ignore  ignore SIGCHLD, so that ended children are reaped unseen
//   stop-guardian   SIGSTOP every other child of the process
//   stale-temp   leave a temporary file as a writer that died would
//   grow:N       append N bytes of comment to the service configuration file,
//                as another writer would, under no limit of this process's
//   socket-noise send an empty message and three stray bytes to every
//                socket the process holds, as a careless wizard might
//   unload:TEXT  when the library is unloaded (after wiztest's write-back),
//                set the first "MSPST AB" line to "MSPST AB=TEXT", or take
//                it out for an empty TEXT, as another writer would
// With STANDIN_ATFORK set, loading the library registers a pthread_atfork
// child handler that lowers the file-size limit to nothing.

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/standin/standin_actions.h"

namespace quillpost::standin {
namespace {

/// Forks a child that runs |body| and ends, or with |returns| returns from
/// the wizard (true in that child); waits for it and records how it ended.
template <typename Body>
bool InChild(Body body, bool returns = false) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    if (returns) return true;
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Record("child=" + std::string(WIFSIGNALED(status) ? "signal " : "exit ") +
         std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)) + "\n");
  return false;
}

/// Returns the pid of every process whose parent is this one.
std::string ChildrenOfThisProcess() {
  std::string pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  const std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...: the name may hold blanks and parentheses.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
        std::to_string(ppid) == self) {
      pids += std::string(entry->d_name) + " ";
    }
  }
  closedir(proc);
  return pids;
}

// A child handler of the kind a library may register: it runs in every
// child forked with fork().
__attribute__((constructor)) void LowerLimitsInChildren() {
  if (std::getenv("STANDIN_ATFORK") == nullptr) return;
  pthread_atfork(nullptr, nullptr, [] {
    const struct rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
  });
}

// What "unload" leaves, kept in plain bytes: the library's static objects
// may be destroyed before its destructor functions run.
char g_at_unload[256];
bool g_unload_set = false;

__attribute__((destructor)) void RewriteAtUnload() {
  if (!g_unload_set) return;
  const std::string file = ConfigFilePath(), old = "MSPST AB=Personal Address Book\r\n";
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = text.find(old);
  if (at != std::string::npos) {
    text.replace(at, old.size(),
                 *g_at_unload ? "MSPST AB=" + std::string(g_at_unload) + "\r\n" : "");
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

std::string ConfigFilePath() {
  const char* dir = std::getenv("QUILLPOST_SYSTEM_DIR");
  if (dir == nullptr || dir[0] == '\0') return "";
  // Taken against the current directory now, as the programs take it.
  return (std::filesystem::absolute(dir) / "Mapisvc.inf").string();
}

bool PlatformAction(const std::string& name, int number, const std::string& text) {
  if (name == "_exit") _exit(number);
  if (name == "raise") kill(getpid(), number);
  if (name == "group") kill(0, number);
  if (name == "child" && text == "term") InChild([] { kill(getpid(), SIGTERM); });
  if (name == "child" && text == "exit") InChild([] { std::exit(0); });
  if (name == "child" && text == "return") return InChild([] {}, true);
  if (name == "linger") {
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      for (;;) pause();
    }
    Record("linger=" + std::to_string(pid) + "\n");
  }
  if (name == "close-fds") {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }
  if (name == "chdir" && chdir(text.c_str()) != 0) Record("chdir=failed\n");
  if (name == "lock-file") {
    const char* dir = std::getenv("QUILLPOST_SYSTEM_DIR");
    const int fd = open((std::string(dir ? dir : ".") + "/Mapisvc.inf").c_str(), O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_SH) != 0) Record("lock-file=failed\n");
  }
  if (name == "use-fds") {
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
  }
  if (name == "fsize") {
    const struct rlimit limit = {static_cast<rlim_t>(number), static_cast<rlim_t>(number)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) Record("fsize=failed\n");
  }
  if (name == "setuid" &&
      (setgid(static_cast<gid_t>(number)) != 0 || setuid(static_cast<uid_t>(number)) != 0)) {
    Record("setuid=failed\n");
  }
  if (name == "socket-noise") {
    for (int fd = 3; fd < 1024; ++fd) {
      struct stat st;
      if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
      send(fd, "", 0, MSG_NOSIGNAL | MSG_DONTWAIT);
      send(fd, "abc", 3, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  if (name == "forge") {
    const std::string pids = ChildrenOfThisProcess();
    for (size_t begin = 0, end; (end = pids.find(' ', begin)) != std::string::npos;
         begin = end + 1) {
      for (const int value : {1, 2}) {
        union sigval forged;
        forged.sival_ptr = nullptr;
        forged.sival_int = value;
        sigqueue(std::atoi(pids.c_str() + begin), SIGRTMIN, forged);
        forged.sival_ptr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
        sigqueue(std::atoi(pids.c_str() + begin), SIGRTMIN, forged);
      }
    }
    Record("forged=" + pids + "\n");
  }
  if (name == "sigchld-ignore") signal(SIGCHLD, SIG_IGN);
  if (name == "stop-guardian") {
    const std::string pids = ChildrenOfThisProcess();
    for (size_t begin = 0, end; (end = pids.find(' ', begin)) != std::string::npos;
         begin = end + 1) {
      kill(std::atoi(pids.c_str() + begin), SIGSTOP);
    }
  }
  if (name == "stale-temp") {
    const std::string file = ConfigFilePath();
    const std::string dir = file.substr(0, file.rfind('/'));
    std::ofstream(dir + "/.Mapisvc.inf.tmp99999-1-1") << "left by a writer that died";
  }
  if (name == "grow") {
    // As another writer would, with no limit of this process's.
    struct rlimit limit, was;
    getrlimit(RLIMIT_FSIZE, &was);
    limit = was;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::ofstream(ConfigFilePath(), std::ios::app) << std::string(number, ';');
    setrlimit(RLIMIT_FSIZE, &was);
  }
  if (name == "unload") {
    std::snprintf(g_at_unload, sizeof g_at_unload, "%s", text.c_str());
    g_unload_set = true;
  }
  if (name == "kill-guardian") {
    const std::string pids = ChildrenOfThisProcess();
    Record("killed=" + pids + "\n");
    for (size_t begin = 0, end; (end = pids.find(' ', begin)) != std::string::npos;
         begin = end + 1) {
      kill(std::atoi(pids.c_str() + begin), SIGKILL);
    }
  }
  return false;
}

}  // namespace quillpost::standin
