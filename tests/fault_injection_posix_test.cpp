// Whole provreg and wiztest runs on a realistic file, with each disk call of
// the run failing in turn: the failed write leaves the file exactly as before
// it or exactly as after it, the other writes still land, no temporary file
// is left, and the run reports the failure.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "platform/posix_platform.h"
#include "platform/profile_engine.h"
#include "platform/wizard_entry.h"
#include "registration/register_service.h"
#include "tests/support/fake_platform.h"
#include "tests/support/faulty_disk_posix.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
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

TEST(FaultInjection, EveryFailedCallOfAProvregRunLeavesWholeWrites) {
  test::TempDir dir;
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");
  const std::string original = RealisticFile();

  // The run's writes, and the file after all of them or all but one.
  test::FakePlatform recorder;
  ASSERT_EQ(RegisterService(recorder, false, "C:\\QP\\"), 1);
  auto apply = [&](int skipped) {
    std::string text = original;
    for (int i = 0; i < static_cast<int>(recorder.calls.size()); ++i) {
      const auto& w = recorder.calls[static_cast<size_t>(i)];
      ProfileEdit edit;
      if (i != skipped &&
          PlanWrite(text, w.section, w.key, w.value, &edit) == PlanResult::kChange) {
        text = ApplyEdit(text, edit);
      }
    }
    return text;
  };
  const std::string complete = apply(-1);
  std::set<std::string> one_write_lost;
  for (int i = 0; i < 19; ++i) one_write_lost.insert(apply(i));

  auto run = [&](test::FaultyDisk& disk) {
    test::WriteFileBytes(file, original);
    PosixPlatform platform(disk);
    testing::internal::CaptureStdout();
    const int status = RegisterService(platform, false, "C:\\QP\\");
    testing::internal::GetCapturedStdout();
    return status;
  };
  test::FaultyDisk counter;
  ASSERT_EQ(run(counter), 1);
  ASSERT_EQ(test::ReadFileBytes(file), complete);

  int reported = 0;
  for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
    SCOPED_TRACE(fail_at);
    test::FaultyDisk disk;
    disk.fail_at = fail_at;
    const int status = run(disk);
    const std::string now = test::ReadFileBytes(file);
    if (status == 1) {
      EXPECT_EQ(now, complete);  // only a failure that costs nothing may pass unreported
    } else {
      ++reported;
      EXPECT_TRUE(now == complete || one_write_lost.count(now)) << "torn or mixed file";
    }
    EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
  }
  EXPECT_GT(reported, counter.calls / 2);
  std::printf("%ld faults injected, %d reported\n", counter.calls, reported);
}

}  // namespace
}  // namespace quillpost

namespace quillpost {
namespace {

std::uint32_t QUILLPOST_WIZARD_CALL QuietWizard(void*, std::uint32_t, const char**, std::uint32_t,
                                                char*) {
  return 0;
}

/// The POSIX platform on a faulty disk, with a wizard that returns at once;
/// with the real guard of the held entry, or none.
class WizardOnDisk : public PosixPlatform {
 public:
  WizardOnDisk(DiskInterface& disk, bool guarded) : PosixPlatform(disk), guarded_(guarded) {}
  void* OpenLibrary(const char*) override { return this; }
  void* FindEntry(void*, const char*) override { return reinterpret_cast<void*>(&QuietWizard); }
  void CloseLibrary(void*) override {}
  bool GuardHeldEntry(const char* section, const char* key, const char* value, const char* file,
                      const char* failure_message) override {
    return !guarded_ || PosixPlatform::GuardHeldEntry(section, key, value, file, failure_message);
  }
  void ReleaseEntryGuard() override {
    if (guarded_) PosixPlatform::ReleaseEntryGuard();
  }

 private:
  bool guarded_;
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

  auto run = [&](test::FaultyDisk& disk, std::string* output) {
    test::WriteFileBytes(file, files.original);
    WizardOnDisk platform(disk, false);
    testing::internal::CaptureStdout();
    const int status = RunWizardTest(platform);
    *output = testing::internal::GetCapturedStdout();
    return status;
  };
  std::string output;
  test::FaultyDisk counter;
  ASSERT_EQ(run(counter, &output), 1);
  ASSERT_EQ(test::ReadFileBytes(file), files.written_back);

  int left_in_place = 0;
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
            output.rfind("\"MSPST AB\" stays in section \"Services\" of \"" + file + "\": ", 0), 0u)
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
    EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
  }
  EXPECT_GT(left_in_place, 0);
  std::printf("%ld faults injected into a wiztest run\n", counter.calls);
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
    WizardOnDisk platform(counter, false);
    testing::internal::CaptureStdout();
    ASSERT_EQ(RunWizardTest(platform), 1);
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
            WizardOnDisk platform(disk, true);
            return RunWizardTest(platform);
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
