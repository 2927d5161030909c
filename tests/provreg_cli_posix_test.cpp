// Black-box tests of provreg on POSIX: the exact bytes our profile-file
// engine writes, symbolic links, permission bits, concurrent runs.

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "registration/register_service.h"
#include "tests/provreg_fixture.h"
#include "tests/support/fake_platform.h"

namespace quillpost {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

TEST_F(ProvregTest, HandEditedFileKeepsEveryOtherByte) {
  const std::string before =
      "\xEF\xBB\xBF; Mapisvc.inf, edited by hand\n"
      "[Services]\n"
      "MSPST AB=Personal Address Book\n"
      "vrqpn = an old name\n"
      "\n"
      "; the service section, with a key of our own\n"
      "[vrqpn]\n"
      "Custom Key = kept\n"
      "PR_DISPLAY_NAME=Old\n"
      "[Default Services]\n"
      "MSPST AB=Personal Address Book";
  WriteFileBytes(file_, before);
  ASSERT_EQ(chmod(file_.c_str(), 0604), 0);
  ASSERT_EQ(Run({"-norm"}).exit_status, 1);
  const std::string after = File();
  EXPECT_EQ(Value("Services", "VRQPN"), "Varnholt Quillpost");
  EXPECT_EQ(Value("VRQPN", "Custom Key"), "kept");
  EXPECT_EQ(Value("VRQPN", "PR_SERVICE_DLL_NAME"), "vrqpn.dll");
  EXPECT_EQ(Value("VRQPN_AB", "PR_DISPLAY_NAME"), "Quillpost Address Book");
  const std::string head =
      "\xEF\xBB\xBF; Mapisvc.inf, edited by hand\n[Services]\nMSPST AB=Personal Address Book\n";
  EXPECT_EQ(after.substr(0, head.size()), head);
  EXPECT_NE(after.find("vrqpn=Varnholt Quillpost\n\n; the service section"), std::string::npos);
  EXPECT_NE(after.find("[Default Services]\nMSPST AB=Personal Address Book\n[VRQPN_AB]\n"),
            std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST_F(ProvregTest, SymlinkedFileIsWrittenThroughTheLink) {
  test::TempDir elsewhere;
  const std::string target = elsewhere.Join("real.inf");
  WriteFileBytes(target, "");
  ASSERT_EQ(symlink(target.c_str(), file_.c_str()), 0);
  ASSERT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  struct stat st;
  ASSERT_EQ(lstat(file_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileBytes(target), kNormalFile);
}

TEST_F(ProvregTest, NoSystemDirectoryIsReportedAsFailure) {
  for (const std::string& dir : {std::string(), std::string(300, 'd')}) {
    LaunchOptions launch = Launch({"-norm"});
    launch.env = {{"QUILLPOST_SYSTEM_DIR", dir}};
    const ProcessResult r = RunProcess(launch);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.output, "Cannot get the windows system directory\n");
  }
}

TEST_F(ProvregTest, UnwritableFileIsReportedAfterEveryWriteWasTried) {
  LaunchOptions launch = Launch({"-lite"});
  const std::string missing = sys_.path() + "/" + std::string("no-such-dir");
  launch.env = {{"QUILLPOST_SYSTEM_DIR", missing}};
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot write the service definition to \"" + missing + "/Mapisvc.inf\"\n");
}

TEST_F(ProvregTest, SixtyFourConcurrentRunsAllLand) {
  const std::string base = "; keep me\r\n[Services]\r\nMSPST AB=PAB\r\n\r\n[Other]\r\nx=1\r\n";
  WriteFileBytes(file_, base);
  std::vector<std::unique_ptr<test::Child>> children;
  for (int i = 0; i < 64; ++i) {
    children.push_back(std::make_unique<test::Child>(
        Launch({i % 2 ? "-lite" : "-norm", i % 4 < 2 ? "C:\\QP" : "D:\\QP"})));
  }
  for (auto& child : children) EXPECT_EQ(child->Wait().exit_status, 1);
  const std::string text = File();
  EXPECT_EQ(text.substr(0, 34), base.substr(0, 34));
  EXPECT_EQ(Value("Services", "MSPST AB"), "PAB");
  EXPECT_EQ(Value("Other", "x"), "1");
  for (const bool lite : {false, true}) {
    for (const char* header : {"[VRQPN]", "[VRQPN_AB]", "[VRQPN_XP]", "[Services]"}) {
      std::string h = header;
      if (lite) ReplaceAll(&h, "VRQPN", "VRQPL");
      EXPECT_EQ(text.find(h), text.rfind(h)) << h << " duplicated";
    }
    const std::string dll = lite ? "vrqpl.dll" : "vrqpn.dll";
    const std::string service = lite ? "VRQPL" : "VRQPN";
    const std::string dll_value = Value(service, "PR_SERVICE_DLL_NAME");
    EXPECT_TRUE(dll_value == "C:\\QP\\" + dll || dll_value == "D:\\QP\\" + dll) << dll_value;
  }
  EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
}

// provreg killed with SIGKILL at random moments of a run on a large file:
// the file always holds the first k of the 19 writes, never a torn state.
TEST_F(ProvregTest, KilledRunsNeverTearTheFile) {
  std::string base = "[Services]\r\nMSPST AB=PAB\r\n";
  for (int i = 0; base.size() < (2u << 20); ++i) {
    base += "[S" + std::to_string(i) + "]\r\nPR_DISPLAY_NAME=Service number " + std::to_string(i) +
            "\r\n; a comment line to make the file realistic\r\n";
  }
  test::FakePlatform recorder;
  testing::internal::CaptureStdout();
  RegisterService(recorder, false, "C:\\QP\\");
  testing::internal::GetCapturedStdout();
  std::set<std::string> states = {base};
  std::string text = base;
  for (const auto& w : recorder.calls) {
    ProfileEdit edit;
    if (PlanWrite(text, w.section, w.key, w.value, &edit) == PlanResult::kChange) {
      text = ApplyEdit(text, edit);
    }
    states.insert(text);
  }
  std::mt19937 random(7);
  int killed_mid_run = 0;
  for (int i = 0; i < 200; ++i) {
    WriteFileBytes(file_, base);
    test::Child child(Launch({"-norm", "C:\\QP"}));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 150000));
    child.Kill(SIGKILL);
    const ProcessResult r = child.Wait();
    killed_mid_run += r.signal == SIGKILL;
    ASSERT_TRUE(states.count(File())) << "torn file after kill " << i;
    // A killed writer may leave its temporary file behind; never the file torn.
    for (const auto& entry : std::filesystem::directory_iterator(sys_.path())) {
      if (entry.path().filename() != "Mapisvc.inf") std::filesystem::remove(entry.path());
    }
  }
  std::printf("200 kills, %d of them during a run\n", killed_mid_run);
  EXPECT_GT(killed_mid_run, 40);
}

// A UTF-16 file is written in UTF-16; one that the engine cannot read as
// the platform does (a UTF-16 mark, an odd number of bytes) is left
// byte-identical, and the user is told why.
TEST_F(ProvregTest, Utf16FileIsWrittenInUtf16OrRefusedWithTheReason) {
  const auto utf16 = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out.append({c, '\0'});
    return out;
  };
  const std::string start = "[Services]\r\nMSPST AB=Personal Address Book\r\n";
  WriteFileBytes(file_, utf16(start));
  ASSERT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  std::string expected = kNormalFile;
  ReplaceAll(&expected, "[Services]\r\n", start);
  EXPECT_EQ(File(), utf16(expected));

  const std::string odd = utf16(start) + "x";
  WriteFileBytes(file_, odd);
  const ProcessResult r = Run({"-norm", "C:\\QP"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot write the service definition to \"" + file_ +
                          "\"\nWrite refused: the file starts with a UTF-16 byte-order mark but "
                          "has an odd number of bytes\n");
  EXPECT_TRUE(File() == odd) << "file changed";
}

// A disk too full for the new copy: the file stays byte-identical, nothing
// is left behind, and the failure is reported.
TEST_F(ProvregTest, FullDiskLeavesTheFileUntouched) {
  const std::string disk = sys_.path() + "/disk";
  std::filesystem::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root";
  }
  const std::string file = disk + "/Mapisvc.inf";
  std::string base = "[Services]\r\nMSPST AB=PAB\r\n";
  while (base.size() < 700 * 1024) base += "; filler line of a realistic size for the file\r\n";
  WriteFileBytes(file, base);
  LaunchOptions launch = Launch({"-norm", "C:\\QP"});
  launch.env = {{"QUILLPOST_SYSTEM_DIR", disk}};
  const ProcessResult r = RunProcess(launch);
  const std::string after = ReadFileBytes(file);
  const std::string listing = test::ListDirectory(disk);
  umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot write the service definition to \"" + file + "\"\n");
  EXPECT_TRUE(after == base) << "file changed";
  EXPECT_EQ(listing, "Mapisvc.inf\n");
}

}  // namespace
}  // namespace quillpost
