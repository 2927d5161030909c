// Black-box tests of wiztest on POSIX: where the library is looked for, the
// path of the file, files that are not plain, and what ends the run while
// the entry is held out: signals (to the process or its whole group, caught
// or ignored), a wizard that ends the process or forks, and a guardian that
// is gone or cannot be started.

#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

/// Returns true when a program may handle |sig| and its default action
/// ends the process: observed in a child that sets the default action,
/// raises the signal and, if still there, exits.
bool EndsTheProcess(int sig) {
  const pid_t pid = fork();
  if (pid == 0) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    // SIGKILL, SIGSTOP and the signals the C library keeps refuse a handler.
    if (sigaction(sig, &action, nullptr) != 0) _exit(2);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, WUNTRACED);
  if (WIFSTOPPED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
  }
  return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

class WiztestPosixTest : public WiztestTest {
 protected:
  void SetUp() override {
    WiztestTest::SetUp();
    Install(STANDIN_PATH, program_.path());
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
  }

  /// The hand-edited file grown to 4 MB: on it a write-back left to the
  /// guardian after the end is still under way when the caller looks.
  static std::string LargeFile() {
    std::string large = kHandEdited;
    while (large.size() < (4u << 20)) large += "; a comment line of a realistic length\r\n";
    return large;
  }

  /// What the caller of wiztest finds the moment it sees the process end.
  struct AtTheEnd {
    std::string output;
    int status = -1;  // as the shell gives it: 128 + N after signal N
    std::string held;
  };

  /// Runs wiztest from sh, which waits for the process itself (not for the
  /// end of its output, which the guardian holds) and reads the file right
  /// then. |before| runs in the shell first; |wrapper| starts the program.
  AtTheEnd RunFromShell(const std::string& mode, const std::string& before = "",
                        const std::string& wrapper = "") {
    LaunchOptions launch = Launch(mode);
    launch.argv = {"/bin/sh", "-c",
                   before + " " + wrapper + " \"$0\"; s=$?; printf '\\n@@end=%d\\n' $s; cat \"$1\"",
                   program_path_, file_};
    const std::string text = RunProcess(launch).output;
    AtTheEnd end;
    const size_t marker = text.rfind("\n@@end=");
    if (marker == std::string::npos) return end;
    end.output = text.substr(0, marker);
    end.status = std::atoi(text.c_str() + marker + 7);
    const std::string file = text.substr(text.find('\n', marker + 1) + 1);
    end.held = test::ReferenceValue(file, "Services", "MSPST AB").value_or("<absent>");
    return end;
  }
};

// A file the engine refuses to read cannot say whether it holds the entry:
// the wizard does not run, and the file stays byte-identical.
TEST_F(WiztestTest, EntryOfAFileTheEngineRefusesIsLeftAlone) {
  Install(STANDIN_PATH, program_.path());
  std::string odd = "\xFF\xFE";
  for (char c : std::string("[Services]\r\nMSPST AB=PAB\r\n")) odd.append({c, '\0'});
  odd += 'x';
  WriteFileBytes(file_, odd);
  const ProcessResult r = RunProcess(Launch());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output.rfind("Cannot read \"" + file_ + "\": the file starts with a UTF-16", 0), 0u)
      << r.output;
  EXPECT_TRUE(ReadFileBytes(file_) == odd) << "file changed";
  EXPECT_EQ(Record().count("mspst"), 0u);
}

TEST_F(WiztestTest, LibraryIsFoundBesideTheProgramThenInTheSystemDirectoryOnly) {
  Install(STANDIN_PATH, sys_.path());
  Install(NOENTRY_PATH, program_.path());
  LaunchOptions launch = Launch();
  EXPECT_EQ(RunProcess(launch).output, kNoEntryPoint);  // the one beside the program wins
  fs::remove(program_.Join("mapi32.dll"));
  EXPECT_EQ(RunProcess(launch).exit_status, 1);  // then the system directory's

  // Planted in the current directory, or reached by a relative path: never.
  fs::remove(sys_.path() + "/mapi32.dll");
  fs::remove(record_);
  Install(STANDIN_PATH, work_.path());
  launch.working_dir = work_.path();
  EXPECT_EQ(RunProcess(launch).output, kNoLibrary);
  launch.env[0].second = ".";
  EXPECT_EQ(RunProcess(launch).output, kNoLibrary);
  EXPECT_FALSE(fs::exists(record_));
}

// mapi32.dll is loaded only where nobody but root or the caller could have
// changed it or swapped it in its directory; else a second line says why,
// and nothing is read or changed.
TEST_F(WiztestTest, OnlyALibraryNobodyElseCouldHaveChangedIsLoaded) {
  const std::string dir = program_.path(), lib = program_.Join("mapi32.dll");
  const std::string real = work_.Join("real.dll");
  const uid_t me = geteuid();
  enum { kFile, kOwnLink, kTheirLink, kFifo };
  const struct {
    const char* name;
    int what;  // at the library's name
    uid_t uid, dir_uid;
    mode_t mode, dir_mode;
    const char* why;  // "" when it loads
  } rows[] = {{"the caller's own 0755 library", kFile, me, me, 0755, 0755, ""},
              {"the caller's link to it", kOwnLink, me, me, 0755, 0755, ""},
              {"in a sticky directory others can write", kFile, me, me, 0755, 01777, ""},
              {"group-writable", kFile, me, me, 0775, 0755, "its group or others may write it"},
              {"a FIFO", kFifo, me, me, 0644, 0755, "it is not a regular file"},
              {"in a directory others can write, not sticky", kFile, me, me, 0755, 0777,
               "others may write its directory, which is not sticky"},
              {"another user's", kFile, 4242, me, 0755, 0755,
               "it belongs to user 4242, neither root nor the caller"},
              {"in another user's directory", kFile, me, 4242, 0755, 0755,
               "its directory belongs to user 4242, neither root nor the caller"},
              {"another user's link, sticky directory", kTheirLink, me, me, 0755, 01777, "<link>"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if ((row.uid != me || row.dir_uid != me || row.what == kTheirLink) && me != 0) {
      std::printf("skipped \"%s\": only root may act as another user\n", row.name);
      continue;
    }
    fs::remove(lib);
    Install(STANDIN_PATH, dir);
    ASSERT_EQ(chown(lib.c_str(), row.uid, -1) | chmod(lib.c_str(), row.mode), 0);
    if (row.what == kFifo) {
      ASSERT_EQ(unlink(lib.c_str()) | mkfifo(lib.c_str(), row.mode), 0);
    }
    if (row.what == kOwnLink || row.what == kTheirLink) {
      ASSERT_EQ(rename(lib.c_str(), real.c_str()) | symlink(real.c_str(), lib.c_str()) |
                    lchown(lib.c_str(), row.what == kTheirLink ? 4242 : me, -1),
                0);
    }
    ASSERT_EQ(chown(dir.c_str(), row.dir_uid, -1) | chmod(dir.c_str(), row.dir_mode), 0);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    const ProcessResult r = RunProcess(Launch());
    ASSERT_EQ(chown(dir.c_str(), me, -1) | chmod(dir.c_str(), 0755), 0);
    const std::string why = row.what != kTheirLink ? row.why
                                                   : "\"" + lib +
                                                         "\" is another user's symbolic link in a "
                                                         "sticky directory that others can write; "
                                                         "it is not followed";
    EXPECT_EQ(r.output, why.empty() ? ""
                                    : "Cannot load \"mapi32.dll\"\n\"" + lib +
                                          "\" is not loaded: " + why + "\n\nPress <Return>...\n");
    EXPECT_EQ(r.exit_status, why.empty() ? 1 : 2);
    EXPECT_EQ(fs::exists(record_), why.empty());
    if (!why.empty()) {
      EXPECT_EQ(ReadFileBytes(file_), kHandEdited);
    }
  }
}

// The entry is back the moment wiztest itself has ended by the fault: the
// file is read as soon as the process is reaped, not once its output closes
// (the guardian holds that open until it is done), and it is large enough
// that a write-back left to the guardian would still be under way then.
TEST_F(WiztestTest, CrashInTheWizardWritesTheEntryBackFirst) {
  Install(STANDIN_PATH, program_.path());
  std::string large = kHandEdited;
  for (int i = 0; large.size() < (5u << 20); ++i) {
    large += "[Filler " + std::to_string(i) + "]\r\nPR_DISPLAY_NAME=a service of some size\r\n";
  }
  for (const auto& [mode, sig] :
       {std::pair<std::string, int>{"crash", SIGSEGV}, {"abort", SIGABRT}}) {
    WriteFileBytes(file_, large);
    test::Child child(Launch(mode));
    const ProcessResult r = child.WaitForExit();
    EXPECT_EQ(Held(), "Personal Address Book") << mode;
    EXPECT_EQ(r.signal, sig) << mode;
  }
}

TEST_F(WiztestTest, InterruptionWritesTheEntryBackThenEndsByTheSignal) {
  Install(STANDIN_PATH, program_.path());
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(sig);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    test::Child child(Launch("wait"));
    ASSERT_TRUE(WaitForWizard());
    EXPECT_EQ(Held(), "<absent>");
    child.Kill(sig);
    // Back when wiztest has ended; after SIGKILL, once the guardian that sees
    // it go is done (and closes the output it holds).
    const ProcessResult r = sig == SIGKILL ? child.Wait() : child.WaitForExit();
    EXPECT_EQ(Held(), "Personal Address Book");
    EXPECT_EQ(r.signal, sig);
  }
}

// A FIFO of the name is neither waited on nor touched, and the wizard does
// not run against it. A file bound over the name is held out and written
// back in place.
TEST_F(WiztestTest, FifoIsLeftAloneAndABindMountedFileIsHeldOut) {
  Install(STANDIN_PATH, program_.path());
  ASSERT_EQ(mkfifo(file_.c_str(), 0666), 0);
  ProcessResult r = RunProcess(Launch());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output.rfind("Cannot read \"" + file_ + "\": it is not a regular file\n", 0), 0u)
      << r.output;
  EXPECT_EQ(Record().count("mspst"), 0u);
  struct stat st;
  ASSERT_EQ(lstat(file_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  fs::remove(file_);
  fs::remove(record_);
  test::TempDir source_dir;
  const std::string source = source_dir.Join("real.inf");
  WriteFileBytes(source, kHandEdited);
  WriteFileBytes(file_, "");
  if (mount(source.c_str(), file_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount a file here (" << std::strerror(errno) << "); needs root";
  }
  r = RunProcess(Launch());
  const std::string held = Held();
  umount2(file_.c_str(), MNT_DETACH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(Record()["mspst"], "<absent>");
  EXPECT_EQ(held, "Personal Address Book");
  EXPECT_EQ(test::ReferenceValue(ReadFileBytes(source), "Services", "MSPST AB"),
            "Personal Address Book");
}

// Every signal whose default action ends the process, SIGPIPE, SIGALRM, the
// user and the real-time signals included, ends the run only once the
// entry is back. The file is large, so that a signal the guard missed
// shows: the guardian's write-back after the end would still be under way.
TEST_F(WiztestPosixTest, EverySignalThatEndsTheRunWaitsUntilTheEntryIsBack) {
  const std::string large = LargeFile();
  int signals = 0;
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (!EndsTheProcess(sig)) continue;
    SCOPED_TRACE(strsignal(sig));
    ++signals;
    WriteFileBytes(file_, large);
    const AtTheEnd end = RunFromShell("raise:" + std::to_string(sig));
    EXPECT_EQ(end.status, 128 + sig);
    EXPECT_EQ(end.held, "Personal Address Book");
    EXPECT_EQ(end.output, "");
  }
  EXPECT_GT(signals, 50);
}

// A signal to the whole process group (timeout, a supervisor, a shell's
// job control) does not reach the guardian, which has left the group and
// the session; even SIGKILL leaves it to write the entry back.
TEST_F(WiztestPosixTest, SignalsToTheProcessGroupLeaveTheGuardianStanding) {
  for (const int sig : {SIGUSR1, SIGALRM, SIGTERM, SIGINT, SIGHUP, SIGABRT, SIGSEGV, SIGBUS}) {
    SCOPED_TRACE(strsignal(sig));
    WriteFileBytes(file_, kHandEdited);
    const AtTheEnd end = RunFromShell("group:" + std::to_string(sig), "", "setsid");
    EXPECT_EQ(end.status, 128 + sig);  // not SIGPIPE
    EXPECT_EQ(end.held, "Personal Address Book");
    EXPECT_EQ(end.output, "");
  }
  WriteFileBytes(file_, kHandEdited);
  LaunchOptions launch = Launch("group:" + std::to_string(SIGKILL));
  launch.argv = {"/usr/bin/setsid", program_path_};
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(Held(), "Personal Address Book");
}

// nohup ignores SIGHUP, a background job SIGINT: ignored they stay, and
// the run goes on to its normal end.
TEST_F(WiztestPosixTest, SignalsIgnoredAtTheStartStayIgnored) {
  std::string mode;
  for (const int sig : {SIGHUP, SIGINT, SIGUSR1, SIGPIPE})
    mode += "raise:" + std::to_string(sig) + ",";
  const AtTheEnd end = RunFromShell(mode + "check", "trap '' HUP INT USR1 PIPE;");
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(end.output, "");
  EXPECT_EQ(Record()["check"], "<absent>");  // still held out after the signals
  EXPECT_EQ(end.held, "Personal Address Book");
}

// exit() runs the guard: the entry is back before the process ends.
// _exit() and SIGKILL run nothing of wiztest's: the caller sees the
// wizard's status, and the guardian writes the entry back as soon as the
// process has ended, holding wiztest's output open until it has.
// A signal that strikes while the process itself holds a lock on the file
// (the wizard reading it, or locking it) cannot deadlock the process and
// its guardian: the process ends by the signal, which lets the lock go, and
// the guardian writes the entry back right after.
TEST_F(WiztestPosixTest, ASignalWhileTheProcessHoldsALockOnTheFileNeverHangs) {
  const ProcessResult r = RunProcess(Launch("lock-file,raise:" + std::to_string(SIGTERM)));
  EXPECT_FALSE(r.hung);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(Record().count("lock-file"), 0u) << "the stand-in could not lock the file";
  EXPECT_EQ(Held(), "Personal Address Book");
}

TEST_F(WiztestPosixTest, AWizardThatEndsTheProcessLeavesTheEntryBack) {
  WriteFileBytes(file_, LargeFile());
  const AtTheEnd end = RunFromShell("exit:5");
  EXPECT_EQ(end.status, 5);
  EXPECT_EQ(end.held, "Personal Address Book");
  for (const auto& [mode, status, sig] :
       {std::tuple<std::string, int, int>{"_exit:6", 6, 0}, {"raise:9", -1, SIGKILL}}) {
    SCOPED_TRACE(mode);
    WriteFileBytes(file_, kHandEdited);
    const ProcessResult r = RunProcess(Launch(mode));
    EXPECT_EQ(r.exit_status, status);
    EXPECT_EQ(r.signal, sig);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(Held(), "Personal Address Book");
  }
}

// However the run ends, the file is byte for byte as it was found, for
// every kind of file people make: the entry was out while the wizard ran.
TEST_F(WiztestPosixTest, EveryEndLeavesTheFileByteForByteAsItWas) {
  const auto utf16 = [](const std::string& ascii, bool le) {
    std::string out = le ? "\xFF\xFE" : "\xFE\xFF";  // '@' a Cyrillic letter, '#' a lone surrogate
    for (const char c : ascii) {
      const std::string unit = c == '@'   ? "\x04\x10"
                               : c == '#' ? std::string("\xDC\x00", 2)
                                          : std::string{'\0', c};
      out += le ? std::string{unit[1], unit[0]} : unit;
    }
    return out;
  };
  const std::string files[] = {
      kHandEdited,
      "; top\n[Services]\nA=1\n  mspst ab =  x  \n\nB=2\n",
      "[Services]\r\nA=1\r\nMSPST AB=PAB",
      "\xEF\xBB\xBF[Services]\r\nMSPST AB=Pers\xF6nliche Ordner\r\nB=\xC3\xA4\r\n",
      utf16("[Services]\r\nMSPST AB=@@ #\r\nB=2\r\n", true),
      utf16("[Services]\r\nA=1\r\nMSPST AB=@#\r\n", false),
  };
  for (const std::string& file : files) {
    for (const std::string mode : {"", "exit:3", "_exit:4", "raise:15", "raise:9"}) {
      SCOPED_TRACE(mode + " on " + file);
      WriteFileBytes(file_, file);
      fs::remove(record_);
      RunProcess(Launch(mode));  // to the end of its output, which the guardian holds
      EXPECT_EQ(Record()["mspst"], "<absent>");
      EXPECT_TRUE(ReadFileBytes(file_) == file);
    }
  }
}

// Too few descriptors for the guardian's write-back: the guard does not
// stand and the entry stays; with enough, a signal leaves it back.
TEST_F(WiztestPosixTest, TheGuardStandsOnlyWithTheDescriptorsItsWriteBackNeeds) {
#if defined(__SANITIZE_ADDRESS__)
  const int lowest = 6;  // below, the sanitizer runtime itself cannot start
#else
  const int lowest = 4;
#endif
  for (int limit = lowest; limit <= 11; ++limit) {
    SCOPED_TRACE(limit);
    WriteFileBytes(file_, kHandEdited);
    // Only standard input, output and error open: nothing the test inherited.
    const std::string closed = "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-;";
    const AtTheEnd end =
        RunFromShell("raise:15", closed + "ulimit -n " + std::to_string(limit) + ";");
    EXPECT_EQ(end.held, "Personal Address Book");
    // Too few to load the library at all; then too few for the guardian;
    // then enough, and the signal ends the run with the entry back.
    const char* said = limit < 6 ? "is not loaded: " : limit < 9 ? "stays" : "";
    EXPECT_EQ(end.status, limit < 6 ? 2 : 128 + SIGTERM);
    EXPECT_EQ(end.output.find(said) != std::string::npos && *said, limit < 9) << end.output;
  }
}

// Whatever the wizard leaves behind in wiztest's process (a lock of its
// own, every descriptor used up, a lowered file-size limit, another user),
// the guardian makes the write-back it set aside resources for; limits that
// would forbid the write-back from the start keep the entry in place.
TEST_F(WiztestPosixTest, WhateverTheWizardLeavesBehindTheEntryComesBack) {
  const std::string stays = "\"MSPST AB\" stays in section \"Services\" of \"";
  const std::string later = "\"MSPST AB\" will be written back into section \"Services\"";
  const struct {
    const char* name;
    const char* before;   // run in the shell first
    const char* wrapper;  // starts the program
    std::string mode;
    size_t padding;  // bytes added to the file
    int status;
    std::string said;  // how the output starts
    bool root_only;
    const char* held = nullptr;  // MSPST AB at the end; unset: the file as it was
  } rows[] = {
      {"a lock of its own", "", "", "lock-file", 0, 2, later, false},
      {"every descriptor used up", "ulimit -n 64;", "", "use-fds", 0, 1, "", false},
      {"a lowered file-size limit", "", "", "fsize:100", 0, 1, "", false},
      {"another user", "", "", "setuid:65534", 0, 2, later, true},
      {"another user, then exit()", "", "", "setuid:65534,exit:5", 0, 5, "", true},
      {"another user who may write the file", "chmod 666 \"$1\";", "", "setuid:65534", 0, 1, "",
       true},
      {"a file-size limit below the file", "ulimit -f 2;", "", "", 1030, 1, stays, false},
      {"no request may be queued", "", "prlimit --sigpending=0", "", 0, 1, stays, false},
      {"SIGCHLD ignored, every descriptor used up", "ulimit -n 64;", "", "sigchld-ignore,use-fds",
       0, 1, "", false},
      {"a stopped guardian", "", "", "stop-guardian", 0, 1, "", false},
      {"a temporary a dead writer left meanwhile", "", "", "stale-temp", 0, 1, "", false},
      {"a child handler of the library's lowering the limit", "export STANDIN_ATFORK=1;", "",
       "_exit:0", 0, 0, "", false},
      {"the file grown past the soft size limit", "", "prlimit --fsize=900:unlimited", "grow:1000",
       0, 1, "", false, "Personal Address Book"},
      // Another writer's line after wiztest's own write-back, or another
      // run's hold-out, stands: the guardian was told it is back.
      {"another user, then a new value", "chmod 666 \"$1\";", "", "setuid:65534,unload:New", 0, 1,
       "", true, "New"},
      {"another user, then another run holding it out", "chmod 666 \"$1\";", "",
       "setuid:65534,unload:", 0, 1, "", true, "<absent>"},
      {"noise on its socket, another user, then a new value", "chmod 666 \"$1\";", "",
       "socket-noise,setuid:65534,unload:New", 0, 1, "", true, "New"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.root_only && geteuid() != 0) {
      std::printf("skipped \"%s\": only root may become another user\n", row.name);
      continue;
    }
    const std::string file = kHandEdited + std::string(row.padding, ';');
    fs::remove(file_);  // with the mode a row's shell gave it
    WriteFileBytes(file_, file);
    fs::remove(record_);  // the stand-in's record, too, must fit under the limit
    const AtTheEnd end = RunFromShell(row.mode, row.before, row.wrapper);
    EXPECT_EQ(end.status, row.status) << end.output;
    EXPECT_EQ(end.output.rfind(row.said, 0), 0u) << end.output;
    if (row.said.empty()) {
      EXPECT_EQ(end.output, "");
    }
    // Back, or never gone, once the guardian has ended: RunProcess reads
    // the output to its end, which the guardian holds; where the file was
    // changed meanwhile, its entry is as the row says.
    if (row.held != nullptr) {
      EXPECT_EQ(Held(), row.held);
    } else {
      EXPECT_TRUE(ReadFileBytes(file_) == file);
    }
    EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
  }
}

// A process that the wizard forks without exec inherits the handlers and
// the descriptors, but never writes the entry back, and one that lives on
// keeps nobody waiting. A wizard that closes every inherited descriptor
// changes nothing either.
TEST_F(WiztestPosixTest, WhatTheWizardForksOrClosesNeverWritesTheEntryBack) {
  for (const auto& [mode, child] :
       {std::pair<std::string, std::string>{"child:term,check", "signal 15"},
        {"child:exit,check", "exit 0"},
        {"child:return,check", "exit 0"},
        {"close-fds,check", ""}}) {
    SCOPED_TRACE(mode);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    const ProcessResult r = RunProcess(Launch(mode));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output, "");
    auto record = Record();
    EXPECT_EQ(record["child"], child);
    EXPECT_EQ(record["check"], "<absent>");  // not written back mid-wizard
    EXPECT_EQ(Held(), "Personal Address Book");
  }
  for (const std::string mode : {"linger,_exit:6", "linger,raise:15"}) {
    SCOPED_TRACE(mode);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    const ProcessResult r = RunProcess(Launch(mode));
    EXPECT_FALSE(r.hung);
    EXPECT_EQ(Held(), "Personal Address Book");
    const int lingering = std::atoi(Record()["linger"].c_str());
    ASSERT_GT(lingering, 0);
    kill(lingering, SIGKILL);
  }
}

// With the guardian gone, the release at the end raises no SIGPIPE; a
// signal then finds nobody to write the entry back, and the run says what
// to put back by hand before it ends.
TEST_F(WiztestPosixTest, AGuardianGoneBeforeTheEndCostsNoSigpipe) {
  ProcessResult r = RunProcess(Launch("kill-guardian"));
  EXPECT_NE(Record()["killed"], "");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(Held(), "Personal Address Book");

  // exit() with the guardian gone: wiztest writes the entry back itself.
  WriteFileBytes(file_, kHandEdited);
  r = RunProcess(Launch("kill-guardian,exit:3"));
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_TRUE(ReadFileBytes(file_) == kHandEdited);
  // Requests forged from the wizard's own process change nothing.
  r = RunProcess(Launch("forge,check,raise:" + std::to_string(SIGTERM)));
  EXPECT_NE(Record()["forged"], "");
  EXPECT_EQ(Record()["check"], "<absent>");
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_TRUE(ReadFileBytes(file_) == kHandEdited);

  WriteFileBytes(file_, kHandEdited);
  r = RunProcess(Launch("kill-guardian,raise:" + std::to_string(SIGTERM)));
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.output, "Cannot restore \"MSPST AB\" in section \"Services\" of \"" + file_ +
                          "\"; put it back by hand: MSPST AB=Personal Address Book\n");
}

// A value holding a NUL, which the read cuts, stays in place; a line ended
// by CR CR LF (a file converted to CR LF twice) holds no CR in its value,
// so it is held out and put back.
TEST_F(WiztestPosixTest, AValueTheReadCutsStaysInPlaceAndCrCrLfIsALineEnd) {
  // A NUL ends the value for the reader: what follows it would be lost.
  const std::pair<std::string, std::string> cases[] = {
      {std::string("a\0b", 3), "its value does not read back as the file spells it"},
      {std::string("\0b", 2), ""},  // reads as empty: left alone, silently
  };
  for (const auto& [value, why] : cases) {
    const std::string text = "[Services]\r\nMSPST AB=" + value + "\r\nVRQPN=y\r\n";
    WriteFileBytes(file_, text);
    const ProcessResult r = RunProcess(Launch());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output, why.empty() ? ""
                                    : "\"MSPST AB\" stays in section \"Services\" of \"" + file_ +
                                          "\": " + why + "\n");
    EXPECT_EQ(ReadFileBytes(file_), text);
  }
  // A file converted to CR LF twice: CR CR LF ends the line (and an empty
  // one), so the value reads "x" and is put back as "x".
  WriteFileBytes(file_, "[Services]\r\nMSPST AB=x\r\r\nVRQPN=y\r\n");
  const ProcessResult r = RunProcess(Launch());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(Record()["mspst"], "<absent>");
  EXPECT_EQ(Held(), "x");
}

// When the guardian cannot be started (the process limit reached), the
// entry stays in place, one line says so, and the wizard runs all the same.
TEST_F(WiztestPosixTest, NoGuardianNoHoldingOut) {
  LaunchOptions launch = Launch("_exit:1");  // the line is out before the wizard ends it all
  launch.env.push_back({"LD_PRELOAD", NO_FORK_SHIM_PATH});
  // A sanitizer runtime wants to come first; the shim only replaces fork.
  const char* asan = std::getenv("ASAN_OPTIONS");
  launch.env.push_back(
      {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "\"MSPST AB\" stays in section \"Services\" of \"" + file_ +
                          "\": it cannot be guarded while the wizard runs\n");
  EXPECT_EQ(Record()["mspst"], "Personal Address Book");
  EXPECT_EQ(ReadFileBytes(file_), kHandEdited);
}

// A relative QUILLPOST_SYSTEM_DIR is taken against the directory the run
// starts in, by wiztest and provreg alike: a wizard that changes directory
// changes nothing.
TEST_F(WiztestPosixTest, ARelativeSystemDirectoryNamesOneFileForTheWholeRun) {
  fs::create_directories(work_.Join("sys"));
  fs::create_directories(work_.Join("elsewhere/sys"));
  const std::string file = work_.Join("sys/Mapisvc.inf");
  WriteFileBytes(file, kHandEdited);
  LaunchOptions launch = Launch("chdir:" + work_.Join("elsewhere"));
  launch.env[0].second = "sys";
  launch.working_dir = work_.path();
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(Record()["mspst"], "<absent>");
  EXPECT_EQ(test::ReferenceValue(ReadFileBytes(file), "Services", "MSPST AB"),
            "Personal Address Book");
  EXPECT_FALSE(fs::exists(work_.Join("elsewhere/sys/Mapisvc.inf")));

  launch.argv = {PROVREG_PATH, "-norm", "C:\\QP"};
  EXPECT_EQ(RunProcess(launch).exit_status, 1);
  EXPECT_EQ(test::ReferenceValue(ReadFileBytes(file), "VRQPN", "PR_SERVICE_DLL_NAME"),
            "C:\\QP\\vrqpn.dll");
}

// wiztest and provreg at once on one file: MSPST AB is never lost, and
// every provreg run lands.
TEST_F(WiztestTest, RacingProvregNeverLosesTheEntry) {
  Install(STANDIN_PATH, program_.path());
  WriteFileBytes(file_, kHandEdited);
  for (int i = 0; i < 30; ++i) {
    LaunchOptions provreg = Launch();
    provreg.argv = {PROVREG_PATH, i % 2 ? "-lite" : "-norm", "C:\\QP"};
    test::Child registering(provreg);
    EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
    EXPECT_EQ(registering.Wait().exit_status, 1);
    EXPECT_EQ(Held(), "Personal Address Book") << "run " << i;
  }
  EXPECT_EQ(Value("VRQPL_XP", "PR_PROVIDER_DLL_NAME"), "C:\\QP\\vrqpl.dll");
  EXPECT_EQ(Value("VRQPN", "PR_SERVICE_DLL_NAME"), "C:\\QP\\vrqpn.dll");
}

}  // namespace
}  // namespace quillpost
