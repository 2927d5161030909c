// Black-box tests of provreg and provunreg that hold on every platform.

#include <filesystem>
#include <memory>
#include <sstream>

#include "tests/provreg_fixture.h"

namespace quillpost {
namespace {

TEST_F(ProvregTest, BadCommandLinePrintsUsageAndWritesNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-x"}, {"-normal", "C:\\QP"}, {"norm"}, {"C:\\QP", "-norm"}}) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, test::ConsoleText(kUsage));
  }
  EXPECT_EQ(File(), "<missing>");
}

TEST_F(ProvregTest, NormalEditionIntoAMissingFileThenLiteBesideIt) {
  const ProcessResult r = Run({"-norm", "C:\\QP"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(File(), kNormalFile);
  // Running it again leaves the file as after one run.
  EXPECT_EQ(Run({"-NORM", "C:\\QP\\"}).exit_status, 1);
  EXPECT_EQ(File(), kNormalFile);
  // The Lite edition joins it: both services, all six sections.
  ASSERT_EQ(Run({"-LITE", "D:/lite/"}).exit_status, 1);
  ExpectDefinition(false, "C:\\QP\\");
  ExpectDefinition(true, "D:/lite/\\");
}

TEST_F(ProvregTest, OtherKeysAndSectionsAreKept) {
  test::WriteFileBytes(file_,
                       "[Services]\r\nMSPST AB=Personal Address Book\r\n"
                       "[VRQPN]\r\nCustom Key=kept\r\nPR_DISPLAY_NAME=Old\r\n"
                       "[Default Services]\r\nMSPST AB=Personal Address Book\r\n");
  ASSERT_EQ(Run({"-norm"}).exit_status, 1);
  ExpectDefinition(false, "");
  EXPECT_EQ(Value("Services", "MSPST AB"), "Personal Address Book");
  EXPECT_EQ(Value("VRQPN", "Custom Key"), "kept");
  EXPECT_EQ(Value("Default Services", "MSPST AB"), "Personal Address Book");
}

TEST_F(ProvregTest, UnsafePathDirIsRefusedBeforeAnyWrite) {
  const ProcessResult too_long = Run({"-norm", std::string(5000, 'p')});
  EXPECT_EQ(too_long.exit_status, 0);
  EXPECT_EQ(too_long.output,
            test::ConsoleText(
                "PathDir is too long: at most 246 bytes, its trailing backslash counted\n"));
  const ProcessResult injected = Run({"-norm", "C:\\QP\r\n[Evil]\r\nx=y"});
  EXPECT_EQ(injected.exit_status, 0);
  EXPECT_EQ(injected.output,
            test::ConsoleText("PathDir must not hold control characters such as line breaks\n"));
  // What the quoting "C:\QP\" leaves of a trailing backslash.
  const ProcessResult quoted = Run({"-norm", "C:\\QP\""});
  EXPECT_EQ(quoted.exit_status, 0);
  EXPECT_EQ(quoted.output,
            test::ConsoleText("PathDir must not hold a double quote (quoted, a PathDir "
                              "that ends with a backslash needs two: \"C:\\QP\\\\\")\n"));
  EXPECT_EQ(File(), "<missing>");
}

// Runs at once take turns, each landing whole, nothing else lost; on
// Windows too, where the platform's write rewrites the whole file.
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
  // Nothing of a run is left beside the file (a temporary, on POSIX).
  std::string left;
  std::istringstream names(test::ListDirectory(sys_.path()));
  for (std::string name; std::getline(names, name);) {
    if (name.find("Mapisvc") != std::string::npos) left += name + "\n";
  }
  EXPECT_EQ(left, "Mapisvc.inf\n");
}

// A PathDir of characters beyond the 8-bit code page: on Windows it is
// refused before any write unless the code page (1252 under Wine) holds
// every character exactly; on POSIX its bytes are written as given.
TEST_F(ProvregTest, PathDirBeyondTheCodePage) {
  const struct {
    const char* utf8;
    const char* written;  // as the 8-bit file holds it, or nullptr when refused
  } cases[] = {
#ifdef _WIN32
      {"C:\\\u00DCn\u00EF\\\u65E5\u672C\\\u03A9", nullptr},  // CJK, and an Omega
      {"C:\\\u03A9", nullptr},                               // best fit: 'O'
      {"C:\\\u00DCn\u00EF", "C:\\\xDCn\xEF\\"},              // all in code page 1252
#else
      {"C:\\\u00DCn\u00EF\\\u65E5\u672C", "C:\\\u00DCn\u00EF\\\u65E5\u672C\\"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    test::WriteFileBytes(file_, "");
    LaunchOptions launch = Launch({"-norm", c.utf8});
    launch.utf8_argv = true;
    const ProcessResult r = RunProcess(launch);
    EXPECT_EQ(r.exit_status, c.written ? 1 : 0);
    if (c.written) {
      EXPECT_EQ(Value("VRQPN", "PR_SERVICE_DLL_NAME"), std::string(c.written) + "vrqpn.dll");
    } else {
      EXPECT_EQ(
          r.output,
          test::ConsoleText("PathDir holds characters that the system's code page cannot hold\n"));
      EXPECT_EQ(File(), "");
    }
  }
}

// A file edited by hand, without the service: provreg then provunreg gives
// it back.
const char kHandEditedFile[] =
    "; Mapisvc.inf, edited by hand\r\n"
    "\r\n"
    "[Services]\r\n"
    "MSPST AB=Personal Address Book\r\n"
    "MSEMS=Microsoft Exchange Server\r\n"
    "\r\n"
    "; the Personal Address Book\r\n"
    "[MSPST AB]\r\n"
    "PR_DISPLAY_NAME=Personal Address Book\r\n"
    "Providers=MSPST ABP\r\n"
    "\r\n"
    "[Default Services]\r\n"
    "MSPST AB=Personal Address Book\r\n";

TEST_F(ProvunregTest, RoundTripOfBothEditionsGivesBackTheOriginal) {
  WriteFileBytes(file_, kHandEditedFile);
  ASSERT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  ASSERT_EQ(Run({"-lite", "D:\\L"}).exit_status, 1);
  // One edition out, the other untouched.
  const ProcessResult lite = Unreg({"-LITE"});
  EXPECT_EQ(lite.exit_status, 1);
  EXPECT_EQ(lite.output, "");
  ExpectNoEdition(true);
  ExpectDefinition(false, "C:\\QP\\");
  EXPECT_EQ(Unreg({"-Norm"}).exit_status, 1);
  ExpectNoEdition(false);
  ExpectFileSaysOnly(kHandEditedFile);
  // A second run finds nothing to remove and leaves the file alone.
  const std::string after = File();
  EXPECT_EQ(Unreg({"-norm"}).exit_status, 1);
  EXPECT_EQ(Unreg({"-lite"}).exit_status, 1);
  EXPECT_EQ(File(), after);
}

// Every copy of each section goes, and every copy of the key in [Services]
// (a reader sees the next one once the first is gone).
TEST_F(ProvunregTest, EveryCopyOfASectionGoesAndAMissingFileStaysMissing) {
  const ProcessResult missing = Unreg({"-norm"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.output, "");
  EXPECT_EQ(File(), "<missing>");
  WriteFileBytes(file_,
                 "[Services]\r\nVRQPN=Varnholt Quillpost\r\nVRQPL=Varnholt Quillpost Lite\r\n"
                 "vrqpn=a second copy\r\n"
                 "[VRQPN]\r\nPR_DISPLAY_NAME=Varnholt Quillpost\r\n"
                 "[VRQPL]\r\nPR_DISPLAY_NAME=Varnholt Quillpost Lite\r\n"
                 "[vrqpn_ab]\r\nPR_DISPLAY_NAME=an old copy\r\n"
                 "[Other]\r\nk=v\r\n"
                 "[VRQPN_AB]\r\nPR_DISPLAY_NAME=Quillpost Address Book\r\n"
                 "[vrqpn]\r\nstale=1\r\n");
  EXPECT_EQ(Unreg({"-norm", "C:\\QP", "ignored"}).exit_status, 1);
  ExpectNoEdition(false);
  ExpectFileSaysOnly(
      "[Services]\r\nVRQPL=Varnholt Quillpost Lite\r\n"
      "[VRQPL]\r\nPR_DISPLAY_NAME=Varnholt Quillpost Lite\r\n"
      "[Other]\r\nk=v\r\n");
}

// A directory in the file's place is named for what it is, and stays.
TEST_F(ProvunregTest, ADirectoryInTheFilesPlaceIsNotARegularFile) {
  std::filesystem::create_directory(file_);
  const std::string tail = " \"" + file_ + "\"\nThe file is not a regular file\n";
  for (const auto& [r, line] :
       {std::pair{Run({"-norm"}), "Cannot write the service definition to"},
        std::pair{Unreg({"-lite"}), "Cannot remove the service definition from"}}) {
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.output, test::ConsoleText(line + tail));
  }
  EXPECT_TRUE(std::filesystem::is_directory(file_));
}

TEST_F(ProvunregTest, BadCommandLinePrintsItsUsageAndTouchesNothing) {
  WriteFileBytes(file_, kNormalFile);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-x"}, {"norm"}, {"-normal"}, {"C:\\QP", "-norm"}}) {
    const ProcessResult r = Unreg(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, test::ConsoleText(kUnregisterUsage));
  }
  EXPECT_EQ(File(), kNormalFile);
}

}  // namespace
}  // namespace quillpost
