// Black-box tests of provreg that hold on every platform.

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
                "PathDir is too long: at most 246 characters, its trailing backslash counted\n"));
  const ProcessResult injected = Run({"-norm", "C:\\QP\r\n[Evil]\r\nx=y"});
  EXPECT_EQ(injected.exit_status, 0);
  EXPECT_EQ(injected.output,
            test::ConsoleText("PathDir must not hold control characters such as line breaks\n"));
  EXPECT_EQ(File(), "<missing>");
}

}  // namespace
}  // namespace quillpost
