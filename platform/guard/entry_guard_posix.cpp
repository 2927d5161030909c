// While the entry is held out, a guardian process forked beforehand stands
// ready to write it back.
//
// - A signal handler may only make async-signal-safe calls, so it does not
//   rewrite the file itself (the signal may have struck inside malloc, or
//   the heap may be what faulted): it asks the guardian to write the entry
//   back, waits until the guardian has ended, and then lets the signal end
//   the process with its usual status. exit() does the same from an atexit
//   handler.
// - The request is a queued real-time signal whose value says what to do,
//   made of a random 64-bit secret of the run (any process of the user may
//   queue a signal that claims our pid; none of them knows the secret),
//   and the answer is the guardian's end, seen by waitpid.
// - That the entry is back is said first through a socket of a pair made
//   before the fork (the word the guardian says it stands with goes the
//   other way), with the same secret: a write needs no right to signal, so
//   the guardian stands down even when the wizard made this process another
//   user, and never writes over a line written after our own write-back,
//   nor into another run's hold-out (docs/profile-format.md). Our end is
//   used only while it is still the socket we made (a wizard may close it
//   and open something else under its number), and never raises SIGPIPE.
//   A wizard that closed it leaves the signal alone; the guardian, seeing
//   the socket's end, listens no more and does as it did without one.
// - The guardian leaves the process group and the session and blocks every
//   signal it can, so that a signal sent to the whole group or session does
//   not take it down with the program. It learns of the program's end from
//   a pidfd, so SIGKILL and _exit() are covered too; it writes the entry
//   back then, and ends.
// - A process that the wizard forks inherits the handlers and the atexit
//   handler but is not the guarded process: there they do nothing but end
//   the process as it would have ended, and one that returns from the
//   wizard ends there (EndIfForked).
// - A wizard that makes the process another user leaves it unable to
//   signal the guardian, which keeps the user it was forked with: a request
//   or a SIGKILL then fails with EPERM. The process then neither writes the
//   entry back at exit() nor waits for the guardian, which writes it back
//   once the process has ended, as after _exit(); after our own write-back
//   the socket still tells it to stand down. No wait for the guardian is
//   without a limit.
// - The guardian holds, from the start, the descriptors its write-back
//   needs beyond those it keeps: under a low RLIMIT_NOFILE the guard does
//   not stand rather than stand and fail.
// - A write-back that waits out another holder's lock is never given up:
//   the guardian waits for the lock as long as it is held.
// - The program's own updates of the file run with the signals blocked
//   from the moment they hold the file's lock (UpdateInProgress): a signal
//   that arrives meanwhile waits until the update is complete, so the
//   handler never waits for a guardian that waits for the file lock the
//   interrupted update holds. The wait for that lock is open to signals:
//   nothing is held then.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "platform/guard/entry_guard.h"
#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"

namespace quillpost {
namespace {

// The values of a request to the guardian. A ping only proves that
// requests can be queued at all (the limit of pending signals, ulimit -i,
// may forbid it).
constexpr int kRestore = 1;
constexpr int kDisarm = 2;
constexpr int kPing = 3;

// The guardian's word that it stands, or that it lacks descriptors.
constexpr char kReady = 'R';
constexpr char kNoDescriptors = 'D';

// Descriptors the write-back opens at once at most, beyond those the
// guardian keeps: the directory the file's path resolves to (held for the
// whole change), the file, and a temporary copy or the directory being
// synced, or the directory being listed with a stale temporary being swept.
// The guardian's end of the socket is one of them: it is closed before the
// write-back, which nobody can stand down any more by then.
constexpr int kWriteBackDescriptors = 4;

// The guardian's exit statuses.
constexpr int kGuardianWroteBack = 0;
constexpr int kGuardianWriteFailed = 1;
constexpr int kGuardianNotStarted = 2;
// How long a signal handler waits for the guardian's write-back before the
// process ends all the same (the guardian then finishes it).
constexpr int kRestoreWaitMs = 5000;

enum State : int { kIdle, kArmed, kRestoring, kDisarmed, kHandedOver };

int g_state = kIdle;  // read and changed with atomic operations only
pid_t g_guarded = -1;
pid_t g_guardian = -1;
char g_failure[1024];  // the message to print when the entry is not back
size_t g_failure_length = 0;
bool g_exit_hook = false;
std::uint64_t g_secret = 0;  // of this run; requests carry it
// This process's end of the socket to the guardian, and who it is, so that
// a descriptor the wizard put under its number is never written or closed.
int g_channel = -1;
dev_t g_channel_device = 0;
ino_t g_channel_inode = 0;
const char* g_why_not = nullptr;
// For the write-back at exit() when the guardian is gone.
Platform* g_platform = nullptr;
std::string g_section, g_key, g_value, g_file;

struct TakenSignal {
  int sig;
  struct sigaction previous;
};
TakenSignal g_taken[NSIG];
int g_taken_count = 0;

// A stack of its own for the handler, so that a stack overflow in the
// wizard still reaches it.
char g_alt_stack[64 * 1024];

int RequestSignal() { return SIGRTMIN; }

/// The value of a request of |kind|, as the signal carries it.
std::uint64_t RequestValue(int kind) {
  return static_cast<std::uintptr_t>(g_secret ^ static_cast<std::uint64_t>(kind));
}

/// Queues a request of |kind| to the guardian. Async-signal-safe.
bool Request(int kind) {
  union sigval request;
  request.sival_ptr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(RequestValue(kind)));
  return sigqueue(g_guardian, RequestSignal(), request) == 0;
}

/// Returns true when g_channel is still the socket Hold made.
/// Async-signal-safe.
bool ChannelIsOurs() {
  struct stat st;
  return g_channel >= 0 && fstat(g_channel, &st) == 0 && S_ISSOCK(st.st_mode) &&
         st.st_dev == g_channel_device && st.st_ino == g_channel_inode;
}

/// Tells the guardian |kind| through the socket, which needs no right to
/// signal it. A socket that others filled is waited on while the guardian
/// reads, at most the guardian's wait. False when the socket is gone (the
/// wizard closed it, or the guardian has ended) or stays full.
/// Async-signal-safe.
bool Tell(int kind) {
  const std::uint64_t word = RequestValue(kind);
  const char* bytes = reinterpret_cast<const char*>(&word);
  size_t sent = 0;
  for (int waited_ms = 0; sent < sizeof word;) {
    if (!ChannelIsOurs()) return false;
    const ssize_t n =
        send(g_channel, bytes + sent, sizeof word - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN && waited_ms < kRestoreWaitMs) {
      struct pollfd out = {g_channel, POLLOUT, 0};
      poll(&out, 1, 100);
      waited_ms += 100;
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

/// Closes this process's end of the socket, if it is still ours.
void CloseChannel() {
  if (ChannelIsOurs()) close(g_channel);
  g_channel = -1;
}

/// Writes the entry back, waiting out every lock on the file for as long
/// as it is held.
bool WriteBackWaitingForLocks(Platform& platform, const char* section, const char* key,
                              const char* value, const char* file) {
  for (;;) {
    if (platform.PutBack(section, key, value, file)) return true;
    if (platform.LastFailure().kind != FailureKind::kLockHeld) return false;
  }
}

/// Returns true when the default action of |sig| ends the process.
bool EndsTheProcess(int sig) {
  switch (sig) {
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGKILL:
      return false;
    default:
      return true;
  }
}

/// Writes |size| bytes of |text| to standard output. Async-signal-safe.
void WriteOut(const char* text, size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

/// Waits for the guardian's end, at most |limit_ms| milliseconds. Returns
/// its wait status, -1 when it is no longer ours to wait for (reaped
/// elsewhere), or kStillAtWork when it has not ended by the limit.
/// Async-signal-safe.
constexpr int kStillAtWork = -2;
int WaitForGuardian(int limit_ms) {
  for (int waited_ms = 0;;) {
    int status = 0;
    const pid_t r = waitpid(g_guardian, &status, WNOHANG);
    if (r == g_guardian) return status;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (waited_ms >= limit_ms) return kStillAtWork;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    waited_ms += 10;
  }
}

/// Ends the guardian without a write-back and reaps it: for when the entry
/// is back and the guardian could not be told so. One that this process may
/// no longer signal (another user now) is not waited for: it ends with this
/// process, finding the entry's own line in place. Async-signal-safe.
void StopGuardian() {
  if (kill(g_guardian, SIGKILL) == 0) WaitForGuardian(kRestoreWaitMs);
}

/// Makes the guardian's end one this process can see: a wizard that
/// ignores SIGCHLD (or set SA_NOCLDWAIT) would have it reaped unseen. Set
/// before the guardian may end; the wizard's choice goes back with
/// KeepChildren. Async-signal-safe.
struct sigaction g_child_action;
void SeeChildren() {
  struct sigaction seen = {};
  seen.sa_handler = SIG_DFL;
  sigemptyset(&seen.sa_mask);
  sigaction(SIGCHLD, &seen, &g_child_action);
}
void KeepChildren() { sigaction(SIGCHLD, &g_child_action, nullptr); }

/// Has the guardian write the entry back, if nobody has yet, and returns
/// once that is done (or given up, with the line that tells the user what
/// to put back). A caller that finds the write-back under way on another
/// thread waits for it too. Async-signal-safe.
/// Asks the guardian to write the entry back and waits for it. With
/// |may_write| (at exit(), not in a signal handler), a guardian that is gone
/// or was killed before it could write leaves the write-back to us.
void RestoreNow(bool may_write) {
  const auto write_ourselves = [may_write] {
    if (!may_write ||
        !g_platform->PutBack(g_section.c_str(), g_key.c_str(), g_value.c_str(), g_file.c_str())) {
      WriteOut(g_failure, g_failure_length);
    }
  };
  int expected = kArmed;
  if (__atomic_compare_exchange_n(&g_state, &expected, kRestoring, false, __ATOMIC_SEQ_CST,
                                  __ATOMIC_SEQ_CST)) {
    SeeChildren();  // the process ends next: the wizard's choice need not go back
    if (!Request(kRestore)) {
      // The guardian cannot be asked now, but it sees this process end and
      // writes the entry back then. At exit() we may write it ourselves, and
      // the guardian must then not write it again later; one that this
      // process may no longer signal (another user now) could not be stopped,
      // and writes it back better than this user could.
      if (may_write && errno != EPERM) {
        write_ourselves();
        StopGuardian();
      }
      return;
    }
  } else if (expected != kRestoring) {
    return;  // never armed, or disarmed: the entry is not held out
  }
  // This process may itself hold a lock on the file that the guardian needs
  // (the signal struck while the wizard read it through the platform, or
  // the wizard locked it): waiting for ever would deadlock both. After a
  // while the process ends all the same; its end lets go of its locks, and
  // the guardian, still at work, writes the entry back right after.
  const int status = WaitForGuardian(kRestoreWaitMs);
  if (status == kStillAtWork) return;
  const bool guardian_answered =
      status == -1 || (WIFEXITED(status) && (WEXITSTATUS(status) == kGuardianWroteBack ||
                                             WEXITSTATUS(status) == kGuardianWriteFailed));
  // A guardian killed before it could write prints nothing: say it here,
  // or, where we may, write the entry back ourselves.
  if (!guardian_answered) write_ourselves();
}

void OnSignal(int sig) {
  const int saved_errno = errno;
  if (getpid() == g_guarded) RestoreNow(false);
  // End as the signal would have: the default action, delivered when this
  // handler returns (a fault re-executes the faulting instruction).
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(sig, &default_action, nullptr);
  raise(sig);
  errno = saved_errno;
}

void OnExit() {
  if (getpid() != g_guarded) return;
  // Here, unlike in a signal handler, we may write the file: a guardian gone
  // without being asked (killed by someone) leaves the write-back to us.
  RestoreNow(true);
}

/// Installs OnSignal for every signal that would end the process and whose
/// action is the default one: a signal ignored, or handled by someone else,
/// keeps its disposition.
void TakeSignals() {
  stack_t stack = {};
  stack.ss_sp = g_alt_stack;
  stack.ss_size = sizeof g_alt_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_ONSTACK;
  sigfillset(&action.sa_mask);
  g_taken_count = 0;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    // The C library keeps a few real-time signals for itself and refuses them.
    if (!EndsTheProcess(sig) || sigaction(sig, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    if (sigaction(sig, &action, nullptr) == 0) g_taken[g_taken_count++] = {sig, current};
  }
}

void GiveSignalsBack() {
  for (int i = 0; i < g_taken_count; ++i) {
    sigaction(g_taken[i].sig, &g_taken[i].previous, nullptr);
  }
  g_taken_count = 0;
}

/// What the guardian heard on its end of the socket.
enum class Heard { kNothing, kWrittenBack, kClosed };

/// Reads every byte waiting on |channel|, keeping the last eight in
/// |*window| as they were sent: the word is found wherever it stands, among
/// bytes that others wrote too. Words without the run's secret are passed
/// over.
Heard Listen(int channel, unsigned char (&window)[8]) {
  const std::uint64_t wanted = RequestValue(kDisarm);
  for (;;) {
    unsigned char bytes[256];
    const ssize_t n = recv(channel, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Heard::kNothing;
    if (n == 0) return Heard::kClosed;  // every end of the program's side is closed
    for (ssize_t i = 0; i < n; ++i) {
      std::memmove(window, window + 1, sizeof window - 1);
      window[sizeof window - 1] = bytes[i];
      if (std::memcmp(window, &wanted, sizeof window) == 0) return Heard::kWrittenBack;
    }
  }
}

/// The guardian's life: stand apart, say so through |channel|, wait for a
/// request from |parent| or for its end, and write the entry back unless
/// told it is back already. Every signal is blocked (the parent blocked them
/// around the fork), and stays so.
[[noreturn]] void Guard(Platform& platform, const char* section, const char* key, const char* value,
                        const char* file, pid_t parent, int channel) {
  setsid();
  const int parent_fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
  sigset_t request_set;
  sigemptyset(&request_set);
  sigaddset(&request_set, RequestSignal());
  const int requests = signalfd(-1, &request_set, SFD_CLOEXEC);
  // A parent gone already took nothing out: there is nothing to guard.
  if (parent_fd < 0 || requests < 0 || getppid() != parent) _exit(kGuardianNotStarted);
  // The descriptors of the write-back, held until it is due; the socket is
  // one of them.
  int spare[kWriteBackDescriptors];
  spare[0] = channel;
  for (int i = 1; i < kWriteBackDescriptors; ++i) {
    spare[i] = dup(requests);
    if (spare[i] < 0) {
      [[maybe_unused]] const ssize_t said = write(channel, &kNoDescriptors, 1);
      _exit(kGuardianNotStarted);
    }
  }
  if (write(channel, &kReady, 1) != 1) _exit(kGuardianNotStarted);

  struct pollfd events[3] = {{parent_fd, POLLIN, 0}, {requests, POLLIN, 0}, {channel, POLLIN, 0}};
  unsigned char window[8] = {};
  for (;;) {
    if (poll(events, 3, -1) < 0) continue;
    // What the socket says counts before the parent's end: it was said
    // before that end, and a stopped guardian may see both at once.
    if (events[2].fd >= 0 && (events[0].revents != 0 || events[2].revents != 0)) {
      const Heard heard = Listen(channel, window);
      if (heard == Heard::kWrittenBack) _exit(kGuardianWroteBack);
      if (heard == Heard::kClosed) events[2].fd = -1;  // the wizard closed it: signals only
    }
    if (events[0].revents != 0) break;  // the parent has ended
    if (events[1].revents == 0) continue;
    struct signalfd_siginfo info;
    if (read(requests, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    // Only the guarded process itself may ask, with the run's secret.
    if (static_cast<pid_t>(info.ssi_pid) != parent || info.ssi_code != SI_QUEUE) continue;
    if (info.ssi_ptr == RequestValue(kDisarm)) _exit(kGuardianWroteBack);
    if (info.ssi_ptr == RequestValue(kRestore)) break;
  }
  for (const int fd : spare) close(fd);
  // The file may have grown past a soft file-size limit meanwhile: the
  // write-back takes what the hard limit allows.
  struct rlimit size_limit;
  if (getrlimit(RLIMIT_FSIZE, &size_limit) == 0) {
    size_limit.rlim_cur = size_limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &size_limit);
  }
  if (WriteBackWaitingForLocks(platform, section, key, value, file)) _exit(kGuardianWroteBack);
  WriteOut(g_failure, g_failure_length);
  _exit(kGuardianWriteFailed);
}

/// Blocks every signal on this thread. Returns the mask to put back.
sigset_t BlockAll() {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  return previous;
}

}  // namespace

bool ProcessEntryGuard::Hold(const char* section, const char* key, const char* value,
                             const char* file, const char* failure_message) {
  g_why_not = nullptr;
  const int state = __atomic_load_n(&g_state, __ATOMIC_SEQ_CST);
  if (state == kArmed || state == kRestoring || state == kHandedOver) return false;
  if (getrandom(&g_secret, sizeof g_secret, 0) != static_cast<ssize_t>(sizeof g_secret)) {
    return false;
  }
  g_platform = &platform_;
  g_section = section;
  g_key = key;
  g_value = value;
  g_file = file;
  g_failure_length = std::strlen(failure_message);
  if (g_failure_length >= sizeof g_failure) return false;
  std::memcpy(g_failure, failure_message, g_failure_length + 1);

  // Nothing may interrupt the arming half-way: a signal that arrives
  // meanwhile is delivered once the guard stands. The guardian inherits
  // the mask, and so is never open to a signal.
  const sigset_t previous = BlockAll();
  bool armed = false;
  // The socket pair: the guardian's word that it stands comes one way,
  // the word that the entry is back goes the other.
  int ready[2];
  // A byte stream: an empty message on a packet socket would read as its
  // end.
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) == 0) {
    std::fflush(stdout);  // nothing buffered may be printed twice
    const pid_t parent = getpid();
    // Forked without the handlers that libraries register with
    // pthread_atfork: the wizard's library is loaded already, and a child
    // handler of its could change the guardian's limits or user.
    const pid_t pid = _Fork();
    if (pid == 0) {
      close(ready[0]);
      Guard(platform_, section, key, value, file, parent, ready[1]);
    }
    close(ready[1]);
    char word = 0;
    if (pid > 0) {
      while (read(ready[0], &word, 1) < 0 && errno == EINTR) {
      }
    }
    struct stat own_end;
    g_channel = ready[0];
    if (fstat(g_channel, &own_end) == 0) {
      g_channel_device = own_end.st_dev;
      g_channel_inode = own_end.st_ino;
    } else {
      word = 0;  // one we could not know again is not used
    }
    if (pid > 0 && word == kReady) {
      g_guarded = parent;
      g_guardian = pid;
      armed = Request(kPing);
      if (!armed) {
        g_why_not = "requests to its guardian process cannot be queued (ulimit -i)";
        StopGuardian();
      }
    } else if (pid > 0) {
      if (word == kNoDescriptors) {
        g_why_not = "too few descriptors are left to guard it while the wizard runs";
      }
      g_guardian = pid;
      StopGuardian();
    }
    if (!armed) {
      close(ready[0]);
      g_channel = -1;
    }
  }
  if (armed) {
    __atomic_store_n(&g_state, kArmed, __ATOMIC_SEQ_CST);
    TakeSignals();
    if (!g_exit_hook) g_exit_hook = std::atexit(OnExit) == 0;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return armed;
}

void ProcessEntryGuard::Release() {
  const sigset_t previous = BlockAll();
  int expected = kArmed;
  if (__atomic_compare_exchange_n(&g_state, &expected, kDisarmed, false, __ATOMIC_SEQ_CST,
                                  __ATOMIC_SEQ_CST)) {
    GiveSignalsBack();
    // Told, it ends at once; not told, or stopped by someone, it must not
    // write the entry back later, over what the file holds by then (another
    // writer's line, another run's hold-out). The socket tells it whatever
    // user the wizard made this process; a signal, where the wizard closed
    // the socket. One that can be neither told nor stopped (the socket
    // closed and the user changed) ends with this process (see
    // StopGuardian), finding the entry's own line in place unless someone
    // wrote the key meanwhile.
    SeeChildren();
    if (!(Tell(kDisarm) || Request(kDisarm)) || WaitForGuardian(kRestoreWaitMs) == kStillAtWork) {
      StopGuardian();
    }
    KeepChildren();
    CloseChannel();
  } else if (expected == kRestoring) {
    // A handler on another thread has it written back, and ends the process
    // once it is, or once its own wait is over.
    WaitForGuardian(kRestoreWaitMs);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

const char* ProcessEntryGuard::WhyNotHeld() const { return g_why_not; }

// The guardian takes the write-back over: it holds the descriptors for it,
// and the limits and the user of the moment the guard was armed, whatever
// the wizard changed in this process since. This process no longer waits
// for it at any end.
EntryGuard::HandedOver ProcessEntryGuard::HandOver() {
  const sigset_t previous = BlockAll();
  HandedOver handed = HandedOver::kNo;
  int status = 0;
  if (__atomic_load_n(&g_state, __ATOMIC_SEQ_CST) == kArmed &&
      waitpid(g_guardian, &status, WNOHANG) == 0) {
    __atomic_store_n(&g_state, kHandedOver, __ATOMIC_SEQ_CST);
    GiveSignalsBack();
    // A wizard that became another user may not signal it any more; it
    // still sees this process end.
    SeeChildren();
    if (!Request(kRestore)) {
      KeepChildren();
      CloseChannel();  // nothing more to tell it: it writes the entry back at our end
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      return HandedOver::kAtEnd;
    }
    CloseChannel();
    // A write-back that a lock keeps waiting takes longer than this.
    status = WaitForGuardian(kRestoreWaitMs);
    KeepChildren();
    if (status == kStillAtWork) {
      handed = HandedOver::kWaiting;
    } else if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kGuardianWroteBack) {
      handed = HandedOver::kWrittenBack;
    } else if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kGuardianWriteFailed) {
      handed = HandedOver::kFailed;  // it said what to put back
    }                                // killed meanwhile: nobody has written it back or said so
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return handed;
}

ProcessEntryGuard::ProcessEntryGuard(Platform& platform) : platform_(platform), owner_(getpid()) {}

// On the process that made the guard, not the one Hold guards: the wizard
// may fork when no entry is held out too.
void ProcessEntryGuard::EndIfForked() {
  if (getpid() != owner_) _exit(0);
}

namespace {
thread_local int t_update_depth = 0;
thread_local sigset_t t_update_previous;
struct sigaction t_size_action;  // SIGXFSZ's action outside our updates
}  // namespace

// Every signal waits, fault signals sent by kill included: a handler that
// ran now would ask the guardian for a write that waits on the lock this
// update holds. A real fault while they are blocked ends the process at
// once, which lets go of the lock; the guardian, watching the process, then
// writes the entry back. SIGXFSZ alone is ignored rather than blocked: a
// write past the file-size limit then fails with EFBIG, a failure like any
// other with the file as it was, instead of a signal that ends the process
// once it is unblocked.
UpdateInProgress::UpdateInProgress() {
  if (t_update_depth++ > 0) return;
  sigset_t held;
  sigfillset(&held);
  sigdelset(&held, SIGXFSZ);
  pthread_sigmask(SIG_BLOCK, &held, &t_update_previous);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &t_size_action);
}

UpdateInProgress::~UpdateInProgress() {
  if (--t_update_depth > 0) return;
  sigaction(SIGXFSZ, &t_size_action, nullptr);
  pthread_sigmask(SIG_SETMASK, &t_update_previous, nullptr);
}

}  // namespace quillpost
