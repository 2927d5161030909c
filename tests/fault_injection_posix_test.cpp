// Whole provreg, provunreg and wiztest runs on a realistic file, with each
// disk call of the run failing in turn, both where the file is replaced by
// rename and where it is updated in place: a provreg or provunreg run leaves
// the file exactly as before it or exactly as after it, a wiztest update
// exactly as before or after that update; no temporary file is left, and
// the run reports the failure.
// Where the disk dies at that call, a rename still never tears the file; an
// in-place update can, only when putting the old bytes back fails too, and
// that is reported.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/guard/entry_guard.h"
#include "platform/native/posix_platform.h"
#include "platform/profile/profile_engine.h"
#include "platform/profile/profile_file_posix.h"
#include "registration/front_end.h"
#include "tests/support/faulty_disk_posix.h"
#include "tests/support/process.h"
#include "tests/support/service_definition.h"
#include "tests/support/temp_dir.h"
#include "wizard_test/wizard_entry.h"
#include "wizard_test/wizard_run.h"

namespace quillpost {
namespace {

std::string RealisticFile() {
  std::string text = "; Mapisvc.inf\r\n\r\n[Services]\r\nMSPST AB=Personal Address Book\r\n";
  for (int i = 0; i < 300; ++i) {
    const std::string name = "SVC" + std::to_string(i);
    text += "\r\n; " + name + "\r\n[" + name + "]\r\nPR_DISPLAY_NAME=Service " + std::to_string(i) +
            "\r\nPR_SERVICE_DLL_NAME=" + name + ".dll\r\n";
  }
  return text + "[VRQPN]\r\nPR_DISPLAY_NAME=an older registration\r\n";
}

/// How the file is updated in a pass, and how the disk fails.
struct FaultPass {
  const char* name;
  bool in_place;   // the file has a second link, so it is updated in place
  bool disk_dies;  // every call from the failing one on fails too
};

const FaultPass kPasses[] = {
    {"rename", false, false},
    {"rename, disk dies", false, true},
    {"in place", true, false},
    {"in place, disk dies", true, true},
};

/// RealisticFile with the normal edition registered: literal bytes.
std::string RegisteredFile() {
  std::string text = RealisticFile();
  test::ReplaceAll(&text, "MSPST AB=Personal Address Book\r\n",
                   "MSPST AB=Personal Address Book\r\nVRQPN=Varnholt Quillpost\r\n");
  test::ReplaceAll(&text, "[VRQPN]\r\nPR_DISPLAY_NAME=an older registration\r\n",
                   std::strstr(test::kNormalFile, "[VRQPN]\r\n"));
  return text;
}

/// Runs provreg's (or provunreg's) main routine on |disk| and returns its
/// status, its output in |*output|.
int RunMain(test::FaultyDisk& disk, bool unregister, std::string* output) {
  PosixPlatform platform(disk);
  const char* args[] = {"provreg", "-norm", "C:\\QP"};
  testing::internal::CaptureStdout();
  const int status = unregister ? ProvunregMain(platform, 2, args) : ProvregMain(platform, 3, args);
  *output = testing::internal::GetCapturedStdout();
  return status;
}

// A run is one change: at every failed call the file is exactly as before
// the run or exactly as after it, and the failure is reported with its
// cause. Only an in-place update whose disk also refuses the old bytes back
// may tear the file.
TEST(FaultInjection, EveryFailedCallOfAWholeRunLeavesTheFileBeforeOrAfter) {
  test::TempDir dir;
  test::TempDir elsewhere;  // holds the second link of the in-place passes
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");
  const std::string link = elsewhere.Join("second-link.inf");
  std::string unregistered = RealisticFile();  // its older [VRQPN] comes last
  unregistered.erase(unregistered.find("[VRQPN]"));
  std::string stale = RegisteredFile();  // and a stale copy of a provider section
  stale.insert(stale.find("[SVC150]"), "[vrqpn_ab]\r\nstale=1\r\n");
  // and a second [Services] with a bare line of the key, which hides the next
  unregistered.insert(unregistered.find("[SVC7]"), "[Services]\r\n");
  stale.insert(stale.find("[SVC7]"), "[Services]\r\nVRQPN\r\nvrqpn=again\r\n");
  struct Run {
    const char* name;
    bool unregister;
    std::string before, after;
  };
  const Run runs[] = {{"provreg", false, RealisticFile(), RegisteredFile()},
                      {"provunreg", true, stale, unregistered}};

  for (const Run& run : runs) {
    for (const FaultPass& pass : kPasses) {
      SCOPED_TRACE(std::string(run.name) + ": " + pass.name);
      auto start = [&](test::FaultyDisk& disk, std::string* output) {
        unlink(link.c_str());
        test::WriteFileBytes(file, run.before);
        if (pass.in_place) {
          EXPECT_EQ(::link(file.c_str(), link.c_str()), 0);
        }
        return RunMain(disk, run.unregister, output);
      };
      std::string output;
      test::FaultyDisk counter;
      ASSERT_EQ(start(counter, &output), 1);
      ASSERT_EQ(test::ReadFileBytes(file), run.after);
      const std::string failed = std::string("Cannot ") +
                                 (run.unregister ? "remove the service definition from \""
                                                 : "write the service definition to \"") +
                                 file + "\"\nThe file cannot be changed: Input/output error\n";

      int reported = 0, torn = 0;
      for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
        SCOPED_TRACE(fail_at);
        test::FaultyDisk disk;
        disk.fail_at = fail_at;
        disk.fail_after = pass.disk_dies;
        const int status = start(disk, &output);
        const std::string now = test::ReadFileBytes(file);
        if (status == 1) {
          EXPECT_EQ(now, run.after);  // only a failure that costs nothing may pass unreported
        } else {
          ++reported;
          EXPECT_EQ(output, failed);
          if (now != run.before) {
            ++torn;  // only a disk that also failed to take the old bytes back
            EXPECT_TRUE(pass.in_place && pass.disk_dies) << "torn or mixed file";
          }
        }
        if (pass.in_place) {
          EXPECT_EQ(test::ReadFileBytes(link), now);
        }
        if (pass.disk_dies && !pass.in_place) {
          // A dead disk may keep a temporary from being removed; the next
          // writer removes it.
          RealDiskInterface healthy;
          FailureRecord profile_record;
          ProfileFile profile(healthy, profile_record);
          EXPECT_TRUE(profile.Write(file.c_str(), "Swept", "after", std::to_string(fail_at)));
        }
        EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
        EXPECT_EQ(disk.unsynced_renames, "");
      }
      EXPECT_GT(reported, counter.calls / 2);
      EXPECT_EQ(torn > 0, pass.in_place && pass.disk_dies);
      std::printf("%s, %s: %ld faults injected, %d reported, %d of them torn\n", run.name,
                  pass.name, counter.calls, reported, torn);
    }
  }
}

}  // namespace
}  // namespace quillpost

namespace quillpost {
namespace {

std::uint32_t QUILLPOST_WIZARD_CALL QuietWizard(void*, std::uint32_t, const char**, std::uint32_t,
                                                char*) {
  return 0;
}

/// The POSIX platform on a faulty disk, with a wizard that returns at once.
class WizardOnDisk : public PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;
  void* OpenLibrary(const char*) override { return this; }
  void* FindEntry(void*, const char*) override { return reinterpret_cast<void*>(&QuietWizard); }
  void CloseLibrary(void*) override {}
};

/// No guard at all: the entry is held out with nothing to put it back.
class NoGuard : public EntryGuard {
 public:
  bool Hold(const char*, const char*, const char*, const char*, const char*) override {
    return true;
  }
  void Release() override {}
};

/// The file of a wiztest run: as it was, with the entry held out, and with
/// the entry written back.
struct WiztestFiles {
  std::string original = RealisticFile();
  std::string held_out, written_back;
  WiztestFiles() {
    ProfileEdit edit;
    PlanDelete(original, "Services", "MSPST AB", &edit);
    held_out = ApplyEdit(original, edit);
    PlanWrite(held_out, "Services", "MSPST AB", "Personal Address Book", &edit);
    written_back = ApplyEdit(held_out, edit);
  }
  const char* Name(const std::string& now) const {
    return now == original       ? "original"
           : now == held_out     ? "held out"
           : now == written_back ? "written back"
                                 : "other";
  }
};

TEST(FaultInjection, EveryFailedCallOfAWiztestRunKeepsOrReportsTheEntry) {
  test::TempDir dir;
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");
  const WiztestFiles files;

  test::TempDir elsewhere;
  const std::string link = elsewhere.Join("second-link.inf");
  int left_in_place = 0;
  for (const bool in_place : {false, true}) {
    SCOPED_TRACE(in_place ? "in place" : "rename");
    auto run = [&](test::FaultyDisk& disk, std::string* output) {
      unlink(link.c_str());
      test::WriteFileBytes(file, files.original);
      if (in_place) {
        EXPECT_EQ(::link(file.c_str(), link.c_str()), 0);
      }
      WizardOnDisk platform(disk);
      NoGuard guard;
      testing::internal::CaptureStdout();
      const int status = WizardTestRun(platform, guard);
      *output = testing::internal::GetCapturedStdout();
      return status;
    };
    std::string output;
    test::FaultyDisk counter;
    ASSERT_EQ(run(counter, &output), 1);
    ASSERT_EQ(test::ReadFileBytes(file), files.written_back);
    EXPECT_EQ(counter.unsynced_renames, "");
    // In place, the delete shrinks the file; the write-back grows it, and
    // reserves the space before its first write; each is synced. By rename,
    // each copy is synced, then its directory.
    EXPECT_EQ(counter.order, in_place ? "WSAWS" : "SSSS");
    // In literal bytes: the entry's line goes, and comes back in the same
    // place, the section having no other key.
    std::string literal = files.original;
    test::ReplaceAll(&literal, "MSPST AB=Personal Address Book\r\n", "");
    EXPECT_EQ(files.held_out, literal);
    EXPECT_EQ(files.written_back, files.original);

    for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
      SCOPED_TRACE(fail_at);
      test::FaultyDisk disk;
      disk.fail_at = fail_at;
      const int status = run(disk, &output);
      const std::string now = test::ReadFileBytes(file);
      SCOPED_TRACE(testing::Message() << "status " << status << ", file " << files.Name(now));
      if (status == 1 && now == files.original) {
        // The plan or the delete failed: the entry never left, and a line
        // says why.
        if (!output.empty()) {
          ++left_in_place;
          EXPECT_EQ(
              output.rfind("\"MSPST AB\" stays in section \"Services\" of \"" + file + "\": ", 0),
              0u)
              << output;
          EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
        }
      } else if (status == 1) {
        EXPECT_EQ(now, files.written_back);
        EXPECT_EQ(output, "");
      } else if (now == files.original) {
        // A read failed: the wizard did not run, and the line says why.
        EXPECT_EQ(output.rfind("Cannot read \"" + file + "\": ", 0), 0u) << output;
        EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
      } else {
        // The write-back failed: the file is as the delete left it, and the
        // user is told the value and where it belongs.
        EXPECT_EQ(now, files.held_out);
        EXPECT_NE(output.find("MSPST AB=Personal Address Book"), std::string::npos) << output;
      }
      if (in_place) {
        EXPECT_EQ(test::ReadFileBytes(link), now);
      }
      EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
      EXPECT_EQ(disk.unsynced_renames, "");
    }
    std::printf("%s: %ld faults injected into a wiztest run\n", in_place ? "in place" : "rename",
                counter.calls);
  }
  EXPECT_GT(left_in_place, 0);
}

/// Runs |body| in a child process whose standard output is a pipe, and
/// reads that pipe to its end: the end of the child and of every process
/// that holds its output (the guardian). A run past the deadline is killed
/// and reported as a hang. Returns the child's wait status; sets |*output|.
template <typename Body>
int RunForked(Body body, std::string* output) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  close(out[1]);
  output->clear();
  const int seconds = test::ScaledSeconds(test::kDefaultDeadlineSeconds);
  struct pollfd ready = {out[0], POLLIN, 0};
  char buffer[4096];
  for (;;) {
    const int polled = poll(&ready, 1, seconds * 1000);
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      kill(pid, SIGKILL);
      test::ReportHang("a forked wiztest run", seconds);
      break;
    }
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// A signal at each disk call of a guarded run, the delete and the
// write-back included: the run never hangs and ends by the signal, the
// entry is never lost, and a signal that can be caught waits for the update
// in progress, so that no temporary file is left.
TEST(FaultInjection, ASignalAtEveryDiskCallOfAWiztestRunNeverLosesTheEntry) {
  test::TempDir dir;
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");
  const WiztestFiles files;

  test::WriteFileBytes(file, files.original);
  test::FaultyDisk counter;
  {
    WizardOnDisk platform(counter);
    NoGuard guard;
    testing::internal::CaptureStdout();
    ASSERT_EQ(WizardTestRun(platform, guard), 1);
    testing::internal::GetCapturedStdout();
  }
  for (const int sig : {SIGTERM, SIGINT, SIGKILL}) {
    for (long signal_at = 0; signal_at < counter.calls; ++signal_at) {
      SCOPED_TRACE(testing::Message() << "signal " << sig << " at call " << signal_at);
      test::WriteFileBytes(file, files.original);
      std::string output;
      const int status = RunForked(
          [&] {
            test::FaultyDisk disk;
            disk.fail_at = signal_at;
            disk.signal = sig;
            disk.signal_pid = getpid();
            WizardOnDisk platform(disk);
            ProcessEntryGuard guard(platform);
            return WizardTestRun(platform, guard);
          },
          &output);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
      const std::string now = test::ReadFileBytes(file);
      EXPECT_TRUE(now == files.original || now == files.written_back) << files.Name(now);
      EXPECT_EQ(output, "");
      if (sig != SIGKILL) {
        EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
      } else {
        // Killed outright in the middle of an update, a temporary may stay.
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
          if (entry.path().filename() != "Mapisvc.inf") std::filesystem::remove(entry.path());
        }
      }
    }
  }
  std::printf("3 signals at each of %ld disk calls of a wiztest run\n", counter.calls);
}

// Another user at work in a sticky directory that others can write: at each
// disk call of a run in turn, uid 4242 puts a link to a root-only file (or,
// every other call, a FIFO) at the file's name wherever the directory lets
// them (a free name, or a file of their own), and a stale-looking temporary
// of their own beside it. The root-only file never changes, no temporary of
// ours stays, theirs stays unless the file is theirs too, and a run of
// provreg or provunreg that met the link names it.
TEST(FaultInjection, AnotherUsersLinkPlantedAtAnyCallNeverReachesItsTarget) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may plant a link as another user";
  test::TempDir dir, elsewhere;
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf"), victim = elsewhere.Join("root-only.inf");
  const std::string text =
      "[Services]\r\nMSPST AB=Personal Address Book\r\nVRQPN=Varnholt Quillpost\r\n"
      "[VRQPN]\r\nPR_DISPLAY_NAME=old\r\n";
  const struct {
    const char* name;
    int program;  // provreg, provunreg, wiztest
    bool theirs;  // the file is uid 4242's own, mode 0666; else missing
  } cases[] = {{"provreg, no file", 0, false},
               {"provreg, their file", 0, true},
               {"provunreg, no file", 1, false},
               {"provunreg, their file", 1, true},
               {"wiztest, their file", 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = [&](test::FaultyDisk& disk, std::string* output) {
      std::filesystem::remove(file);
      test::WriteFileBytes(victim, text);  // with a second link: changed in place if reached
      unlink((victim + "2").c_str());
      EXPECT_EQ(link(victim.c_str(), (victim + "2").c_str()), 0);
      if (c.theirs) {
        test::WriteFileBytes(file, text);
        EXPECT_EQ(chown(file.c_str(), 4242, 4242) | chmod(file.c_str(), 0666), 0);
      }
      WizardOnDisk platform(disk);
      NoGuard guard;
      testing::internal::CaptureStdout();
      const char* const reg[] = {"provreg", "-norm", "C:\\QP"};
      const char* const unreg[] = {"provunreg", "-norm"};
      const int status = c.program == 0   ? ProvregMain(platform, 3, reg)
                         : c.program == 1 ? ProvunregMain(platform, 2, unreg)
                                          : WizardTestRun(platform, guard);
      *output = testing::internal::GetCapturedStdout();
      return status;
    };
    const std::string planted = dir.Join("planted"), theirs = dir.Join(".Mapisvc.inf.tmp1-1-1");
    bool fifo = false;
    auto plant = [&] {
      test::WriteFileBytes(theirs, "theirs");
      EXPECT_EQ(chown(theirs.c_str(), 4242, 4242), 0);
      struct stat st;
      if (lstat(file.c_str(), &st) == 0 && st.st_uid != 4242) return;
      EXPECT_EQ((fifo ? mkfifo(planted.c_str(), 0666) : symlink(victim.c_str(), planted.c_str())) |
                    lchown(planted.c_str(), 4242, 4242) | rename(planted.c_str(), file.c_str()),
                0);
    };
    std::string output;
    test::FaultyDisk counter;
    ASSERT_EQ(run(counter, &output), 1);
    int met = 0;
    for (long plant_at = 0; plant_at <= counter.calls; ++plant_at) {
      SCOPED_TRACE(plant_at);
      test::FaultyDisk disk;
      disk.fail_at = plant_at;
      disk.plant = plant;
      fifo = plant_at % 2 == 1;
      std::filesystem::remove(theirs);
      const int status = run(disk, &output);
      EXPECT_EQ(test::ReadFileBytes(victim), text);
      std::string listed = test::ListDirectory(dir.path());
      test::ReplaceAll(&listed, ".Mapisvc.inf.tmp1-1-1\n", "");
      EXPECT_TRUE(listed == "Mapisvc.inf\n" || listed == "") << listed;
      // Theirs goes only where they own the file too.
      EXPECT_TRUE(c.theirs || std::filesystem::exists(theirs) == (plant_at < counter.calls));
      if (status == 1) continue;
      ++met;
      if (c.program != 2 && !fifo) {
        EXPECT_NE(output.find("\"" + file + "\" is another user's symbolic link"),
                  std::string::npos)
            << output;
      }
    }
    EXPECT_GT(met, 0);
    std::printf("%s: a link planted at each of %ld calls, met %d times\n", c.name, counter.calls,
                met);
  }
}

}  // namespace
}  // namespace quillpost
