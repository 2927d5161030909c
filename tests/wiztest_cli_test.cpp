// Black-box tests of wiztest that hold on every platform.

#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

TEST_F(WiztestTest, HeldEntryIsAbsentDuringTheWizardAndBackAfter) {
  Install(STANDIN_PATH, program_.path());
  WriteFileBytes(file_, kHandEdited);
  for (const std::string mode : {"", "error", "rename"}) {
    SCOPED_TRACE(mode);
    fs::remove(record_);
    const ProcessResult r = RunProcess(Launch(mode));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output, "");  // a successful run prints nothing
    auto record = Record();
    EXPECT_EQ(record["mspst"], "<absent>");
    EXPECT_EQ(record["parent"], "0");
    EXPECT_EQ(record["flags"], "10");
    EXPECT_EQ(record["services"], "Varnholt Quillpost;");
    EXPECT_EQ(record["capacity"], "255");
    EXPECT_EQ(record["profile"], "54657374696e672070726f66696c65" + std::string(482, '0'));
    EXPECT_EQ(Held(), "Personal Address Book");
  }
  EXPECT_EQ(Value("Default Services", "MSPST AB"), "Personal Address Book");
}

// An entry that is missing or empty is left alone; one that could not be
// put back exactly stays in place, one line says why, and the wizard runs
// all the same. Each run leaves the file as it found it, so repeated runs
// wear nothing down.
TEST_F(WiztestTest, EntryThatCannotBePutBackExactlyStaysInPlace) {
  Install(STANDIN_PATH, program_.path());
  const std::string long_value(300, 'v');
  const std::pair<std::string, std::string> cases[] = {
      {"[Services]\r\nVRQPN=x\r\n", ""},
      {"[Services]\r\nMSPST AB=\r\n", ""},
      {"[Services]\r\nMSPST AB=" + long_value + "\r\n",
       "its value may be longer than 254 characters"},
      {"[Services]\r\nMSPST AB=first\r\nVRQPN=x\r\nMSPST AB=second\r\n",
       "the section holds it more than once"},
      {"[Services]\r\nMSPST AB='\"x\"'\r\n", "the read strips the quotes around its value"},
      {"[Services]\r\nMSPST AB=\"x\"\r\n", "the read strips the quotes around its value"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    WriteFileBytes(file_, text);
    fs::remove(record_);
    for (int run = 0; run < 2; ++run) {
      const ProcessResult r = RunProcess(Launch());
      EXPECT_EQ(r.exit_status, 1);
      EXPECT_EQ(r.output, why.empty() ? ""
                                      : test::ConsoleText("\"MSPST AB\" stays in section "
                                                          "\"Services\" of \"" +
                                                          file_ + "\": " + why + "\n"));
      EXPECT_EQ(ReadFileBytes(file_), text);
    }
    auto record = Record();
    EXPECT_EQ(record.count("flags"), 1u);  // the wizard ran
    if (text.find("MSPST AB") != std::string::npos) {
      EXPECT_NE(record["mspst"], "<absent>");
    }
  }
  // With no file at all, none is created.
  fs::remove(file_);
  EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
  EXPECT_FALSE(fs::exists(file_));
}

// With its input held open and empty, wiztest shows the prompt and is still
// waiting: the Return sent only once the prompt is there is what it reads.
TEST_F(WiztestTest, NoLibraryWaitsForReturnAfterThePromptAndLeavesTheFileAlone) {
  WriteFileBytes(file_, kHandEdited);
  LaunchOptions launch = Launch();
  launch.hold_input = true;
  test::Child child(launch);
  ASSERT_TRUE(child.WaitForOutput("Press <Return>..."));
  child.Send("\n");
  const ProcessResult r = child.Wait();
  EXPECT_EQ(child.UnreadInput(), 0u) << "the Return sent after the prompt was never read";
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, test::ConsoleText(kNoLibrary));
  EXPECT_EQ(ReadFileBytes(file_), kHandEdited);
  // The end of input ends the pause at once.
  launch.hold_input = false;
  launch.close_input = true;
  EXPECT_EQ(RunProcess(launch).output, test::ConsoleText(kNoLibrary));
}

TEST_F(WiztestTest, NoEntryPointIsReportedAndTheFileEndsAsItWas) {
  Install(NOENTRY_PATH, program_.path());
  const std::string text = "[Services]\r\nVRQPN=x\r\nMSPST AB=PAB\r\n";
  WriteFileBytes(file_, text);
  const ProcessResult r = RunProcess(Launch());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, test::ConsoleText(kNoEntryPoint));
  EXPECT_EQ(ReadFileBytes(file_), text);
}

TEST_F(WiztestTest, FailedWriteBackGivesTheValueAndPath) {
  Install(STANDIN_PATH, program_.path());
  WriteFileBytes(file_, kHandEdited);
  const ProcessResult r = RunProcess(Launch("break"));
  EXPECT_EQ(r.exit_status, 2);
#ifdef _WIN32
  const std::string why = "The file is not a regular file\n";  // no guardian took it over
#else
  const std::string why;  // the guardian's own line alone
#endif
  EXPECT_EQ(r.output,
            test::ConsoleText("Cannot restore \"MSPST AB\" in section \"Services\" of \"" + file_ +
                              "\"; put it back by hand: MSPST AB=Personal Address Book\n" + why +
                              "\nPress <Return>...\n"));
}

}  // namespace
}  // namespace quillpost
