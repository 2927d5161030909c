// Whole provreg, provunreg and wiztest runs on a realistic file, with each
// disk call of the run failing in turn, both where the file is replaced by
// rename and where it is updated in place: the failed write or removal
// leaves the file exactly as before it or exactly as after it, the other ones
// still land, no temporary file is left, and the run reports the failure.
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
#include <set>

#include "platform/guard/entry_guard.h"
#include "platform/native/posix_platform.h"
#include "platform/profile/profile_engine.h"
#include "platform/profile/profile_file_posix.h"
#include "registration/register_service.h"
#include "registration/unregister_service.h"
#include "tests/support/fake_platform.h"
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

TEST(FaultInjection, EveryFailedCallOfAProvregRunLeavesWholeWrites) {
  test::TempDir dir;
  test::TempDir elsewhere;  // holds the second link of the in-place passes
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");
  const std::string link = elsewhere.Join("second-link.inf");
  const std::string original = RealisticFile();

  // The run's writes, and the file after all of them, after the first k, and
  // after all but one.
  test::FakePlatform recorder;
  ASSERT_EQ(RegisterService(recorder, false, "C:\\QP\\"), 1);
  auto apply = [&](int skipped, int count) {
    std::string text = original;
    for (int i = 0; i < count; ++i) {
      const auto& w = recorder.calls[static_cast<size_t>(i)];
      ProfileEdit edit;
      if (i != skipped &&
          PlanWrite(text, w.section, w.key, w.value, &edit) == PlanResult::kChange) {
        text = ApplyEdit(text, edit);
      }
    }
    return text;
  };
  const int writes = static_cast<int>(recorder.calls.size());
  const std::string complete = apply(-1, writes);
  // The end state in literal bytes: the entry joins [Services], the old
  // [VRQPN] gets the definition's keys and the provider sections follow.
  std::string literal = original;
  test::ReplaceAll(&literal, "MSPST AB=Personal Address Book\r\n",
                   "MSPST AB=Personal Address Book\r\nVRQPN=Varnholt Quillpost\r\n");
  test::ReplaceAll(&literal, "[VRQPN]\r\nPR_DISPLAY_NAME=an older registration\r\n",
                   std::strstr(test::kNormalFile, "[VRQPN]\r\n"));
  EXPECT_EQ(complete, literal);
  std::set<std::string> one_write_lost, first_writes;
  for (int i = 0; i < writes; ++i) {
    one_write_lost.insert(apply(i, writes));
    first_writes.insert(apply(-1, i));
  }

  for (const FaultPass& pass : kPasses) {
    SCOPED_TRACE(pass.name);
    auto run = [&](test::FaultyDisk& disk, std::string* output) {
      unlink(link.c_str());
      test::WriteFileBytes(file, original);
      if (pass.in_place) {
        EXPECT_EQ(::link(file.c_str(), link.c_str()), 0);
      }
      PosixPlatform platform(disk);
      testing::internal::CaptureStdout();
      const int status = RegisterService(platform, false, "C:\\QP\\");
      *output = testing::internal::GetCapturedStdout();
      return status;
    };
    std::string output;
    test::FaultyDisk counter;
    ASSERT_EQ(run(counter, &output), 1);
    ASSERT_EQ(test::ReadFileBytes(file), complete);
    EXPECT_EQ(counter.unsynced_renames, "");
    const std::set<std::string>& whole_writes = pass.disk_dies ? first_writes : one_write_lost;

    int reported = 0, torn = 0;
    for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
      SCOPED_TRACE(fail_at);
      test::FaultyDisk disk;
      disk.fail_at = fail_at;
      disk.fail_after = pass.disk_dies;
      const int status = run(disk, &output);
      const std::string now = test::ReadFileBytes(file);
      if (status == 1) {
        EXPECT_EQ(now, complete);  // only a failure that costs nothing may pass unreported
      } else {
        ++reported;
        EXPECT_EQ(output, "Cannot write the service definition to \"" + file + "\"\n");
        if (now != complete && !whole_writes.count(now)) {
          // Torn: only a disk that also failed to take the old bytes back.
          ++torn;
          EXPECT_TRUE(pass.in_place && pass.disk_dies) << "torn or mixed file";
        }
      }
      if (pass.in_place) {
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 2u);
        EXPECT_EQ(test::ReadFileBytes(link), now);
      }
      if (pass.disk_dies && !pass.in_place) {
        // A dead disk may keep a temporary from being removed; the next
        // writer removes it.
        RealDiskInterface healthy;
        ProfileFile profile(healthy);
        EXPECT_TRUE(profile.Write(file.c_str(), "Swept", "after", std::to_string(fail_at)));
      }
      EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
      EXPECT_EQ(disk.unsynced_renames, "");
    }
    EXPECT_GT(reported, counter.calls / 2);
    EXPECT_EQ(torn > 0, pass.in_place && pass.disk_dies);
    std::printf("%s: %ld faults injected, %d reported, %d of them torn\n", pass.name, counter.calls,
                reported, torn);
  }
}

TEST(FaultInjection, EveryFailedCallOfAProvunregRunLeavesWholeRemovals) {
  test::TempDir dir;
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");

  // The realistic file with the normal edition registered; a stale copy of
  // its address-book section sits among the other services.
  test::FakePlatform writes;
  ASSERT_EQ(RegisterService(writes, false, "C:\\QP\\"), 1);
  std::string original = RealisticFile();
  original.insert(original.find("[SVC150]"), "[vrqpn_ab]\r\nstale=1\r\n");
  for (const auto& w : writes.calls) {
    ProfileEdit edit;
    if (PlanWrite(original, w.section, w.key, w.value, &edit) == PlanResult::kChange) {
      original = ApplyEdit(original, edit);
    }
  }

  // The run's removals, and the file after all of them or all but one.
  test::FakePlatform removals;
  ASSERT_EQ(UnregisterService(removals, false), 1);
  std::vector<test::FakePlatform::Call> removed;  // the removals, without the reads
  for (const auto& call : removals.calls) {
    if (call.op != "read") removed.push_back(call);
  }
  auto apply = [&](int skipped) {
    std::string text = original;
    for (int i = 0; i < static_cast<int>(removed.size()); ++i) {
      const auto& r = removed[static_cast<size_t>(i)];
      ProfileEdit edit;
      const PlanResult planned = r.op == "delete" ? PlanDelete(text, r.section, r.key, &edit)
                                                  : PlanDeleteSection(text, r.section, &edit);
      if (i != skipped && planned == PlanResult::kChange) text = ApplyEdit(text, edit);
    }
    return text;
  };
  const std::string complete = apply(-1);
  std::string without_service = RealisticFile();  // its older [VRQPN] comes last
  without_service.erase(without_service.find("[VRQPN]"));
  ASSERT_EQ(complete, without_service);
  std::set<std::string> one_removal_lost;
  for (int i = 0; i < 4; ++i) one_removal_lost.insert(apply(i));

  auto run = [&](test::FaultyDisk& disk) {
    test::WriteFileBytes(file, original);
    PosixPlatform platform(disk);
    testing::internal::CaptureStdout();
    const int status = UnregisterService(platform, false);
    testing::internal::GetCapturedStdout();
    return status;
  };
  test::FaultyDisk counter;
  ASSERT_EQ(run(counter), 1);
  ASSERT_EQ(test::ReadFileBytes(file), complete);
  EXPECT_EQ(counter.unsynced_renames, "");

  int reported = 0;
  for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
    SCOPED_TRACE(fail_at);
    test::FaultyDisk disk;
    disk.fail_at = fail_at;
    const int status = run(disk);
    const std::string now = test::ReadFileBytes(file);
    if (status == 1) {
      EXPECT_EQ(now, complete);
    } else {
      ++reported;
      EXPECT_TRUE(now == complete || one_removal_lost.count(now)) << "torn or mixed file";
    }
    EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
    EXPECT_EQ(disk.unsynced_renames, "");
  }
  EXPECT_GT(reported, counter.calls / 2);
  std::printf("%ld faults injected into a provunreg run, %d reported\n", counter.calls, reported);
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
        // The read, the listing of the section or the delete failed: the
        // entry never left, silently only when the read found nothing.
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

}  // namespace
}  // namespace quillpost
