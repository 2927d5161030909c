// Whole provreg and wiztest runs on a realistic file, with each disk call of
// the run failing in turn: the failed write leaves the file exactly as before
// it or exactly as after it, the other writes still land, no temporary file
// is left, and the run reports the failure.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>

#include "platform/posix_platform.h"
#include "platform/profile_engine.h"
#include "platform/wizard_entry.h"
#include "registration/register_service.h"
#include "tests/support/fake_platform.h"
#include "tests/support/faulty_disk_posix.h"
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

/// The POSIX platform on a faulty disk, with a wizard that returns at once.
class WizardOnDisk : public PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;
  void* OpenLibrary(const char*) override { return this; }
  void* FindEntry(void*, const char*) override { return reinterpret_cast<void*>(&QuietWizard); }
  void CloseLibrary(void*) override {}
  bool GuardHeldEntry(const char*, const char*, const char*, const char*, const char*) override {
    return true;
  }
  void ReleaseEntryGuard() override {}
};

TEST(FaultInjection, EveryFailedCallOfAWiztestRunKeepsOrReportsTheEntry) {
  test::TempDir dir;
  setenv("QUILLPOST_SYSTEM_DIR", dir.path().c_str(), 1);
  const std::string file = dir.Join("Mapisvc.inf");
  const std::string original = RealisticFile();
  ProfileEdit edit;
  ASSERT_EQ(PlanDelete(original, "Services", "MSPST AB", &edit), PlanResult::kChange);
  const std::string held_out = ApplyEdit(original, edit);
  ASSERT_EQ(PlanWrite(held_out, "Services", "MSPST AB", "Personal Address Book", &edit),
            PlanResult::kChange);
  const std::string written_back = ApplyEdit(held_out, edit);

  auto run = [&](test::FaultyDisk& disk, std::string* output) {
    test::WriteFileBytes(file, original);
    WizardOnDisk platform(disk);
    testing::internal::CaptureStdout();
    const int status = RunWizardTest(platform);
    *output = testing::internal::GetCapturedStdout();
    return status;
  };
  std::string output;
  test::FaultyDisk counter;
  ASSERT_EQ(run(counter, &output), 1);
  ASSERT_EQ(test::ReadFileBytes(file), written_back);

  for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
    SCOPED_TRACE(fail_at);
    test::FaultyDisk disk;
    disk.fail_at = fail_at;
    const int status = run(disk, &output);
    const std::string now = test::ReadFileBytes(file);
    const char* state = now == original       ? "original"
                        : now == held_out     ? "held out"
                        : now == written_back ? "written back"
                                              : "other";
    SCOPED_TRACE(testing::Message() << "status " << status << ", file " << state);
    if (status == 1) {
      // The delete failed (entry never left) or both steps landed.
      EXPECT_TRUE(now == original || now == written_back);
    } else {
      // The write-back failed: the file is as the delete left it, and the
      // user is told the value and where it belongs.
      EXPECT_TRUE(now == held_out);
      EXPECT_NE(output.find("MSPST AB=Personal Address Book"), std::string::npos) << output;
    }
    EXPECT_EQ(test::ListDirectory(dir.path()), "Mapisvc.inf\n");
  }
  std::printf("%ld faults injected into a wiztest run\n", counter.calls);
}

}  // namespace
}  // namespace quillpost
