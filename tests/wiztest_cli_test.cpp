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
  const std::string after = ReadFileBytes(file_);
  std::string other;
  ASSERT_TRUE(ReadProfileValue(after, "Default Services", "MSPST AB", &other));
  EXPECT_EQ(other, "Personal Address Book");
}

TEST_F(WiztestTest, MissingEmptyOrLongEntryIsLeftInPlace) {
  Install(STANDIN_PATH, program_.path());
  const std::string long_value(300, 'v');
  const std::string files[] = {"[Services]\r\nVRQPN=x\r\n", "[Services]\r\nMSPST AB=\r\n",
                               "[Services]\r\nMSPST AB=" + long_value + "\r\n"};
  for (const std::string& text : files) {
    WriteFileBytes(file_, text);
    fs::remove(record_);
    EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
    EXPECT_EQ(ReadFileBytes(file_), text);
    EXPECT_EQ(Record()["mspst"], text == files[0] ? "<absent>" : Held().substr(0, 255));
  }
  // With no file at all, none is created.
  fs::remove(file_);
  EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(WiztestTest, NoLibraryPausesAndLeavesTheFileAlone) {
  WriteFileBytes(file_, kHandEdited);
  LaunchOptions launch = Launch();
  launch.close_input = true;  // end of input ends the pause at once
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, test::ConsoleText(kNoLibrary));
  EXPECT_EQ(ReadFileBytes(file_), kHandEdited);
}

TEST_F(WiztestTest, NoEntryPointStillWritesTheEntryBack) {
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
  EXPECT_EQ(r.output,
            test::ConsoleText("Cannot restore \"MSPST AB\" in section \"Services\" of \"" + file_ +
                              "\"; put it back by hand: MSPST AB=Personal Address Book\n"
                              "\nPress <Return>...\n"));
}

}  // namespace
}  // namespace quillpost
