// Black-box tests of wiztest on POSIX: where the library is looked for, and
// signals while the entry is held out.

#include <signal.h>

#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

TEST_F(WiztestTest, NoSystemDirectory) {
  Install(STANDIN_PATH, program_.path());
  LaunchOptions launch = Launch();
  launch.env[0].second = "";  // QUILLPOST_SYSTEM_DIR unset
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot get the windows system directory\n\nPress <Return>...\n");
}

// The entry of a file the engine refuses to edit reads as missing, so it
// is left where it is and the file stays byte-identical.
TEST_F(WiztestTest, EntryOfAFileTheEngineRefusesIsLeftAlone) {
  Install(STANDIN_PATH, program_.path());
  std::string odd = "\xFF\xFE";
  for (char c : std::string("[Services]\r\nMSPST AB=PAB\r\n")) odd.append({c, '\0'});
  odd += 'x';
  WriteFileBytes(file_, odd);
  EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
  EXPECT_TRUE(ReadFileBytes(file_) == odd) << "file changed";
  EXPECT_EQ(Record()["mspst"], "<absent>");
}

TEST_F(WiztestTest, LibraryIsFoundBesideTheProgramThenInTheSystemDirectoryOnly) {
  Install(STANDIN_PATH, sys_.path());
  Install(NOENTRY_PATH, program_.path());
  LaunchOptions launch = Launch();
  EXPECT_EQ(RunProcess(launch).output, kNoEntryPoint);  // the one beside the program wins
  fs::remove(program_.Join("mapi32.dll"));
  EXPECT_EQ(RunProcess(launch).exit_status, 1);  // then the system directory's

  // Planted in the current directory, or reached by a relative path: never.
  fs::remove(sys_.path() + "/mapi32.dll");
  fs::remove(record_);
  Install(STANDIN_PATH, work_.path());
  launch.working_dir = work_.path();
  EXPECT_EQ(RunProcess(launch).output, kNoLibrary);
  launch.env[0].second = ".";
  EXPECT_EQ(RunProcess(launch).output, kNoLibrary);
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WiztestTest, CrashInTheWizardWritesTheEntryBackFirst) {
  Install(STANDIN_PATH, program_.path());
  for (const auto& [mode, sig] :
       {std::pair<std::string, int>{"crash", SIGSEGV}, {"abort", SIGABRT}}) {
    WriteFileBytes(file_, kHandEdited);
    const ProcessResult r = RunProcess(Launch(mode));
    EXPECT_EQ(r.signal, sig) << mode;
    EXPECT_EQ(Held(), "Personal Address Book") << mode;
  }
}

TEST_F(WiztestTest, InterruptionWritesTheEntryBackThenEndsByTheSignal) {
  Install(STANDIN_PATH, program_.path());
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(sig);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    test::Child child(Launch("wait"));
    ASSERT_TRUE(WaitForWizard());
    EXPECT_EQ(Held(), "<absent>");
    child.Kill(sig);
    const ProcessResult r = child.Wait();
    EXPECT_EQ(r.signal, sig);
    // Even SIGKILL: the guardian process sees its parent go and restores.
    for (int i = 0; i < 500 && Held() == "<absent>"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Held(), "Personal Address Book");
  }
}

// wiztest and provreg at once on one file: MSPST AB is never lost, and
// every provreg run lands.
TEST_F(WiztestTest, RacingProvregNeverLosesTheEntry) {
  Install(STANDIN_PATH, program_.path());
  WriteFileBytes(file_, kHandEdited);
  for (int i = 0; i < 30; ++i) {
    LaunchOptions provreg = Launch();
    provreg.argv = {PROVREG_PATH, i % 2 ? "-lite" : "-norm", "C:\\QP"};
    test::Child registering(provreg);
    EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
    EXPECT_EQ(registering.Wait().exit_status, 1);
    EXPECT_EQ(Held(), "Personal Address Book") << "run " << i;
  }
  const std::string text = ReadFileBytes(file_);
  std::string value;
  EXPECT_TRUE(ReadProfileValue(text, "VRQPL_XP", "PR_PROVIDER_DLL_NAME", &value));
  EXPECT_EQ(value, "C:\\QP\\vrqpl.dll");
  EXPECT_TRUE(ReadProfileValue(text, "VRQPN", "PR_SERVICE_DLL_NAME", &value));
  EXPECT_EQ(value, "C:\\QP\\vrqpn.dll");
}

}  // namespace
}  // namespace quillpost
