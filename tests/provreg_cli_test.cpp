// Black-box tests: the built provreg, run as a user would run it, against a
// system directory of its own.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/profile_engine.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

using test::ProcessResult;
using test::ProcessSpec;
using test::ReadFileBytes;
using test::WriteFileBytes;

const char kUsage[] =
    "Must be one or two parameters :\n"
    "\t\"provreg.exe -norm <PathDir>\" (for normal) or\n"
    "\t\"provreg.exe -lite <PathDir>\" (for lite)\n"
    "\twhere PathDir is the path to the VRQPN.DLL";

const char kNormalFile[] =
    "[Services]\r\n"
    "VRQPN=Varnholt Quillpost\r\n"
    "[VRQPN]\r\n"
    "PR_DISPLAY_NAME=Varnholt Quillpost\r\n"
    "PR_RESOURCE_FLAGS=SERVICE_SINGLE_COPY\r\n"
    "Providers=VRQPN_AB, VRQPN_XP\r\n"
    "PR_SERVICE_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_SUPPORT_FILES=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_DELETE_FILES=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_ENTRY_NAME=ServiceEntry\r\n"
    "WIZARD_ENTRY_NAME=QuillpostWizard\r\n"
    "[VRQPN_AB]\r\n"
    "PR_RESOURCE_TYPE=MAPI_AB_PROVIDER\r\n"
    "PR_RESOURCE_FLAGS=STATUS_PRIMARY_IDENTITY\r\n"
    "PR_PROVIDER_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_PROVIDER_DISPLAY=Quillpost Address Book\r\n"
    "PR_DISPLAY_NAME=Quillpost Address Book\r\n"
    "[VRQPN_XP]\r\n"
    "PR_RESOURCE_TYPE=MAPI_TRANSPORT_PROVIDER\r\n"
    "PR_RESOURCE_FLAGS=STATUS_PRIMARY_IDENTITY\r\n"
    "PR_PROVIDER_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_PROVIDER_DISPLAY=Quillpost Courier\r\n"
    "PR_DISPLAY_NAME=Quillpost Courier\r\n";

void ReplaceAll(std::string* s, const std::string& from, const std::string& to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size())) {
    s->replace(at, from.size(), to);
  }
}

/// The file that one run writes into an empty system directory.
std::string DefinitionText(bool lite, const std::string& prefix) {
  std::string text = kNormalFile;
  ReplaceAll(&text, "C:\\QP\\vrqpn.dll", prefix + (lite ? "vrqpl.dll" : "vrqpn.dll"));
  if (lite) {
    ReplaceAll(&text, "VRQPN", "VRQPL");
    ReplaceAll(&text, "=Varnholt Quillpost\r", "=Varnholt Quillpost Lite\r");
  }
  return text;
}

class ProvregTest : public ::testing::Test {
 protected:
  ProcessSpec Spec(std::vector<std::string> args) {
    args.insert(args.begin(), PROVREG_PATH);
    ProcessSpec spec;
    spec.argv = std::move(args);
    spec.env = {{"QUILLPOST_SYSTEM_DIR", dir_.path()}};
    return spec;
  }
  ProcessResult Run(std::vector<std::string> args) { return RunProcess(Spec(std::move(args))); }

  std::string File() { return ReadFileBytes(file_); }
  std::string Value(const std::string& section, const std::string& key) {
    const std::string text = File();
    std::string_view value;
    return FindProfileValue(text, section, key, &value) ? std::string(StripQuotes(value))
                                                        : "<none>";
  }

  /// Checks that the file holds every key of the edition's definition, and
  /// each of its sections once.
  void ExpectDefinition(bool lite, const std::string& prefix) {
    const std::string text = File();
    const std::string expected = DefinitionText(lite, prefix);
    std::string section;
    size_t begin = 0;
    for (size_t end; (end = expected.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
      const std::string line = expected.substr(begin, end - begin);
      if (line[0] == '[') {
        section = line.substr(1, line.size() - 2);
        EXPECT_EQ(text.find(line), text.rfind(line)) << line << " more than once";
        continue;
      }
      const size_t eq = line.find('=');
      EXPECT_EQ(Value(section, line.substr(0, eq)), line.substr(eq + 1)) << section << " " << line;
    }
  }

  test::TempDir dir_;
  std::string file_ = dir_.Join("Mapisvc.inf");
};

TEST_F(ProvregTest, BadCommandLinePrintsUsageAndWritesNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-x"}, {"-normal", "C:\\QP"}, {"norm"}, {"C:\\QP", "-norm"}}) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, kUsage);
  }
  EXPECT_EQ(File(), "<missing>");
}

TEST_F(ProvregTest, NormalEditionIntoAMissingFile) {
  const ProcessResult r = Run({"-norm", "C:\\QP"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(File(), kNormalFile);
  // Running it again leaves the file as after one run.
  EXPECT_EQ(Run({"-NORM", "C:\\QP\\"}).exit_status, 1);
  EXPECT_EQ(File(), kNormalFile);
}

TEST_F(ProvregTest, BothEditionsSideBySide) {
  ASSERT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  ASSERT_EQ(Run({"-LITE", "D:/lite/"}).exit_status, 1);
  EXPECT_EQ(Value("Services", "VRQPN"), "Varnholt Quillpost");
  EXPECT_EQ(Value("Services", "VRQPL"), "Varnholt Quillpost Lite");
  EXPECT_EQ(Value("VRQPN_XP", "PR_PROVIDER_DLL_NAME"), "C:\\QP\\vrqpn.dll");
  EXPECT_EQ(Value("VRQPL_AB", "PR_PROVIDER_DLL_NAME"), "D:/lite/\\vrqpl.dll");
  EXPECT_EQ(Value("VRQPL", "Providers"), "VRQPL_AB, VRQPL_XP");
  ExpectDefinition(false, "C:\\QP\\");
  ExpectDefinition(true, "D:/lite/\\");
}

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
  const std::string missing = dir_.Join("no-such-dir");
  spec.env = {{"QUILLPOST_SYSTEM_DIR", missing}};
  const ProcessResult r = RunProcess(spec);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot write the service definition to \"" + missing + "/Mapisvc.inf\"\n");
}

TEST_F(ProvregTest, UnsafePathDirIsRefusedBeforeAnyWrite) {
  const ProcessResult too_long = Run({"-norm", std::string(5000, 'p')});
  EXPECT_EQ(too_long.exit_status, 0);
  EXPECT_EQ(too_long.output,
            "PathDir is too long: at most 246 characters, its trailing backslash counted\n");
  const ProcessResult injected = Run({"-norm", "C:\\QP\r\n[Evil]\r\nx=y"});
  EXPECT_EQ(injected.exit_status, 0);
  EXPECT_EQ(injected.output, "PathDir must not hold control characters such as line breaks\n");
  EXPECT_EQ(File(), "<missing>");
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
  EXPECT_EQ(test::ListDirectory(dir_.path()), "Mapisvc.inf\n");
}

}  // namespace
}  // namespace quillpost
