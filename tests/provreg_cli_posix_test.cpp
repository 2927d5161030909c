// Black-box tests of provreg on POSIX: the exact bytes our profile-file
// engine writes, symbolic links, permission bits, concurrent runs.

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "tests/provreg_fixture.h"

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
    ProcessSpec spec = Spec({"-norm"});
    spec.env = {{"QUILLPOST_SYSTEM_DIR", dir}};
    const ProcessResult r = RunProcess(spec);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.output, "Cannot get the windows system directory\n");
  }
}

TEST_F(ProvregTest, UnwritableFileIsReportedAfterEveryWriteWasTried) {
  ProcessSpec spec = Spec({"-lite"});
  const std::string missing = sys_.path() + "/" + std::string("no-such-dir");
  spec.env = {{"QUILLPOST_SYSTEM_DIR", missing}};
  const ProcessResult r = RunProcess(spec);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot write the service definition to \"" + missing + "/Mapisvc.inf\"\n");
}

TEST_F(ProvregTest, ConcurrentRunsAllLand) {
  constexpr int kRuns = 12;
  std::vector<std::unique_ptr<test::Child>> children;
  for (int i = 0; i < kRuns; ++i) {
    children.push_back(std::make_unique<test::Child>(
        Spec({i % 2 ? "-lite" : "-norm", i % 2 ? "L:\\" : "C:\\QP"})));
  }
  for (auto& child : children) EXPECT_EQ(child->Wait().exit_status, 1);
  ExpectDefinition(false, "C:\\QP\\");
  ExpectDefinition(true, "L:\\");
  EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
}

}  // namespace
}  // namespace quillpost
